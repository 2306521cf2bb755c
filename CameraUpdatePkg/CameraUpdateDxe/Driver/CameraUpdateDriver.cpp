/** @file
  The driver's entry point and the frame of its capsule check.
**/

#include "CameraUpdateDriver.h"

#include "FirmwareInterfaces.h"

EFI_EVENT                 mCapsuleCheckEvent        = NULL;
VOID                      *mCapsuleCheckRegistration = NULL;
ESRT_MANAGEMENT_PROTOCOL  *mEsrtManagement          = NULL;

/**
  Runs the capsule check when the update-trigger protocol is installed.

  @param[in] Event    The notify event (mCapsuleCheckEvent).
  @param[in] Context  NULL; not read.
**/
VOID
EFIAPI
CapsuleCheckNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_STATUS  Status;

  (VOID)Context;

  //
  // Without the ESRT management protocol nothing can be published yet: leave
  // the event armed so that the next trigger installation tries again.
  //
  Status = gBS->LocateProtocol (&gEsrtManagementProtocolGuid, NULL, (VOID **)&mEsrtManagement);
  if (EFI_ERROR (Status)) {
    return;
  }

  //
  // Refresh the ESRT entries of the supported cameras; only when that
  // succeeded, apply camera capsules (a successful one resets the machine).
  //
  Status = PublishEsrtEntries ();
  if (!EFI_ERROR (Status)) {
    ProcessCapsuleHobs ();
  }

  //
  // The check has run to its end: later trigger installations do nothing.
  //
  gBS->CloseEvent (Event);
}

/**
  The driver's entry point: arms the capsule check and returns.

  @param[in] ImageHandle  The image handle of the driver.
  @param[in] SystemTable  The UEFI system table.

  @retval EFI_SUCCESS  The notify event was created and registered.
  @return              The failure of CreateEvent or RegisterProtocolNotify.
**/
extern "C"
EFI_STATUS
EFIAPI
CameraUpdateDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  (VOID)ImageHandle;
  (VOID)SystemTable;

  //
  // One signal event at TPL_CALLBACK whose notify function is the check.
  //
  Status = gBS->CreateEvent (
                  EVT_NOTIFY_SIGNAL,
                  TPL_CALLBACK,
                  CapsuleCheckNotify,
                  NULL,
                  &mCapsuleCheckEvent
                  );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Signal it on every later installation of the trigger protocol. The event
  // is not signalled now: a trigger installed before the driver loaded does
  // not start the check.
  //
  Status = gBS->RegisterProtocolNotify (
                  &gUpdateTriggerProtocolGuid,
                  mCapsuleCheckEvent,
                  &mCapsuleCheckRegistration
                  );
  if (EFI_ERROR (Status)) {
    //
    // A failed entry point gets its image unloaded: leave no event behind
    // whose notify function would point into the unloaded image.
    //
    gBS->CloseEvent (mCapsuleCheckEvent);
    mCapsuleCheckEvent = NULL;
  }

  return Status;
}
