/** @file
  Capsule discovery and application: in a boot that applies capsules, finds
  the capsules carrying a supported camera's firmware, prepares the platform,
  runs the update, records the image's version data in "Setup" and resets.

  The capsule HOBs and headers come from the platform's memory and are
  checked before they are trusted: a header must fit its capsule and the
  capsule its HOB, and a HOB too short to be one ends the walk.
**/

#include "CameraUpdateDriver.h"

#include "FirmwareInterfaces.h"
#include "PoolBuffer.h"

#include "ImageParsing.h"
#include "UpdateEngine.h"

///
/// The capsule GUIDs a capsule must carry before the camera rows are looked
/// at; only membership counts.
///
CONST EFI_GUID  mAcceptedCapsuleGuids[ACCEPTED_CAPSULE_GUID_COUNT] = {
  { 0x4a3ca68b, 0x7723, 0x48fb, { 0x80, 0x3d, 0x57, 0x8c, 0xc1, 0xfe, 0xc4, 0x4d } },
  { 0x3ca78049, 0x7286, 0x4711, { 0xa0, 0xd5, 0x97, 0xa2, 0x2d, 0x34, 0xe6, 0x07 } },
  CAMERA_30C9_004A_FW_CLASS_GUID,
  { 0x3ca78049, 0x7286, 0x4711, { 0xa0, 0xd5, 0x97, 0xa2, 0x2d, 0x34, 0xe6, 0x07 } },
  { 0x0eab05c1, 0x766a, 0x4805, { 0xa0, 0x39, 0x30, 0x81, 0xde, 0x02, 0x10, 0xc7 } },
  { 0x8d777ccf, 0x3e0e, 0x4d11, { 0xbc, 0x1e, 0xa0, 0x97, 0x9c, 0xbc, 0xe0, 0x0b } },
  { 0x3b8c8162, 0x188c, 0x46a4, { 0xae, 0xc9, 0xbe, 0x43, 0xf1, 0xd6, 0x56, 0x97 } },
  EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID,
};

FW_VERSION_INFO  mFwVersionInfo;

