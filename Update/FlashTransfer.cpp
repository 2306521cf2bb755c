/** @file
  Whole-chunk flash transfers with bounce buffers and repeats.
**/

#include "FlashTransfer.h"

#include <Library/BaseMemoryLib.h>
#include <Library/PoolBuffer.h>

#include "ExtensionUnit.h"
#include "FlashStrategies.h"

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
  IN UINTN                Attempts
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
  IN  UINTN                Attempts
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
  @param[in] Attempts  How often a failing erase is tried in all.

  @return The status of the last XuFlashEraseSector.
**/
EFI_STATUS
EFIAPI
FlashEraseSector (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT16               Sector,
  IN UINTN                Attempts
  )
{
  EFI_STATUS  Status;
  UINTN       Attempt;

  Status = EFI_INVALID_PARAMETER;
  for (Attempt = 0; Attempt < Attempts; Attempt++) {
    Status = XuFlashEraseSector (UsbIo, XuIndex, Sector);
    if (!EFI_ERROR (Status)) {
      break;
    }
  }

  return Status;
}
