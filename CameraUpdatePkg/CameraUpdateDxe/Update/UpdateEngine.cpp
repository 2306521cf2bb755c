/** @file
  The update dispatcher: checks that the ISP allows an update, identifies the
  flash, reads the ISP generation and takes one of three roads:

  - the two-slot generations ('p', 'q'): the header block may be rewritten
    first, then the slot update;
  - the banked generation ('n'): a preamble on the ISP's boot registers, then
    the banked update or the whole-image road;
  - the other generations: the whole-image road (erase everything, write all
    but the first chunk, verify, write the first chunk last).

  Every return but the two-slot hand-over goes through the exit sequence:
  report 100, restart the ISP (not after EFI_DEVICE_ERROR), with a second's
  wait on each side.
**/

#include "UpdateEngine.h"

#include "FirmwareInterfaces.h"
#include "PoolBuffer.h"

#include "ExtensionUnit.h"
#include "FlashId.h"
#include "FlashStrategies.h"
#include "FlashTransfer.h"
#include "ImageParsing.h"
#include "IspOps.h"
#include "SpiFlashCommands.h"

///
/// The byte the whole-image road patches into images of some generations:
/// the command set the ISP's firmware is to use, by command-set index.
///
STATIC CONST UINT8  mImagePatchTableA[IMAGE_PATCH_TABLE_LENGTH] = { 0x00, 0x01, 0x04, 0x05, 0x06, 0x03, 0x07 };
STATIC CONST UINT8  mImagePatchTableB[IMAGE_PATCH_TABLE_LENGTH] = { 0x04, 0x01, 0x02, 0x09, 0x0A, 0x08, 0x05 };

STATIC CONST UINT8  mMarkerCy[2]  = { 'C', 'Y' };
STATIC CONST UINT8  mMarkerDz[2]  = { 'D', 'Z' };
STATIC CONST UINT8  mMarkerPro[3] = { 'P', 'R', 'O' };

///
/// Cameras whose ISP re-enumerates on 0x78 to 0x20DA and must be found again
/// before the whole-image road.
///
typedef struct {
  UINT16    VendorId;
  UINT16    ProductId;
} CAMERA_ID_PAIR;

STATIC_ASSERT (sizeof (CAMERA_ID_PAIR) == 4, "two IDs");

STATIC CONST CAMERA_ID_PAIR  mReenumeratingCameras[] = {
  { 0x04F2, 0xB6D2 },
  { 0x04F2, 0xB6D6 },
  { 0x174F, 0x118E },
  { 0x174F, 0x118F },
};

///
/// The state of one dispatcher call.
///
typedef struct {
  CAMERA_CONTEXT            *Context;
  UINT8                     *Image;
  UINT64                    ImageSize;
  UPDATE_PROGRESS_CALLBACK  Progress;
  BOOLEAN                   SpecialIds;
  CHAR8                     IspKind;
  UINT8                     FlashKind;
  UINT8                     BootState;
} UPDATE_RUN;

/**
  Tells whether the image carries a marker at an offset; a marker beyond the
  image's end is absent.

  @param[in] Run     The dispatcher call.
  @param[in] Offset  The marker's offset.
  @param[in] Marker  The marker bytes.
  @param[in] Length  Their number.

  @retval TRUE   The image has the marker there.
  @retval FALSE  It has not.
**/
STATIC
BOOLEAN
HasMarker (
  IN CONST UPDATE_RUN  *Run,
  IN UINTN             Offset,
  IN CONST UINT8       *Marker,
  IN UINTN             Length
  )
{
  BYTE_VIEW  View;

  View.Data = Run->Image;
  View.Size = (UINTN)Run->ImageSize;
  return ByteViewMatches (&View, Offset, Marker, Length);
}

/**
  Writes an ISP register unless the context has lost its camera (a failed
  re-find clears UsbIo); its status is not examined.

  @param[in] Context  The camera.
  @param[in] Address  The register.
  @param[in] Value    The byte.
**/
STATIC
VOID
WriteRegisterIfPresent (
  IN CAMERA_CONTEXT  *Context,
  IN UINT16          Address,
  IN UINT8           Value
  )
{
  if (Context->UsbIo != NULL) {
    IspWriteRegister (Context->UsbIo, Context->XuIndex, Address, Value);
  }
}

