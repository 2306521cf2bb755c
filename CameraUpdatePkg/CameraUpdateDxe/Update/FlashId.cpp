/** @file
  Flash identification: the flash-ID table, its decoder and the reads that
  feed it.
**/

#include "FlashId.h"

#include "FirmwareInterfaces.h"

///
/// The answer "0dx", which names kind 74 under any opcode.
///
STATIC CONST UINT8  mFlashId0dx[SPI_FLASH_ID_LENGTH] = { 0x30, 0x64, 0x78 };

CONST FLASH_ID_ENTRY  mFlashIdTable[] = {
  //
  // Read JEDEC identification (manufacturer, memory type, capacity).
  //
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC8, 0x40, 0x10 },  2 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xA1, 0x31, 0x10 },  3 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xA1, 0x31, 0x11 },  4 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x51, 0x40, 0x11 },  6 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x20, 0x11 },  7 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC4, 0xD9, 0x20 },  8 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xEF, 0x30, 0x10 }, 10 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x20, 0x15 }, 13 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC8, 0x40, 0x11 }, 14 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xEF, 0x30, 0x11 }, 17 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xBA, 0x20, 0x13 }, 18 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC8, 0x40, 0x13 }, 19 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x20, 0x14 }, 20 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x85, 0x60, 0x13 }, 21 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xEF, 0x40, 0x14 }, 22 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x85, 0x60, 0x10 }, 23 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x85, 0x60, 0x11 }, 24 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x20, 0x13 }, 25 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x7F, 0x9D, 0x54 }, 26 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x7F, 0x9D, 0x44 }, 27 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC8, 0x60, 0x18 }, 28 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC8, 0x60, 0x14 }, 29 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xEF, 0x50, 0x14 }, 30 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC8, 0x40, 0x15 }, 31 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC8, 0x40, 0x12 }, 32 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x00, 0x62, 0x06 }, 33 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xE0, 0x40, 0x13 }, 34 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x68, 0x40, 0x13 }, 36 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x20, 0x12 }, 38 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x85, 0x40, 0x12 }, 40 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xA1, 0x28, 0x13 }, 41 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xA1, 0x40, 0x13 }, 42 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xA1, 0x28, 0x12 }, 43 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x23, 0x12 }, 44 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xEF, 0x30, 0x13 }, 45 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xEF, 0x30, 0x12 }, 46 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x25, 0x36 }, 47 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x0B, 0x40, 0x11 }, 48 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x68, 0x40, 0x10 }, 50 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x68, 0x40, 0x11 }, 51 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x23, 0x14 }, 52 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x20, 0x17 }, 53 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x5E, 0x60, 0x14 }, 54 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x85, 0x60, 0x14 }, 55 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC8, 0x40, 0x14 }, 56 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x1C, 0x30, 0x14 }, 57 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x23, 0x13 }, 58 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x20, 0x10 }, 59 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x22, 0x11 }, 60 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0xC2, 0x22, 0x10 }, 61 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x7F, 0x9D, 0x20 }, 64 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x7F, 0x9D, 0x2F }, 65 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x1F, 0x65, 0x00 }, 67 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x1C, 0x31, 0x10 }, 68 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x1C, 0x31, 0x13 }, 69 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x1C, 0x31, 0x11 }, 70 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x1C, 0x31, 0x12 }, 71 },
  { SPI_FLASH_OP_READ_JEDEC_ID, { 0x1C, 0x30, 0x13 }, 72 },

  //
  // Read manufacturer and device ID; most chips repeat the manufacturer
  // byte after the device byte.
  //
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xC2, 0x05, 0xC2 },  1 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xC8, 0x05, 0xC8 },  2 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xA1, 0x05, 0xA1 },  3 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0x51, 0x05, 0x51 },  5 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0x51, 0x10, 0x51 },  6 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xC2, 0x10, 0xC2 },  7 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0x9D, 0x05, 0xC4 },  8 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xEF, 0x05, 0xEF }, 10 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xC2, 0x12, 0xC2 }, 11 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0x5E, 0x14, 0x5E }, 12 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xBA, 0x14, 0xBA }, 13 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xC8, 0x10, 0xC8 }, 14 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xE0, 0x05, 0xE0 }, 15 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xEF, 0x10, 0xEF }, 17 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xEF, 0x12, 0xEF }, 45 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xEF, 0x11, 0xEF }, 46 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0xBF, 0x48, 0xBF }, 63 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0x9D, 0x05, 0x7F }, 64 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0x9D, 0x02, 0x7F }, 65 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0x1C, 0x05, 0x1C }, 68 },
  { SPI_FLASH_OP_READ_DEVICE_ID, { 0x42, 0x05, 0xC2 }, 73 },

  //
  // Release from deep power-down and read the electronic signature.
  //
  { SPI_FLASH_OP_READ_SIGNATURE, { 0x9D, 0x7B, 0x7F }, 66 },
};

