/** @file
  ISP operations: generation letter, update lock and restart.
**/

#include "IspOps.h"
#include "ExtensionUnit.h"

CONST UINT8  mIspUpdateMarker[ISP_UPDATE_MARKER_LENGTH] = { 'F', 'W', 'P', 'O' };

STATIC_ASSERT (sizeof (mIspUpdateMarker) == ISP_UPDATE_MARKER_LENGTH, "four marker registers");

CONST ISP_REGISTER_WRITE  mIspRestartSequence[ISP_RESTART_SEQUENCE_LENGTH] = {
  { ISP_REG_RESTART_CONTROL, 0x00 },
  { ISP_REG_RESTART_MASK,    0xFF },
  { ISP_REG_RESTART_ARG0,    0x00 },
  { ISP_REG_RESTART_ARG1,    0x00 },
  { ISP_REG_RESTART_COMMAND, 0x02 },
  { ISP_REG_RESTART_CONTROL, 0x01 },
};

STATIC_ASSERT (sizeof (ISP_REGISTER_WRITE) == 4, "UINT16 register, UINT8 value, padded");
STATIC_ASSERT (ARRAY_SIZE (mIspRestartSequence) == ISP_RESTART_SEQUENCE_LENGTH, "six restart writes");

/**
  Tells whether an ISP kind has the ISP's own SPI controller.

  @param[in] IspKind  The ISP kind letter.

  @retval TRUE   Kind 'n', 'p' or 'q'.
  @retval FALSE  Any other kind.
**/
BOOLEAN
EFIAPI
IspKindHasSpiController (
  IN CHAR8  IspKind
  )
{
  return (BOOLEAN)((IspKind == 'n') || (IspKind == 'p') || (IspKind == 'q'));
}

/**
  The lock bit of an ISP kind.

  @param[in] IspKind  The ISP kind letter.

  @return The kind's bit in the lock registers, ISP_LOCK_BIT_NONE for a kind
          without an update lock.
**/
STATIC
UINT8
IspLockBitOfKind (
  IN CHAR8  IspKind
  )
{
  switch (IspKind) {
    case 'p':
    case 'q':
      return ISP_LOCK_BIT_TWO_SLOT;
    case 'n':
      return ISP_LOCK_BIT_N;
    case 'k':
      return ISP_LOCK_BIT_K;
    default:
      return ISP_LOCK_BIT_NONE;
  }
}

