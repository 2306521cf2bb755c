/** @file
  The ways the update engine writes a camera's flash: the range programmer for
  short stretches such as the header block, and the banked update of the ISP
  generation whose flash holds a base area, a bank header at 0x7000 and a
  firmware bank.

  Every flash transfer carries one whole chunk, the length the extension unit
  reports for its flash-data control. Chunks that would run past the caller's
  data are sent from a bounce buffer padded with 0xFF, which leaves erased
  flash as it is.
**/

#ifndef __CAMERA_FLASH_STRATEGIES_H__
#define __CAMERA_FLASH_STRATEGIES_H__

#include "FirmwareInterfaces.h"

#include "CameraContext.h"
#include "ImageParsing.h"
#include "UpdateEngine.h"

///
/// The largest flash-data chunk the update roads accept: one flash sector.
/// A unit that reports 0 or a longer chunk is refused before anything is
/// erased.
///
#define FLASH_MAX_CHUNK_LENGTH  SIZE_4KB

///
/// Flash addresses the roads may reach: sector numbers are 16 bits wide.
///
#define FLASH_ADDRESS_LIMIT  (((UINT64)MAX_UINT16 + 1) * SIZE_4KB)

//
// The bank layout: base area from 0, bank header in sector 7, bank from the
// Offset of bank entry 1.
//
#define BANK_HEADER_ADDRESS        0x7000
#define BANK_HEADER_SECTOR         (BANK_HEADER_ADDRESS / SIZE_4KB)
#define BANK_HEADER_SIZE           0xCC
#define BANK_MINIMUM_OFFSET        0x8000  ///< a bank below would overlap the base area or the header
#define BANK_DEVICE_COPY_SIZE      SIZE_64KB
#define BANK_HEADER_SCRATCH_SIZE   SIZE_64KB

//
// Image markers of the bank layout (two ASCII bytes at fixed offsets).
//
#define BANK_IMAGE_KIND_OFFSET     0x100   ///< "DZ": bank image; "CY": base-area image
#define BANK_IMAGE_HEADER_OFFSET   0x7000  ///< "CY": the image carries a bank header
#define BANK_FULL_IMAGE_OFFSET     0x8100  ///< "DZ": full-flash image, bank from 0x8000
#define BANK_FULL_IMAGE_MINIMUM    0x8000
#define BANK_FULL_IMAGE_BANK       0x8000  ///< where a full-flash image's bank starts

//
// The device-specific data block that survives an update.
//
#define BANK_DATA_BLOCK_SIZE       0x900
#define BANK_DATA_TAG_OFFSET       0xC00
#define BANK_DATA_TAG_LENGTH       3
#define BANK_DATA_IMAGE_OFFSET     0x3000  ///< in the bank part of an image
#define BANK_DATA_BANK_OFFSET      0x3000  ///< from the bank's flash address
#define BANK_DATA_BASE_SECTOR      3       ///< when the ISP does not run from a bank

//
// The identity search in the bank part of an image.
//
#define BANK_IDENTITY_SEARCH_LENGTH  0x10000
#define BANK_IDENTITY_SELECTOR       0xFA  ///< 1: take the first descriptor, else the second

//
// Register 0x20D9 bit 7: the ISP runs from a bank.
//
#define ISP_BOOT_STATE_BANKED  BIT7

//
// Waits for the update window: register 0x6000 is read until it reads 0,
// with a road's own stall before each repeated read, for at most this long.
//
#define UPDATE_WINDOW_TIMEOUT_US     5000000
#define BANK_WINDOW_POLL_STALL_US    20000

//
// Percentage the bank road reports once the bank is verified.
//
#define BANK_PROGRESS_VERIFIED  98

