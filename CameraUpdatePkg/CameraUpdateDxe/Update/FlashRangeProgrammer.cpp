/** @file
  The range programmer: erase a short stretch of flash sector by sector, then
  write it chunk by chunk. Used for the header block of the two-slot layouts.
**/

#include "FlashStrategies.h"

#include "ExtensionUnit.h"
#include "FlashTransfer.h"
#include "SpiFlashCommands.h"

/**
  Rewrites a short stretch of flash.

  @param[in] Context    The camera.
  @param[in] Data       Source bytes indexed by flash address.
  @param[in] FlashKind  The chip's kind from IdentifyFlash.
  @param[in] Start      First flash address.
  @param[in] End        Flash address one past the last byte written.

  @retval EFI_SUCCESS            The stretch was erased and written.
  @retval EFI_INVALID_PARAMETER  A NULL argument or an unreachable End;
                                 nothing was sent.
  @retval EFI_UNSUPPORTED        The unit's chunk length is 0 or above 4096.
  @return                        The first failure of the steps.
**/
EFI_STATUS
EFIAPI
ProgramFlashRange (
  IN CAMERA_CONTEXT  *Context,
  IN CONST UINT8     *Data,
  IN UINT8           FlashKind,
  IN UINT64          Start,
  IN UINT64          End
  )
{
  EFI_USB_IO_PROTOCOL  *UsbIo;
  UINT16               XuIndex;
  UINT16               ChunkLength;
  EFI_STATUS           Status;
  UINT64               Address;

  if ((Context == NULL) || (Context->UsbIo == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Start < End) && ((Data == NULL) || (End > FLASH_ADDRESS_LIMIT))) {
    return EFI_INVALID_PARAMETER;
  }

  UsbIo   = Context->UsbIo;
  XuIndex = Context->XuIndex;

  //
  // The command set for the chip.
  //
  Status = XuLoadFlashCommandSet (UsbIo, XuIndex, FlashKindToCommandSet (FlashKind), NULL);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The chunk length of the flash-data control. Its status is the result
  // of an empty stretch.
  //
  ChunkLength = 0;
  Status      = XuGetLen (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), &ChunkLength);
  if (Start >= End) {
    return Status;
  }

  //
  // A length of 0 would never advance the write loop and one above a
  // sector is no unit's; refuse both before anything is erased. A failed
  // length read leaves nothing to program with either.
  //
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (!IsUsableChunkLength (ChunkLength)) {
    return EFI_UNSUPPORTED;
  }

  //
  // Erase every sector of the stretch, stopping at the first failure.
  //
  for (Address = Start; Address < End; Address += XU_FLASH_SECTOR_SIZE) {
    Status = FlashEraseSector (UsbIo, XuIndex, (UINT16)(Address / XU_FLASH_SECTOR_SIZE), 1, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Write it chunk by chunk; a last chunk that runs past End is padded
  // with 0xFF rather than taken from beyond the caller's data.
  //
  for (Address = Start; Address < End; Address += ChunkLength) {
    Status = FlashWriteChunk (UsbIo, XuIndex, (UINT32)Address, ChunkLength, Data + Address, End - Address, 1, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // The status of the last write.
  //
  return Status;
}
