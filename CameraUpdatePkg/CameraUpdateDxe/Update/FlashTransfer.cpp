/** @file
  Whole-chunk flash transfers with bounce buffers and repeats.
**/

#include "FlashTransfer.h"

#include "FirmwareInterfaces.h"
#include "PoolBuffer.h"

#include "ExtensionUnit.h"
#include "FlashStrategies.h"
#include "IspOps.h"

/**
  Tells whether a chunk length can drive a programming loop.

  @param[in] ChunkLength  The reported length.

  @retval TRUE   1 to FLASH_MAX_CHUNK_LENGTH.
  @retval FALSE  0 or longer than a sector.
**/
BOOLEAN
EFIAPI
IsUsableChunkLength (
  IN UINT16  ChunkLength
  )
{
  return (BOOLEAN)((ChunkLength != 0) && (ChunkLength <= FLASH_MAX_CHUNK_LENGTH));
}

/**
  Writes one whole chunk, from a 0xFF-padded bounce buffer when the source
  ends inside it.

  @param[in] UsbIo        The camera's USB I/O protocol.
  @param[in] XuIndex      wIndex of the extension unit.
  @param[in] Address      Flash address of the chunk.
  @param[in] ChunkLength  The unit's chunk length.
  @param[in] Source       The bytes to write.
  @param[in] Available    Number of bytes readable at Source.
  @param[in] Attempts     How often a failing write is tried in all.
  @param[in] RetryStallUs  Wait before each repeated write.

  @retval EFI_OUT_OF_RESOURCES  No bounce buffer; nothing was sent.
  @return                       The status of the last XuFlashWrite.
**/
EFI_STATUS
EFIAPI
FlashWriteChunk (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT32               Address,
  IN UINT16               ChunkLength,
  IN CONST UINT8          *Source,
  IN UINT64               Available,
  IN UINTN                Attempts,
  IN UINTN                RetryStallUs
  )
{
  POOL_BUFFER<UINT8>  Bounce;
  CONST UINT8         *Chunk;
  EFI_STATUS          Status;
  UINTN               Attempt;

  //
  // A chunk that runs past the source goes out from a padded copy.
  //
  Chunk = Source;
  if (Available < ChunkLength) {
    if (!Bounce.Allocate (ChunkLength)) {
      return EFI_OUT_OF_RESOURCES;
    }

    SetMem (Bounce.Get (), ChunkLength, 0xFF);
    CopyMem (Bounce.Get (), Source, (UINTN)Available);
    Chunk = Bounce.Get ();
  }

  //
  // Send it, repeating a failure as asked.
  //
  Status = EFI_INVALID_PARAMETER;
  for (Attempt = 0; Attempt < Attempts; Attempt++) {
    if ((Attempt != 0) && (RetryStallUs != 0)) {
      gBS->Stall (RetryStallUs);
    }

    Status = XuFlashWrite (UsbIo, XuIndex, Address, ChunkLength, Chunk);
    if (!EFI_ERROR (Status)) {
      break;
    }
  }

  return Status;
}