///
/// The bank header at flash address 0x7000. Multi-byte fields are big-endian
/// except those of the USB device descriptor.
///
typedef struct {
  UINT8                Marker[2];             ///< "CY" marks a valid header
  UINT8                Configuration[30];     ///< kept as they are
  UINT8                DeviceDescriptor[18];  ///< USB layout; idVendor, idProduct, bcdDevice replaced
  UINT8                Reserved1[14];
  UINT8                Byte40;                ///< kept as it is
  UINT8                ActiveBank;            ///< 1 or 2; 0 and 0xFF read as 1
  UINT8                Reserved2[30];
  CAMERA_IMAGE_SLOT    Bank1;                 ///< Offset is the bank's flash address
  UINT8                Reserved3[20];
  CAMERA_IMAGE_SLOT    Bank2;
} BANK_HEADER;

STATIC_ASSERT (sizeof (BANK_HEADER) == BANK_HEADER_SIZE, "BANK_HEADER is 204 bytes");
STATIC_ASSERT (OFFSET_OF (BANK_HEADER, Configuration) == 0x02, "configuration bytes at 2");
STATIC_ASSERT (OFFSET_OF (BANK_HEADER, DeviceDescriptor) == 0x20, "device descriptor at 0x20");
STATIC_ASSERT (OFFSET_OF (BANK_HEADER, Byte40) == 0x40, "byte 0x40");
STATIC_ASSERT (OFFSET_OF (BANK_HEADER, ActiveBank) == 0x41, "ActiveBank at 0x41");
STATIC_ASSERT (OFFSET_OF (BANK_HEADER, Bank1) == 0x60, "bank entry 1 at 0x60");
STATIC_ASSERT (OFFSET_OF (BANK_HEADER, Bank2) == 0xA0, "bank entry 2 at 0xA0");

//
// Offsets inside the header used byte-wise.
//
#define BANK_HEADER_VENDOR_OFFSET    (OFFSET_OF (BANK_HEADER, DeviceDescriptor) + 8)
#define BANK_HEADER_PRODUCT_OFFSET   (OFFSET_OF (BANK_HEADER, DeviceDescriptor) + 10)
#define BANK_HEADER_DEVICE_OFFSET    (OFFSET_OF (BANK_HEADER, DeviceDescriptor) + 12)
#define BANK_HEADER_BANK1_OFFSET     (OFFSET_OF (BANK_HEADER, Bank1) + OFFSET_OF (CAMERA_IMAGE_SLOT, Offset))
#define BANK_HEADER_BANK1_FLAG       (OFFSET_OF (BANK_HEADER, Bank1) + OFFSET_OF (CAMERA_IMAGE_SLOT, Flags) + 3)
#define BANK_HEADER_BANK2_FLAG       (OFFSET_OF (BANK_HEADER, Bank2) + OFFSET_OF (CAMERA_IMAGE_SLOT, Flags) + 3)
#define BANK_HEADER_BANK1_DIGEST     (OFFSET_OF (BANK_HEADER, Bank1) + OFFSET_OF (CAMERA_IMAGE_SLOT, Digest))
#define BANK_HEADER_BANK2_DIGEST     (OFFSET_OF (BANK_HEADER, Bank2) + OFFSET_OF (CAMERA_IMAGE_SLOT, Digest))
#define BANK_HEADER_DIGEST_SIZE      32

STATIC_ASSERT (BANK_HEADER_BANK1_OFFSET == 0x64, "bank entry 1 Offset at 0x64");
STATIC_ASSERT (BANK_HEADER_BANK1_FLAG == 0x6B, "bank entry 1 flag byte at 0x6B");
STATIC_ASSERT (BANK_HEADER_BANK2_FLAG == 0xAB, "bank entry 2 flag byte at 0xAB");
STATIC_ASSERT (BANK_HEADER_BANK1_DIGEST == 0x6C, "bank entry 1 Digest at 0x6C");
STATIC_ASSERT (BANK_HEADER_BANK2_DIGEST == 0xAC, "bank entry 2 Digest at 0xAC");
STATIC_ASSERT (BANK_HEADER_VENDOR_OFFSET == 0x28, "idVendor at 0x28");