/**
  After the ISP restarted on the banked road: waits, then looks for the
  camera by its device path, by the IDs it had, and by its recovery identity,
  a second apart. A camera that cannot be found leaves the context without a
  USB I/O, so that nothing later is sent to whatever device was tried last.

  @param[in] Run        The dispatcher call.
  @param[in] VendorId   The camera's idVendor before the restart.
  @param[in] ProductId  The camera's idProduct before the restart.

  @retval EFI_SUCCESS  The camera was found again.
  @return              The status of the last search.
**/
STATIC
EFI_STATUS
RefindBankedCamera (
  IN UPDATE_RUN  *Run,
  IN UINT16      VendorId,
  IN UINT16      ProductId
  )
{
  EFI_STATUS  Status;

  gBS->Stall (REFIND_FIRST_WAIT_US);
  Status = FindCameraByDevicePathText (Run->Context, Run->Context->DevicePathText);
  if (EFI_ERROR (Status)) {
    gBS->Stall (REFIND_NEXT_WAIT_US);
    Status = FindCameraDevice (Run->Context, VendorId, ProductId);
  }

  if (EFI_ERROR (Status)) {
    gBS->Stall (REFIND_NEXT_WAIT_US);
    Status = FindCameraDevice (Run->Context, RECOVERY_VENDOR_ID, RECOVERY_PRODUCT_ID_BANKED);
  }

  if (EFI_ERROR (Status)) {
    Run->Context->UsbIo = NULL;
  }

  return Status;
}

/**
  Restarts a two-slot ISP and finds the camera again: by its device path, by
  its IDs, and by its recovery identity. A camera that cannot be found leaves
  the context without a USB I/O.

  @param[in] Run  The dispatcher call.

  @retval EFI_SUCCESS  The camera was found again.
  @return              The status of the last search.
**/
STATIC
EFI_STATUS
RestartAndRefindSlotCamera (
  IN UPDATE_RUN  *Run
  )
{
  EFI_STATUS  Status;

  WriteRegisterIfPresent (Run->Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_RESTART);
  gBS->Stall (REFIND_FIRST_WAIT_US);
  Status = FindCameraByDevicePathText (Run->Context, Run->Context->DevicePathText);
  if (EFI_ERROR (Status)) {
    Status = FindCameraDevice (Run->Context, Run->Context->DeviceDescriptor.IdVendor, Run->Context->DeviceDescriptor.IdProduct);
  }

  if (EFI_ERROR (Status)) {
    Status = FindCameraDevice (Run->Context, RECOVERY_VENDOR_ID, RECOVERY_PRODUCT_ID_SLOTTED);
  }

  if (EFI_ERROR (Status)) {
    Run->Context->UsbIo = NULL;
  }

  return Status;
}