/**
  Reads one whole chunk, through a bounce buffer when the destination ends
  inside it.

  @param[in]  UsbIo        The camera's USB I/O protocol.
  @param[in]  XuIndex      wIndex of the extension unit.
  @param[in]  Address      Flash address of the chunk.
  @param[in]  ChunkLength  The unit's chunk length.
  @param[out] Destination  Receives the bytes.
  @param[in]  Room         Number of bytes writable at Destination.
  @param[in]  Attempts     How often a failing read is tried in all.
  @param[in]  RetryStallUs Wait before each repeated read.

  @retval EFI_OUT_OF_RESOURCES  No bounce buffer; nothing was sent.
  @return                       The status of the last XuFlashRead.
**/
EFI_STATUS
EFIAPI
FlashReadChunk (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT32               Address,
  IN  UINT16               ChunkLength,
  OUT UINT8                *Destination,
  IN  UINT64               Room,
  IN  UINTN                Attempts,
  IN  UINTN                RetryStallUs
  )
{
  POOL_BUFFER<UINT8>  Bounce;
  UINT8               *Chunk;
  EFI_STATUS          Status;
  UINTN               Attempt;

  //
  // A chunk that runs past the destination is read into a copy first.
  //
  Chunk = Destination;
  if (Room < ChunkLength) {
    if (!Bounce.Allocate (ChunkLength)) {
      return EFI_OUT_OF_RESOURCES;
    }

    Chunk = Bounce.Get ();
  }

  //
  // Read it, repeating a failure as asked.
  //
  Status = EFI_INVALID_PARAMETER;
  for (Attempt = 0; Attempt < Attempts; Attempt++) {
    if ((Attempt != 0) && (RetryStallUs != 0)) {
      gBS->Stall (RetryStallUs);
    }

    Status = XuFlashRead (UsbIo, XuIndex, Address, ChunkLength, Chunk);
    if (!EFI_ERROR (Status)) {
      break;
    }
  }

  //
  // Keep only what fits.
  //
  if (!EFI_ERROR (Status) && (Chunk != Destination)) {
    CopyMem (Destination, Chunk, (UINTN)Room);
  }

  return Status;
}

/**
  Erases one sector, repeating a failing erase as asked.

  @param[in] UsbIo     The camera's USB I/O protocol.
  @param[in] XuIndex   wIndex of the extension unit.
  @param[in] Sector    The sector number.
  @param[in] Attempts      How often a failing erase is tried in all.
  @param[in] RetryStallUs  Wait before each repeated erase.

  @return The status of the last XuFlashEraseSector.
**/
EFI_STATUS
EFIAPI
FlashEraseSector (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT16               Sector,
  IN UINTN                Attempts,
  IN UINTN                RetryStallUs
  )
{
  EFI_STATUS  Status;
  UINTN       Attempt;

  Status = EFI_INVALID_PARAMETER;
  for (Attempt = 0; Attempt < Attempts; Attempt++) {
    if ((Attempt != 0) && (RetryStallUs != 0)) {
      gBS->Stall (RetryStallUs);
    }

    Status = XuFlashEraseSector (UsbIo, XuIndex, Sector);
    if (!EFI_ERROR (Status)) {
      break;
    }
  }

  return Status;
}

/**
  Waits until the update window register reads 0.

  @param[in] UsbIo        The camera's USB I/O protocol.
  @param[in] XuIndex      wIndex of the extension unit.
  @param[in] PollStallUs  Wait before each repeated read.

  @retval EFI_SUCCESS  The register read 0.
  @retval EFI_TIMEOUT  It did not within UPDATE_WINDOW_TIMEOUT_US.
  @return              The failure of a read.
**/
EFI_STATUS
EFIAPI
IspWaitUpdateWindowIdle (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINTN                PollStallUs
  )
{
  EFI_STATUS  Status;
  UINT8       Value;
  UINTN       Poll;
  UINTN       Polls;

  //
  // As many reads as the bound allows at this pace, at least one.
  //
  Polls = (PollStallUs == 0) ? 1 : UPDATE_WINDOW_TIMEOUT_US / PollStallUs;
  if (Polls == 0) {
    Polls = 1;
  }

  for (Poll = 0; Poll < Polls; Poll++) {
    if (Poll != 0) {
      gBS->Stall (PollStallUs);
    }

    Value  = 0xFF;
    Status = IspReadRegister (UsbIo, XuIndex, ISP_REG_UPDATE_WINDOW, &Value);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    if (Value == 0) {
      return EFI_SUCCESS;
    }
  }

  return EFI_TIMEOUT;
}

/**
  Reports a percentage when there is a callback.

  @param[in] Progress    The callback, or NULL.
  @param[in] Percentage  The percentage.
**/
VOID
EFIAPI
ReportProgress (
  IN UPDATE_PROGRESS_CALLBACK  Progress  OPTIONAL,
  IN UINT64                    Percentage
  )
{
  if (Progress != NULL) {
    Progress ((UINTN)Percentage);
  }
}