///
/// The bank header the driver writes when the camera has none, byte for
/// byte: bank 1 at 0x8000 and bank 2 at 0x24800, no digests, the recovery
/// identity 0x1BCF:0x0B15 with bcdDevice 0x0110.
///
extern CONST UINT8  mDefaultBankHeader[BANK_HEADER_SIZE];

/**
  Rewrites a short stretch of flash: loads the command set for the chip,
  erases every 4 KiB sector of the stretch, then writes it chunk by chunk.
  Nothing is read back and nothing is retried here (the data phase of each
  write is retried inside XuFlashWrite).

  @param[in] Context    The camera; its UsbIo and XuIndex address every request.
  @param[in] Data       Source bytes indexed by flash address: Data[A] goes
                        to flash address A; at least End bytes.
  @param[in] FlashKind  The chip's kind from IdentifyFlash.
  @param[in] Start      First flash address.
  @param[in] End        Flash address one past the last byte written.

  @retval EFI_SUCCESS            The stretch was erased and written.
  @retval EFI_INVALID_PARAMETER  Context or its UsbIo is NULL, Data is NULL
                                 with a non-empty stretch, or End lies beyond
                                 the flash addresses the unit can reach;
                                 nothing was sent.
  @retval EFI_UNSUPPORTED        The unit reports a chunk length of 0 or above
                                 4096; nothing was erased.
  @return                        The command-set load's failure; with Start
                                 not below End the status of the chunk-length
                                 read; a failing chunk-length read; the first
                                 failing erase or write.
**/
EFI_STATUS
EFIAPI
ProgramFlashRange (
  IN CAMERA_CONTEXT  *Context,
  IN CONST UINT8     *Data,
  IN UINT8           FlashKind,
  IN UINT64          Start,
  IN UINT64          End
  );

/**
  Updates a camera whose ISP runs from a bank: classifies the camera's and
  the image's layouts, carries the camera's device-specific data block into
  the image, erases and writes the bank (inside the ISP's update window for
  bank images), reads it back and compares it, and rewrites the bank header
  with the digests the ISP left in it, the bank number and the image's USB
  identity. The caller has identified the flash, loaded its command set and
  unprotected it.

  @param[in]     Context    The camera.
  @param[in,out] Image      The image; its data block may be replaced in place.
  @param[in]     ImageSize  Its length in bytes.
  @param[in]     Progress   Receives percentages; NULL for none.

  @retval EFI_SUCCESS            The bank was written and verified, and the
                                 header rewritten where the camera has one.
  @retval EFI_INVALID_PARAMETER  Context, its UsbIo or Image is NULL; the
                                 image has neither "DZ" nor "CY" at 0x100;
                                 the camera's and the image's layouts do not
                                 fit; or the bank read back differs (the
                                 default bank header is then restored on a
                                 camera that had a header).
  @retval EFI_LOAD_ERROR         The active bank is not 1 or 2, its flag byte
                                 is not 1, or the bank offset lies below
                                 0x8000, at or beyond a full-flash image's
                                 end, or puts the bank beyond the reachable
                                 flash; nothing was erased.
  @retval EFI_UNSUPPORTED        The unit reports a chunk length of 0, above
                                 4096, or, when the bank header moves, below
                                 its 204 bytes; nothing was erased.
  @retval EFI_TIMEOUT            The update window did not close.
  @retval EFI_OUT_OF_RESOURCES   A working buffer could not be allocated.
  @return                        The failure of a transfer: the chunk-length
                                 read, the sector and register reads, the
                                 erases, writes and reads after their retry,
                                 the window register accesses, the header
                                 read and write.
**/
EFI_STATUS
EFIAPI
UpdateBankedFirmware (
  IN     CAMERA_CONTEXT            *Context,
  IN OUT UINT8                     *Image,
  IN     UINT64                    ImageSize,
  IN     UPDATE_PROGRESS_CALLBACK  Progress  OPTIONAL
  );

