/** @file
  The banked update: the ISP generation whose flash holds a base area from
  address 0, a bank header in sector 7 and a firmware bank that the header
  points to. The bank is rewritten inside the ISP's update window, verified,
  and the header is rewritten with the digests the ISP left in it, the bank
  number and the new image's USB identity.
**/

#include "FlashStrategies.h"

#include "FirmwareInterfaces.h"
#include "PoolBuffer.h"

#include "ExtensionUnit.h"
#include "FlashTransfer.h"
#include "IspOps.h"

///
/// The default bank header, byte for byte.
///
CONST UINT8  mDefaultBankHeader[BANK_HEADER_SIZE] = {
  // 0x00: "CY", then the configuration bytes.
  0x43, 0x59, 0x01, 0xA5, 0x09, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x07, 0x2F, 0x03, 0x01,
  0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  // 0x20: USB 2.01 device descriptor, class EF/02/01, 64-byte packets,
  // 0x1BCF:0x0B15, bcdDevice 0x0110, strings 1, 2, 3, one configuration.
  0x12, 0x01, 0x01, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xCF, 0x1B, 0x15, 0x0B, 0x10, 0x01, 0x01, 0x02,
  0x03, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  // 0x40: byte 0x40, ActiveBank 0, zeros.
  0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  // 0x60: bank entry 1: Version 1, Offset 0x8000, Flags 1, no digest.
  0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,
  // 0x90: zeros, then bank entry 2 at 0xA0: Version 2, Offset 0x24800,
  // Flags 1, no digest.
  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x48, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
};

STATIC_ASSERT (sizeof (mDefaultBankHeader) == sizeof (BANK_HEADER), "the template fills the header");

STATIC CONST UINT8  mBankMarkerCy[2] = { 'C', 'Y' };
STATIC CONST UINT8  mBankMarkerDz[2] = { 'D', 'Z' };

///
/// The tag of a camera's data block, and the placeholder an image carries.
///
STATIC CONST UINT8  mDeviceDataTag[BANK_DATA_TAG_LENGTH]         = { 0x30, 0x64, 0x78 };
STATIC CONST UINT8  mDeviceDataPlaceholder[BANK_DATA_TAG_LENGTH] = { 0x78, 0x64, 0x30 };

//
// Layout states of the camera and of the image.
//
#define LAYOUT_BASE         'U'  ///< base area only
#define LAYOUT_BASE_HEADER  'V'  ///< base area with an empty bank header
#define LAYOUT_BANK         'W'  ///< a bank

/**
  Tells whether a camera layout and an image layout fit together.

  @param[in] Camera  The camera's layout state.
  @param[in] Image   The image's layout state.

  @retval TRUE   The pair is one of (U, U), (U, V), (V, W), (W, W).
  @retval FALSE  Any other pair.
**/
STATIC
BOOLEAN
IsAcceptedLayoutPair (
  IN CHAR8  Camera,
  IN CHAR8  Image
  )
{
  return (BOOLEAN)(((Camera == LAYOUT_BASE) && ((Image == LAYOUT_BASE) || (Image == LAYOUT_BASE_HEADER))) ||
                   ((Camera == LAYOUT_BASE_HEADER) && (Image == LAYOUT_BANK)) ||
                   ((Camera == LAYOUT_BANK) && (Image == LAYOUT_BANK)));
}

/**
  Reads a big-endian 32-bit value.

  @param[in] Bytes  The four bytes.

  @return The value.
**/
STATIC
UINT32
BankReadBe32 (
  IN CONST UINT8  *Bytes
  )
{
  return ((UINT32)Bytes[0] << 24) | ((UINT32)Bytes[1] << 16) | ((UINT32)Bytes[2] << 8) | (UINT32)Bytes[3];
}

