/** @file
  Camera firmware images: the bounds-checked byte view, image kinds, version
  words, the image header and its format code.
**/

#include "ImageParsing.h"

#include "FirmwareInterfaces.h"

///
/// Fixed offsets of the markers and values the rules read.
///
#define IMAGE_KIND_MARKER_OFFSET      0x100
#define IMAGE_TAG_2630_OFFSET         0x0B
#define IMAGE_KIND_C_MARKER_OFFSET    0x8000
#define IMAGE_KIND_D_MARKER_OFFSET    0xB701
#define IMAGE_KIND_E_MARKER_OFFSET    0x6781
#define IMAGE_KIND_K_ALT_CY_OFFSET    0x6100
#define IMAGE_DESCRIPTOR_MARKER_BYTE  0x12
#define IMAGE_HEAD_BYTE               0x89

#define IMAGE_TABLE_OFFSET            0x04
#define IMAGE_TABLE_POSITION_SHORT    0x16
#define IMAGE_TABLE_POSITION_LONG     0x1A

#define IMAGE_KIND_J_SEARCH_START     0x1000
#define IMAGE_KIND_J_SEARCH_LENGTH    0x4000
#define IMAGE_KIND_K_SEARCH_LENGTH    0x5000
#define IMAGE_KIND_N_SEARCH_LENGTH    0x10000
#define IMAGE_KIND_N_FORMAT_SIZE      0x10000

#define IMAGE_KIND_K_CY2_OFFSET       0x7000
#define IMAGE_KIND_K_DZ2_OFFSET       0x8100
#define IMAGE_KIND_K_HIGH_BASE        0x8000
#define IMAGE_KIND_K_VERSION_DATA     0x706C
#define IMAGE_KVEL_OFFSET             0x2000
#define IMAGE_SELECTOR_OFFSET         0xFA

#define IMAGE_HEADER_ACTIVE_SLOT      0x07
#define IMAGE_HEADER_TAG_OFFSET       0x124
#define IMAGE_HEADER_TAG_LENGTH       4
#define IMAGE_VERSION_POINTER_OFFSET  0x128

///
/// Offsets of the three words behind a descriptor pattern, and the bytes a
/// match needs inside the image.
///
#define DESCRIPTOR_VENDOR_OFFSET   8
#define DESCRIPTOR_PRODUCT_OFFSET  10
#define DESCRIPTOR_DEVICE_OFFSET   12
#define DESCRIPTOR_MATCH_LENGTH    14
#define DESCRIPTOR_PATTERN_LENGTH  8

///
/// Markers.
///
STATIC CONST UINT8  mMarkerHeader[2]  = { 0x95, 0x28 };
STATIC CONST UINT8  mMarkerLegacy[2]  = { 0x95, 0x27 };
STATIC CONST UINT8  mMarkerCy[2]      = { 'C', 'Y' };
STATIC CONST UINT8  mMarkerDz[2]      = { 'D', 'Z' };
STATIC CONST UINT8  mMarkerZero[2]    = { 0x00, 0x00 };
STATIC CONST UINT8  mMarker2630[4]    = { '2', '6', '3', '0' };
STATIC CONST UINT8  mMarkerKvel[4]    = { 'K', 'V', 'E', 'L' };
STATIC CONST UINT8  mHeaderTagZero[IMAGE_HEADER_TAG_LENGTH] = { 0, 0, 0, 0 };

///
/// The USB 3 descriptor pattern. The USB 2 pattern accepts 00 or 01 at
/// byte 2, which the search compares apart.
///
STATIC CONST UINT8  mUsb3DescriptorPattern[DESCRIPTOR_PATTERN_LENGTH] = {
  0x12, 0x01, 0x00, 0x03, 0xEF, 0x02, 0x01, 0x09
};
STATIC CONST UINT8  mUsb2DescriptorPattern[DESCRIPTOR_PATTERN_LENGTH] = {
  0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40
};

#define USB2_PATTERN_BCD_LOW_INDEX  2

BOOLEAN
EFIAPI
ByteViewContains (
  IN CONST BYTE_VIEW  *View,
  IN UINTN            Offset,
  IN UINTN            Length
  )
{
  //
  // Compare without forming Offset + Length, which could wrap.
  //
  if ((View == NULL) || (View->Data == NULL)) {
    return FALSE;
  }

  return (BOOLEAN)((Offset <= View->Size) && (Length <= View->Size - Offset));
}