//
// The two-slot layout: a CAMERA_IMAGE_HEADER at flash address 0 names the
// slots and the one that runs.
//
#define SLOT_HEADER_BLOCK_SIZE        SIZE_4KB    ///< the camera's header sector
#define SLOT_HEADER_READ_BACK_SIZE    0x3000      ///< the block the header is read back into
#define SLOT_IMAGE_HEADER_BASE        0x3000      ///< where a format-3 image's slot data starts
#define SLOT_COPY_SLACK               0x2000      ///< the image copy's room beyond the image
#define SLOT_READ_BACK_SLACK          0x1000      ///< the read-back buffer's room beyond the image
#define SLOT_FLASH_LIMIT              0x80000     ///< slot sectors at or above are never erased
#define SLOT_NO_ACTIVE                0xFF        ///< ActiveSlot while an update is in progress
#define SLOT_ISP_KIND                 'p'         ///< the kind the slot road names for both two-slot ISPs
#define SLOT_MODE1_ATTRIBUTE_OFFSET   0x0B        ///< image byte: 1 selects the version-block path
#define SLOT_VERSION_BLOCK_WORD       0x128       ///< image word (from the base): version block offset
#define SLOT_VERSION_BLOCK_MASK       0xFFFFF
#define SLOT_DATA_LENGTH_WORD         0x12C       ///< image word (from the base): slot data length
#define SLOT_IMAGE_VERSION_WORD       0x130       ///< image word (from the base): the slot's version
#define SLOT_VERSION_BLOCK_SIZE       SIZE_4KB
#define SLOT_PROGRAM_ROUNDING         SIZE_1KB
#define SLOT_TAIL_RECORD_WORD         0x3134      ///< image word: tail record offset and tag
#define SLOT_TAIL_TAG_MASK            0xFFF000FF
#define SLOT_TAIL_TAG                 0x00800000
#define SLOT_TAIL_OFFSET_MASK         0xFFFFF
#define SLOT_ERASE_RETRIES            3
#define SLOT_ERASE_RETRY_STALL_US     300000
#define SLOT_READ_RETRIES             2
#define SLOT_TRANSFER_STALL_US        100000      ///< before a repeated read, and before a write error is returned
#define SLOT_WINDOW_POLL_STALL_US     10000
#define SLOT_EXIT_STALL_US            1000000
#define SLOT_PROGRESS_ERASE_START     5
#define SLOT_PROGRESS_WRITE_SPAN      90
#define SLOT_PROGRESS_WRITE_START     5
#define SLOT_PROGRESS_DONE            100

//
// The whole-image fallback of the slot update: the header fields of the
// older image formats (big-endian words at fixed image offsets) and the
// digest record appended to such images.
//
#define FALLBACK_LENGTH_BOUND_WORD    0x120
#define FALLBACK_TAIL_RECORD_WORD     0x124
#define FALLBACK_HASHED_LENGTH_WORD   0x12C
#define FALLBACK_FIELDS_END           0x130
#define FALLBACK_RECORD_TAG_LENGTH    6
#define FALLBACK_RECORD_POINTER_BIT   0x00800000  ///< set in the tail-record word once a record follows
#define FALLBACK_WORK_SLACK           0x3000
#define FALLBACK_PROGRESS_VERIFIED    98
#define FALLBACK_PROGRESS_FIRST_CHUNK 99

///
/// The record the whole-image fallback appends to an image of the older
/// formats: a tag, three words and the SHA-256 of the image's hashed part.
///
typedef struct {
  UINT8    Tag[FALLBACK_RECORD_TAG_LENGTH];  ///< "PREFIX"
  UINT8    Word1[4];                         ///< 00 00 00 01
  UINT8    Word2[4];                         ///< 00 00 00 00
  UINT8    Word3[4];                         ///< 00 00 00 01
  UINT8    Digest[32];                       ///< SHA-256 of the hashed length
} PREFIX_RECORD;

