// The image parsers on one image. Input:
//   LE32  Offset, LE32 Base        for ReadBigEndian32
//   LE32  Start, LE32 Length, U8   for SearchUsb2DeviceDescriptor (StopAt 1 or 2)
//   the rest: an image recipe (ImageRecipe.h), at most 80 KiB
// Every function gets its own exact-size heap copy of the image.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "Fuzz/Harness/ImageRecipe.h"
#include "Fuzz/Harness/Targets.h"
#include "ImageParsing.h"

namespace Fuzz {

namespace {

constexpr size_t kMaxImage = 80 * 1024;

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%" PRIX64, Value);
  return Text;
}

bool SameBytes(const void *A, const void *B, size_t Size) { return Size == 0 || std::memcmp(A, B, Size) == 0; }

bool Marker(const std::vector<uint8_t> &Image, size_t At, uint8_t First, uint8_t Second) {
  return Image.size() >= At + 2 && Image[At] == First && Image[At + 1] == Second;
}

uint32_t Be32(const std::vector<uint8_t> &Image, size_t At) {
  return uint32_t(Image[At]) << 24 | uint32_t(Image[At + 1]) << 16 | uint32_t(Image[At + 2]) << 8 | Image[At + 3];
}

// The header's rule for the format code, applied to the bytes directly:
// 95 28 with the whole 100-byte header (2 when at most 12288 bytes and
// ActiveSlot 0xFF, else 3), else 95 27 at 0x100 with bytes up to 0x127 (1
// when 0x124..0x127 are zero, else 0), else none (-1).
int ExpectedFormat(const std::vector<uint8_t> &Image) {
  if (Marker(Image, 0, 0x95, 0x28) && Image.size() >= sizeof(CAMERA_IMAGE_HEADER)) {
    return (Image.size() <= CAMERA_IMAGE_FORMAT2_MAX_SIZE && Image[7] == CAMERA_IMAGE_NO_SLOT) ? 2 : 3;
  }
  if (Marker(Image, 0x100, 0x95, 0x27) && Image.size() >= 0x128) {
    return (Image[0x124] | Image[0x125] | Image[0x126] | Image[0x127]) == 0 ? 1 : 0;
  }
  return -1;
}

void CheckKindAndVersion(const std::vector<uint8_t> &Image, Findings &Out) {
  ExactBuffer ForKind(Image);
  const CHAR8 Kind = GetImageKind(ForKind.Data(), ForKind.Size());
  if (std::string("cdeghijklno").find(static_cast<char>(Kind)) == std::string::npos) {
    Out.Add("GetImageKind returned '" + std::string(1, static_cast<char>(Kind)) + "', not a kind letter");
  }

  ExactBuffer ForInfo(Image);
  FW_VERSION_INFO Before;
  std::memset(&Before, 0xA5, sizeof(Before));
  FW_VERSION_INFO Info = Before;
  const EFI_STATUS Status = GetImageVersionInfo(ForInfo.Data(), ForInfo.Size(), &Info);
  if (Status == EFI_UNSUPPORTED || Status == EFI_BAD_BUFFER_SIZE) {
    if (!SameBytes(&Info, &Before, sizeof(Info))) {
      Out.Add("GetImageVersionInfo changed the record and returned " + Hex(Status));
    }
  } else if (Status == EFI_LOAD_ERROR) {
    FW_VERSION_INFO Expected = Before;
    std::memset(Expected.VersionData, 0, sizeof(Expected.VersionData));
    if (!SameBytes(&Info, &Expected, sizeof(Info))) {
      Out.Add("GetImageVersionInfo returned EFI_LOAD_ERROR with more changed than VersionData zeroed");
    }
  } else if (Status != EFI_SUCCESS) {
    Out.Add("GetImageVersionInfo returned " + Hex(Status) + ", which its header does not name");
  }
  if ((Kind == IMAGE_KIND_UNRECOGNISED) != (Status == EFI_UNSUPPORTED)) {
    Out.Add("GetImageKind says '" + std::string(1, static_cast<char>(Kind)) + "' but GetImageVersionInfo returned " +
            Hex(Status));
  }
  if (!SameBytes(ForInfo.Data(), Image.data(), Image.size())) {
    Out.Add("GetImageVersionInfo changed the image");
  }
}

void CheckHeader(const std::vector<uint8_t> &Image, Findings &Out) {
  ExactBuffer ForFormat(Image);
  UINT8 Format = 0xEE;
  const EFI_STATUS FormatStatus = GetImageHeaderFormat(ForFormat.Data(), &Format, ForFormat.Size());
  const int Expected = ExpectedFormat(Image);
  if (Expected < 0) {
    if (FormatStatus != EFI_UNSUPPORTED || Format != 0xEE) {
      Out.Add("GetImageHeaderFormat found format " + std::to_string(Format) + " (" + Hex(FormatStatus) +
              ") in an image without a complete header");
    }
  } else if (FormatStatus != EFI_SUCCESS || Format != Expected) {
    Out.Add("GetImageHeaderFormat returned " + Hex(FormatStatus) + " format " + std::to_string(Format) +
            " where the rule gives " + std::to_string(Expected));
  }

  ExactBuffer ForSlot(Image);
  UINT64 Offset = 0xEEEEEEEEEEEEEEEEull;
  const EFI_STATUS SlotStatus = GetActiveSlotOffset(ForSlot.Data(), ForSlot.Size(), &Offset);
  if (Expected < 0) {
    if (SlotStatus != EFI_UNSUPPORTED) {
      Out.Add("GetActiveSlotOffset returned " + Hex(SlotStatus) + " for an image without a header");
    }
  } else if (Expected != 3) {
    if (SlotStatus != EFI_SUCCESS || Offset != 0) {
      Out.Add("GetActiveSlotOffset returned " + Hex(SlotStatus) + " offset " + Hex(Offset) + " for format " +
              std::to_string(Expected) + ", not 0");
    }
  } else {
    const uint8_t SlotCount = Image[6];
    const uint8_t Active = Image[7];
    const uint8_t Slot = Active == CAMERA_IMAGE_NO_SLOT ? 0 : Active;
    const bool Named = SlotCount <= 2 && (Active == 0 || Active == 1 || Active == CAMERA_IMAGE_NO_SLOT);
    if (Named && Slot < SlotCount) {
      const uint64_t Want = Be32(Image, 0x0C + 44 * Slot + 4);
      if (SlotStatus != EFI_SUCCESS || Offset != Want) {
        Out.Add("GetActiveSlotOffset returned " + Hex(SlotStatus) + " offset " + Hex(Offset) + " where slot " +
                std::to_string(Slot) + " says " + Hex(Want));
      }
    } else if (SlotStatus == EFI_SUCCESS && !(Active == CAMERA_IMAGE_NO_SLOT && SlotCount == 0 && Named)) {
      Out.Add("GetActiveSlotOffset accepted SlotCount " + std::to_string(SlotCount) + " ActiveSlot " +
              std::to_string(Active));
    }
  }
  if (SlotStatus != EFI_SUCCESS && Offset != 0xEEEEEEEEEEEEEEEEull) {
    Out.Add("GetActiveSlotOffset wrote its offset and returned " + Hex(SlotStatus));
  }

  // The header swap on a buffer of exactly one header.
  std::vector<uint8_t> HeaderBytes(sizeof(CAMERA_IMAGE_HEADER), 0);
  std::copy(Image.begin(), Image.begin() + static_cast<std::ptrdiff_t>(std::min(Image.size(), HeaderBytes.size())),
            HeaderBytes.begin());
  ExactBuffer Header(HeaderBytes);
  auto *View = reinterpret_cast<CAMERA_IMAGE_HEADER *>(Header.Data());
  const bool InRange = HeaderBytes[6] <= 2 && (HeaderBytes[7] <= 1 || HeaderBytes[7] == CAMERA_IMAGE_NO_SLOT);
  const EFI_STATUS SwapStatus = SwapImageHeader(View);
  if (SwapStatus == EFI_SUCCESS) {
    if (!InRange) {
      Out.Add("SwapImageHeader converted a header with SlotCount " + std::to_string(HeaderBytes[6]) +
              " ActiveSlot " + std::to_string(HeaderBytes[7]));
    }
    if (SwapImageHeader(View) != EFI_SUCCESS || Header.Copy() != HeaderBytes) {
      Out.Add("SwapImageHeader twice did not give the header back");
    }
  } else if (SwapStatus == EFI_VOLUME_CORRUPTED) {
    if (InRange) {
      Out.Add("SwapImageHeader refused a header whose SlotCount and ActiveSlot are in range");
    }
    if (Header.Copy() != HeaderBytes) {
      Out.Add("SwapImageHeader changed a header it refused");
    }
  } else {
    Out.Add("SwapImageHeader returned " + Hex(SwapStatus));
  }
}

void CheckBigEndianRead(const std::vector<uint8_t> &Image, uint32_t Offset, uint32_t Base, Findings &Out) {
  ExactBuffer Buffer(Image);
  UINT32 Value = 0xEEEEEEEE;
  const EFI_STATUS Status = ReadBigEndian32(Buffer.Data(), Buffer.Size(), Offset, Base, &Value);
  const uint64_t At = static_cast<uint32_t>(Offset + Base);
  if (At + 4 <= Image.size()) {
    if (Status != EFI_SUCCESS || Value != Be32(Image, At)) {
      Out.Add("ReadBigEndian32 at " + Hex(At) + " returned " + Hex(Status) + " value " + Hex(Value));
    }
  } else if (Status != EFI_BAD_BUFFER_SIZE || Value != 0xEEEEEEEE) {
    Out.Add("ReadBigEndian32 at " + Hex(At) + " past " + Hex(Image.size()) + " bytes returned " + Hex(Status));
  }
}

void CheckDescriptorSearch(const std::vector<uint8_t> &Image, size_t Start, size_t Length, UINTN StopAt,
                           Findings &Out) {
  ExactBuffer Buffer(Image);
  const BYTE_VIEW View = {Buffer.Data(), Buffer.Size()};
  FW_VERSION_INFO Before;
  std::memset(&Before, 0x5A, sizeof(Before));
  FW_VERSION_INFO Info = Before;
  const UINTN Taken = SearchUsb2DeviceDescriptor(&View, Start, Length, StopAt, &Info);
  if (Taken != 0 && Taken != 1 && Taken != StopAt) {
    Out.Add("SearchUsb2DeviceDescriptor took " + std::to_string(Taken) + " matches with StopAt " +
            std::to_string(StopAt));
  }
  if (Taken == 0 && !SameBytes(&Info, &Before, sizeof(Info))) {
    Out.Add("SearchUsb2DeviceDescriptor changed the record without a match");
  }
  if (!SameBytes(Info.VersionData, Before.VersionData, sizeof(Info.VersionData)) || Info.AuxVersion != Before.AuxVersion) {
    Out.Add("SearchUsb2DeviceDescriptor changed more than the three words");
  }
}

}  // namespace

