/** @file
  Chunk transfers of the update roads. The extension unit moves flash data in
  whole chunks only; these helpers keep every transfer whole while never
  reading or writing outside the caller's buffer, and repeat erases, writes
  and reads once where a road asks for it.
**/

#ifndef __CAMERA_FLASH_TRANSFER_H__
#define __CAMERA_FLASH_TRANSFER_H__

#include "FirmwareInterfaces.h"

#include "UpdateEngine.h"

/**
  Tells whether a chunk length reported by the unit can drive a programming
  loop: not 0 (the loop would never advance) and not above one sector.

  @param[in] ChunkLength  The reported length.

  @retval TRUE   The length is usable.
  @retval FALSE  It is not.
**/
BOOLEAN
EFIAPI
IsUsableChunkLength (
  IN UINT16  ChunkLength
  );

/**
  Writes one whole chunk at a flash address. When fewer than ChunkLength
  source bytes are available, the chunk is sent from a bounce buffer holding
  them followed by 0xFF, which leaves erased flash as it is.

  @param[in] UsbIo        The camera's USB I/O protocol.
  @param[in] XuIndex      wIndex of the extension unit.
  @param[in] Address      Flash address of the chunk.
  @param[in] ChunkLength  The unit's chunk length.
  @param[in] Source       The bytes to write.
  @param[in] Available    Number of bytes readable at Source.
  @param[in] Attempts     How often a failing write is tried in all.
  @param[in] RetryStallUs  Wait before each repeated write, in microseconds.

  @retval EFI_OUT_OF_RESOURCES  The bounce buffer could not be allocated;
                                nothing was sent.
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
  );

/**
  Reads one whole chunk at a flash address. When the destination has room
  for fewer than ChunkLength bytes, the chunk is read into a bounce buffer
  and only the bytes that fit are copied.

  @param[in]  UsbIo        The camera's USB I/O protocol.
  @param[in]  XuIndex      wIndex of the extension unit.
  @param[in]  Address      Flash address of the chunk.
  @param[in]  ChunkLength  The unit's chunk length.
  @param[out] Destination  Receives the bytes.
  @param[in]  Room         Number of bytes writable at Destination.
  @param[in]  Attempts     How often a failing read is tried in all.
  @param[in]  RetryStallUs Wait before each repeated read, in microseconds.

  @retval EFI_OUT_OF_RESOURCES  The bounce buffer could not be allocated;
                                nothing was sent.
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
  );

/**
  Erases one 4 KiB sector, repeating a failing erase as often as asked.

  @param[in] UsbIo     The camera's USB I/O protocol.
  @param[in] XuIndex   wIndex of the extension unit.
  @param[in] Sector    The sector number.
  @param[in] Attempts      How often a failing erase is tried in all.
  @param[in] RetryStallUs  Wait before each repeated erase, in microseconds.

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
  );

/**
  Waits until the ISP's update window register (0x6000) reads 0, stalling
  before each repeated read. The ISP clears it once it has finished with the
  data written inside the window; the wait is bounded by
  UPDATE_WINDOW_TIMEOUT_US.

  @param[in] UsbIo        The camera's USB I/O protocol.
  @param[in] XuIndex      wIndex of the extension unit.
  @param[in] PollStallUs  Wait before each repeated read, in microseconds.

  @retval EFI_SUCCESS  The register read 0.
  @retval EFI_TIMEOUT  It did not within the bound.
  @return              The failure of a read.
**/
EFI_STATUS
EFIAPI
IspWaitUpdateWindowIdle (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINTN                PollStallUs
  );

/**
  Reports a percentage to a progress callback, when there is one.

  @param[in] Progress    The callback, or NULL.
  @param[in] Percentage  The percentage.
**/
VOID
EFIAPI
ReportProgress (
  IN UPDATE_PROGRESS_CALLBACK  Progress  OPTIONAL,
  IN UINT64                    Percentage
  );

#endif