STATIC_ASSERT (sizeof (PREFIX_RECORD) == 50, "PREFIX record is 50 bytes");
STATIC_ASSERT (OFFSET_OF (PREFIX_RECORD, Word1) == 6, "first word after the tag");
STATIC_ASSERT (OFFSET_OF (PREFIX_RECORD, Digest) == 18, "digest at 18");

/**
  Writes an image into the inactive slot of a two-slot camera: recovers the
  signed digest from the trailer, checks the camera's header (writable
  target slot, no rollback below the running slot's version), writes a
  header that names no running slot, erases the target slot, hands the
  signed digest to the ISP, writes the slot inside the update window, reads
  it back, and writes the version block and tail record area. It never makes
  a slot active: the ISP does, after its restart, when the digest matches.
  Every return reports 100 and waits 1 s.

  @param[in]  Context         The camera.
  @param[in]  Image           The image without its signature trailer; not
                              changed.
  @param[in]  ImageSize       Its length.
  @param[in]  Trailer         The signature trailer.
  @param[in]  TrailerLength   Its length (160, or 0).
  @param[in]  Progress        Receives percentages; NULL for none.
  @param[out] NoCameraHeader  Optional; set TRUE only when the camera's
                              first sector holds no header (the status is
                              then EFI_OUT_OF_RESOURCES and nothing was
                              written), else FALSE.

  @retval EFI_SUCCESS             The slot and what follows it were written.
  @retval EFI_INVALID_PARAMETER   A NULL argument.
  @retval EFI_OUT_OF_RESOURCES    The camera has no header (see
                                  NoCameraHeader), or a buffer could not be
                                  allocated.
  @retval EFI_VOLUME_CORRUPTED    The camera's header has a SlotCount of 0 or
                                  above 2, or an ActiveSlot that names no
                                  slot; nothing was written.
  @retval EFI_BAD_BUFFER_SIZE     The image is too short for the words read,
                                  or its lengths and offsets point outside
                                  it; nothing was written.
  @retval EFI_UNSUPPORTED         The image header is not recognised, or the
                                  unit's chunk length is 0 or above 4096;
                                  nothing was written.
  @retval EFI_ACCESS_DENIED       The target slot may not be written.
  @retval EFI_SECURITY_VIOLATION  The image is older than the running slot.
  @retval EFI_DEVICE_ERROR        The header or the slot read back differs.
  @retval EFI_TIMEOUT             The update window did not clear.
  @return                         The failure of a transfer or of flash
                                  identification.
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
  );

/**
  Updates a two-slot camera: programs the inactive slot, or, on a camera
  whose first sector holds no header, programs the whole image from flash
  address 0 (appending a digest record to images of the older formats) with
  the first chunk written last. Ends by reporting 100, restarting the ISP
  (not after EFI_DEVICE_ERROR) and waiting 1 s.

  @param[in] Context        The camera.
  @param[in] Image          The image without its signature trailer; not
                            changed.
  @param[in] ImageSize      Its length.
  @param[in] Trailer        The signature trailer.
  @param[in] TrailerLength  Its length (160, or 0).
  @param[in] Progress       Receives percentages; NULL for none.

  @retval EFI_SUCCESS            The image was written and verified.
  @retval EFI_INVALID_PARAMETER  A NULL argument, or the whole image read
                                 back differs (its first chunk stays erased).
  @retval EFI_OUT_OF_RESOURCES   A buffer could not be allocated.
  @retval EFI_BAD_BUFFER_SIZE    An image of the older formats too short for
                                 its header fields.
  @retval EFI_UNSUPPORTED        The chunk length is 0 or above 4096; nothing
                                 was erased.
  @return                        The status of ProgramInactiveSlot, or of
                                 the fallback's failing step.
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
  );

#endif
