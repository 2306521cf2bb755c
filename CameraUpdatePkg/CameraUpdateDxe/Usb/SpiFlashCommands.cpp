/** @file
  The ISP's SPI controller (identification, write enable, status write), the
  identification path of each ISP generation, and the flash command sets.
**/

#include "SpiFlashCommands.h"
#include "ExtensionUnit.h"
#include "IspOps.h"

#include "FirmwareInterfaces.h"

CONST UINT8  mSpiFlashReadIdOpcodes[SPI_FLASH_READ_ID_OPCODE_COUNT] = {
  SPI_FLASH_OP_READ_JEDEC_ID,
  SPI_FLASH_OP_READ_DEVICE_ID,
  SPI_FLASH_OP_READ_SIGNATURE,
};

CONST UINT8  mTwoByteStatusFlashKinds[TWO_BYTE_STATUS_FLASH_KIND_COUNT] = {
  2, 24, 28, 29, 30, 31, 42, 43, 55, 56
};

//
// The command sets, slots 1 to 12 and the mode byte. Sets 3, 4 and 5 carry
// the bytes of set 0 but stay entries of their own: the ISP is told the set
// by its bytes only, and the update's own tables key on the index.
//
CONST FLASH_COMMAND_SET  mFlashCommandSets[FLASH_COMMAND_SET_COUNT] = {
  // read  fast  rdsr  wren  wrdi  sect  block chip  page  aai   ewsr  wrsr   mode
  { { 0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01 }, 0x00 },
  { { 0x03, 0xFF, 0x05, 0x06, 0x04, 0x20, 0x52, 0x60, 0x02, 0xAF, 0x50, 0x01 }, 0x01 },
  { { 0x03, 0x0B, 0x05, 0x06, 0x04, 0xD7, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01 }, 0x00 },
  { { 0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01 }, 0x00 },
  { { 0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01 }, 0x00 },
  { { 0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01 }, 0x00 },
  { { 0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01 }, 0x02 },
};

STATIC_ASSERT (sizeof (mFlashCommandSets) == FLASH_COMMAND_SET_COUNT * 13, "seven sets of 13 bytes");

///
/// A range of flash kinds that share a command-set index.
///
typedef struct {
  UINT8    FirstKind;
  UINT8    LastKind;
  UINT8    SetIndex;
} FLASH_KIND_SET_RANGE;

STATIC_ASSERT (sizeof (FLASH_KIND_SET_RANGE) == 3, "three bytes per range");

STATIC CONST FLASH_KIND_SET_RANGE  mFlashKindSetRanges[] = {
  { 59, 62, 6                           },
  { 63, 63, 1                           },
  { 64, 66, 2                           },
  { 67, 67, 5                           },
  { 68, 72, 3                           },
  { 73, 73, 4                           },
  { 74, 74, FLASH_COMMAND_SET_INDEX_0DX },
};

///
/// The number of status bytes queued by IspSpiClearStatus at most.
///
#define STATUS_WRITE_MAX_BYTES  2

///
/// The write-status command: opcode, up to two zero status bytes, then the
/// read-status opcode.
///
#define STATUS_WRITE_COMMAND_MAX_LENGTH  (1 + STATUS_WRITE_MAX_BYTES + 1)

///
/// Bytes a status-write command receives: the status read back by 0x05.
///
#define STATUS_WRITE_RECEIVE_LENGTH  1

