/** @file
  Camera firmware images: the image kind, the version words an image carries,
  the 100-byte big-endian image header of the two-slot layouts and its format
  code.

  Images are untrusted: they come from the operating system as capsule
  payloads, and image headers also come from the camera's flash. Every read
  goes through a BYTE_VIEW, so that no byte outside the buffer is read,
  whatever offsets the bytes themselves supply. The rules are:

  - A marker (bytes a rule compares against fixed values) that lies beyond the
    end of the image is absent.
  - A descriptor search covers only the part of its range inside the image; a
    match needs its 14 bytes (pattern and the three words) inside the image.
  - A value that a reading rule must take from beyond the end, or from before
    the start, fails the image with EFI_BAD_BUFFER_SIZE.
  - A header whose SlotCount or ActiveSlot points outside its 100 bytes is
    reported with EFI_VOLUME_CORRUPTED.
**/

#ifndef __CAMERA_IMAGE_PARSING_H__
#define __CAMERA_IMAGE_PARSING_H__

#include "FirmwareInterfaces.h"

///
/// A read-only window onto Size bytes at Data. Reads through it fail instead
/// of leaving the window.
///
typedef struct {
  CONST UINT8    *Data;
  UINTN          Size;
} BYTE_VIEW;

/**
  Tells whether Length bytes at Offset lie inside the view.

  @param[in] View    The view.
  @param[in] Offset  Offset of the first byte.
  @param[in] Length  Number of bytes.

  @retval TRUE   All Length bytes lie inside the view.
  @retval FALSE  Some byte lies outside, or View is NULL.
**/
BOOLEAN
EFIAPI
ByteViewContains (
  IN CONST BYTE_VIEW  *View,
  IN UINTN            Offset,
  IN UINTN            Length
  );

/**
  Reads the byte at Offset.

  @param[in]  View    The view.
  @param[in]  Offset  Offset of the byte.
  @param[out] Value   Receives the byte; not written on failure.

  @retval TRUE   The byte was read.
  @retval FALSE  The byte lies outside the view.
**/
BOOLEAN
EFIAPI
ByteViewRead8 (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT UINT8            *Value
  );

/**
  Reads LE16 at Offset: byte Offset + 256 x byte Offset + 1.

  @param[in]  View    The view.
  @param[in]  Offset  Offset of the first byte.
  @param[out] Value   Receives the value; not written on failure.

  @retval TRUE   The value was read.
  @retval FALSE  A byte lies outside the view.
**/
BOOLEAN
EFIAPI
ByteViewReadLe16 (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT UINT16           *Value
  );

/**
  Reads BE16 at Offset: 256 x byte Offset + byte Offset + 1.

  @param[in]  View    The view.
  @param[in]  Offset  Offset of the first byte.
  @param[out] Value   Receives the value; not written on failure.

  @retval TRUE   The value was read.
  @retval FALSE  A byte lies outside the view.
**/
BOOLEAN
EFIAPI
ByteViewReadBe16 (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT UINT16           *Value
  );

/**
  Reads BE32 at Offset: the four bytes most significant first.

  @param[in]  View    The view.
  @param[in]  Offset  Offset of the first byte.
  @param[out] Value   Receives the value; not written on failure.

  @retval TRUE   The value was read.
  @retval FALSE  A byte lies outside the view.
**/
BOOLEAN
EFIAPI
ByteViewReadBe32 (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT UINT32           *Value
  );

/**
  Tells whether the bytes at Offset equal Pattern.

  @param[in] View     The view.
  @param[in] Offset   Offset of the first byte.
  @param[in] Pattern  The bytes expected.
  @param[in] Length   Number of bytes in Pattern.

  @retval TRUE   All Length bytes lie inside the view and equal Pattern.
  @retval FALSE  They differ, or some lie outside the view.
**/
BOOLEAN
EFIAPI
ByteViewMatches (
  IN CONST BYTE_VIEW  *View,
  IN UINTN            Offset,
  IN CONST UINT8      *Pattern,
  IN UINTN            Length
  );

