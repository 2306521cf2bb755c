/** @file
  CameraUpdateDxe: keeps the firmware of the laptop's built-in USB camera up
  to date through UEFI capsules.

  The entry point arms one protocol-notify event and returns; the work runs in
  CapsuleCheckNotify when the platform installs the update-trigger protocol.
  This header holds the driver-core globals and the driver's own GUIDs.
**/

#ifndef __CAMERA_UPDATE_DRIVER_H__
#define __CAMERA_UPDATE_DRIVER_H__

#include <PiDxe.h>
#include <Protocol/EsrtManagement.h>

///
/// The platform installs this protocol when ESRT management and the USB stack
/// are ready; only its installation matters, never its interface.
///
#define UPDATE_TRIGGER_PROTOCOL_GUID \
  { 0xdbc9fd21, 0xfad8, 0x45b0, { 0x9e, 0x78, 0x27, 0x15, 0x88, 0x67, 0xcc, 0x93 } }

extern "C" EFI_GUID  gUpdateTriggerProtocolGuid;

//
// Driver-core globals (zero at load).
//
extern EFI_EVENT                 mCapsuleCheckEvent;
extern VOID                      *mCapsuleCheckRegistration;
extern ESRT_MANAGEMENT_PROTOCOL  *mEsrtManagement;

/**
  The driver's entry point: arms the capsule check and returns. It touches no
  hardware.

  @param[in] ImageHandle  The image handle of the driver.
  @param[in] SystemTable  The UEFI system table.

  @retval EFI_SUCCESS  The notify event was created and registered.
  @return              The failure of CreateEvent or RegisterProtocolNotify;
                       after the latter the event is closed again.
**/
EFI_STATUS
EFIAPI
CameraUpdateDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Runs the capsule check when the update-trigger protocol is installed. It
  runs to completion at most once per boot and then closes its event; it
  returns early, leaving the event armed, while the ESRT management protocol
  cannot be found.

  @param[in] Event    The notify event (mCapsuleCheckEvent).
  @param[in] Context  NULL; not read.
**/
VOID
EFIAPI
CapsuleCheckNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

#endif