/**
  Queues and starts one SPI command: 0x10 to the control register, each byte
  to the data register, the receive count (low, high), the mode registers
  (0x2C2A = 0 for a plain command; 0x2C2B = 1, 0x2C2C = 0, 0x2C2A = 1 for the
  status-register write), then 0x01 to the control register. Stops at the
  first error.

  @param[in] UsbIo          The camera's USB I/O protocol.
  @param[in] XuIndex        wIndex of the extension unit.
  @param[in] Command        The bytes to send.
  @param[in] CommandLength  Number of bytes to send.
  @param[in] ReceiveLength  Number of bytes to receive after them.
  @param[in] StatusWrite    TRUE for the status-register write set-up.

  @return The first register write error, else the status of the start.
**/
STATIC
EFI_STATUS
IspSpiStartCommand (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN CONST UINT8          *Command,
  IN UINTN                CommandLength,
  IN UINT16               ReceiveLength,
  IN BOOLEAN              StatusWrite
  )
{
  EFI_STATUS  Status;
  UINTN       Index;

  //
  // Prepare the controller, then queue the bytes to send.
  //
  Status = IspWriteRegister (UsbIo, XuIndex, ISP_SPI_CONTROL, ISP_SPI_CONTROL_PREPARE);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  for (Index = 0; Index < CommandLength; Index++) {
    Status = IspWriteRegister (UsbIo, XuIndex, ISP_SPI_DATA, Command[Index]);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // How many bytes to clock in after them.
  //
  Status = IspWriteRegister (UsbIo, XuIndex, ISP_SPI_RECEIVE_COUNT_LOW, (UINT8)(ReceiveLength & 0xFF));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = IspWriteRegister (UsbIo, XuIndex, ISP_SPI_RECEIVE_COUNT_HIGH, (UINT8)(ReceiveLength >> 8));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The mode: a status-register write sets up two more registers first.
  //
  if (StatusWrite) {
    Status = IspWriteRegister (UsbIo, XuIndex, ISP_SPI_WRSR_SETUP_0, ISP_SPI_WRSR_SETUP_0_VALUE);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    Status = IspWriteRegister (UsbIo, XuIndex, ISP_SPI_WRSR_SETUP_1, ISP_SPI_WRSR_SETUP_1_VALUE);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  Status = IspWriteRegister (UsbIo, XuIndex, ISP_SPI_MODE, StatusWrite ? ISP_SPI_MODE_STATUS_WRITE : ISP_SPI_MODE_PLAIN);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Start it.
  //
  return IspWriteRegister (UsbIo, XuIndex, ISP_SPI_CONTROL, ISP_SPI_CONTROL_START);
}

/**
  Waits until the SPI controller is idle, at most ISP_SPI_MAX_POLLS polls.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.

  @retval EFI_SUCCESS            The controller reads idle.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @retval EFI_TIMEOUT            Every poll read busy.
  @return                        The status of a read that did not succeed.
**/
EFI_STATUS
EFIAPI
IspSpiWaitIdle (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex
  )
{
  EFI_STATUS  Status;
  UINT8       Control;
  UINTN       Poll;

  if (UsbIo == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  for (Poll = 0; Poll < ISP_SPI_MAX_POLLS; Poll++) {
    //
    // A read that did not succeed delivered no value to test: the wait ends
    // with its status.
    //
    Status = IspReadRegister (UsbIo, XuIndex, ISP_SPI_CONTROL, &Control);
    if (Status != EFI_SUCCESS) {
      return Status;
    }

    //
    // Give the command time, then test the busy flag read before the stall.
    //
    gBS->Stall (ISP_SPI_POLL_STALL_US);
    if ((Control & ISP_SPI_CONTROL_BUSY) == 0) {
      return Status;
    }
  }

  return EFI_TIMEOUT;
}

/**
  Reads the flash identification through the SPI controller.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[out] Id       Receives the three bytes.

  @retval EFI_SUCCESS            The flash answered.
  @retval EFI_INVALID_PARAMETER  A NULL argument, or no opcode was answered
                                 with anything but all 0x00 or all 0xFF.
  @return                        The first register error, or the status of
                                 the last read.
**/
EFI_STATUS
EFIAPI
IspSpiReadId (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  OUT UINT8                *Id
  )
{
  EFI_STATUS  Status;
  UINTN       OpcodeIndex;
  UINTN       Index;
  BOOLEAN     AllZero;
  BOOLEAN     AllOnes;

  if ((UsbIo == NULL) || (Id == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  for (OpcodeIndex = 0; OpcodeIndex < SPI_FLASH_READ_ID_OPCODE_COUNT; OpcodeIndex++) {
    //
    // The opcode alone, three bytes to receive.
    //
    Status = IspSpiStartCommand (
               UsbIo,
               XuIndex,
               &mSpiFlashReadIdOpcodes[OpcodeIndex],
               1,
               SPI_FLASH_ID_LENGTH,
               FALSE
               );
    if (EFI_ERROR (Status)) {
      return Status;
    }

    //
    // The wait's status is not examined: the received bytes tell whether
    // the flash answered.
    //
    (VOID)IspSpiWaitIdle (UsbIo, XuIndex);

    //
    // Take the received bytes. A byte that did not arrive reads 0, never a
    // byte of the previous cycle.
    //
    ZeroMem (Id, SPI_FLASH_ID_LENGTH);
    for (Index = 0; Index < SPI_FLASH_ID_LENGTH; Index++) {
      Status = IspReadRegister (UsbIo, XuIndex, ISP_SPI_DATA, &Id[Index]);
      if (EFI_ERROR (Status)) {
        return Status;
      }
    }

    //
    // All 0x00 or all 0xFF is no answer: try the next opcode.
    //
    AllZero = TRUE;
    AllOnes = TRUE;
    for (Index = 0; Index < SPI_FLASH_ID_LENGTH; Index++) {
      AllZero = (BOOLEAN)(AllZero && (Id[Index] == 0x00));
      AllOnes = (BOOLEAN)(AllOnes && (Id[Index] == 0xFF));
    }

    if (!AllZero && !AllOnes) {
      return Status;
    }
  }

  return EFI_INVALID_PARAMETER;
}

/**
  Tells whether a flash kind's status register is written as two bytes.

  @param[in] FlashKind  The flash kind.

  @retval TRUE   The kind is in mTwoByteStatusFlashKinds.
  @retval FALSE  It is not: one byte.
**/
STATIC
BOOLEAN
IsTwoByteStatusFlashKind (
  IN UINT8  FlashKind
  )
{
  UINTN  Index;

  for (Index = 0; Index < TWO_BYTE_STATUS_FLASH_KIND_COUNT; Index++) {
    if (mTwoByteStatusFlashKinds[Index] == FlashKind) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Clears the flash status register through the SPI controller.

  @param[in] UsbIo      The camera's USB I/O protocol.
  @param[in] XuIndex    wIndex of the extension unit.
  @param[in] FlashKind  The identified flash kind.

  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @return                        The first error, else the status of the last
                                 wait.
**/
EFI_STATUS
EFIAPI
IspSpiClearStatus (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT8                FlashKind
  )
{
  EFI_STATUS  Status;
  UINT8       WriteEnable;
  UINT8       Command[STATUS_WRITE_COMMAND_MAX_LENGTH];
  UINTN       StatusBytes;
  UINTN       Length;
  UINTN       Index;

  if (UsbIo == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Write enable first: the chip ignores a status write without it.
  //
  WriteEnable = SPI_FLASH_OP_WRITE_ENABLE;
  Status      = IspSpiStartCommand (UsbIo, XuIndex, &WriteEnable, 1, 0, FALSE);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = IspSpiWaitIdle (UsbIo, XuIndex);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The status write: the opcode, zero for each status byte of the chip,
  // then the read-status opcode with one byte to receive.
  //
  StatusBytes = IsTwoByteStatusFlashKind (FlashKind) ? STATUS_WRITE_MAX_BYTES : 1;
  Length      = 0;
  Command[Length++] = SPI_FLASH_OP_WRITE_STATUS;
  for (Index = 0; Index < StatusBytes; Index++) {
    Command[Length++] = 0x00;
  }

  Command[Length++] = SPI_FLASH_OP_READ_STATUS;

  Status = IspSpiStartCommand (UsbIo, XuIndex, Command, Length, STATUS_WRITE_RECEIVE_LENGTH, TRUE);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return IspSpiWaitIdle (UsbIo, XuIndex);
}

/**
  Unprotects the flash before programming.

  @param[in] UsbIo      The camera's USB I/O protocol.
  @param[in] XuIndex    wIndex of the extension unit.
  @param[in] IspKind    The ISP kind letter.
  @param[in] FlashKind  The identified flash kind.

  @retval EFI_SUCCESS            Nothing to do for the kind.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL.
  @return                        The result of IspSpiClearStatus.
**/
EFI_STATUS
EFIAPI
IspUnprotectFlash (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN CHAR8                IspKind,
  IN UINT8                FlashKind
  )
{
  if (UsbIo == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Only the generations with the SPI controller reach the status register.
  //
  if (!IspKindHasSpiController (IspKind)) {
    return EFI_SUCCESS;
  }

  return IspSpiClearStatus (UsbIo, XuIndex, FlashKind);
}

/**
  Reads the flash identification by the path the ISP generation needs.

  @param[in]  UsbIo         The camera's USB I/O protocol.
  @param[in]  XuIndex       wIndex of the extension unit.
  @param[in]  ReadIdOpcode  The opcode for the extension-unit path.
  @param[out] Id            Receives the three bytes.

  @retval EFI_INVALID_PARAMETER  A NULL argument; nothing was sent.
  @retval EFI_UNSUPPORTED        The unit refused slot 13.
  @retval EFI_NOT_READY          No identification path.
  @return                        As described in SpiFlashCommands.h.
**/
EFI_STATUS
EFIAPI
XuReadFlashId (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT8                ReadIdOpcode,
  OUT UINT8                *Id
  )
{
  EFI_STATUS  Status;
  EFI_STATUS  SlotStatus;
  UINT8       Generation;
  UINT8       Legacy;
  UINT8       Nibble;
  UINT8       Slot;
  UINT8       Answer[SPI_FLASH_ID_LENGTH];

  if ((UsbIo == NULL) || (Id == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The two-slot generation has the SPI controller; it tries its own three
  // opcodes, so ReadIdOpcode is not used.
  //
  Generation = 0;
  Status     = IspReadRegister (UsbIo, XuIndex, ISP_REG_GENERATION, &Generation);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (Generation == ISP_GENERATION_TWO_SLOT) {
    return IspSpiReadId (UsbIo, XuIndex, Id);
  }

  Legacy = 0;
  Status = IspReadRegister (UsbIo, XuIndex, ISP_REG_LEGACY_GENERATION, &Legacy);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Nibble = ISP_LEGACY_NIBBLE (Legacy);

  //
  // Select the read-identification slot of the ISP's command table; whether
  // the unit takes it decides the extension-unit path.
  //
  Slot       = ISP_FLASH_COMMAND_SLOT_READ_ID;
  SlotStatus = XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_COMMAND_SLOT), &Slot, sizeof (Slot));

  if ((Nibble == ISP_LEGACY_NIBBLE_J) || (Nibble == ISP_LEGACY_NIBBLE_K) || (Nibble == ISP_LEGACY_NIBBLE_M)) {
    if (SlotStatus != EFI_SUCCESS) {
      return EFI_UNSUPPORTED;
    }

    //
    // Put the opcode in slot 13 (statuses not examined), then read the
    // chip's answer.
    //
    (VOID)XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_COMMAND_SLOT), &Slot, sizeof (Slot));
    (VOID)XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_COMMAND_VALUE), &ReadIdOpcode, sizeof (ReadIdOpcode));

    ZeroMem (Answer, sizeof (Answer));
    Status = XuGetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_ID), Answer, sizeof (Answer));
    CopyMem (Id, Answer, sizeof (Answer));
    return Status;
  }

  //
  // Generations 'i' and 'l' have no way to the identification.
  //
  if (Nibble == ISP_LEGACY_NIBBLE_I_L) {
    return EFI_NOT_READY;
  }

  //
  // Every other even value, and 0x0F, identifies through the SPI
  // controller; any other odd value has no path.
  //
  if (((Legacy & BIT0) == 0) || (Legacy == ISP_LEGACY_ODD_N)) {
    return IspSpiReadId (UsbIo, XuIndex, Id);
  }

  return EFI_NOT_READY;
}

/**
  Maps a flash kind to the index of its command set.

  @param[in] FlashKind  The flash kind.

  @return The command-set index, 0 for a kind outside every range.
**/
UINT8
EFIAPI
FlashKindToCommandSet (
  IN UINT8  FlashKind
  )
{
  UINTN  Index;

  for (Index = 0; Index < ARRAY_SIZE (mFlashKindSetRanges); Index++) {
    if ((FlashKind >= mFlashKindSetRanges[Index].FirstKind) && (FlashKind <= mFlashKindSetRanges[Index].LastKind)) {
      return mFlashKindSetRanges[Index].SetIndex;
    }
  }

  return 0;
}

/**
  Loads a flash command set into the ISP.

  @param[in]  UsbIo        The camera's USB I/O protocol.
  @param[in]  XuIndex      wIndex of the extension unit.
  @param[in]  SetIndex     1 to 6 select that set; any other index set 0.
  @param[out] ChunkLength  Optional; receives the flash-data length when the
                           result is not an error.

  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @return                        The status of the final GET_LEN.
**/
EFI_STATUS
EFIAPI
XuLoadFlashCommandSet (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT8                SetIndex,
  OUT UINT16               *ChunkLength  OPTIONAL
  )
{
  EFI_STATUS               Status;
  CONST FLASH_COMMAND_SET  *Set;
  UINT8                    Slot;
  UINT16                   Length;

  if (UsbIo == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Indexes 1 to 6 name a set; every other index (10 included) loads set 0.
  //
  Set = &mFlashCommandSets[0];
  if ((SetIndex >= 1) && (SetIndex < FLASH_COMMAND_SET_COUNT)) {
    Set = &mFlashCommandSets[SetIndex];
  }

  //
  // Each slot: its number through selector 7, its opcode through selector 8.
  // The ISP's answers are not examined; the closing GET_LEN tells whether
  // the unit is still there.
  //
  for (Slot = 1; Slot <= FLASH_COMMAND_SLOT_COUNT; Slot++) {
    (VOID)XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_COMMAND_SLOT), &Slot, sizeof (Slot));
    (VOID)XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_COMMAND_VALUE), &Set->Opcodes[Slot - 1], sizeof (UINT8));
  }

  //
  // The mode byte.
  //
  (VOID)XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_COMMAND_MODE), &Set->Mode, sizeof (Set->Mode));

  //
  // The flash-data length with the new set; handed out only when the result
  // is not an error, so a caller that goes on never sees an unread length.
  //
  Length = 0;
  Status = XuGetLen (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), &Length);
  if (!EFI_ERROR (Status) && (ChunkLength != NULL)) {
    *ChunkLength = Length;
  }

  return Status;
}
