/** @file
  The slot firmware update of the two-slot cameras: the inactive slot when
  the camera has a header, else the whole image from flash address 0, with a
  digest record appended to images of the older formats and the first chunk
  (the header) written only after the rest was verified. It ends with the
  ISP's restart.

  The whole-image road is taken only when the inactive-slot road says that
  the camera has no header. Any other failure, an allocation failure
  included, is returned as it is: erasing a camera that has a working
  header would throw its firmware away.
**/

#include "FlashStrategies.h"

#include "FirmwareInterfaces.h"
#include "PoolBuffer.h"

#include "DigestRecovery.h"
#include "ExtensionUnit.h"
#include "FlashId.h"
#include "FlashTransfer.h"
#include "IspOps.h"
#include "SpiFlashCommands.h"

///
/// The fixed part of the digest record: tag and three words.
///
STATIC CONST UINT8  mPrefixRecordHead[OFFSET_OF (PREFIX_RECORD, Digest)] = {
  'P', 'R', 'E', 'F', 'I', 'X', 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01
};

/**
  Stores a big-endian 32-bit value.

  @param[out] Bytes  Where the four bytes go.
  @param[in]  Value  The value.
**/
STATIC
VOID
SlotWriteBe32 (
  OUT UINT8   *Bytes,
  IN  UINT32  Value
  )
{
  Bytes[0] = (UINT8)(Value >> 24);
  Bytes[1] = (UINT8)(Value >> 16);
  Bytes[2] = (UINT8)(Value >> 8);
  Bytes[3] = (UINT8)Value;
}

/**
  Prepares the work copy of an image for whole-image programming: a format-3
  image gets slot 0 as its running slot; an image of the older formats
  without a tail record gets the digest record appended and its header
  fields pointed at it.

  @param[in]     Image      The image.
  @param[in]     ImageSize  Its length.
  @param[in,out] Work       The work copy (the image, then 0xFF), with room
                            for the record.
  @param[out]    Length     The number of bytes to program.

  @retval EFI_SUCCESS          The copy is ready.
  @retval EFI_BAD_BUFFER_SIZE  An older-format image too short for its
                               header fields.
  @return                      The failure of GetImageHeaderFormat.
**/
STATIC
EFI_STATUS
PrepareWholeImage (
  IN     CONST UINT8  *Image,
  IN     UINT64       ImageSize,
  IN OUT UINT8        *Work,
  OUT    UINT64       *Length
  )
{
  EFI_STATUS  Status;
  UINT8       Format;
  UINT32      HashedLength;
  UINT32      LengthBound;
  UINT32      TailWord;
  UINT64      Hashed;

  *Length = ImageSize;

  //
  // The image's header format decides what changes.
  //
  Format = IMAGE_HEADER_FORMAT_LEGACY_TAGGED;
  Status = GetImageHeaderFormat (Image, &Format, (UINTN)ImageSize);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (Format == IMAGE_HEADER_FORMAT_HEADER_ONLY) {
    return EFI_SUCCESS;
  }

  if (Format == IMAGE_HEADER_FORMAT_SLOTTED) {
    Work[OFFSET_OF (CAMERA_IMAGE_HEADER, ActiveSlot)] = 0;
    return EFI_SUCCESS;
  }

  //
  // The older formats: the hashed length, at most the length bound and
  // never more than the image.
  //
  if ((ReadBigEndian32 (Image, (UINTN)ImageSize, FALLBACK_HASHED_LENGTH_WORD, 0, &HashedLength) != EFI_SUCCESS) ||
      (ReadBigEndian32 (Image, (UINTN)ImageSize, FALLBACK_LENGTH_BOUND_WORD, 0, &LengthBound) != EFI_SUCCESS) ||
      (ReadBigEndian32 (Image, (UINTN)ImageSize, FALLBACK_TAIL_RECORD_WORD, 0, &TailWord) != EFI_SUCCESS))
  {
    return EFI_BAD_BUFFER_SIZE;
  }

  Hashed = HashedLength;
  if ((Hashed == 0) || (Hashed > LengthBound) || (Hashed > ImageSize)) {
    Hashed = ImageSize;
  }

  //
  // An image that already points at a record is programmed as it is.
  //
  if ((TailWord != 0) && (TailWord != MAX_UINT32)) {
    return EFI_SUCCESS;
  }

  //
  // Point the header at the record, then append it with the digest of the
  // hashed part as rewritten.
  //
  SlotWriteBe32 (Work + FALLBACK_HASHED_LENGTH_WORD, (UINT32)Hashed);
  SlotWriteBe32 (Work + FALLBACK_TAIL_RECORD_WORD, (UINT32)(ImageSize + FALLBACK_RECORD_TAG_LENGTH) | FALLBACK_RECORD_POINTER_BIT);
  SlotWriteBe32 (Work + FALLBACK_LENGTH_BOUND_WORD, (UINT32)((Hashed / SIZE_4KB + 1) * SIZE_4KB));
  CopyMem (Work + ImageSize, mPrefixRecordHead, sizeof (mPrefixRecordHead));
  CalculateSha256 (Work + ImageSize + OFFSET_OF (PREFIX_RECORD, Digest), Work, (UINTN)Hashed);
  *Length = ImageSize + sizeof (PREFIX_RECORD);
  return EFI_SUCCESS;
}