/**
  Carries the camera's device-specific data block into the image: the block
  is found through the bank header in sector 7 (or in sector 3 when the ISP
  does not run from a bank) and replaces the image's placeholder, so that the
  data survives the update. Nothing outside the image is read or written; a
  block the camera does not have, an image without the placeholder or too
  short to hold it, and a data sector beyond the sectors the unit can read
  one by one leave the image as it is.

  @param[in]     Context      The camera.
  @param[in]     BootState    Register 0x20D9 as last read.
  @param[in,out] Image        The image.
  @param[in]     ImageSize    Its length.
  @param[in]     ImageLayout  The image's layout state.
  @param[in]     FullFlash    The image is a full-flash image.

  @retval EFI_SUCCESS           The step is done, whether or not it copied.
  @retval EFI_OUT_OF_RESOURCES  The block buffer could not be allocated.
**/
STATIC
EFI_STATUS
CarryDeviceData (
  IN     CAMERA_CONTEXT  *Context,
  IN     UINT8           BootState,
  IN OUT UINT8           *Image,
  IN     UINT64          ImageSize,
  IN     CHAR8           ImageLayout,
  IN     BOOLEAN         FullFlash
  )
{
  POOL_BUFFER<UINT8>  Block;
  UINT64              DataSector;
  UINT64              Destination;
  EFI_STATUS          Status;

  if (!Block.Allocate (XU_FLASH_SECTOR_SIZE)) {
    return EFI_OUT_OF_RESOURCES;
  }

  SetMem (Block.Get (), XU_FLASH_SECTOR_SIZE, 0xFF);

  //
  // Which sector holds the camera's block: sector 3 below a base image, else
  // the sector 0x3000 past the bank that the header names.
  //
  if ((BootState & ISP_BOOT_STATE_BANKED) == 0) {
    DataSector = BANK_DATA_BASE_SECTOR;
  } else {
    XuFlashReadSector (Context->UsbIo, Context->XuIndex, BANK_HEADER_SECTOR, Block.Get ());
    if ((Block[OFFSET_OF (BANK_HEADER, ActiveBank)] == 0) || (Block[OFFSET_OF (BANK_HEADER, ActiveBank)] == 0xFF)) {
      return EFI_SUCCESS;
    }

    DataSector = ((UINT64)BankReadBe32 (Block.Get () + BANK_HEADER_BANK1_OFFSET) + BANK_DATA_BANK_OFFSET) /
                 XU_FLASH_SECTOR_SIZE;
    //
    // The sector read takes an 8-bit sector number; a larger one would read
    // another sector's bytes as the block.
    //
    if (DataSector > MAX_UINT8) {
      return EFI_SUCCESS;
    }
  }

  //
  // The camera's block, if it is tagged.
  //
  Status = XuFlashReadSector (Context->UsbIo, Context->XuIndex, (UINT8)DataSector, Block.Get ());
  if ((Status != EFI_SUCCESS) ||
      (CompareMem (Block.Get () + BANK_DATA_TAG_OFFSET, mDeviceDataTag, BANK_DATA_TAG_LENGTH) != 0))
  {
    return EFI_SUCCESS;
  }

  //
  // Where the image keeps its placeholder: 0x3000 into its bank part. An
  // image that keeps an empty bank header has none.
  //
  if (ImageLayout == LAYOUT_BASE_HEADER) {
    return EFI_SUCCESS;
  }

  Destination = BANK_DATA_IMAGE_OFFSET + (FullFlash ? BANK_FULL_IMAGE_BANK : 0);
  if ((ImageSize < Destination) || (ImageSize - Destination < BANK_DATA_TAG_OFFSET + BANK_DATA_TAG_LENGTH)) {
    return EFI_SUCCESS;
  }

  //
  // Replace the placeholder with the camera's block and its tag.
  //
  if (CompareMem (Image + Destination + BANK_DATA_TAG_OFFSET, mDeviceDataPlaceholder, BANK_DATA_TAG_LENGTH) == 0) {
    CopyMem (Image + Destination, Block.Get (), BANK_DATA_BLOCK_SIZE);
    CopyMem (Image + Destination + BANK_DATA_TAG_OFFSET, mDeviceDataTag, BANK_DATA_TAG_LENGTH);
  }

  return EFI_SUCCESS;
}

/**
  Closes the update window: writes 0 to register 0x6000, then waits until it
  reads 0. The ISP finishes its own work on the written bank before the
  register clears.

  @param[in] Context  The camera.

  @retval EFI_SUCCESS  The window is closed.
  @retval EFI_TIMEOUT  The register did not clear in time.
  @return              The failure of the write or of a read.
**/
STATIC
EFI_STATUS
CloseUpdateWindow (
  IN CAMERA_CONTEXT  *Context
  )
{
  EFI_STATUS  Status;

  Status = IspWriteRegister (Context->UsbIo, Context->XuIndex, ISP_REG_UPDATE_WINDOW, 0);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return IspWaitUpdateWindowIdle (Context->UsbIo, Context->XuIndex, BANK_WINDOW_POLL_STALL_US);
}