/**
  Copies Length bytes at Offset out of the view.

  @param[in]  View         The view.
  @param[in]  Offset       Offset of the first byte.
  @param[out] Destination  Receives the bytes; not written on failure.
  @param[in]  Length       Number of bytes.

  @retval TRUE   The bytes were copied.
  @retval FALSE  Some byte lies outside the view.
**/
BOOLEAN
EFIAPI
ByteViewCopy (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT VOID             *Destination,
  IN  UINTN            Length
  );

///
/// Image kinds, as GetImageKind returns them.
///
#define IMAGE_KIND_C             'c'
#define IMAGE_KIND_D             'd'
#define IMAGE_KIND_E             'e'
#define IMAGE_KIND_G             'g'
#define IMAGE_KIND_H             'h'
#define IMAGE_KIND_I             'i'
#define IMAGE_KIND_J             'j'
#define IMAGE_KIND_K             'k'
#define IMAGE_KIND_L             'l'
#define IMAGE_KIND_N             'n'
#define IMAGE_KIND_UNRECOGNISED  'o'

///
/// Size of the version data of a kind-"k" image.
///
#define FW_VERSION_DATA_SIZE  32

///
/// AuxVersion of a kind-"j" image.
///
#define FW_AUX_VERSION_KIND_J  0xFFFF

///
/// Version words of the firmware inside an image, in host byte order.
///
typedef struct {
  UINT16    VendorId;                          ///< idVendor the firmware presents.
  UINT16    ProductId;                         ///< idProduct the firmware presents.
  UINT16    DeviceVersion;                     ///< bcdDevice: the firmware's version.
  UINT16    AuxVersion;                        ///< Second version number; 0 where none, 0xFFFF for kind "j".
  UINT8     VersionData[FW_VERSION_DATA_SIZE]; ///< Bytes 0x706C.. of a "CY"/"CY" kind-"k" image, else zero.
} FW_VERSION_INFO;

STATIC_ASSERT (sizeof (FW_VERSION_INFO) == 40, "four words and 32 bytes");
STATIC_ASSERT (OFFSET_OF (FW_VERSION_INFO, ProductId) == 2, "ProductId after VendorId");
STATIC_ASSERT (OFFSET_OF (FW_VERSION_INFO, DeviceVersion) == 4, "DeviceVersion third");
STATIC_ASSERT (OFFSET_OF (FW_VERSION_INFO, AuxVersion) == 6, "AuxVersion fourth");
STATIC_ASSERT (OFFSET_OF (FW_VERSION_INFO, VersionData) == 8, "VersionData last");

///
/// Bytes 0, 1 of an image (and of the camera's flash) that holds a
/// CAMERA_IMAGE_HEADER, and the same marker as a value.
///
#define CAMERA_IMAGE_HEADER_SIGNATURE  0x9528

///
/// Number of slot entries a CAMERA_IMAGE_HEADER holds.
///
#define CAMERA_IMAGE_SLOT_COUNT  2

///
/// ActiveSlot (and PreviousSlot) value meaning "no slot"; readers take slot 0.
///
#define CAMERA_IMAGE_NO_SLOT  0xFF

///
/// Size of the header block that precedes the firmware of a format-3 image.
///
#define CAMERA_IMAGE_HEADER_BLOCK_SIZE  0x3000

///
/// Images of at most this size with ActiveSlot 0xFF have header format 2.
///
#define CAMERA_IMAGE_FORMAT2_MAX_SIZE  0x3000

///
/// Header format codes, as GetImageHeaderFormat returns them.
///
#define IMAGE_HEADER_FORMAT_LEGACY_TAGGED  0
#define IMAGE_HEADER_FORMAT_LEGACY         1
#define IMAGE_HEADER_FORMAT_HEADER_ONLY    2
#define IMAGE_HEADER_FORMAT_SLOTTED        3

#pragma pack(1)

///
/// One firmware slot of a CAMERA_IMAGE_HEADER (big-endian in images and flash).
///
typedef struct {
  UINT32    Version;    ///< Version of the firmware in the slot.
  UINT32    Offset;     ///< Flash offset of the slot's firmware.
  UINT32    Flags;      ///< Least significant byte 0: the slot must not be written.
  UINT8     Digest[32]; ///< Digest of the slot; all 0xFF while it is rewritten.
} CAMERA_IMAGE_SLOT;

