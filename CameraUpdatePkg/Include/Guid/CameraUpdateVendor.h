/** @file
  CameraUpdateDxe's own vendor GUID: the namespace of every non-volatile
  variable the driver keeps for itself.
**/

#ifndef __CAMERA_UPDATE_VENDOR_H__
#define __CAMERA_UPDATE_VENDOR_H__

///
/// {C1580E06-F484-4C2B-9D44-D286554FDC9A}
///
#define CAMERA_UPDATE_VENDOR_GUID \
  { 0xc1580e06, 0xf484, 0x4c2b, { 0x9d, 0x44, 0xd2, 0x86, 0x55, 0x4f, 0xdc, 0x9a } }

#ifdef __cplusplus
extern "C" {
#endif
extern EFI_GUID  gCameraUpdateVendorGuid;
#ifdef __cplusplus
}
#endif

#endif