/**
  The preamble of the banked generation: reads the ISP's boot state and
  hints, checks the image's markers against it, makes the ISP re-enumerate
  where the image asks for it and finds the camera again.

  @param[in,out] Run  The dispatcher call; BootState is set.

  @retval EFI_SUCCESS            Go on with the whole-image or banked road.
  @retval EFI_INVALID_PARAMETER  A bank image for an ISP that does not run
                                 from a bank.
  @retval EFI_BAD_BUFFER_SIZE    The image's revision byte lies beyond it.
  @return                        The running status where it ends the
                                 preamble, or the last re-find's status.
**/
STATIC
EFI_STATUS
BankedPreamble (
  IN OUT UPDATE_RUN  *Run
  )
{
  CAMERA_CONTEXT  *Context;
  EFI_STATUS      Running;
  UINT8           Unused;
  UINT8           ResetHint;
  UINT8           ReconnectHint;
  UINT16          VendorId;
  UINT16          ProductId;
  UINT8           Dword[4];
  UINT8           Revision;
  BYTE_VIEW       View;
  UINTN           Index;
  BOOLEAN         Reenumerates;

  Context = Run->Context;
  Running = EFI_SUCCESS;

  //
  // The boot registers (statuses not examined) and the camera's IDs.
  //
  Unused        = 0;
  ResetHint     = 0;
  ReconnectHint = 0;
  IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_LEGACY_GENERATION, &Unused);
  IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_BOOT_STATE, &Run->BootState);
  IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_BOOT_INFO_LOW, &ResetHint);
  IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_BOOT_INFO_HIGH, &ReconnectHint);
  VendorId  = Context->DeviceDescriptor.IdVendor;
  ProductId = Context->DeviceDescriptor.IdProduct;

  if ((Run->BootState & ISP_BOOT_STATE_BANKED) == 0) {
    //
    // An ISP that does not run from a bank takes no bank image.
    //
    if (HasMarker (Run, BANK_IMAGE_KIND_OFFSET, mMarkerDz, sizeof (mMarkerDz)) ||
        HasMarker (Run, BANK_IMAGE_DZ_ALT_OFFSET, mMarkerDz, sizeof (mMarkerDz)))
    {
      return EFI_INVALID_PARAMETER;
    }

    WriteRegisterIfPresent (Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_REENUMERATE);
  } else if (HasMarker (Run, BANK_IMAGE_KIND_OFFSET, mMarkerCy, sizeof (mMarkerCy)) &&
             HasMarker (Run, BANK_FULL_IMAGE_OFFSET, mMarkerDz, sizeof (mMarkerDz)) &&
             HasMarker (Run, IMAGE_PRO_OFFSET, mMarkerPro, sizeof (mMarkerPro)))
  {
    //
    // A full-flash image with a PRO block: compare its revision with the
    // ISP's boot state when the ISP's own PRO block is there.
    //
    ZeroMem (Dword, sizeof (Dword));
    Running = IspReadDword (Context->UsbIo, Context->XuIndex, ISP_PRO_DWORD_ADDRESS, Dword);
    if ((Dword[3] == 'P') && (Dword[2] == 'R') && (Dword[1] == 'O')) {
      View.Data = Run->Image;
      View.Size = (UINTN)Run->ImageSize;
      if (!ByteViewRead8 (&View, IMAGE_PRO_REVISION_OFFSET, &Revision)) {
        return EFI_BAD_BUFFER_SIZE;
      }

      Reenumerates = FALSE;
      for (Index = 0; Index < ARRAY_SIZE (mReenumeratingCameras); Index++) {
        if ((VendorId == mReenumeratingCameras[Index].VendorId) && (ProductId == mReenumeratingCameras[Index].ProductId)) {
          Reenumerates = TRUE;
        }
      }

      if (Revision == Run->BootState) {
        Running = IspWriteRegister (Context->UsbIo, Context->XuIndex, ISP_REG_BOOT_SELECT, ISP_BOOT_SELECT_SAME);
      } else if ((Revision > Run->BootState) && Reenumerates) {
        WriteRegisterIfPresent (Context, ISP_REG_BOOT_SELECT, ISP_BOOT_SELECT_SAME);
        gBS->Stall (REENUMERATE_WAIT_US);
        Run->BootState = ISP_BOOT_STATE_BASE;
        Running        = FindCameraDevice (Context, Context->DeviceDescriptor.IdVendor, Context->DeviceDescriptor.IdProduct);
        if (EFI_ERROR (Running)) {
          Context->UsbIo = NULL;
        }

        WriteRegisterIfPresent (Context, ISP_REG_BOOT_STATE, ISP_BOOT_STATE_BASE);
        WriteRegisterIfPresent (Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_REENUMERATE);
      } else if (Revision > Run->BootState) {
        WriteRegisterIfPresent (Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_REENUMERATE);
      }
    } else {
      WriteRegisterIfPresent (Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_REENUMERATE);
    }
  } else {
    //
    // Any other image on an ISP that runs from a bank.
    //
    WriteRegisterIfPresent (Context, ISP_REG_BOOT_SELECT, ISP_BOOT_SELECT_SAME);
  }

  //
  // An ISP whose hints say it stays on the bus gets a second; any other
  // is found again.
  //
  if (((ReconnectHint & ISP_RECONNECT_HINT_MASK) != ISP_RECONNECT_HINT_MASK) && (ResetHint == ISP_RESET_HINT_STAYS)) {
    gBS->Stall (REFIND_NEXT_WAIT_US);
    if (EFI_ERROR (Running)) {
      return Running;
    }
  } else {
    Running = RefindBankedCamera (Run, VendorId, ProductId);
    if (EFI_ERROR (Running)) {
      return Running;
    }
  }

  //
  // Tell the ISP it was found again.
  //
  WriteRegisterIfPresent (Context, ISP_REG_REATTACHED, 1);
  return EFI_SUCCESS;
}