///
/// The 100-byte image header of the two-slot layouts.
///
typedef struct {
  UINT16               Signature;     ///< 0x9528.
  UINT32               Version;       ///< Header version.
  UINT8                SlotCount;     ///< Slot entries in use, at most 2.
  UINT8                ActiveSlot;    ///< Slot that runs; 0xFF: none.
  UINT8                PreviousSlot;  ///< Slot that ran before an update.
  UINT8                Attributes[3]; ///< Copied from the image into the camera's header.
  CAMERA_IMAGE_SLOT    Slot[CAMERA_IMAGE_SLOT_COUNT];
} CAMERA_IMAGE_HEADER;

#pragma pack()

STATIC_ASSERT (sizeof (CAMERA_IMAGE_SLOT) == 44, "CAMERA_IMAGE_SLOT is 44 bytes");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_SLOT, Offset) == 0x04, "slot Offset at 4");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_SLOT, Flags) == 0x08, "slot Flags at 8");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_SLOT, Digest) == 0x0C, "slot Digest at 12");
STATIC_ASSERT (sizeof (CAMERA_IMAGE_HEADER) == 100, "CAMERA_IMAGE_HEADER is 100 bytes");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_HEADER, Version) == 0x02, "header Version at 2");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_HEADER, SlotCount) == 0x06, "SlotCount at 6");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_HEADER, ActiveSlot) == 0x07, "ActiveSlot at 7");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_HEADER, PreviousSlot) == 0x08, "PreviousSlot at 8");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_HEADER, Attributes) == 0x09, "Attributes at 9");
STATIC_ASSERT (OFFSET_OF (CAMERA_IMAGE_HEADER, Slot) == 0x0C, "slots at 12");

/**
  Classifies an image by its marker bytes. A marker that lies beyond the end
  of the image does not hold.

  @param[in] Image      The image.
  @param[in] ImageSize  Its size in bytes.

  @return The kind letter 'c', 'd', 'e', 'g', 'h', 'i', 'j', 'k', 'l', 'n',
          or 'o' for an unrecognised image (also when Image is NULL).
**/
CHAR8
EFIAPI
GetImageKind (
  IN CONST UINT8  *Image,
  IN UINTN        ImageSize
  );

/**
  Reads the version words of the firmware inside an image.

  @param[in]     Image      The image.
  @param[in]     ImageSize  Its size in bytes.
  @param[in,out] Info       The record to fill. Words that a descriptor
                            search does not find keep their values.

  @retval EFI_SUCCESS            Info holds the image's version words.
  @retval EFI_UNSUPPORTED        The image is of kind "o"; Info is untouched.
  @retval EFI_LOAD_ERROR         The kind has no reading rule (kind "c",
                                 kind "e" without the 89 16 head, kind "j"
                                 without its USB 3 descriptor); VersionData
                                 is zeroed, the other fields are untouched.
  @retval EFI_BAD_BUFFER_SIZE    A value the rule needs lies outside the
                                 image; Info is untouched.
  @retval EFI_INVALID_PARAMETER  Image or Info is NULL; Info is untouched.
**/
EFI_STATUS
EFIAPI
GetImageVersionInfo (
  IN     CONST UINT8      *Image,
  IN     UINTN            ImageSize,
  IN OUT FW_VERSION_INFO  *Info
  );

/**
  Recognises the image header and reports its format code: 3 or 2 for a
  95 28 header (2 only when ImageSize is at most 12288 and ActiveSlot is
  0xFF), 1 or 0 for 95 27 at 0x100 (1 when bytes 0x124..0x127 are zero).
  A 95 28 header needs its 100 bytes inside the image, a 95 27 marker its
  bytes up to 0x127.

  @param[in]  Image      The image, or a header sector read from the flash.
  @param[out] Format     Receives the format code; untouched on failure.
  @param[in]  ImageSize  The size of the buffer the caller holds.

  @retval EFI_SUCCESS            Format holds the code.
  @retval EFI_UNSUPPORTED        No complete 95 28 header and no complete
                                 95 27 marker.
  @retval EFI_INVALID_PARAMETER  Image or Format is NULL.
**/
EFI_STATUS
EFIAPI
GetImageHeaderFormat (
  IN  CONST UINT8  *Image,
  OUT UINT8        *Format,
  IN  UINTN        ImageSize
  );

