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

#include "CameraContext.h"

///
/// The platform installs this protocol when ESRT management and the USB stack
/// are ready; only its installation matters, never its interface.
///
#define UPDATE_TRIGGER_PROTOCOL_GUID \
  { 0xdbc9fd21, 0xfad8, 0x45b0, { 0x9e, 0x78, 0x27, 0x15, 0x88, 0x67, 0xcc, 0x93 } }

extern "C" EFI_GUID  gUpdateTriggerProtocolGuid;

///
/// ESRT firmware class of the supported camera model 0x30C9:0x004A; also the
/// GUID of the capsules that carry its firmware.
///
#define CAMERA_30C9_004A_FW_CLASS_GUID \
  { 0xa6a82337, 0x904e, 0x4742, { 0x9e, 0xca, 0xcf, 0x8e, 0x7d, 0xe4, 0xde, 0x17 } }

///
/// One supported camera model.
///
typedef struct {
  UINT16      VendorId;   ///< USB idVendor; SUPPORTED_CAMERA_END ends the table
  UINT16      ProductId;  ///< USB idProduct
  EFI_GUID    FwClass;    ///< ESRT firmware class, and the GUID of its capsules
} SUPPORTED_CAMERA_ENTRY;

STATIC_ASSERT (sizeof (SUPPORTED_CAMERA_ENTRY) == 20, "two IDs and a GUID");
STATIC_ASSERT (OFFSET_OF (SUPPORTED_CAMERA_ENTRY, FwClass) == 4, "FwClass follows the IDs");

#define SUPPORTED_CAMERA_END  0xFFFF

///
/// The supported cameras, ending with a row whose VendorId is
/// SUPPORTED_CAMERA_END. Walked with an 8-bit row index.
///
extern CONST SUPPORTED_CAMERA_ENTRY  mSupportedCameras[];

//
// Driver-core globals (zero at load).
//
extern EFI_EVENT                 mCapsuleCheckEvent;
extern VOID                      *mCapsuleCheckRegistration;
extern ESRT_MANAGEMENT_PROTOCOL  *mEsrtManagement;
extern CAMERA_CONTEXT            *mCameraContext;

/**
  The driver's entry point: arms the capsule check and returns. It touches no
  hardware.

  @param[in] ImageHandle  The image handle of the driver.
  @param[in] SystemTable  The UEFI system table.

  @retval EFI_SUCCESS  The notify event was created and registered.
  @return              The failure of CreateEvent or RegisterProtocolNotify;
                       after the latter the event is closed again.
**/
extern "C"
EFI_STATUS
EFIAPI
CameraUpdateDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Refreshes the ESRT entry of every supported camera through
  mEsrtManagement: removes the entries it finds, allocates and zeroes the one
  camera context (mCameraContext), looks for each camera and registers an
  entry whose FwVersion is the camera's bcdDevice (0 when it is absent),
  updating instead an entry that could not be removed and differs.

  @retval EFI_SUCCESS           Every entry is registered and current.
  @retval EFI_OUT_OF_RESOURCES  The camera context could not be allocated.
  @return                       The status of the last ESRT operation made
                                for the last supported camera.
**/
EFI_STATUS
PublishEsrtEntries (
  VOID
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