BOOLEAN
EFIAPI
ByteViewRead8 (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT UINT8            *Value
  )
{
  if (!ByteViewContains (View, Offset, 1)) {
    return FALSE;
  }

  *Value = View->Data[Offset];
  return TRUE;
}

BOOLEAN
EFIAPI
ByteViewReadLe16 (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT UINT16           *Value
  )
{
  if (!ByteViewContains (View, Offset, 2)) {
    return FALSE;
  }

  *Value = (UINT16)(View->Data[Offset] | (View->Data[Offset + 1] << 8));
  return TRUE;
}

BOOLEAN
EFIAPI
ByteViewReadBe16 (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT UINT16           *Value
  )
{
  if (!ByteViewContains (View, Offset, 2)) {
    return FALSE;
  }

  *Value = (UINT16)((View->Data[Offset] << 8) | View->Data[Offset + 1]);
  return TRUE;
}

BOOLEAN
EFIAPI
ByteViewReadBe32 (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT UINT32           *Value
  )
{
  if (!ByteViewContains (View, Offset, 4)) {
    return FALSE;
  }

  *Value = ((UINT32)View->Data[Offset] << 24) |
           ((UINT32)View->Data[Offset + 1] << 16) |
           ((UINT32)View->Data[Offset + 2] << 8) |
           (UINT32)View->Data[Offset + 3];
  return TRUE;
}

BOOLEAN
EFIAPI
ByteViewMatches (
  IN CONST BYTE_VIEW  *View,
  IN UINTN            Offset,
  IN CONST UINT8      *Pattern,
  IN UINTN            Length
  )
{
  if (!ByteViewContains (View, Offset, Length)) {
    return FALSE;
  }

  return (BOOLEAN)(CompareMem (View->Data + Offset, Pattern, Length) == 0);
}

BOOLEAN
EFIAPI
ByteViewCopy (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            Offset,
  OUT VOID             *Destination,
  IN  UINTN            Length
  )
{
  if (!ByteViewContains (View, Offset, Length)) {
    return FALSE;
  }

  CopyMem (Destination, View->Data + Offset, Length);
  return TRUE;
}

/**
  Tells whether the byte at Offset exists and equals Value.

  @param[in] View    The image.
  @param[in] Offset  Offset of the byte.
  @param[in] Value   The value expected.

  @retval TRUE   The byte is inside the image and equals Value.
  @retval FALSE  Otherwise.
**/
STATIC
BOOLEAN
ByteIs (
  IN CONST BYTE_VIEW  *View,
  IN UINTN            Offset,
  IN UINT8            Value
  )
{
  UINT8  Byte;

  return (BOOLEAN)(ByteViewRead8 (View, Offset, &Byte) && (Byte == Value));
}

/**
  Tells whether the image's head (bytes 0 and 1) is 0x89 followed by Second.

  @param[in] View    The image.
  @param[in] Second  The second byte expected.

  @retval TRUE   The head is 0x89, Second.
  @retval FALSE  Otherwise, or the image is shorter than two bytes.
**/
STATIC
BOOLEAN
HeadIs (
  IN CONST BYTE_VIEW  *View,
  IN UINT8            Second
  )
{
  return (BOOLEAN)(ByteIs (View, 0, IMAGE_HEAD_BYTE) && ByteIs (View, 1, Second));
}

/**
  Tells whether bytes 0..3 are all different from 0xFF and bytes 6..10 all
  0xFF, the second kind-"j" pattern.

  @param[in] View  The image.

  @retval TRUE   The pattern holds.
  @retval FALSE  It does not, or the image is shorter than 11 bytes.
**/
STATIC
BOOLEAN
HasFfPattern (
  IN CONST BYTE_VIEW  *View
  )
{
  UINTN  Index;

  //
  // The pattern reads bytes 0..10; a shorter image does not carry it.
  //
  if (!ByteViewContains (View, 0, 11)) {
    return FALSE;
  }

  //
  // Bytes 0..3 must not be 0xFF, bytes 6..10 must be.
  //
  for (Index = 0; Index < 4; Index++) {
    if (View->Data[Index] == 0xFF) {
      return FALSE;
    }
  }

  for (Index = 6; Index <= 10; Index++) {
    if (View->Data[Index] != 0xFF) {
      return FALSE;
    }
  }

  return TRUE;
}

