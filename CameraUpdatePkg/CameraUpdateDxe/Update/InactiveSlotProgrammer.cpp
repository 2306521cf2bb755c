/** @file
  Inactive-slot programming of the two-slot cameras: the new firmware goes
  into the slot that does not run, while the running one stays intact. The
  driver leaves the header naming no running slot; after its restart the ISP
  compares what was written inside the update window with the signed digest
  it was handed and makes the new slot active, or goes back to the previous
  one.

  Every offset and length taken from the image or from the camera's header is
  checked before anything is written, so that no step reads or writes outside
  its buffer and a header or image that cannot be right changes nothing.
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
/// What the checks before the first write found out about the image and the
/// camera's header, and what the writing steps use.
///
typedef struct {
  CAMERA_CONTEXT     *Context;
  UPDATE_PROGRESS_CALLBACK  Progress;
  UINT64             ImageSize;
  UINT8              ImageFormat;
  UINT64             Base;                ///< where the slot data starts in the image
  BOOLEAN            Mode1;
  UINT32             ImageSlotVersion;
  UINT32             SlotDataLength;
  UINT64             VersionBlockOffset;
  UINT64             ProgramLength;
  UINT64             SectorCount;
  BOOLEAN            Tagged;
  UINT64             TailOffset;
  UINT8              FlashKind;
  UINT16             ChunkLength;
  UINT8              TargetSlot;
  UINT64             TargetOffset;
  UINT8              *Copy;               ///< the image, then 0xFF
  UINT64             CopySize;
} SLOT_PROGRAM;

/**
  The write-phase percentage for an offset: (Offset x 90) / ImageSize + 5.

  @param[in] Slot    The programming state.
  @param[in] Offset  The offset reached.

  @return The percentage (above 100 for offsets past the image end).
**/
STATIC
UINT64
SlotWritePercentage (
  IN CONST SLOT_PROGRAM  *Slot,
  IN UINT64              Offset
  )
{
  return (Offset * SLOT_PROGRESS_WRITE_SPAN) / Slot->ImageSize + SLOT_PROGRESS_WRITE_START;
}