/**
  The whole-image road: command set, image patch, unprotect; the banked
  update when the ISP runs from a bank; otherwise erase, blank the first
  chunk, write the rest, read it back, compare, and write the first chunk
  last.

  @param[in,out] Run       The dispatcher call.
  @param[in,out] ReadBack  The read-back buffer, freed by the caller's exit.

  @return The status the exit sequence returns.
**/
STATIC
EFI_STATUS
WholeImageRoad (
  IN OUT UPDATE_RUN          *Run,
  IN OUT POOL_BUFFER<UINT8>  &ReadBack
  )
{
  CAMERA_CONTEXT       *Context;
  EFI_USB_IO_PROTOCOL  *UsbIo;
  UINT16               XuIndex;
  EFI_STATUS           Status;
  UINT8                SetIndex;
  UINT16               ChunkLength;
  UINT16               AskedLength;
  UINT8                PatchIndex;
  UINT64               SectorCount;
  UINT64               Sector;
  UINT64               Address;
  UINT8                FlashEnable;
  BOOLEAN              Verified;
  POOL_BUFFER<UINT8>   Blank;

  Context = Run->Context;
  UsbIo   = Context->UsbIo;
  XuIndex = Context->XuIndex;

  //
  // The command set; its load tells the chunk length.
  //
  SetIndex    = FlashKindToCommandSet (Run->FlashKind);
  ChunkLength = 0;
  Status      = XuLoadFlashCommandSet (UsbIo, XuIndex, SetIndex, &ChunkLength);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The image patch: the command set for the ISP's own firmware. A flash
  // kind outside the tables (index 10) was loaded with set 0, and gets
  // set 0's entry.
  //
  if ((Run->IspKind != 'n') && (Run->IspKind != 'p') && (Run->IspKind != 'q')) {
    PatchIndex = (SetIndex < IMAGE_PATCH_TABLE_LENGTH) ? SetIndex : 0;
    if (Run->IspKind == 'h') {
      if (Run->ImageSize <= IMAGE_PATCH_OFFSET_A) {
        return EFI_BAD_BUFFER_SIZE;
      }

      Run->Image[IMAGE_PATCH_OFFSET_A] = mImagePatchTableA[PatchIndex];
    } else if ((Run->IspKind == 'j') || (Run->IspKind == 'k') || (Run->IspKind == 'm')) {
      if (Run->ImageSize <= IMAGE_PATCH_OFFSET_B) {
        return EFI_BAD_BUFFER_SIZE;
      }

      Run->Image[IMAGE_PATCH_OFFSET_B] = mImagePatchTableB[PatchIndex];
    } else {
      return EFI_INVALID_PARAMETER;
    }
  }

  //
  // Unprotect the flash: while its protection bits are set the chip
  // ignores erases and writes.
  //
  Status = IspUnprotectFlash (UsbIo, XuIndex, Run->IspKind, Run->FlashKind);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // An ISP that (still) runs from a bank takes the banked update.
  //
  if ((Run->IspKind == 'n') && ((Run->BootState & ISP_BOOT_STATE_BANKED) != 0)) {
    return UpdateBankedFirmware (Context, Run->Image, Run->ImageSize, Run->Progress);
  }

  //
  // The sectors the image covers; the older generations keep their flash
  // closed to writes until the unit's write-enable control opens it.
  //
  SectorCount = Run->ImageSize / XU_FLASH_SECTOR_SIZE + ((Run->ImageSize % XU_FLASH_SECTOR_SIZE) != 0 ? 1 : 0);
  if (Run->IspKind != 'n') {
    FlashEnable = 1;
    XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_WRITE_ENABLE), &FlashEnable, sizeof (FlashEnable));
  }

  //
  // Nothing is erased without a chunk length that can drive the loops, nor
  // for an image that would leave nothing to boot.
  //
  if (!IsUsableChunkLength (ChunkLength)) {
    return EFI_UNSUPPORTED;
  }

  if ((Run->ImageSize == 0) || (Run->ImageSize > FLASH_ADDRESS_LIMIT)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  //
  // Erase, each failure repeated once.
  //
  for (Sector = 0; Sector < SectorCount; Sector++) {
    Status = FlashEraseSector (UsbIo, XuIndex, (UINT16)Sector, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // The unit is asked for its chunk length again; the loops keep the one
  // the command-set load gave.
  //
  AskedLength = 0;
  XuGetLen (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), &AskedLength);

  //
  // The generations that boot from a marked first chunk get a blank one
  // first, so that a half-written flash does not look bootable.
  //
  if ((Run->IspKind == 'j') || (Run->IspKind == 'k') || (Run->IspKind == 'm') || (Run->IspKind == 'n')) {
    if (!Blank.AllocateZero (XU_FLASH_SECTOR_SIZE)) {
      return EFI_OUT_OF_RESOURCES;
    }

    SetMem (Blank.Get (), ChunkLength, 0xFF);
    if (Run->IspKind == 'n') {
      Blank[BLANK_MARK_OFFSET_N]     = BLANK_MARK_N_0;
      Blank[BLANK_MARK_OFFSET_N + 1] = BLANK_MARK_N_1;
    } else {
      Blank[0] = BLANK_MARK_0;
      Blank[1] = BLANK_MARK_1;
    }

    Status = FlashWriteChunk (UsbIo, XuIndex, 0, ChunkLength, Blank.Get (), Blank.Count (), 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Every chunk but the first, each failure repeated once.
  //
  for (Address = ChunkLength; Address < Run->ImageSize; Address += ChunkLength) {
    ReportProgress (Run->Progress, (Address * 100) / Run->ImageSize);
    Status = FlashWriteChunk (UsbIo, XuIndex, (UINT32)Address, ChunkLength, Run->Image + Address, Run->ImageSize - Address, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Read them back, each failure repeated once; the last chunk through a
  // bounce buffer when it runs past the image.
  //
  if (!ReadBack.Allocate ((UINTN)Run->ImageSize)) {
    return EFI_OUT_OF_RESOURCES;
  }

  for (Address = ChunkLength; Address < Run->ImageSize; Address += ChunkLength) {
    Status = FlashReadChunk (UsbIo, XuIndex, (UINT32)Address, ChunkLength, ReadBack.Get () + Address, Run->ImageSize - Address, 2, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Compare; a difference leaves the first chunk blank.
  //
  Verified = (BOOLEAN)((Run->ImageSize <= ChunkLength) ||
                       (CompareMem (Run->Image + ChunkLength, ReadBack.Get () + ChunkLength, (UINTN)(Run->ImageSize - ChunkLength)) == 0));
  ReportProgress (Run->Progress, WHOLE_IMAGE_PROGRESS_VERIFIED);
  if (!Verified) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The first chunk, last: only then does the flash look bootable, so an
  // update cut before this point leaves the camera in its ROM instead of
  // running half an image.
  //
  Status = FlashWriteChunk (UsbIo, XuIndex, 0, ChunkLength, Run->Image, Run->ImageSize, 2, 0);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ReportProgress (Run->Progress, WHOLE_IMAGE_PROGRESS_FIRST_CHUNK);
  return Status;
}

/**
  The two-slot road: compares the image's header with the camera's, rewrites
  the camera's header block where the camera has none or an older one,
  restarts and finds the camera again, and hands over to the slot update.

  @param[in,out] Run      The dispatcher call.
  @param[out]    HandOff  TRUE when the slot update ran; its status is the
                          result and the exit sequence is skipped.

  @return The status to return.
**/
STATIC
EFI_STATUS
SlotRoad (
  IN OUT UPDATE_RUN  *Run,
  OUT    BOOLEAN     *HandOff
  )
{
  CAMERA_CONTEXT       *Context;
  EFI_STATUS           Status;
  UINT8                ImageFormat;
  UINT8                DeviceFormat;
  UINT64               ActiveOffset;
  UINT8                Trailer[SLOT_TRAILER_LENGTH];
  UINT32               TrailerLength;
  UINT8                DeviceBlock[SLOT_HEADER_BLOCK_SIZE];
  UINT32               ImageVersion;
  UINT32               DeviceVersion;
  UINT32               SlotZeroOffset;
  CAMERA_IMAGE_HEADER  Header;
  POOL_BUFFER<UINT8>   HeaderBlock;
  BOOLEAN              IsQ;

  Context  = Run->Context;
  *HandOff = FALSE;
  IsQ      = (BOOLEAN)(Run->IspKind == 'q');

  //
  // The image's header, its running slot, and its signature
  // trailer (the last 160 bytes).
  //
  ImageFormat = IMAGE_HEADER_FORMAT_LEGACY_TAGGED;
  GetImageHeaderFormat (Run->Image, &ImageFormat, (UINTN)Run->ImageSize);
  Status = GetActiveSlotOffset (Run->Image, (UINTN)Run->ImageSize, &ActiveOffset);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (Run->ImageSize < SLOT_TRAILER_LENGTH + sizeof (CAMERA_IMAGE_HEADER)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  CopyMem (Trailer, Run->Image + Run->ImageSize - SLOT_TRAILER_LENGTH, SLOT_TRAILER_LENGTH);
  TrailerLength = SLOT_TRAILER_LENGTH;

  //
  // The camera's header block and its format.
  //
  Status = XuFlashReadSector (Context->UsbIo, Context->XuIndex, 0, DeviceBlock);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  DeviceFormat = IMAGE_HEADER_FORMAT_LEGACY_TAGGED;
  GetImageHeaderFormat (DeviceBlock, &DeviceFormat, sizeof (DeviceBlock));

  //
  // Decide by the two formats.
  //
  if (DeviceFormat == IMAGE_HEADER_FORMAT_LEGACY_TAGGED) {
    if (ImageFormat == IMAGE_HEADER_FORMAT_LEGACY) {
      return EFI_UNSUPPORTED;
    }

    if (IsQ) {
      WriteRegisterIfPresent (Context, ISP_REG_SLOT_PREPARE, 1);
    }

    if (ImageFormat != IMAGE_HEADER_FORMAT_SLOTTED) {
      //
      // A camera without a header and an image without slots: the slot
      // update programs the whole image, unsigned.
      //
      WriteRegisterIfPresent (Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_REENUMERATE);
      TrailerLength = 0;
    } else {
      //
      // Full header write: the image's header block with no slot running
      // and slot 0's digest erased. The image's header must describe
      // itself within its 100 bytes.
      //
      CopyMem (&Header, Run->Image, sizeof (Header));
      Status = SwapImageHeader (&Header);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      WriteRegisterIfPresent (Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_REENUMERATE);
      Status = IspUnprotectFlash (Context->UsbIo, Context->XuIndex, SLOT_ISP_KIND, Run->FlashKind);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      Header.ActiveSlot   = SLOT_NO_ACTIVE;
      Header.PreviousSlot = SLOT_NO_ACTIVE;
      SetMem (Header.Slot[0].Digest, sizeof (Header.Slot[0].Digest), 0xFF);
      if (!HeaderBlock.Allocate (SLOT_FULL_HEADER_SIZE)) {
        return EFI_OUT_OF_RESOURCES;
      }

      //
      // An image shorter than the header block leaves the rest erased.
      //
      SetMem (HeaderBlock.Get (), SLOT_FULL_HEADER_SIZE, 0xFF);
      CopyMem (HeaderBlock.Get (), Run->Image, (UINTN)MIN (Run->ImageSize, (UINT64)SLOT_FULL_HEADER_SIZE));
      SwapImageHeader (&Header);
      CopyMem (HeaderBlock.Get (), &Header, sizeof (Header));
      Status = ProgramFlashRange (Context, HeaderBlock.Get (), Run->FlashKind, 0, SLOT_FULL_HEADER_SIZE);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      HeaderBlock.Free ();
      Status = RestartAndRefindSlotCamera (Run);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      if (IsQ) {
        WriteRegisterIfPresent (Context, ISP_REG_SLOT_PREPARE, 1);
      }

      WriteRegisterIfPresent (Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_RESUME);
    }
  } else {
    if (ImageFormat == IMAGE_HEADER_FORMAT_LEGACY_TAGGED) {
      return EFI_UNSUPPORTED;
    }

    //
    // Both have headers: compare their versions (big-endian at 2).
    //
    ImageVersion  = 0;
    DeviceVersion = 0;
    ReadBigEndian32 (Run->Image, (UINTN)Run->ImageSize, OFFSET_OF (CAMERA_IMAGE_HEADER, Version), 0, &ImageVersion);
    ReadBigEndian32 (DeviceBlock, sizeof (DeviceBlock), OFFSET_OF (CAMERA_IMAGE_HEADER, Version), 0, &DeviceVersion);
    if (ImageVersion > DeviceVersion) {
      //
      // Header-block update: the image's bytes from the end of the header up
      // to its slot 0, and its version. Only the camera's first sector is
      // rewritten, so the bytes taken end at the sector's end, and at the
      // image's; a slot 0 that starts inside the header itself is refused.
      //
      SlotZeroOffset = 0;
      ReadBigEndian32 (
        Run->Image,
        (UINTN)Run->ImageSize,
        OFFSET_OF (CAMERA_IMAGE_HEADER, Slot) + OFFSET_OF (CAMERA_IMAGE_SLOT, Offset),
        0,
        &SlotZeroOffset
        );
      if (SlotZeroOffset < sizeof (CAMERA_IMAGE_HEADER)) {
        return EFI_BAD_BUFFER_SIZE;
      }

      SlotZeroOffset = (UINT32)MIN ((UINT64)SlotZeroOffset, MIN ((UINT64)SLOT_HEADER_BLOCK_SIZE, Run->ImageSize));

      if (IsQ) {
        if (Context->UsbIo == NULL) {
          return EFI_INVALID_PARAMETER;
        }

        IspWriteRegister (Context->UsbIo, Context->XuIndex, ISP_REG_SLOT_PREPARE, 1);
      }

      Status = IspWriteRegister (Context->UsbIo, Context->XuIndex, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_REENUMERATE);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      Status = IspUnprotectFlash (Context->UsbIo, Context->XuIndex, SLOT_ISP_KIND, Run->FlashKind);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      CopyMem (DeviceBlock + sizeof (CAMERA_IMAGE_HEADER), Run->Image + sizeof (CAMERA_IMAGE_HEADER), SlotZeroOffset - sizeof (CAMERA_IMAGE_HEADER));
      CopyMem (DeviceBlock + OFFSET_OF (CAMERA_IMAGE_HEADER, Version), Run->Image + OFFSET_OF (CAMERA_IMAGE_HEADER, Version), sizeof (UINT32));
      Status = ProgramFlashRange (Context, DeviceBlock, Run->FlashKind, 0, SLOT_HEADER_BLOCK_SIZE);
      if (EFI_ERROR (Status)) {
        return Status;
      }

      Status = RestartAndRefindSlotCamera (Run);
      if (EFI_ERROR (Status)) {
        return Status;
      }
    }

    //
    // Finishing steps.
    //
    if (IsQ) {
      WriteRegisterIfPresent (Context, ISP_REG_SLOT_PREPARE, 1);
    }

    WriteRegisterIfPresent (Context, ISP_REG_BOOT_CONTROL, ISP_BOOT_CONTROL_RESUME);
    gBS->Stall (SLOT_FINISH_WAIT_US);
  }

  //
  // Hand over to the slot update, without the exit sequence.
  //
  IspReleaseUpdateLock (Context, Run->SpecialIds);
  *HandOff = TRUE;
  return UpdateSlotFirmware (Context, Run->Image, Run->ImageSize - SLOT_TRAILER_LENGTH, Trailer, TrailerLength, Run->Progress);
}

/**
  Applies one firmware image to the camera.

  @param[in,out] Context     The camera; re-finding it rewrites it.
  @param[in,out] Image       The image; single bytes may be patched.
  @param[in]     ImageSize   Its length.
  @param[in]     Progress    Receives percentages; NULL for none.
  @param[in]     RestartIsp  Restart the ISP at the end.

  @return As declared in UpdateEngine.h.
**/
EFI_STATUS
EFIAPI
UpdateCameraFirmware (
  IN OUT CAMERA_CONTEXT            *Context,
  IN OUT UINT8                     *Image,
  IN     UINT64                    ImageSize,
  IN     UPDATE_PROGRESS_CALLBACK  Progress  OPTIONAL,
  IN     BOOLEAN                   RestartIsp
  )
{
  UPDATE_RUN          Run;
  POOL_BUFFER<UINT8>  ReadBack;
  EFI_STATUS          Status;
  UINT8               Discard;
  BOOLEAN             HandOff;

  ZeroMem (&Run, sizeof (Run));
  Run.Context   = Context;
  Run.Image     = Image;
  Run.ImageSize = ImageSize;
  Run.Progress  = Progress;
  Run.IspKind   = ISP_KIND_UNKNOWN;

  Status = EFI_SUCCESS;
  do {
    //
    // A camera and an image.
    //
    if ((Context == NULL) || (Context->UsbIo == NULL) || (Image == NULL)) {
      Status = EFI_INVALID_PARAMETER;
      break;
    }

    //
    // The update lock: released for the special IDs, then tested;
    // the registers it involves are read first.
    //
    Run.SpecialIds = (BOOLEAN)((Context->DeviceDescriptor.IdVendor == SPECIAL_VENDOR_ID) &&
                               (Context->DeviceDescriptor.IdProduct == SPECIAL_PRODUCT_ID));
    IspReleaseUpdateLock (Context, Run.SpecialIds);
    IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_LOCK_STATE, &Discard);
    IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_UPDATE_MARKER, &Discard);
    IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_UPDATE_MARKER + 1, &Discard);
    IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_UPDATE_MARKER + 2, &Discard);
    IspReadRegister (Context->UsbIo, Context->XuIndex, ISP_REG_UPDATE_MARKER + 3, &Discard);
    if (IspIsUpdateLocked (Context)) {
      Status = EFI_ACCESS_DENIED;
      break;
    }

    //
    // The flash chip and the ISP's generation.
    //
    Status = IdentifyFlash (Context, &Run.FlashKind);
    if (EFI_ERROR (Status)) {
      break;
    }

    if (Context->UsbIo == NULL) {
      Status = EFI_INVALID_PARAMETER;
      break;
    }

    Status = IspGetKind (Context->UsbIo, Context->XuIndex, &Run.IspKind);
    if (EFI_ERROR (Status)) {
      break;
    }

    //
    // The road for the generation. The two-slot road returns the slot
    // update's status directly.
    //
    if ((Run.IspKind == 'p') || (Run.IspKind == 'q')) {
      Status = SlotRoad (&Run, &HandOff);
      if (HandOff) {
        return Status;
      }

      break;
    }

    if (Run.IspKind == 'n') {
      Status = BankedPreamble (&Run);
      if (EFI_ERROR (Status)) {
        break;
      }
    }

    Status = WholeImageRoad (&Run, ReadBack);
  } while (FALSE);

  //
  // Exit sequence: report 100, restart the ISP unless it failed to verify,
  // a second's wait on each side.
  //
  ReportProgress (Run.Progress, 100);
  gBS->Stall (EXIT_WAIT_US);
  if ((Status != EFI_DEVICE_ERROR) && RestartIsp && (Context != NULL)) {
    IspRestart (Context, Run.IspKind);
  }

  gBS->Stall (EXIT_WAIT_US);
  ReadBack.Free ();
  return Status;
}