/**
  Programs the whole image from flash address 0: erase, every chunk but the
  first, read back and compare, then the first chunk.

  @param[in] Context    The camera.
  @param[in] Image      The image.
  @param[in] ImageSize  Its length.
  @param[in] Progress   Receives percentages; NULL for none.

  @return As UpdateSlotFirmware's fallback.
**/
STATIC
EFI_STATUS
ProgramWholeImage (
  IN CAMERA_CONTEXT            *Context,
  IN CONST UINT8               *Image,
  IN UINT64                    ImageSize,
  IN UPDATE_PROGRESS_CALLBACK  Progress  OPTIONAL
  )
{
  POOL_BUFFER<UINT8>   Work;
  POOL_BUFFER<UINT8>   ReadBack;
  EFI_USB_IO_PROTOCOL  *UsbIo;
  UINT16               XuIndex;
  EFI_STATUS           Status;
  UINT64               Length;
  UINT8                FlashKind;
  UINT16               ChunkLength;
  UINT16               AskedLength;
  UINT64               Address;
  UINT64               Sector;
  BOOLEAN              Verified;

  UsbIo   = Context->UsbIo;
  XuIndex = Context->XuIndex;
  if (ImageSize > FLASH_ADDRESS_LIMIT - FALLBACK_WORK_SLACK) {
    return EFI_BAD_BUFFER_SIZE;
  }

  //
  // The work copy: the image, then 0xFF, with room for the record.
  //
  if (!Work.Allocate ((UINTN)(ImageSize + FALLBACK_WORK_SLACK))) {
    return EFI_OUT_OF_RESOURCES;
  }

  SetMem (Work.Get (), Work.Count (), 0xFF);
  CopyMem (Work.Get (), Image, (UINTN)ImageSize);
  Status = PrepareWholeImage (Image, ImageSize, Work.Get (), &Length);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The chip, its command set (whose load tells the chunk length) and its
  // protection. A chunk length of 0 or above a sector is refused here,
  // before the first erase.
  //
  FlashKind = 0;
  Status    = IdentifyFlash (Context, &FlashKind);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ChunkLength = 0;
  Status      = XuLoadFlashCommandSet (UsbIo, XuIndex, FlashKindToCommandSet (FlashKind), &ChunkLength);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = IspUnprotectFlash (UsbIo, XuIndex, SLOT_ISP_KIND, FlashKind);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (!IsUsableChunkLength (ChunkLength)) {
    return EFI_UNSUPPORTED;
  }

  //
  // Erase every sector the image needs, each failure repeated once.
  //
  for (Sector = 0; Sector * XU_FLASH_SECTOR_SIZE < Length; Sector++) {
    Status = FlashEraseSector (UsbIo, XuIndex, (UINT16)Sector, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // The unit is asked for its chunk length again; the programming keeps
  // the one it already gave.
  //
  AskedLength = 0;
  XuGetLen (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), &AskedLength);

  //
  // Every chunk but the first, each failure repeated once. The work copy
  // holds whole chunks past the length (0xFF).
  //
  for (Address = ChunkLength; Address < Length; Address += ChunkLength) {
    ReportProgress (Progress, (Address * 100) / Length);

    Status = FlashWriteChunk (UsbIo, XuIndex, (UINT32)Address, ChunkLength, Work.Get () + Address, Work.Count () - Address, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Read them back into a buffer of whole chunks and compare.
  //
  if (!ReadBack.Allocate ((UINTN)(Length + ChunkLength))) {
    return EFI_OUT_OF_RESOURCES;
  }

  for (Address = ChunkLength; Address < Length; Address += ChunkLength) {
    Status = FlashReadChunk (UsbIo, XuIndex, (UINT32)Address, ChunkLength, ReadBack.Get () + Address, ReadBack.Count () - Address, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  Verified = (BOOLEAN)((Length <= ChunkLength) ||
                       (CompareMem (Work.Get () + ChunkLength, ReadBack.Get () + ChunkLength, (UINTN)(Length - ChunkLength)) == 0));
  ReportProgress (Progress, FALLBACK_PROGRESS_VERIFIED);

  //
  // The first chunk, from which the camera boots, only over a verified
  // rest; otherwise it stays erased.
  //
  if (!Verified) {
    return EFI_INVALID_PARAMETER;
  }

  Status = FlashWriteChunk (UsbIo, XuIndex, 0, ChunkLength, Work.Get (), Work.Count (), 2, 0);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ReportProgress (Progress, FALLBACK_PROGRESS_FIRST_CHUNK);

  return Status;
}

/**
  Updates a two-slot camera.

  @param[in] Context        The camera.
  @param[in] Image          The image without its signature trailer.
  @param[in] ImageSize      Its length.
  @param[in] Trailer        The signature trailer.
  @param[in] TrailerLength  Its length.
  @param[in] Progress       Receives percentages; NULL for none.

  @return As declared in FlashStrategies.h.
**/
EFI_STATUS
EFIAPI
UpdateSlotFirmware (
  IN CAMERA_CONTEXT            *Context,
  IN CONST UINT8               *Image,
  IN UINT64                    ImageSize,
  IN CONST UINT8               *Trailer,
  IN UINT32                    TrailerLength,
  IN UPDATE_PROGRESS_CALLBACK  Progress  OPTIONAL
  )
{
  EFI_STATUS  Status;
  BOOLEAN     NoCameraHeader;

  //
  // The inactive slot first; the whole image only for a camera without a
  // header, which only that road's header check can say.
  //
  if ((Context == NULL) || (Context->UsbIo == NULL) || (Image == NULL)) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    NoCameraHeader = FALSE;
    Status         = ProgramInactiveSlot (Context, Image, ImageSize, Trailer, TrailerLength, Progress, &NoCameraHeader);
    if (NoCameraHeader) {
      Status = ProgramWholeImage (Context, Image, ImageSize, Progress);
    }
  }

  //
  // Exit sequence: report 100; restart the ISP unless the camera failed to
  // verify; give it a second.
  //
  ReportProgress (Progress, SLOT_PROGRESS_DONE);

  if (Status != EFI_DEVICE_ERROR) {
    IspRestart (Context, SLOT_ISP_KIND);
  }

  gBS->Stall (SLOT_EXIT_STALL_US);
  return Status;
}
