/** @file
  The supported-camera table and the ESRT entries the driver publishes for
  it: one entry per supported camera, whose FwVersion is the bcdDevice that
  the camera reports on the USB bus right now.
**/

#include "CameraUpdateDriver.h"

#include "FirmwareInterfaces.h"

CONST SUPPORTED_CAMERA_ENTRY  mSupportedCameras[] = {
  { 0x30C9,               0x004A, CAMERA_30C9_004A_FW_CLASS_GUID },
  { SUPPORTED_CAMERA_END, 0xFFFF, { 0xFFFFFFFF, 0xFFFF, 0xFFFF, { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF } } }
};

STATIC_ASSERT (ARRAY_SIZE (mSupportedCameras) <= 256, "rows are counted with an 8-bit index");

CAMERA_CONTEXT  *mCameraContext = NULL;

/**
  Tells whether the row at Index is a supported camera (not the end of the
  table). The index never runs past the array, whatever the rows hold.

  @param[in] Index  Row index.

  @retval TRUE   The row describes a camera.
  @retval FALSE  The row is the terminator, or past the table.
**/
STATIC
BOOLEAN
IsCameraRow (
  IN UINT8  Index
  )
{
  return (BOOLEAN)((Index < ARRAY_SIZE (mSupportedCameras)) &&
                   (mSupportedCameras[Index].VendorId != SUPPORTED_CAMERA_END));
}

/**
  Refreshes the ESRT entry of every supported camera.

  @retval EFI_SUCCESS           Every entry is registered and current.
  @retval EFI_OUT_OF_RESOURCES  The camera context could not be allocated.
  @return                       The status of the last ESRT operation made
                                for the last supported camera.
**/
EFI_STATUS
PublishEsrtEntries (
  VOID
  )
{
  EFI_STATUS                 Status;
  UINT8                      Index;
  EFI_GUID                   FwClass;
  EFI_SYSTEM_RESOURCE_ENTRY  Scratch;
  EFI_SYSTEM_RESOURCE_ENTRY  Entry;
  EFI_SYSTEM_RESOURCE_ENTRY  Existing;

  //
  // Clearing pass: remove every entry of a supported firmware class that the
  // repository holds. Failures here change nothing below.
  //
  for (Index = 0; IsCameraRow (Index); Index++) {
    CopyMem (&FwClass, &mSupportedCameras[Index].FwClass, sizeof (FwClass));
    if (!EFI_ERROR (mEsrtManagement->GetEsrtEntry (&FwClass, &Scratch))) {
      mEsrtManagement->UnRegisterEsrtEntry (&FwClass);
    }
  }

  //
  // The one camera context, zero-filled; it lives until the reset.
  //
  Status = gBS->AllocatePool (EfiBootServicesData, sizeof (CAMERA_CONTEXT), (VOID **)&mCameraContext);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  gBS->SetMem (mCameraContext, sizeof (CAMERA_CONTEXT), 0);

  //
  // Publishing pass: an entry per camera with the version it reports now.
  //
  for (Index = 0; IsCameraRow (Index); Index++) {
    //
    // Look for the camera; when it is absent the descriptor keeps what an
    // earlier row found (zero on the fresh context).
    //
    FindCameraDevice (mCameraContext, mSupportedCameras[Index].VendorId, mSupportedCameras[Index].ProductId);

    ZeroMem (&Entry, sizeof (Entry));
    CopyMem (&Entry.FwClass, &mSupportedCameras[Index].FwClass, sizeof (Entry.FwClass));
    Entry.FwType    = ESRT_FW_TYPE_DEVICEFIRMWARE;
    Entry.FwVersion = mCameraContext->DeviceDescriptor.BcdDevice;

    //
    // Register a new entry, or bring one that survived the clearing pass up
    // to date when it differs.
    //
    Status = mEsrtManagement->GetEsrtEntry (&Entry.FwClass, &Existing);
    if (EFI_ERROR (Status)) {
      Status = mEsrtManagement->RegisterEsrtEntry (&Entry);
    } else if (CompareMem (&Existing, &Entry, sizeof (Entry)) != 0) {
      Status = mEsrtManagement->UpdateEsrtEntry (&Entry);
    }
  }

  return Status;
}
