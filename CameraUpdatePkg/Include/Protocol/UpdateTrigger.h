/** @file
  The update-trigger protocol. The platform installs it once ESRT management
  and the USB stack are ready; CameraUpdateDxe waits for its installation to
  publish its ESRT entries and, in a boot that applies capsules, to update the
  camera. Only the installation matters: the interface is never used, and the
  platform may install it with a NULL interface.
**/

#ifndef __UPDATE_TRIGGER_H__
#define __UPDATE_TRIGGER_H__

///
/// {DBC9FD21-FAD8-45B0-9E78-27158867CC93}
///
#define UPDATE_TRIGGER_PROTOCOL_GUID \
  { 0xdbc9fd21, 0xfad8, 0x45b0, { 0x9e, 0x78, 0x27, 0x15, 0x88, 0x67, 0xcc, 0x93 } }

//
// Declared in CameraUpdatePkg.dec. C linkage, so that C and C++ modules name
// the same symbol.
//
#ifdef __cplusplus
extern "C" {
#endif
extern EFI_GUID  gUpdateTriggerProtocolGuid;
#ifdef __cplusplus
}
#endif

#endif