/**
  Classifies the ISP into a kind letter from its generation registers.

  @param[in]     UsbIo    The camera's USB I/O protocol.
  @param[in]     XuIndex  wIndex of the extension unit.
  @param[in,out] IspKind  Starts at 'd'; receives the kind.

  @retval EFI_SUCCESS            The ISP was classified, or left as it was.
  @retval EFI_INVALID_PARAMETER  UsbIo or IspKind is NULL; nothing was sent.
  @return                        A read error, as described in IspOps.h.
**/
EFI_STATUS
EFIAPI
IspGetKind (
  IN     EFI_USB_IO_PROTOCOL  *UsbIo,
  IN     UINT16               XuIndex,
  IN OUT CHAR8                *IspKind
  )
{
  EFI_STATUS  Status;
  UINT8       Generation;
  UINT8       Legacy;
  UINT8       Variant;

  if ((UsbIo == NULL) || (IspKind == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The two-slot generation marks itself in 0x209E.
  //
  Generation = 0;
  Status     = IspReadRegister (UsbIo, XuIndex, ISP_REG_GENERATION, &Generation);
  if (EFI_ERROR (Status)) {
    *IspKind = ISP_KIND_UNKNOWN;
    return Status;
  }

  if (Generation == ISP_GENERATION_TWO_SLOT) {
    //
    // Bit 7 of 0x20A1 tells 'p' from 'q'. The read's status is not examined:
    // a failed read leaves 0x3E in the byte, whose bit 7 is clear ('q').
    //
    *IspKind = 'p';
    (VOID)IspReadRegister (UsbIo, XuIndex, ISP_REG_GENERATION_VARIANT, &Generation);
    *IspKind = ((Generation & ISP_GENERATION_VARIANT_P) != 0) ? 'p' : 'q';

    //
    // 0x209F reading 0 makes it 'q' whatever 0x20A1 said.
    //
    Status = IspReadRegister (UsbIo, XuIndex, ISP_REG_GENERATION_DETAIL, &Generation);
    if (Generation == 0) {
      *IspKind = 'q';
    }

    return Status;
  }

  //
  // The other generations by 0x20FF.
  //
  Legacy = 0;
  Status = IspReadRegister (UsbIo, XuIndex, ISP_REG_LEGACY_GENERATION, &Legacy);
  if (EFI_ERROR (Status)) {
    *IspKind = ISP_KIND_UNKNOWN;
    return Status;
  }

  //
  // Its high nibble names most of them.
  //
  switch (ISP_LEGACY_NIBBLE (Legacy)) {
    case ISP_LEGACY_NIBBLE_F:
      *IspKind = 'f';
      return Status;
    case ISP_LEGACY_NIBBLE_G:
      *IspKind = 'g';
      return Status;
    case ISP_LEGACY_NIBBLE_H:
      *IspKind = 'h';
      return Status;
    case ISP_LEGACY_NIBBLE_I_L:
      //
      // 'i' and 'l' share the nibble; 0x20D0 tells them apart, and a failed
      // read counts as 'i'.
      //
      Variant  = 0;
      Status   = IspReadRegister (UsbIo, XuIndex, ISP_REG_LEGACY_VARIANT, &Variant);
      *IspKind = (Variant == ISP_LEGACY_VARIANT_L) ? 'l' : 'i';
      return Status;
    case ISP_LEGACY_NIBBLE_J:
      *IspKind = 'j';
      return Status;
    case ISP_LEGACY_NIBBLE_K:
    case ISP_LEGACY_NIBBLE_K_SPI:
      *IspKind = 'k';
      return Status;
    case ISP_LEGACY_NIBBLE_M:
      *IspKind = 'm';
      return Status;
    default:
      break;
  }

  //
  // Any other even value, and 0x0F, is 'n'. Another odd value names no
  // generation: the caller's letter stays.
  //
  if (((Legacy & BIT0) == 0) || (Legacy == ISP_LEGACY_ODD_N)) {
    *IspKind = 'n';
  }

  return Status;
}

/**
  Tells whether the ISP refuses an update.

  @param[in] Context  The camera context (UsbIo, XuIndex).

  @retval TRUE   The update must be refused, or the ISP could not be read.
  @retval FALSE  No marker, a kind without a lock bit, or the bit is set.
**/
BOOLEAN
EFIAPI
IspIsUpdateLocked (
  IN CAMERA_CONTEXT  *Context
  )
{
  EFI_STATUS  Status;
  CHAR8       IspKind;
  UINT8       Marker[ISP_UPDATE_MARKER_LENGTH];
  UINT8       LockBit;
  UINT8       LockState;
  UINTN       Index;

  //
  // A camera that cannot be reached counts as locked.
  //
  if ((Context == NULL) || (Context->UsbIo == NULL)) {
    return TRUE;
  }

  IspKind = ISP_KIND_UNKNOWN;
  Status  = IspGetKind (Context->UsbIo, Context->XuIndex, &IspKind);
  if (EFI_ERROR (Status)) {
    return TRUE;
  }

  //
  // The marker switches the lock test on; without it the update may go on.
  //
  for (Index = 0; Index < ISP_UPDATE_MARKER_LENGTH; Index++) {
    Status = IspReadRegister (Context->UsbIo, Context->XuIndex, (UINT16)(ISP_REG_UPDATE_MARKER + Index), &Marker[Index]);
    if (EFI_ERROR (Status)) {
      return TRUE;
    }
  }

  for (Index = 0; Index < ISP_UPDATE_MARKER_LENGTH; Index++) {
    if (Marker[Index] != mIspUpdateMarker[Index]) {
      return FALSE;
    }
  }

  //
  // Kinds without a lock bit are never locked.
  //
  LockBit = IspLockBitOfKind (IspKind);
  if (LockBit == ISP_LOCK_BIT_NONE) {
    return FALSE;
  }

  //
  // The bit set means unlocked. The read's status is not examined: a failed
  // read leaves 0, which reads as locked.
  //
  LockState = 0;
  (VOID)IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_LOCK_STATE, &LockState);
  return (BOOLEAN)((LockState & LockBit) == 0);
}

/**
  Releases the update lock.

  @param[in] Context  The camera context (UsbIo, XuIndex).
  @param[in] Enable   FALSE: nothing is done.

  @retval EFI_SUCCESS            Nothing to do, or the bit was written.
  @retval EFI_INVALID_PARAMETER  Context or its UsbIo is NULL.
  @retval EFI_UNSUPPORTED        The kind has no lock bit.
  @return                        The classification's error, or the status of
                                 the 0x2043 write.
**/
EFI_STATUS
EFIAPI
IspReleaseUpdateLock (
  IN CAMERA_CONTEXT  *Context,
  IN BOOLEAN         Enable
  )
{
  EFI_STATUS  Status;
  CHAR8       IspKind;
  UINT8       LockBit;

  if (!Enable) {
    return EFI_SUCCESS;
  }

  if ((Context == NULL) || (Context->UsbIo == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The bit to write depends on the generation.
  //
  IspKind = ISP_KIND_UNKNOWN;
  Status  = IspGetKind (Context->UsbIo, Context->XuIndex, &IspKind);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  LockBit = IspLockBitOfKind (IspKind);
  if (LockBit == ISP_LOCK_BIT_NONE) {
    return EFI_UNSUPPORTED;
  }

  //
  // Both release registers take the bit; only the second write's status
  // counts.
  //
  (VOID)IspWriteRegister (Context->UsbIo, Context->XuIndex, ISP_REG_LOCK_RELEASE_FIRST, LockBit);
  return IspWriteRegister (Context->UsbIo, Context->XuIndex, ISP_REG_LOCK_RELEASE_SECOND, LockBit);
}

/**
  Restarts the ISP.

  @param[in] Context  The camera context (UsbIo, XuIndex).
  @param[in] IspKind  The ISP kind letter.

  @retval EFI_INVALID_PARAMETER  Context or its UsbIo is NULL.
  @retval EFI_UNSUPPORTED        IspKind is 'd'; nothing was sent.
  @return                        The first write error, else the status of the
                                 last write.
**/
EFI_STATUS
EFIAPI
IspRestart (
  IN CAMERA_CONTEXT  *Context,
  IN CHAR8           IspKind
  )
{
  EFI_STATUS  Status;
  UINTN       Index;

  if ((Context == NULL) || (Context->UsbIo == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // An ISP that could not be classified is not restarted blindly.
  //
  if (IspKind == ISP_KIND_UNKNOWN) {
    return EFI_UNSUPPORTED;
  }

  //
  // The generations with the SPI controller restart through one register.
  //
  if (IspKindHasSpiController (IspKind)) {
    return IspWriteRegister (Context->UsbIo, Context->XuIndex, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_RESTART);
  }

  //
  // The others take the six-register sequence, stopping at the first error.
  //
  Status = EFI_SUCCESS;
  for (Index = 0; Index < ISP_RESTART_SEQUENCE_LENGTH; Index++) {
    if (Context->UsbIo == NULL) {
      return EFI_INVALID_PARAMETER;
    }

    Status = IspWriteRegister (
               Context->UsbIo,
               Context->XuIndex,
               mIspRestartSequence[Index].Register,
               mIspRestartSequence[Index].Value
               );
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  return Status;
}