/**
  Classifies an image held in a view.

  @param[in] View  The image.

  @return The kind letter.
**/
STATIC
CHAR8
ImageKindOf (
  IN CONST BYTE_VIEW  *View
  )
{
  //
  // 95 27 at 0x100.
  //
  if (ByteViewMatches (View, IMAGE_KIND_MARKER_OFFSET, mMarkerLegacy, sizeof (mMarkerLegacy))) {
    return IMAGE_KIND_N;
  }

  //
  // Head 89 19 or 89 1B.
  //
  if (HeadIs (View, 0x19) || HeadIs (View, 0x1B)) {
    return IMAGE_KIND_L;
  }

  //
  // "2630" at 0x0B, or the FF pattern.
  //
  if (ByteViewMatches (View, IMAGE_TAG_2630_OFFSET, mMarker2630, sizeof (mMarker2630)) ||
      HasFfPattern (View))
  {
    return IMAGE_KIND_J;
  }

  //
  // The 89 heads: 17/18, 16 (with or without the kind-"e" marker), 26.
  //
  if (HeadIs (View, 0x17) || HeadIs (View, 0x18)) {
    return IMAGE_KIND_G;
  }

  if (HeadIs (View, 0x16)) {
    return ByteIs (View, IMAGE_KIND_E_MARKER_OFFSET, IMAGE_DESCRIPTOR_MARKER_BYTE) ? IMAGE_KIND_E : IMAGE_KIND_H;
  }

  if (HeadIs (View, 0x26)) {
    return IMAGE_KIND_I;
  }

  //
  // A single 0x12 byte at 0x8000, 0xB701 or 0x6781.
  //
  if (ByteIs (View, IMAGE_KIND_C_MARKER_OFFSET, IMAGE_DESCRIPTOR_MARKER_BYTE)) {
    return IMAGE_KIND_C;
  }

  if (ByteIs (View, IMAGE_KIND_D_MARKER_OFFSET, IMAGE_DESCRIPTOR_MARKER_BYTE)) {
    return IMAGE_KIND_D;
  }

  if (ByteIs (View, IMAGE_KIND_E_MARKER_OFFSET, IMAGE_DESCRIPTOR_MARKER_BYTE)) {
    return IMAGE_KIND_E;
  }

  //
  // "CY" at 0x100; 00 00 at 0x100 with "CY" at 0x6100; "DZ" at 0x100.
  //
  if (ByteViewMatches (View, IMAGE_KIND_MARKER_OFFSET, mMarkerCy, sizeof (mMarkerCy))) {
    return IMAGE_KIND_K;
  }

  if (ByteViewMatches (View, IMAGE_KIND_MARKER_OFFSET, mMarkerZero, sizeof (mMarkerZero)) &&
      ByteViewMatches (View, IMAGE_KIND_K_ALT_CY_OFFSET, mMarkerCy, sizeof (mMarkerCy)))
  {
    return IMAGE_KIND_K;
  }

  if (ByteViewMatches (View, IMAGE_KIND_MARKER_OFFSET, mMarkerDz, sizeof (mMarkerDz))) {
    return IMAGE_KIND_K;
  }

  //
  // Unrecognised.
  //
  return IMAGE_KIND_UNRECOGNISED;
}

CHAR8
EFIAPI
GetImageKind (
  IN CONST UINT8  *Image,
  IN UINTN        ImageSize
  )
{
  BYTE_VIEW  View;

  //
  // Without bytes there is nothing to recognise.
  //
  if (Image == NULL) {
    return IMAGE_KIND_UNRECOGNISED;
  }

  View.Data = Image;
  View.Size = ImageSize;
  return ImageKindOf (&View);
}