/**
  Gives the flash offset of the slot that runs: the Offset of slot
  ActiveSlot (slot 0 for 0xFF) of a format-3 header, 0 for the other formats.
  Reads nothing beyond the 100-byte header.

  @param[in]  Image      The image.
  @param[in]  ImageSize  Its size in bytes.
  @param[out] Offset     Receives the offset; untouched on failure.

  @retval EFI_SUCCESS            Offset is written.
  @retval EFI_UNSUPPORTED        The image has no header (GetImageHeaderFormat).
  @retval EFI_VOLUME_CORRUPTED   The header's SlotCount is above 2, its
                                 ActiveSlot is neither 0, 1 nor 0xFF, or the
                                 slot it names is not among the SlotCount
                                 slots in use.
  @retval EFI_INVALID_PARAMETER  Image or Offset is NULL.
**/
EFI_STATUS
EFIAPI
GetActiveSlotOffset (
  IN  CONST UINT8  *Image,
  IN  UINTN        ImageSize,
  OUT UINT64       *Offset
  );

/**
  Converts a header between image (big-endian) and host order in place:
  Signature, Version and the Version, Offset and Flags of each of the
  SlotCount slots. The conversion is its own inverse. A header whose
  SlotCount is above 2 or whose ActiveSlot is neither 0, 1 nor 0xFF names
  bytes beyond its 100; it is left as it is and reported, so that callers
  refuse it.

  @param[in,out] Header  The header.

  @retval EFI_SUCCESS            The header was converted.
  @retval EFI_VOLUME_CORRUPTED   SlotCount or ActiveSlot is out of range;
                                 nothing was changed.
  @retval EFI_INVALID_PARAMETER  Header is NULL.
**/
EFI_STATUS
EFIAPI
SwapImageHeader (
  IN OUT CAMERA_IMAGE_HEADER  *Header
  );

/**
  Reads BE32 at Offset + Base, the sum taken in 32 bits.

  @param[in]  Data      The buffer.
  @param[in]  DataSize  Its size in bytes.
  @param[in]  Offset    The offset.
  @param[in]  Base      The base added to it.
  @param[out] Value     Receives the value; untouched on failure.

  @retval EFI_SUCCESS            Value holds the four bytes.
  @retval EFI_BAD_BUFFER_SIZE    Some of the four bytes lie outside Data.
  @retval EFI_INVALID_PARAMETER  Data or Value is NULL.
**/
EFI_STATUS
EFIAPI
ReadBigEndian32 (
  IN  CONST UINT8  *Data,
  IN  UINTN        DataSize,
  IN  UINT32       Offset,
  IN  UINT32       Base,
  OUT UINT32       *Value
  );

/**
  Searches an image for USB 2 device descriptors (12 01, 00 or 01, 02 EF 02
  01 40) at Length offsets from Start, in increasing order, and takes the
  idVendor, idProduct and bcdDevice words (little-endian, at bytes 8, 10 and
  12 of the match) of each match until match number StopAt. Only the part of
  the range inside the view is searched; a match needs its 14 bytes inside.

  @param[in]     View    The image.
  @param[in]     Start   The first offset tried.
  @param[in]     Length  The number of offsets tried.
  @param[in]     StopAt  1 to stop at the first match, 2 at the second.
  @param[in,out] Info    VendorId, ProductId and DeviceVersion receive the
                         words of the last match taken; untouched without a
                         match.

  @return The number of matches taken (0, 1 or StopAt).
**/
UINTN
EFIAPI
SearchUsb2DeviceDescriptor (
  IN     CONST BYTE_VIEW  *View,
  IN     UINTN            Start,
  IN     UINTN            Length,
  IN     UINTN            StopAt,
  IN OUT FW_VERSION_INFO  *Info
  );

#endif