/**
  Reads the image's slot words and checks that every stretch the writing
  steps take from the image copy lies inside the copy, before anything is
  written.

  @param[in]     Image  The image.
  @param[in,out] Slot   ImageSize and ImageFormat in; the slot words, the
                        lengths and the tail record out.

  @retval EFI_SUCCESS          The image's words are usable.
  @retval EFI_BAD_BUFFER_SIZE  A word lies beyond the image, or a length or
                               offset would take a step outside the copy.
**/
STATIC
EFI_STATUS
ReadSlotImageWords (
  IN     CONST UINT8   *Image,
  IN OUT SLOT_PROGRAM  *Slot
  )
{
  EFI_STATUS  Status;
  UINT32      VersionWord;
  UINT32      TailWord;
  UINT64      SlotBytes;

  //
  // The words after the base: version block, slot data length, version.
  //
  Status = ReadBigEndian32 (Image, (UINTN)Slot->ImageSize, SLOT_VERSION_BLOCK_WORD, (UINT32)Slot->Base, &VersionWord);
  if (!EFI_ERROR (Status)) {
    Status = ReadBigEndian32 (Image, (UINTN)Slot->ImageSize, SLOT_DATA_LENGTH_WORD, (UINT32)Slot->Base, &Slot->SlotDataLength);
  }

  if (!EFI_ERROR (Status)) {
    Status = ReadBigEndian32 (Image, (UINTN)Slot->ImageSize, SLOT_IMAGE_VERSION_WORD, (UINT32)Slot->Base, &Slot->ImageSlotVersion);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The version block's offset, counted from the slot data for format 1.
  //
  Slot->VersionBlockOffset = VersionWord & SLOT_VERSION_BLOCK_MASK;
  if (Slot->ImageFormat == IMAGE_HEADER_FORMAT_LEGACY) {
    if (Slot->VersionBlockOffset < SLOT_IMAGE_HEADER_BASE) {
      return EFI_BAD_BUFFER_SIZE;
    }

    Slot->VersionBlockOffset -= SLOT_IMAGE_HEADER_BASE;
  }

  //
  // The slot data: its declared length, or the image after the base
  // rounded up to the next 1 KiB.
  //
  SlotBytes = Slot->ImageSize - Slot->Base;
  if (Slot->SlotDataLength != 0) {
    Slot->ProgramLength = Slot->SlotDataLength;
  } else {
    Slot->ProgramLength = (SlotBytes / SLOT_PROGRAM_ROUNDING + 1) * SLOT_PROGRAM_ROUNDING;
  }

  //
  // The tail record word lies at a fixed offset; an image too short to hold
  // it has no tail record.
  //
  TailWord     = 0;
  Slot->Tagged = FALSE;
  if (!EFI_ERROR (ReadBigEndian32 (Image, (UINTN)Slot->ImageSize, SLOT_TAIL_RECORD_WORD, 0, &TailWord))) {
    Slot->Tagged = (BOOLEAN)((TailWord & SLOT_TAIL_TAG_MASK) == SLOT_TAIL_TAG);
  }

  Slot->TailOffset = TailWord & SLOT_TAIL_OFFSET_MASK;

  //
  // What the writing steps take from the copy must lie inside it: the slot
  // data (read back into a buffer a sector longer than the image), the
  // version block, and the tail record's counter.
  //
  if (Slot->ProgramLength > SlotBytes + SLOT_READ_BACK_SLACK) {
    return EFI_BAD_BUFFER_SIZE;
  }

  if (Slot->Mode1 && (Slot->VersionBlockOffset + SLOT_VERSION_BLOCK_SIZE > Slot->CopySize)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  if (!Slot->Mode1 && Slot->Tagged && (Slot->Base + Slot->VersionBlockOffset + SLOT_VERSION_BLOCK_SIZE > Slot->CopySize)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  if (Slot->Tagged && (Slot->TailOffset + sizeof (UINT32) > Slot->ImageSize)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  return EFI_SUCCESS;
}

/**
  Erases the target slot: the sectors the image needs, none at or above
  0x80000, each failure repeated up to three times 300 ms apart.

  @param[in] Slot  The programming state.

  @retval EFI_SUCCESS  Every sector in range was erased.
  @return              The last failure of a sector that would not erase.
**/
STATIC
EFI_STATUS
EraseTargetSlot (
  IN CONST SLOT_PROGRAM  *Slot
  )
{
  EFI_USB_IO_PROTOCOL  *UsbIo;
  UINT16               XuIndex;
  EFI_STATUS           Status;
  UINT64               Count;
  UINT64               Index;
  UINT64               Sector;
  UINT64               Tick;
  UINTN                Retry;

  UsbIo   = Slot->Context->UsbIo;
  XuIndex = Slot->Context->XuIndex;

  //
  // How many sectors: the slot data and a spare one on the version-block
  // path, up to the version block otherwise; never more than the image has.
  //
  if (Slot->Mode1) {
    Count = Slot->ProgramLength / XU_FLASH_SECTOR_SIZE + 2;
  } else {
    Count = Slot->VersionBlockOffset / XU_FLASH_SECTOR_SIZE + 1;
  }

  Status = EFI_SUCCESS;
  Tick   = SLOT_PROGRESS_ERASE_START;
  for (Index = 0; (Index < Count) && (Index < Slot->SectorCount); Index++) {
    Sector = Slot->TargetOffset / XU_FLASH_SECTOR_SIZE + Index;
    if (Sector * XU_FLASH_SECTOR_SIZE >= SLOT_FLASH_LIMIT) {
      continue;
    }

    //
    // Erase, report, and repeat a failure up to three times.
    //
    Status = XuFlashEraseSector (UsbIo, XuIndex, (UINT16)Sector);
    ReportProgress (Slot->Progress, Tick / (Slot->SectorCount / 5 + 1));
    Tick++;
    for (Retry = 0; EFI_ERROR (Status) && (Retry < SLOT_ERASE_RETRIES); Retry++) {
      gBS->Stall (SLOT_ERASE_RETRY_STALL_US);
      Status = XuFlashEraseSector (UsbIo, XuIndex, (UINT16)Sector);
      Tick++;
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  return Status;
}

/**
  Writes a stretch chunk by chunk, reporting the write-phase percentage of
  each offset. A failing write is not repeated: after a 100 ms wait its
  status is returned.

  @param[in] Slot         The programming state.
  @param[in] From         First offset.
  @param[in] To           Offset where the stretch ends.
  @param[in] FlashBase    Flash address of offset 0.
  @param[in] Source       Bytes of offset 0.
  @param[in] SourceSize   Bytes readable from Source.
  @param[in] EraseSectors Erase each sector the stretch enters at its start
                          (status not examined) before writing into it.

  @return The status of the last write, EFI_SUCCESS for an empty stretch.
**/
STATIC
EFI_STATUS
WriteSlotStretch (
  IN CONST SLOT_PROGRAM  *Slot,
  IN UINT64              From,
  IN UINT64              To,
  IN UINT64              FlashBase,
  IN CONST UINT8         *Source,
  IN UINT64              SourceSize,
  IN BOOLEAN             EraseSectors
  )
{
  EFI_STATUS  Status;
  UINT64      Offset;
  UINT64      Available;

  Status = EFI_SUCCESS;
  for (Offset = From; Offset < To; Offset += Slot->ChunkLength) {
    ReportProgress (Slot->Progress, SlotWritePercentage (Slot, Offset));
    if (EraseSectors && ((Offset % XU_FLASH_SECTOR_SIZE) == 0)) {
      XuFlashEraseSector (Slot->Context->UsbIo, Slot->Context->XuIndex, (UINT16)((FlashBase + Offset) / XU_FLASH_SECTOR_SIZE));
    }

    Available = (Offset < SourceSize) ? SourceSize - Offset : 0;
    Status    = FlashWriteChunk (
                  Slot->Context->UsbIo,
                  Slot->Context->XuIndex,
                  (UINT32)(FlashBase + Offset),
                  Slot->ChunkLength,
                  Source + Offset,
                  Available,
                  1,
                  0
                  );
    if (EFI_ERROR (Status)) {
      gBS->Stall (SLOT_TRANSFER_STALL_US);
      return Status;
    }
  }

  return Status;
}

/**
  The tail record update: when the camera's counter at the tail offset is
  erased or older than the image's, the image from the tail offset to its end
  is written to the same flash addresses.

  @param[in] Slot  The programming state.

  @return The status of the last write, or of the counter's read when
          nothing is written; EFI_OUT_OF_RESOURCES without a read buffer.
**/
STATIC
EFI_STATUS
UpdateTailRecord (
  IN CONST SLOT_PROGRAM  *Slot
  )
{
  POOL_BUFFER<UINT8>  Block;
  EFI_STATUS          Status;
  UINT32              ImageCounter;
  UINT32              DeviceCounter;

  //
  // The image's counter (inside the image, checked before the first write)
  // and the camera's.
  //
  ImageCounter = ((UINT32)Slot->Copy[Slot->TailOffset] << 24) | ((UINT32)Slot->Copy[Slot->TailOffset + 1] << 16) |
                 ((UINT32)Slot->Copy[Slot->TailOffset + 2] << 8) | (UINT32)Slot->Copy[Slot->TailOffset + 3];
  if (!Block.AllocateZero (XU_FLASH_SECTOR_SIZE)) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = FlashReadChunk (
             Slot->Context->UsbIo,
             Slot->Context->XuIndex,
             (UINT32)Slot->TailOffset,
             Slot->ChunkLength,
             Block.Get (),
             Block.Count (),
             1,
             0
             );
  DeviceCounter = ((UINT32)Block[0] << 24) | ((UINT32)Block[1] << 16) | ((UINT32)Block[2] << 8) | (UINT32)Block[3];

  //
  // Only an erased or older counter is replaced.
  //
  if ((DeviceCounter != MAX_UINT32) && (DeviceCounter >= ImageCounter)) {
    return Status;
  }

  return WriteSlotStretch (Slot, Slot->TailOffset, Slot->ImageSize, 0, Slot->Copy, Slot->CopySize, TRUE);
}

/**
  Programs the inactive slot; the exit sequence (report 100, 1 s) is the
  caller's.

  @param[in]  Slot            The programming state; Context, Progress and
                              ImageSize set.
  @param[in]  Image           The image.
  @param[in]  Trailer         The signature trailer.
  @param[in]  TrailerLength   Its length.
  @param[out] NoCameraHeader  Set TRUE when the camera has no header.

  @return As ProgramInactiveSlot.
**/
STATIC
EFI_STATUS
ProgramInactiveSlotSteps (
  IN OUT SLOT_PROGRAM  *Slot,
  IN     CONST UINT8   *Image,
  IN     CONST UINT8   *Trailer,
  IN     UINT32        TrailerLength,
  OUT    BOOLEAN       *NoCameraHeader
  )
{
  POOL_BUFFER<UINT8>   Copy;
  POOL_BUFFER<UINT8>   ReadBack;
  POOL_BUFFER<UINT8>   HeaderCheck;
  EFI_USB_IO_PROTOCOL  *UsbIo;
  UINT16               XuIndex;
  EFI_STATUS           Status;
  UINT8                SignedDigest[SIGNED_DIGEST_SIZE];
  UINT8                DeviceBlock[SLOT_HEADER_BLOCK_SIZE];
  UINT8                NewBlock[SLOT_HEADER_BLOCK_SIZE];
  UINT8                DeviceFormat;
  CAMERA_IMAGE_HEADER  DeviceHeader;
  CAMERA_IMAGE_HEADER  NewHeader;
  UINT16               LoadedChunkLength;
  UINT16               ChunkLength;
  UINT64               Offset;
  UINT64               SourceSize;
  UINT8                *Source;
  UINT64               Limit;

  UsbIo   = Slot->Context->UsbIo;
  XuIndex = Slot->Context->XuIndex;

  //
  // The signed digest the ISP will check the new slot against.
  //
  Status = RecoverSignedDigest (Trailer, TrailerLength, SignedDigest);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The camera's header sector and the two header formats; a camera
  // without a header is the caller's to program whole.
  //
  Status = XuFlashReadSector (UsbIo, XuIndex, 0, DeviceBlock);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = GetImageHeaderFormat (Image, &Slot->ImageFormat, (UINTN)Slot->ImageSize);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  DeviceFormat = IMAGE_HEADER_FORMAT_LEGACY_TAGGED;
  GetImageHeaderFormat (DeviceBlock, &DeviceFormat, sizeof (DeviceBlock));
  if (DeviceFormat == IMAGE_HEADER_FORMAT_LEGACY_TAGGED) {
    *NoCameraHeader = TRUE;
    return EFI_OUT_OF_RESOURCES;
  }

  //
  // The image's sectors; the chip and its command set, whose load
  // also tells the chunk length.
  //
  Slot->SectorCount = Slot->ImageSize / XU_FLASH_SECTOR_SIZE + ((Slot->ImageSize % XU_FLASH_SECTOR_SIZE) != 0 ? 1 : 0);
  Status            = IdentifyFlash (Slot->Context, &Slot->FlashKind);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  LoadedChunkLength = 0;
  Status            = XuLoadFlashCommandSet (UsbIo, XuIndex, FlashKindToCommandSet (Slot->FlashKind), &LoadedChunkLength);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (!IsUsableChunkLength (LoadedChunkLength)) {
    return EFI_UNSUPPORTED;
  }

  //
  // The image copy (0xFF after the image, the erased value), the new
  // header block, and both headers in host order. A header whose slot
  // count or running slot points outside it is refused.
  //
  Slot->CopySize = Slot->ImageSize + SLOT_COPY_SLACK;
  if (!Copy.Allocate ((UINTN)Slot->CopySize)) {
    return EFI_OUT_OF_RESOURCES;
  }

  SetMem (Copy.Get (), (UINTN)Slot->CopySize, 0xFF);
  CopyMem (Copy.Get (), Image, (UINTN)Slot->ImageSize);
  Slot->Copy = Copy.Get ();
  CopyMem (NewBlock, DeviceBlock, sizeof (NewBlock));
  CopyMem (&DeviceHeader, DeviceBlock, sizeof (DeviceHeader));
  if ((DeviceHeader.SlotCount == 0) || EFI_ERROR (SwapImageHeader (&DeviceHeader)) ||
      ((DeviceHeader.ActiveSlot != SLOT_NO_ACTIVE) && (DeviceHeader.ActiveSlot >= DeviceHeader.SlotCount)))
  {
    return EFI_VOLUME_CORRUPTED;
  }

  CopyMem (&NewHeader, &DeviceHeader, sizeof (NewHeader));

  //
  // The target slot follows the running one (slot 0 while none runs);
  // the image's attributes, base and slot words.
  //
  Slot->TargetSlot = (UINT8)((DeviceBlock[OFFSET_OF (CAMERA_IMAGE_HEADER, ActiveSlot)] + 1) %
                             DeviceBlock[OFFSET_OF (CAMERA_IMAGE_HEADER, SlotCount)]);
  Slot->Mode1 = (BOOLEAN)(Image[SLOT_MODE1_ATTRIBUTE_OFFSET] == 1);
  CopyMem (NewHeader.Attributes, Image + OFFSET_OF (CAMERA_IMAGE_HEADER, Attributes), sizeof (NewHeader.Attributes));
  Slot->Base = (Slot->ImageFormat == IMAGE_HEADER_FORMAT_SLOTTED) ? SLOT_IMAGE_HEADER_BASE : 0;
  if ((Slot->ImageSize < Slot->Base) || (Slot->ImageSize > FLASH_ADDRESS_LIMIT)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  Status = ReadSlotImageWords (Image, Slot);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The target slot must be writable, and the image no older
  // than the running slot.
  //
  if ((DeviceHeader.Slot[Slot->TargetSlot].Flags & 0xFF) == 0) {
    return EFI_ACCESS_DENIED;
  }

  if ((DeviceHeader.ActiveSlot != SLOT_NO_ACTIVE) &&
      (DeviceHeader.Slot[DeviceHeader.ActiveSlot].Version > Slot->ImageSlotVersion))
  {
    return EFI_SECURITY_VIOLATION;
  }

  //
  // The new header: the target slot erased in its digest and carrying
  // the image's version, the running slot kept as the previous one, and
  // no slot running.
  //
  SetMem (NewHeader.Slot[Slot->TargetSlot].Digest, sizeof (NewHeader.Slot[Slot->TargetSlot].Digest), 0xFF);
  NewHeader.Slot[Slot->TargetSlot].Version = Slot->ImageSlotVersion;
  Slot->TargetOffset                       = NewHeader.Slot[Slot->TargetSlot].Offset;
  if (NewHeader.ActiveSlot != SLOT_NO_ACTIVE) {
    NewHeader.PreviousSlot = NewHeader.ActiveSlot;
  }

  NewHeader.ActiveSlot = SLOT_NO_ACTIVE;
  if (Slot->TargetOffset + Slot->ProgramLength + SLOT_VERSION_BLOCK_SIZE > FLASH_ADDRESS_LIMIT) {
    return EFI_BAD_BUFFER_SIZE;
  }

  //
  // Unprotect the flash and write the new header block.
  //
  Status = IspUnprotectFlash (UsbIo, XuIndex, SLOT_ISP_KIND, Slot->FlashKind);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  SwapImageHeader (&NewHeader);
  CopyMem (NewBlock, &NewHeader, sizeof (NewHeader));
  Status = ProgramFlashRange (Slot->Context, NewBlock, Slot->FlashKind, 0, SLOT_HEADER_BLOCK_SIZE);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The header must read back exactly.
  //
  if (!HeaderCheck.AllocateZero (SLOT_HEADER_READ_BACK_SIZE)) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = XuFlashReadSector (UsbIo, XuIndex, 0, HeaderCheck.Get ());
  if ((Status != EFI_SUCCESS) || (CompareMem (HeaderCheck.Get (), NewBlock, sizeof (NewBlock)) != 0)) {
    return EFI_DEVICE_ERROR;
  }

  HeaderCheck.Free ();

  //
  // The slot data in the copy.
  //
  Source     = Copy.Get () + Slot->Base;
  SourceSize = Slot->CopySize - Slot->Base;

  //
  // Erase the target slot: flash bits are only ever programmed from 1 to
  // 0, so the slot must be all 0xFF before its data goes in.
  //
  Status = EraseTargetSlot (Slot);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The chunk length once more; an unusable answer keeps the one the
  // command-set load gave.
  //
  ChunkLength = 0;
  Status      = XuGetLen (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), &ChunkLength);
  Slot->ChunkLength = (!EFI_ERROR (Status) && IsUsableChunkLength (ChunkLength)) ? ChunkLength : LoadedChunkLength;

  //
  // The signed digest for the ISP; wait for the window to be
  // idle, then open it.
  //
  Status = XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_SIGNED_DIGEST), SignedDigest, sizeof (SignedDigest));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = IspWaitUpdateWindowIdle (UsbIo, XuIndex, SLOT_WINDOW_POLL_STALL_US);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = IspWriteRegister (UsbIo, XuIndex, ISP_REG_UPDATE_WINDOW, 1);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The slot data, inside the window.
  //
  Status = WriteSlotStretch (Slot, 0, Slot->ProgramLength, Slot->TargetOffset, Source, SourceSize, FALSE);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Close the window and wait until the ISP has taken what was written.
  //
  Status = IspWriteRegister (UsbIo, XuIndex, ISP_REG_UPDATE_WINDOW, 0);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = IspWaitUpdateWindowIdle (UsbIo, XuIndex, SLOT_WINDOW_POLL_STALL_US);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Read the slot back; each failing read gets two more attempts 100 ms
  // apart.
  //
  if (!ReadBack.Allocate ((UINTN)(Slot->ImageSize + SLOT_READ_BACK_SLACK))) {
    return EFI_OUT_OF_RESOURCES;
  }

  for (Offset = 0; Offset < Slot->ProgramLength; Offset += Slot->ChunkLength) {
    Status = FlashReadChunk (
               UsbIo,
               XuIndex,
               (UINT32)(Slot->TargetOffset + Offset),
               Slot->ChunkLength,
               ReadBack.Get () + Offset,
               ReadBack.Count () - Offset,
               1 + SLOT_READ_RETRIES,
               SLOT_TRANSFER_STALL_US
               );
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // The slot must read back as written.
  //
  if (CompareMem (ReadBack.Get (), Source, (UINTN)Slot->ProgramLength) != 0) {
    return EFI_DEVICE_ERROR;
  }

  //
  // The version-block path: the version block at its own flash address,
  // then the tail record when the image carries one.
  //
  if (Slot->Mode1) {
    Status = WriteSlotStretch (
               Slot,
               Slot->VersionBlockOffset,
               Slot->VersionBlockOffset + SLOT_VERSION_BLOCK_SIZE,
               0,
               Copy.Get (),
               Slot->CopySize,
               TRUE
               );
    if (EFI_ERROR (Status) || !Slot->Tagged) {
      return Status;
    }

    return UpdateTailRecord (Slot);
  }

  //
  // Otherwise: nothing more without a declared slot length; with a tail
  // record, the slot up to the end of the version block and the tail;
  // without one, the rest of the image into the slot.
  //
  if (Slot->SlotDataLength == 0) {
    return Status;
  }

  if (Slot->Tagged) {
    Limit = Slot->VersionBlockOffset + SLOT_VERSION_BLOCK_SIZE;
  } else {
    Limit = Slot->ImageSize - Slot->Base;
  }

  Status = WriteSlotStretch (Slot, Slot->ProgramLength, Limit, Slot->TargetOffset, Source, SourceSize, FALSE);
  if (EFI_ERROR (Status) || !Slot->Tagged) {
    return Status;
  }

  return UpdateTailRecord (Slot);
}

/**
  Writes an image into the inactive slot of a two-slot camera.

  @param[in]  Context         The camera.
  @param[in]  Image           The image without its signature trailer.
  @param[in]  ImageSize       Its length.
  @param[in]  Trailer         The signature trailer.
  @param[in]  TrailerLength   Its length.
  @param[in]  Progress        Receives percentages; NULL for none.
  @param[out] NoCameraHeader  Optional; TRUE only when the camera has no
                              header.

  @return As declared in FlashStrategies.h.
**/
EFI_STATUS
EFIAPI
ProgramInactiveSlot (
  IN  CAMERA_CONTEXT            *Context,
  IN  CONST UINT8               *Image,
  IN  UINT64                    ImageSize,
  IN  CONST UINT8               *Trailer,
  IN  UINT32                    TrailerLength,
  IN  UPDATE_PROGRESS_CALLBACK  Progress        OPTIONAL,
  OUT BOOLEAN                   *NoCameraHeader OPTIONAL
  )
{
  SLOT_PROGRAM  Slot;
  BOOLEAN       NoHeader;
  EFI_STATUS    Status;

  ZeroMem (&Slot, sizeof (Slot));
  Slot.Context   = Context;
  Slot.Progress  = Progress;
  Slot.ImageSize = ImageSize;
  NoHeader       = FALSE;

  //
  // Every step needs the camera and the image.
  //
  if ((Context == NULL) || (Context->UsbIo == NULL) || (Image == NULL)) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    Status = ProgramInactiveSlotSteps (&Slot, Image, Trailer, TrailerLength, &NoHeader);
  }

  if (NoCameraHeader != NULL) {
    *NoCameraHeader = NoHeader;
  }

  //
  // Exit sequence: report 100 and give the ISP a second. The buffers were
  // freed when the steps returned.
  //
  ReportProgress (Slot.Progress, SLOT_PROGRESS_DONE);
  gBS->Stall (SLOT_EXIT_STALL_US);
  return Status;
}