/**
  Tells whether a capsule GUID is one of the accepted ones.

  @param[in] Guid  The capsule's GUID.

  @retval TRUE   It is accepted.
  @retval FALSE  It is not.
**/
STATIC
BOOLEAN
IsAcceptedCapsuleGuid (
  IN CONST EFI_GUID  *Guid
  )
{
  UINTN  Index;

  for (Index = 0; Index < ACCEPTED_CAPSULE_GUID_COUNT; Index++) {
    if (CompareMem (Guid, &mAcceptedCapsuleGuids[Index], sizeof (EFI_GUID)) == 0) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Calls the platform hook's three slots in turn, each only when the one
  before succeeded. A missing or failing hook is no reason not to update.
**/
STATIC
VOID
CallPlatformHook (
  VOID
  )
{
  PLATFORM_HOOK_PROTOCOL  *Hook;
  UINT64                  Output1;
  UINT64                  Output2;
  UINT64                  A;
  UINT64                  B;

  if (EFI_ERROR (gBS->LocateProtocol (&gPlatformHookProtocolGuid, NULL, (VOID **)&Hook))) {
    return;
  }

  Output1 = 0;
  Output2 = 0;
  if (EFI_ERROR (Hook->Slot0 (&Output1, &Output2))) {
    return;
  }

  A = 0;
  B = 0;
  if (EFI_ERROR (Hook->Slot1 (&gPlatformHookRequestGuid, &A, &B))) {
    return;
  }

  Output1 = 0;
  Output2 = 0;
  Hook->Slot2 (A, B, 1, 0, 0, TRUE, &Output1, &Output2);
}

/**
  Stores a 16-bit value little-endian at any offset.

  @param[out] Bytes  Where the two bytes go.
  @param[in]  Value  The value.
**/
STATIC
VOID
StoreLe16 (
  OUT UINT8   *Bytes,
  IN  UINT16  Value
  )
{
  Bytes[0] = (UINT8)(Value & 0xFF);
  Bytes[1] = (UINT8)(Value >> 8);
}

/**
  Applies one camera capsule: the platform hook, the embedded-controller
  bit, a 15 ms delay, the camera update (whose status is not consulted), and
  the image's version data stored in "Setup".

  @param[in] Capsule  The capsule, checked by the caller: its header fits
                      it and it fits its HOB.

  @retval EFI_SUCCESS  "Setup" was written.
  @return              The failure of GetVariable or the SetVariable status;
                       EFI_OUT_OF_RESOURCES without a buffer for "Setup".
**/
EFI_STATUS
ApplyCameraCapsule (
  IN EFI_CAPSULE_HEADER  *Capsule
  )
{
  UINT8               *Payload;
  UINT32              PayloadSize;
  POOL_BUFFER<UINT8>  Setup;
  UINTN               DataSize;
  UINT32              Attributes;
  EFI_STATUS          Status;

  //
  // The payload: the raw camera image after the capsule header.
  //
  Payload     = (UINT8 *)Capsule + Capsule->HeaderSize;
  PayloadSize = Capsule->CapsuleImageSize - Capsule->HeaderSize;

  //
  // Prepare the platform: its hook, the controller's bit, a delay.
  //
  CallPlatformHook ();
  EcSetRegisterBits (EC_REGISTER_CAMERA, EC_CAMERA_UPDATE_BIT);
  MicroSecondDelay (CAPSULE_PREPARE_DELAY_US);

  //
  // The update; whatever it reports, the version data is recorded and the
  // machine resets.
  //
  UpdateCameraFirmware (mCameraContext, Payload, PayloadSize, ShowUpdateProgress, TRUE);

  //
  // "Setup" as the platform has it.
  //
  if (!Setup.AllocateZero (SETUP_VARIABLE_SIZE)) {
    return EFI_OUT_OF_RESOURCES;
  }

  DataSize   = SETUP_VARIABLE_SIZE;
  Attributes = 0;
  Status     = gRT->GetVariable ((CHAR16 *)SETUP_VARIABLE_NAME, &gSetupVariableGuid, &Attributes, &DataSize, Setup.Get ());
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // This capsule's version data, never a previous one's, at the
  // fixed offsets.
  //
  ZeroMem (&mFwVersionInfo, sizeof (mFwVersionInfo));
  GetImageVersionInfo (Payload, PayloadSize, &mFwVersionInfo);
  StoreLe16 (Setup.Get () + SETUP_DEVICE_VERSION_OFFSET, mFwVersionInfo.DeviceVersion);
  StoreLe16 (Setup.Get () + SETUP_DEVICE_VERSION_COPY_OFFSET, mFwVersionInfo.DeviceVersion);
  CopyMem (Setup.Get () + SETUP_VERSION_DATA_OFFSET, mFwVersionInfo.VersionData, sizeof (mFwVersionInfo.VersionData));
  CopyMem (Setup.Get () + SETUP_VERSION_DATA_COPY_OFFSET, mFwVersionInfo.VersionData, sizeof (mFwVersionInfo.VersionData));

  //
  // Write it back with what GetVariable reported.
  //
  return gRT->SetVariable ((CHAR16 *)SETUP_VARIABLE_NAME, &gSetupVariableGuid, Attributes, DataSize, Setup.Get ());
}

/**
  Tells whether a capsule can be trusted as far as its sizes go: its header
  is at least an EFI_CAPSULE_HEADER and lies inside the capsule, and the
  capsule lies inside its HOB.

  @param[in] Hob  The capsule HOB.

  @retval TRUE   The capsule's sizes hold.
  @retval FALSE  They do not; the capsule is passed over.
**/
STATIC
BOOLEAN
IsWellFormedCapsule (
  IN CONST EFI_HOB_UEFI_CAPSULE  *Hob
  )
{
  CONST EFI_CAPSULE_HEADER  *Capsule;

  if ((Hob->Header.HobLength < sizeof (EFI_HOB_UEFI_CAPSULE)) || (Hob->BaseAddress == 0) ||
      (Hob->Length < sizeof (EFI_CAPSULE_HEADER)))
  {
    return FALSE;
  }

  Capsule = (CONST EFI_CAPSULE_HEADER *)(UINTN)Hob->BaseAddress;
  return (BOOLEAN)((Capsule->HeaderSize >= sizeof (EFI_CAPSULE_HEADER)) &&
                   (Capsule->HeaderSize <= Capsule->CapsuleImageSize) &&
                   (Capsule->CapsuleImageSize <= Hob->Length));
}

/**
  Finds and applies the camera capsules of a boot that applies capsules.
  Does not return after an application that succeeded: the machine
  cold-resets.
**/
VOID
ProcessCapsuleHobs (
  VOID
  )
{
  EFI_PEI_HOB_POINTERS      Hob;
  EFI_HOB_UEFI_CAPSULE      *CapsuleHob;
  EFI_CAPSULE_HEADER        *Capsule;
  UINT8                     Row;

  //
  // A HOB list whose hand-off HOB says the boot applies capsules.
  //
  Hob.Raw = (UINT8 *)GetHobList ();
  if ((Hob.Raw == NULL) || (Hob.Header->HobType != EFI_HOB_TYPE_HANDOFF) ||
      (Hob.Header->HobLength < sizeof (EFI_HOB_HANDOFF_INFO_TABLE)) ||
      (Hob.HandoffInformationTable->BootMode != BOOT_ON_FLASH_UPDATE))
  {
    return;
  }

  //
  // Walk the list to its end; a HOB too short to be one ends the walk.
  //
  for ( ; Hob.Header->HobType != EFI_HOB_TYPE_END_OF_HOB_LIST; Hob.Raw += Hob.Header->HobLength) {
    if (Hob.Header->HobLength < sizeof (EFI_HOB_GENERIC_HEADER)) {
      return;
    }

    if (Hob.Header->HobType != EFI_HOB_TYPE_UEFI_CAPSULE) {
      continue;
    }

    //
    // A capsule whose sizes hold and whose GUID is accepted.
    //
    CapsuleHob = Hob.Capsule;
    if (!IsWellFormedCapsule (CapsuleHob)) {
      continue;
    }

    Capsule = (EFI_CAPSULE_HEADER *)(UINTN)CapsuleHob->BaseAddress;
    if (!IsAcceptedCapsuleGuid (&Capsule->CapsuleGuid)) {
      continue;
    }

    //
    // Each camera row of its firmware class, when the capsule is to
    // persist across the reset; the first application that succeeds
    // resets the machine.
    //
    for (Row = 0; mSupportedCameras[Row].VendorId != SUPPORTED_CAMERA_END; Row++) {
      if ((CompareMem (&mSupportedCameras[Row].FwClass, &Capsule->CapsuleGuid, sizeof (EFI_GUID)) != 0) ||
          ((Capsule->Flags & CAPSULE_FLAGS_PERSIST_ACROSS_RESET) == 0))
      {
        continue;
      }

      if (!EFI_ERROR (ApplyCameraCapsule (Capsule))) {
        gRT->ResetSystem (EfiResetCold, EFI_SUCCESS, 0, NULL);
      }
    }
  }
}