/**
  Finds the header format of an image held in a view, with a size for the
  format decision that may differ from the view's.

  @param[in]  View        The image.
  @param[in]  FormatSize  The size that decides between formats 2 and 3.
  @param[out] Format      Receives the code; untouched on failure.

  @retval EFI_SUCCESS      Format holds the code.
  @retval EFI_UNSUPPORTED  No complete header and no complete 95 27 marker.
**/
STATIC
EFI_STATUS
HeaderFormatOf (
  IN  CONST BYTE_VIEW  *View,
  IN  UINTN            FormatSize,
  OUT UINT8            *Format
  )
{
  //
  // 95 28 at 0, with the whole 100-byte header inside the image: format 3
  // from 12289 bytes on, below that 2 when ActiveSlot is 0xFF, else 3.
  //
  if (ByteViewMatches (View, 0, mMarkerHeader, sizeof (mMarkerHeader)) &&
      ByteViewContains (View, 0, sizeof (CAMERA_IMAGE_HEADER)))
  {
    if ((FormatSize <= CAMERA_IMAGE_FORMAT2_MAX_SIZE) &&
        (View->Data[IMAGE_HEADER_ACTIVE_SLOT] == CAMERA_IMAGE_NO_SLOT))
    {
      *Format = IMAGE_HEADER_FORMAT_HEADER_ONLY;
    } else {
      *Format = IMAGE_HEADER_FORMAT_SLOTTED;
    }

    return EFI_SUCCESS;
  }

  //
  // 95 27 at 0x100, with bytes 0x124..0x127 inside the image: format 1
  // when they are all zero, else 0.
  //
  if (ByteViewMatches (View, IMAGE_KIND_MARKER_OFFSET, mMarkerLegacy, sizeof (mMarkerLegacy)) &&
      ByteViewContains (View, IMAGE_HEADER_TAG_OFFSET, IMAGE_HEADER_TAG_LENGTH))
  {
    if (ByteViewMatches (View, IMAGE_HEADER_TAG_OFFSET, mHeaderTagZero, sizeof (mHeaderTagZero))) {
      *Format = IMAGE_HEADER_FORMAT_LEGACY;
    } else {
      *Format = IMAGE_HEADER_FORMAT_LEGACY_TAGGED;
    }

    return EFI_SUCCESS;
  }

  //
  // No header.
  //
  return EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
GetImageHeaderFormat (
  IN  CONST UINT8  *Image,
  OUT UINT8        *Format,
  IN  UINTN        ImageSize
  )
{
  BYTE_VIEW  View;

  if ((Image == NULL) || (Format == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The buffer the caller holds bounds the reads and decides the format.
  //
  View.Data = Image;
  View.Size = ImageSize;
  return HeaderFormatOf (&View, ImageSize, Format);
}

/**
  Tells whether a header's SlotCount and ActiveSlot stay inside its 100 bytes.

  @param[in] Header  The header, in either byte order.

  @retval TRUE   SlotCount is at most 2 and ActiveSlot is 0, 1 or 0xFF.
  @retval FALSE  Otherwise.
**/
STATIC
BOOLEAN
IsHeaderInBounds (
  IN CONST CAMERA_IMAGE_HEADER  *Header
  )
{
  return (BOOLEAN)((Header->SlotCount <= CAMERA_IMAGE_SLOT_COUNT) &&
                   ((Header->ActiveSlot < CAMERA_IMAGE_SLOT_COUNT) ||
                    (Header->ActiveSlot == CAMERA_IMAGE_NO_SLOT)));
}

EFI_STATUS
EFIAPI
SwapImageHeader (
  IN OUT CAMERA_IMAGE_HEADER  *Header
  )
{
  UINTN  Index;

  if (Header == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // A header that names slots beyond its 100 bytes is left as it is. The
  // test reads single bytes only, so it gives the same answer in either
  // byte order and the conversion stays its own inverse.
  //
  if (!IsHeaderInBounds (Header)) {
    return EFI_VOLUME_CORRUPTED;
  }

  //
  // Signature and Version.
  //
  Header->Signature = SwapBytes16 (Header->Signature);
  Header->Version   = SwapBytes32 (Header->Version);

  //
  // Version, Offset and Flags of each slot in use.
  //
  for (Index = 0; Index < Header->SlotCount; Index++) {
    Header->Slot[Index].Version = SwapBytes32 (Header->Slot[Index].Version);
    Header->Slot[Index].Offset  = SwapBytes32 (Header->Slot[Index].Offset);
    Header->Slot[Index].Flags   = SwapBytes32 (Header->Slot[Index].Flags);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
GetActiveSlotOffset (
  IN  CONST UINT8  *Image,
  IN  UINTN        ImageSize,
  OUT UINT64       *Offset
  )
{
  EFI_STATUS           Status;
  BYTE_VIEW            View;
  UINT8                Format;
  CAMERA_IMAGE_HEADER  Header;
  UINTN                Slot;

  if ((Image == NULL) || (Offset == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The header format.
  //
  View.Data = Image;
  View.Size = ImageSize;
  Status    = HeaderFormatOf (&View, ImageSize, &Format);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Only format 3 names a running slot.
  //
  if (Format != IMAGE_HEADER_FORMAT_SLOTTED) {
    *Offset = 0;
    return EFI_SUCCESS;
  }

  //
  // The header in host order; format 3 guarantees its 100 bytes.
  //
  if (!ByteViewCopy (&View, 0, &Header, sizeof (Header))) {
    return EFI_UNSUPPORTED;
  }

  Status = SwapImageHeader (&Header);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The running slot (0 for "none") must be one of the slots in use: only
  // those are in host order.
  //
  Slot = (Header.ActiveSlot == CAMERA_IMAGE_NO_SLOT) ? 0 : Header.ActiveSlot;
  if (Slot >= Header.SlotCount) {
    return EFI_VOLUME_CORRUPTED;
  }

  *Offset = Header.Slot[Slot].Offset;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ReadBigEndian32 (
  IN  CONST UINT8  *Data,
  IN  UINTN        DataSize,
  IN  UINT32       Offset,
  IN  UINT32       Base,
  OUT UINT32       *Value
  )
{
  BYTE_VIEW  View;

  if ((Data == NULL) || (Value == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The position wraps in 32 bits; the view bounds the read.
  //
  View.Data = Data;
  View.Size = DataSize;
  if (!ByteViewReadBe32 (&View, (UINT32)(Offset + Base), Value)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  return EFI_SUCCESS;
}

/**
  Reads the three descriptor words behind a pattern match.

  @param[in]     View      The image.
  @param[in]     Position  Offset of the match.
  @param[in,out] Info      Receives VendorId, ProductId, DeviceVersion.

  @retval TRUE   The words were read.
  @retval FALSE  They lie outside the image; Info is untouched.
**/
STATIC
BOOLEAN
ReadDescriptorWords (
  IN     CONST BYTE_VIEW  *View,
  IN     UINTN            Position,
  IN OUT FW_VERSION_INFO  *Info
  )
{
  UINT16  VendorId;
  UINT16  ProductId;
  UINT16  DeviceVersion;

  //
  // All three words, or none.
  //
  if (!ByteViewReadLe16 (View, Position + DESCRIPTOR_VENDOR_OFFSET, &VendorId) ||
      !ByteViewReadLe16 (View, Position + DESCRIPTOR_PRODUCT_OFFSET, &ProductId) ||
      !ByteViewReadLe16 (View, Position + DESCRIPTOR_DEVICE_OFFSET, &DeviceVersion))
  {
    return FALSE;
  }

  Info->VendorId      = VendorId;
  Info->ProductId     = ProductId;
  Info->DeviceVersion = DeviceVersion;
  return TRUE;
}

/**
  Tells whether a descriptor pattern starts at Position with its three words
  inside the image.

  @param[in] View      The image.
  @param[in] Position  The offset tried.
  @param[in] Usb2      TRUE for the USB 2 pattern (byte 2 00 or 01), FALSE
                       for the USB 3 pattern.

  @retval TRUE   A complete match.
  @retval FALSE  Otherwise.
**/
STATIC
BOOLEAN
IsDescriptorAt (
  IN CONST BYTE_VIEW  *View,
  IN UINTN            Position,
  IN BOOLEAN          Usb2
  )
{
  CONST UINT8  *Pattern;
  CONST UINT8  *Bytes;
  UINTN        Index;

  //
  // The match needs the pattern and the three words inside the image.
  //
  if (!ByteViewContains (View, Position, DESCRIPTOR_MATCH_LENGTH)) {
    return FALSE;
  }

  //
  // Compare the pattern; the USB 2 one also takes 01 for its byte 2.
  //
  Pattern = Usb2 ? mUsb2DescriptorPattern : mUsb3DescriptorPattern;
  Bytes   = View->Data + Position;
  for (Index = 0; Index < DESCRIPTOR_PATTERN_LENGTH; Index++) {
    if (Bytes[Index] == Pattern[Index]) {
      continue;
    }

    if (Usb2 && (Index == USB2_PATTERN_BCD_LOW_INDEX) && (Bytes[Index] == 0x01)) {
      continue;
    }

    return FALSE;
  }

  return TRUE;
}

/**
  Searches Length offsets from Start, in increasing order, for a descriptor
  pattern; only the part of the range inside the image is searched. Every
  match overwrites the three descriptor words; the search stops at match
  number StopAt.

  @param[in]     View    The image.
  @param[in]     Start   The first offset tried.
  @param[in]     Length  The number of offsets tried.
  @param[in]     Usb2    TRUE for the USB 2 pattern, FALSE for USB 3.
  @param[in]     StopAt  1 to stop at the first match, 2 at the second.
  @param[in,out] Info    Receives the words of the last match taken.

  @return The number of matches taken (0, 1 or StopAt).
**/
STATIC
UINTN
SearchDescriptor (
  IN     CONST BYTE_VIEW  *View,
  IN     UINTN            Start,
  IN     UINTN            Length,
  IN     BOOLEAN          Usb2,
  IN     UINTN            StopAt,
  IN OUT FW_VERSION_INFO  *Info
  )
{
  UINTN  Position;
  UINTN  Matches;

  //
  // Offsets past the image cannot start a complete match: stop there.
  //
  if ((Start >= View->Size) || (View->Size - Start < DESCRIPTOR_MATCH_LENGTH)) {
    return 0;
  }

  if (Length > View->Size - Start - DESCRIPTOR_MATCH_LENGTH + 1) {
    Length = View->Size - Start - DESCRIPTOR_MATCH_LENGTH + 1;
  }

  //
  // Take each match in turn until StopAt of them.
  //
  Matches = 0;
  for (Position = Start; Position < Start + Length; Position++) {
    if (!IsDescriptorAt (View, Position, Usb2)) {
      continue;
    }

    ReadDescriptorWords (View, Position, Info);
    Matches++;
    if (Matches == StopAt) {
      break;
    }
  }

  return Matches;
}

/**
  Searches an image for USB 2 device descriptors and takes the words of the
  matches up to number StopAt.

  @param[in]     View    The image.
  @param[in]     Start   The first offset tried.
  @param[in]     Length  The number of offsets tried.
  @param[in]     StopAt  1 to stop at the first match, 2 at the second.
  @param[in,out] Info    Receives the words of the last match taken.

  @return The number of matches taken.
**/
UINTN
EFIAPI
SearchUsb2DeviceDescriptor (
  IN     CONST BYTE_VIEW  *View,
  IN     UINTN            Start,
  IN     UINTN            Length,
  IN     UINTN            StopAt,
  IN OUT FW_VERSION_INFO  *Info
  )
{
  if ((View == NULL) || (Info == NULL)) {
    return 0;
  }

  return SearchDescriptor (View, Start, Length, TRUE, StopAt, Info);
}

/**
  The table rule: T = BE16 at 4, R = BE16 at T + Position; the descriptor
  words at R + 0x0A, R + 0x0C, R + 0x0E and AuxVersion = BE16 at T - 2.

  @param[in]     View      The image.
  @param[in]     Position  0x16 or 0x1A.
  @param[in,out] Info      The record (a work copy).

  @retval EFI_SUCCESS          The words were read.
  @retval EFI_BAD_BUFFER_SIZE  A read lies outside the image (T below 2
                               puts T - 2 before its start).
**/
STATIC
EFI_STATUS
ReadByTable (
  IN     CONST BYTE_VIEW  *View,
  IN     UINTN            Position,
  IN OUT FW_VERSION_INFO  *Info
  )
{
  UINT16  Table;
  UINT16  Record;

  //
  // T from offset 4, and T - 2 must not lie before the image.
  //
  if (!ByteViewReadBe16 (View, IMAGE_TABLE_OFFSET, &Table) || (Table < 2)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  //
  // R from T + P.
  //
  if (!ByteViewReadBe16 (View, (UINTN)Table + Position, &Record)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  //
  // The descriptor words behind R and AuxVersion before T.
  //
  if (!ByteViewReadLe16 (View, (UINTN)Record + 0x0A, &Info->VendorId) ||
      !ByteViewReadLe16 (View, (UINTN)Record + 0x0C, &Info->ProductId) ||
      !ByteViewReadLe16 (View, (UINTN)Record + 0x0E, &Info->DeviceVersion) ||
      !ByteViewReadBe16 (View, (UINTN)Table - 2, &Info->AuxVersion))
  {
    return EFI_BAD_BUFFER_SIZE;
  }

  return EFI_SUCCESS;
}

/**
  Reads four fixed words: three LE16 descriptor words and a BE16 AuxVersion.

  @param[in]     View       The image.
  @param[in]     Vendor     Offset of VendorId; ProductId and DeviceVersion follow.
  @param[in]     Aux        Offset of AuxVersion.
  @param[in,out] Info       The record (a work copy).

  @retval EFI_SUCCESS          The words were read.
  @retval EFI_BAD_BUFFER_SIZE  A word lies outside the image.
**/
STATIC
EFI_STATUS
ReadFixedWords (
  IN     CONST BYTE_VIEW  *View,
  IN     UINTN            Vendor,
  IN     UINTN            Aux,
  IN OUT FW_VERSION_INFO  *Info
  )
{
  if (!ByteViewReadLe16 (View, Vendor, &Info->VendorId) ||
      !ByteViewReadLe16 (View, Vendor + 2, &Info->ProductId) ||
      !ByteViewReadLe16 (View, Vendor + 4, &Info->DeviceVersion) ||
      !ByteViewReadBe16 (View, Aux, &Info->AuxVersion))
  {
    return EFI_BAD_BUFFER_SIZE;
  }

  return EFI_SUCCESS;
}

/**
  The kind-"k" rule.

  @param[in]     View  The image.
  @param[in,out] Info  The record (a work copy, VersionData zeroed).

  @retval EFI_SUCCESS          The words were read (or the search kept them).
  @retval EFI_BAD_BUFFER_SIZE  A value lies outside the image.
**/
STATIC
EFI_STATUS
ReadKindK (
  IN     CONST BYTE_VIEW  *View,
  IN OUT FW_VERSION_INFO  *Info
  )
{
  UINTN   Base;
  UINT8   Selector;
  UINT16  VendorId;
  UINT16  ProductId;
  UINT16  DeviceVersion;

  Base = 0;

  //
  // "CY" at 0x100 and at 0x7000 (not for "DZ" at 0x100): the
  // version data, and with "DZ" at 0x8100 the words of the upper half.
  //
  if (ByteViewMatches (View, IMAGE_KIND_MARKER_OFFSET, mMarkerCy, sizeof (mMarkerCy)) &&
      ByteViewMatches (View, IMAGE_KIND_K_CY2_OFFSET, mMarkerCy, sizeof (mMarkerCy)))
  {
    if (ByteViewMatches (View, IMAGE_KIND_K_DZ2_OFFSET, mMarkerDz, sizeof (mMarkerDz))) {
      if (EFI_ERROR (ReadFixedWords (View, 0x7028, 0x9092, Info))) {
        return EFI_BAD_BUFFER_SIZE;
      }

      Base = IMAGE_KIND_K_HIGH_BASE;
    }

    if (!ByteViewCopy (View, IMAGE_KIND_K_VERSION_DATA, Info->VersionData, FW_VERSION_DATA_SIZE)) {
      return EFI_BAD_BUFFER_SIZE;
    }
  }

  //
  // A "KVEL" block at D + 0x2000.
  //
  if (ByteViewMatches (View, Base + IMAGE_KVEL_OFFSET, mMarkerKvel, sizeof (mMarkerKvel))) {
    if (Base == IMAGE_KIND_K_HIGH_BASE) {
      //
      // Upper half: the words at 0x7028 and AuxVersion at absolute 0x2092.
      //
      return ReadFixedWords (View, 0x7028, 0x2092, Info);
    }

    //
    // Lower half: the words at 0x2088 count only when all three are
    // non-zero; AuxVersion at 0x7092 is read only then.
    //
    if (!ByteViewReadLe16 (View, 0x2088, &VendorId) ||
        !ByteViewReadLe16 (View, 0x208A, &ProductId) ||
        !ByteViewReadLe16 (View, 0x208C, &DeviceVersion))
    {
      return EFI_BAD_BUFFER_SIZE;
    }

    Info->VendorId      = VendorId;
    Info->ProductId     = ProductId;
    Info->DeviceVersion = DeviceVersion;
    if ((VendorId != 0) && (ProductId != 0) && (DeviceVersion != 0)) {
      return ByteViewReadBe16 (View, 0x7092, &Info->AuxVersion) ? EFI_SUCCESS : EFI_BAD_BUFFER_SIZE;
    }
  }

  //
  // The USB 2 descriptor search from D; selector 0 takes the first match,
  // any other the second.
  //
  if (!ByteViewRead8 (View, Base + IMAGE_SELECTOR_OFFSET, &Selector)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  SearchDescriptor (View, Base, IMAGE_KIND_K_SEARCH_LENGTH, TRUE, (Selector == 0) ? 1 : 2, Info);

  //
  // No AuxVersion, found or not.
  //
  Info->AuxVersion = 0;
  return EFI_SUCCESS;
}

/**
  The kind-"n" rule.

  @param[in]     View  The image.
  @param[in,out] Info  The record (a work copy, VersionData zeroed).

  @retval EFI_SUCCESS          The words were read (or the search kept them).
  @retval EFI_BAD_BUFFER_SIZE  A value lies outside the image.
**/
STATIC
EFI_STATUS
ReadKindN (
  IN     CONST BYTE_VIEW  *View,
  IN OUT FW_VERSION_INFO  *Info
  )
{
  UINT8   Format;
  UINTN   Base;
  UINT32  Pointer;
  UINTN   Block;
  UINT8   Selector;

  //
  // The header format as for a 64 KiB image gives the base. A
  // kind-"n" image carries 95 27 at 0x100, so only an image too short for
  // bytes 0x124..0x127 fails here.
  //
  if (EFI_ERROR (HeaderFormatOf (View, IMAGE_KIND_N_FORMAT_SIZE, &Format))) {
    return EFI_BAD_BUFFER_SIZE;
  }

  Base = (Format == IMAGE_HEADER_FORMAT_SLOTTED) ? CAMERA_IMAGE_HEADER_BLOCK_SIZE : 0;

  //
  // V = B + BE32 at B + 0x128, without wrapping.
  //
  if (!ByteViewReadBe32 (View, Base + IMAGE_VERSION_POINTER_OFFSET, &Pointer)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  Block = Base + Pointer;

  //
  // A "KVEL" block at V holds the words.
  //
  if (ByteViewMatches (View, Block, mMarkerKvel, sizeof (mMarkerKvel))) {
    return ReadFixedWords (View, Block + 0x88, Block + 0x92, Info);
  }

  //
  // The USB 2 descriptor search from 0; selector 1 takes the first
  // match, any other the second.
  //
  if (!ByteViewRead8 (View, Base + IMAGE_SELECTOR_OFFSET, &Selector)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  SearchDescriptor (View, 0, IMAGE_KIND_N_SEARCH_LENGTH, TRUE, (Selector == 1) ? 1 : 2, Info);

  //
  // No AuxVersion, found or not.
  //
  Info->AuxVersion = 0;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
GetImageVersionInfo (
  IN     CONST UINT8      *Image,
  IN     UINTN            ImageSize,
  IN OUT FW_VERSION_INFO  *Info
  )
{
  EFI_STATUS       Status;
  BYTE_VIEW        View;
  CHAR8            Kind;
  FW_VERSION_INFO  Work;

  if ((Image == NULL) || (Info == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Classify; an unrecognised image leaves the record alone.
  //
  View.Data = Image;
  View.Size = ImageSize;
  Kind      = ImageKindOf (&View);
  if (Kind == IMAGE_KIND_UNRECOGNISED) {
    return EFI_UNSUPPORTED;
  }

  //
  // The rules fill a work copy with zeroed version data; the caller's
  // record changes only when a rule succeeds.
  //
  CopyMem (&Work, Info, sizeof (Work));
  ZeroMem (Work.VersionData, sizeof (Work.VersionData));

  //
  // The rule of the kind, in order.
  //
  if (Kind == IMAGE_KIND_D) {
    Status = ReadFixedWords (&View, 0xB70A, 0xDB40, &Work);
  } else if ((Kind == IMAGE_KIND_G) || (Kind == IMAGE_KIND_L)) {
    Status = ReadByTable (&View, IMAGE_TABLE_POSITION_SHORT, &Work);
  } else if (Kind == IMAGE_KIND_I) {
    Status = ReadByTable (&View, IMAGE_TABLE_POSITION_LONG, &Work);
  } else if (Kind == IMAGE_KIND_J) {
    //
    // The USB 3 descriptor between 0x1000 and 0x4FFF; without it the image
    // carries no version words that can be trusted.
    //
    if (SearchDescriptor (&View, IMAGE_KIND_J_SEARCH_START, IMAGE_KIND_J_SEARCH_LENGTH, FALSE, 1, &Work) == 0) {
      Status = EFI_LOAD_ERROR;
    } else {
      Work.AuxVersion = FW_AUX_VERSION_KIND_J;
      Status          = EFI_SUCCESS;
    }
  } else if (HeadIs (&View, 0x16)) {
    if (Kind == IMAGE_KIND_E) {
      Status = ReadFixedWords (&View, 0x678A, 0x6040, &Work);
    } else {
      Status = ReadByTable (&View, IMAGE_TABLE_POSITION_SHORT, &Work);
    }
  } else if (Kind == IMAGE_KIND_K) {
    Status = ReadKindK (&View, &Work);
  } else if (Kind == IMAGE_KIND_N) {
    Status = ReadKindN (&View, &Work);
  } else {
    Status = EFI_LOAD_ERROR;
  }

  //
  // Hand the result over: all of it on success, only the zeroed version
  // data for a kind without a reading rule, nothing after a short read.
  //
  if (!EFI_ERROR (Status)) {
    CopyMem (Info, &Work, sizeof (Work));
  } else if (Status == EFI_LOAD_ERROR) {
    ZeroMem (Info->VersionData, sizeof (Info->VersionData));
  }

  return Status;
}