/**
  Puts the default bank header back after a bank that failed to verify, so
  that the camera boots its base image rather than a broken bank. Statuses
  are not examined: the update fails either way.

  @param[in] Context      The camera.
  @param[in] ChunkLength  The unit's chunk length (at least the header's).
**/
STATIC
VOID
RestoreDefaultBankHeader (
  IN CAMERA_CONTEXT  *Context,
  IN UINT16          ChunkLength
  )
{
  FlashEraseSector (Context->UsbIo, Context->XuIndex, BANK_HEADER_SECTOR, 1, 0);
  //
  // The chunk beyond the header's 204 bytes is 0xFF, the erased state.
  //
  FlashWriteChunk (
    Context->UsbIo,
    Context->XuIndex,
    BANK_HEADER_ADDRESS,
    ChunkLength,
    mDefaultBankHeader,
    sizeof (mDefaultBankHeader),
    1,
    0
    );
}

/**
  Updates a camera whose ISP runs from a bank.

  @param[in]     Context    The camera.
  @param[in,out] Image      The image; its data block may be replaced.
  @param[in]     ImageSize  Its length in bytes.
  @param[in]     Progress   Receives percentages; NULL for none.

  @retval EFI_SUCCESS            The bank was written and verified.
  @retval EFI_INVALID_PARAMETER  Bad arguments, an unknown image, layouts
                                 that do not fit, or a bank that differs
                                 when read back.
  @retval EFI_LOAD_ERROR         An unusable bank number, flag or offset.
  @retval EFI_UNSUPPORTED        An unusable chunk length.
  @retval EFI_TIMEOUT            The update window did not close.
  @retval EFI_OUT_OF_RESOURCES   A working buffer could not be allocated.
  @return                        The failure of a transfer.
**/
EFI_STATUS
EFIAPI
UpdateBankedFirmware (
  IN     CAMERA_CONTEXT            *Context,
  IN OUT UINT8                     *Image,
  IN     UINT64                    ImageSize,
  IN     UPDATE_PROGRESS_CALLBACK  Progress  OPTIONAL
  )
{
  POOL_BUFFER<UINT8>   DeviceCopy;
  POOL_BUFFER<UINT8>   ReadBack;
  POOL_BUFFER<UINT8>   Scratch;
  EFI_USB_IO_PROTOCOL  *UsbIo;
  UINT16               XuIndex;
  UINT8                *Header;
  EFI_STATUS           Status;
  UINT16               ChunkLength;
  UINT8                BootState;
  CHAR8                CameraLayout;
  CHAR8                ImageLayout;
  BOOLEAN              FullFlash;
  BYTE_VIEW            ImageView;
  UINT8                ActiveBank;
  UINT64               BankOffset;
  UINT8                *BankImage;
  UINT64               BankSize;
  UINT64               Offset;
  UINT64               Sector;
  BYTE_VIEW            BankView;
  UINT8                Selector;
  FW_VERSION_INFO      Identity;

  //
  // The copy of the camera's header sector.
  //
  if (!DeviceCopy.Allocate (BANK_DEVICE_COPY_SIZE)) {
    return EFI_OUT_OF_RESOURCES;
  }

  if ((Context == NULL) || (Context->UsbIo == NULL) || (Image == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  UsbIo   = Context->UsbIo;
  XuIndex = Context->XuIndex;
  Header  = DeviceCopy.Get () + BANK_HEADER_ADDRESS;

  //
  // The chunk length. A length of 0 would never advance the loops and
  // one above a sector is no unit's: refuse both before anything else.
  //
  ChunkLength = 0;
  Status      = XuGetLen (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), &ChunkLength);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (!IsUsableChunkLength (ChunkLength)) {
    return EFI_UNSUPPORTED;
  }

  //
  // The camera's bank header sector.
  //
  Status = XuFlashReadSector (UsbIo, XuIndex, BANK_HEADER_SECTOR, Header);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The camera's layout, from its header and its boot state. An
  // erased header sector on a banked ISP takes the default header.
  //
  CameraLayout = LAYOUT_BASE;
  if (CompareMem (Header, mBankMarkerCy, sizeof (mBankMarkerCy)) == 0) {
    CameraLayout = (Header[OFFSET_OF (BANK_HEADER, ActiveBank)] == 0) ? LAYOUT_BASE_HEADER : LAYOUT_BANK;
  }

  BootState = 0;
  Status    = IspReadRegister (UsbIo, XuIndex, ISP_REG_BOOT_STATE, &BootState);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if ((BootState & ISP_BOOT_STATE_BANKED) == 0) {
    CameraLayout = LAYOUT_BASE;
  } else if ((Header[0] == 0xFF) && (Header[1] == 0xFF)) {
    CopyMem (Header, mDefaultBankHeader, sizeof (mDefaultBankHeader));
    CameraLayout = LAYOUT_BASE_HEADER;
  }

  //
  // The image's layout, from its markers; a marker beyond its end is
  // absent.
  //
  ImageView.Data = Image;
  ImageView.Size = (UINTN)ImageSize;
  FullFlash      = FALSE;
  if (ByteViewMatches (&ImageView, BANK_IMAGE_KIND_OFFSET, mBankMarkerDz, sizeof (mBankMarkerDz))) {
    ImageLayout = LAYOUT_BANK;
  } else if (!ByteViewMatches (&ImageView, BANK_IMAGE_KIND_OFFSET, mBankMarkerCy, sizeof (mBankMarkerCy))) {
    return EFI_INVALID_PARAMETER;
  } else if (ByteViewMatches (&ImageView, BANK_IMAGE_HEADER_OFFSET, mBankMarkerCy, sizeof (mBankMarkerCy))) {
    FullFlash = (BOOLEAN)((ImageSize >= BANK_FULL_IMAGE_MINIMUM) &&
                          ByteViewMatches (&ImageView, BANK_FULL_IMAGE_OFFSET, mBankMarkerDz, sizeof (mBankMarkerDz)));
    ImageLayout = FullFlash ? LAYOUT_BANK : LAYOUT_BASE_HEADER;
  } else {
    ImageLayout = LAYOUT_BASE;
  }

  //
  // Only some layouts fit together.
  //
  if (!IsAcceptedLayoutPair (CameraLayout, ImageLayout)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The header sector moves as one chunk on a camera with a header: the
  // chunk must hold the header's bytes.
  //
  if ((CameraLayout != LAYOUT_BASE) && (ChunkLength < BANK_HEADER_SIZE)) {
    return EFI_UNSUPPORTED;
  }

  //
  // The boot state once more; a failed read keeps the first one.
  //
  IspReadRegister (UsbIo, XuIndex, ISP_REG_BOOT_STATE, &BootState);

  //
  // The camera's device-specific data goes into the image.
  //
  Status = CarryDeviceData (Context, BootState, Image, ImageSize, ImageLayout, FullFlash);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The bank: 0 and 0xFF read as 1; its entry must be flagged.
  //
  ActiveBank = Header[OFFSET_OF (BANK_HEADER, ActiveBank)];
  if ((ActiveBank == 0) || (ActiveBank == 0xFF)) {
    ActiveBank = 1;
  }

  if (!(((ActiveBank == 1) && (Header[BANK_HEADER_BANK1_FLAG] == 1)) ||
        ((ActiveBank == 2) && (Header[BANK_HEADER_BANK2_FLAG] == 1))))
  {
    return EFI_LOAD_ERROR;
  }

  //
  // Bank entry 1's Offset is where the bank goes, whichever bank
  // is active; a full-flash image brings its bank from that offset on.
  // The offset comes from the camera's flash: one below the bank area
  // would erase the base area or the header, one at or beyond a
  // full-flash image's end would make the bank's size wrap.
  //
  BankOffset = BankReadBe32 (Header + BANK_HEADER_BANK1_OFFSET);
  if (BankOffset < BANK_MINIMUM_OFFSET) {
    return EFI_LOAD_ERROR;
  }

  if (FullFlash) {
    if (BankOffset >= ImageSize) {
      return EFI_LOAD_ERROR;
    }

    BankImage = Image + BankOffset;
    BankSize  = ImageSize - BankOffset;
  } else {
    BankImage = Image;
    BankSize  = ImageSize;
  }

  if ((BankOffset >= FLASH_ADDRESS_LIMIT) || (BankSize > FLASH_ADDRESS_LIMIT - BankOffset)) {
    return EFI_LOAD_ERROR;
  }

  //
  // Erase every sector the bank touches, each failure repeated once.
  //
  for (Sector = BankOffset / XU_FLASH_SECTOR_SIZE;
       Sector <= (BankOffset + BankSize - 1) / XU_FLASH_SECTOR_SIZE;
       Sector++)
  {
    Status = FlashEraseSector (UsbIo, XuIndex, (UINT16)Sector, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // A bank image: erase the header sector and open the update window.
  //
  if (ImageLayout == LAYOUT_BANK) {
    Status = FlashEraseSector (UsbIo, XuIndex, BANK_HEADER_SECTOR, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    Status = IspWriteRegister (UsbIo, XuIndex, ISP_REG_UPDATE_WINDOW, 1);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Write the bank chunk by chunk, reporting before each chunk; each
  // failing write is repeated once.
  //
  for (Offset = 0; Offset < BankSize; Offset += ChunkLength) {
    ReportProgress (Progress, (Offset * 100) / BankSize);

    Status = FlashWriteChunk (UsbIo, XuIndex, (UINT32)(BankOffset + Offset), ChunkLength, BankImage + Offset, BankSize - Offset, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // A bank image: close the update window.
  //
  if (ImageLayout == LAYOUT_BANK) {
    Status = CloseUpdateWindow (Context);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Read the bank back, each failing read repeated once. The buffer
  // has a sector to spare, so every whole chunk fits.
  //
  if (!ReadBack.Allocate ((UINTN)BankSize + XU_FLASH_SECTOR_SIZE)) {
    return EFI_OUT_OF_RESOURCES;
  }

  for (Offset = 0; Offset < BankSize; Offset += ChunkLength) {
    Status = FlashReadChunk (
               UsbIo,
               XuIndex,
               (UINT32)(BankOffset + Offset),
               ChunkLength,
               ReadBack.Get () + Offset,
               ReadBack.Count () - Offset,
               2,
               0
               );
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Compare. A camera that had a header gets the default one back, so
  // that it boots its base image rather than the broken bank.
  //
  if (CompareMem (BankImage, ReadBack.Get (), (UINTN)BankSize) != 0) {
    if (CameraLayout != LAYOUT_BASE) {
      RestoreDefaultBankHeader (Context, ChunkLength);
    }

    return EFI_INVALID_PARAMETER;
  }

  //
  // The bank is verified.
  //
  ReportProgress (Progress, BANK_PROGRESS_VERIFIED);

  //
  // A camera without a bank header is done.
  //
  if (CameraLayout == LAYOUT_BASE) {
    return Status;
  }

  //
  // The header sector as the ISP left it when the window closed.
  //
  if (!Scratch.Allocate (BANK_HEADER_SCRATCH_SIZE)) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = FlashReadChunk (UsbIo, XuIndex, BANK_HEADER_ADDRESS, ChunkLength, Scratch.Get (), Scratch.Count (), 1, 0);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Its two digest fields go into the header.
  //
  CopyMem (Header + BANK_HEADER_BANK1_DIGEST, Scratch.Get () + BANK_HEADER_BANK1_DIGEST, BANK_HEADER_DIGEST_SIZE);
  CopyMem (Header + BANK_HEADER_BANK2_DIGEST, Scratch.Get () + BANK_HEADER_BANK2_DIGEST, BANK_HEADER_DIGEST_SIZE);

  //
  // Erase the header sector; the header names the bank.
  //
  Status = FlashEraseSector (UsbIo, XuIndex, BANK_HEADER_SECTOR, 2, 0);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Header[OFFSET_OF (BANK_HEADER, ActiveBank)] = ActiveBank;

  //
  // The new image's USB identity: the first descriptor when byte 0xFA
  // of the bank part is 1, else the second (or the only one). The
  // search stays inside the bank part; without a match the identity
  // stays zero.
  //
  BankView.Data = BankImage;
  BankView.Size = (UINTN)BankSize;
  Selector      = 0;
  ByteViewRead8 (&BankView, BANK_IDENTITY_SELECTOR, &Selector);
  ZeroMem (&Identity, sizeof (Identity));
  SearchUsb2DeviceDescriptor (&BankView, 0, BANK_IDENTITY_SEARCH_LENGTH, (Selector == 1) ? 1 : 2, &Identity);

  //
  // A complete identity replaces the header's.
  //
  if ((Identity.VendorId != 0) && (Identity.ProductId != 0) && (Identity.DeviceVersion != 0)) {
    Header[BANK_HEADER_VENDOR_OFFSET]      = (UINT8)(Identity.VendorId & 0xFF);
    Header[BANK_HEADER_VENDOR_OFFSET + 1]  = (UINT8)(Identity.VendorId >> 8);
    Header[BANK_HEADER_PRODUCT_OFFSET]     = (UINT8)(Identity.ProductId & 0xFF);
    Header[BANK_HEADER_PRODUCT_OFFSET + 1] = (UINT8)(Identity.ProductId >> 8);
    Header[BANK_HEADER_DEVICE_OFFSET]      = (UINT8)(Identity.DeviceVersion & 0xFF);
    Header[BANK_HEADER_DEVICE_OFFSET + 1]  = (UINT8)(Identity.DeviceVersion >> 8);
  }

  //
  // Write the header back as one chunk.
  //
  return FlashWriteChunk (UsbIo, XuIndex, BANK_HEADER_ADDRESS, ChunkLength, Header, XU_FLASH_SECTOR_SIZE, 1, 0);
}