CONST UINTN  mFlashIdTableCount = ARRAY_SIZE (mFlashIdTable);

STATIC_ASSERT (ARRAY_SIZE (mFlashIdTable) == 58 + 21 + 1, "58 rows for 0x9F, 21 for 0x90, 1 for 0xAB");

/**
  Decodes identification bytes into a flash kind.

  @param[in] Id            The three identification bytes.
  @param[in] ReadIdOpcode  The opcode they were asked with.

  @return The flash kind; 0 when no row matches or Id is NULL.
**/
UINT8
EFIAPI
DecodeFlashId (
  IN CONST UINT8  *Id,
  IN UINT8        ReadIdOpcode
  )
{
  UINT8  FlashKind;
  UINTN  Index;

  if (Id == NULL) {
    return FLASH_KIND_UNKNOWN;
  }

  //
  // The row with this opcode and these bytes.
  //
  FlashKind = FLASH_KIND_UNKNOWN;
  for (Index = 0; Index < mFlashIdTableCount; Index++) {
    if ((mFlashIdTable[Index].ReadIdOpcode == ReadIdOpcode) &&
        (CompareMem (mFlashIdTable[Index].Id, Id, SPI_FLASH_ID_LENGTH) == 0))
    {
      FlashKind = mFlashIdTable[Index].FlashKind;
      break;
    }
  }

  //
  // "0dx" names its kind under any opcode, over the table.
  //
  if (CompareMem (Id, mFlashId0dx, SPI_FLASH_ID_LENGTH) == 0) {
    FlashKind = FLASH_KIND_0DX;
  }

  return FlashKind;
}

/**
  Identifies the camera's flash chip.

  @param[in]  Context    The camera context (UsbIo, XuIndex).
  @param[out] FlashKind  Receives the kind.

  @retval EFI_SUCCESS            A kind was found, or nothing matched.
  @retval EFI_INVALID_PARAMETER  A NULL argument; FlashKind is not written.
  @return                        The first failing read's error, or the
                                 status of the read that gave the kind.
**/
EFI_STATUS
EFIAPI
IdentifyFlash (
  IN  CAMERA_CONTEXT  *Context,
  OUT UINT8           *FlashKind
  )
{
  EFI_STATUS  Status;
  UINTN       Index;
  UINT8       Id[SPI_FLASH_ID_LENGTH];

  if ((Context == NULL) || (Context->UsbIo == NULL) || (FlashKind == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *FlashKind = FLASH_KIND_UNKNOWN;

  //
  // Ask with each opcode in turn until an answer names a chip; a failing
  // read ends the identification.
  //
  Status = EFI_SUCCESS;
  for (Index = 0; Index < SPI_FLASH_READ_ID_OPCODE_COUNT; Index++) {
    ZeroMem (Id, sizeof (Id));
    Status = XuReadFlashId (Context->UsbIo, Context->XuIndex, mSpiFlashReadIdOpcodes[Index], Id);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    //
    // The answer is decoded with the opcode asked for, even where the ISP
    // answered with the bytes of another opcode.
    //
    *FlashKind = DecodeFlashId (Id, mSpiFlashReadIdOpcodes[Index]);
    if (*FlashKind != FLASH_KIND_UNKNOWN) {
      return Status;
    }
  }

  //
  // No row matched: kind 0 with the status of the last read.
  //
  return Status;
}