Findings RunImageInput(const uint8_t *Data, size_t Size) {
  ByteReader In(Data, Size);
  const uint32_t Offset = In.Le32();
  const uint32_t Base = In.Le32();
  const size_t Start = In.Le32();
  const size_t Length = In.Le32();
  const UINTN StopAt = 1 + (In.U8() & 1);
  const std::vector<uint8_t> Image = BuildImage(In, kMaxImage);

  Findings Out;
  if (Verbose()) {
    ExactBuffer Copy(Image);
    FW_VERSION_INFO Info{};
    UINT8 Format = 0xEE;
    const EFI_STATUS InfoStatus = GetImageVersionInfo(Copy.Data(), Copy.Size(), &Info);
    const EFI_STATUS FormatStatus = GetImageHeaderFormat(Copy.Data(), &Format, Copy.Size());
    std::fprintf(stderr, "image: %zu bytes, kind '%c', version status 0x%llx (%04X:%04X %04X %04X), format %d\n",
                 Image.size(), GetImageKind(Copy.Data(), Copy.Size()), static_cast<unsigned long long>(InfoStatus),
                 Info.VendorId, Info.ProductId, Info.DeviceVersion, Info.AuxVersion,
                 EFI_ERROR(FormatStatus) ? -1 : Format);
  }
  CheckKindAndVersion(Image, Out);
  CheckHeader(Image, Out);
  CheckBigEndianRead(Image, Offset, Base, Out);
  CheckDescriptorSearch(Image, Start, Length, StopAt, Out);
  return Out;
}

}  // namespace Fuzz
