#include "Tools/camfw/ImageReport.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "DigestRecovery.h"
#include "ImageParsing.h"
#include "Sim/Guid.h"
#include "Tools/camfw/CapsuleFile.h"
#include "Tools/camfw/SampleImages.h"

namespace Camfw {

namespace {

constexpr size_t kTrailerSize = SIGNATURE_TRAILER_SIZE;
constexpr size_t kMaxDescriptorsListed = 6;

std::string Line(const char *Label, const std::string &Text) { return Format("  %-20s%s\n", Label, Text.c_str()); }

std::string StatusName(EFI_STATUS Status) {
  switch (Status) {
    case EFI_SUCCESS:
      return "EFI_SUCCESS";
    case EFI_UNSUPPORTED:
      return "EFI_UNSUPPORTED";
    case EFI_LOAD_ERROR:
      return "EFI_LOAD_ERROR";
    case EFI_BAD_BUFFER_SIZE:
      return "EFI_BAD_BUFFER_SIZE";
    case EFI_INVALID_PARAMETER:
      return "EFI_INVALID_PARAMETER";
    case EFI_VOLUME_CORRUPTED:
      return "EFI_VOLUME_CORRUPTED";
    default:
      return Format("0x%llX", static_cast<unsigned long long>(Status));
  }
}

// Printable bytes as text, others as dots.
std::string Printable(const uint8_t *Data, size_t Count) {
  std::string Out;
  for (size_t I = 0; I < Count; ++I) {
    Out += (Data[I] >= 0x20 && Data[I] < 0x7F) ? static_cast<char>(Data[I]) : '.';
  }
  return Out;
}

std::string DescribeFormat(UINT8 Format) {
  switch (Format) {
    case IMAGE_HEADER_FORMAT_SLOTTED:
      return "3: 95 28 header and a 0x3000-byte header block, slot data from 0x3000";
    case IMAGE_HEADER_FORMAT_HEADER_ONLY:
      return "2: 95 28 header only (no slot running), slot data from 0";
    case IMAGE_HEADER_FORMAT_LEGACY:
      return "1: 95 27 at 0x100, bytes 0x124..0x127 zero, slot data from 0";
    default:
      return "0: 95 27 at 0x100 with a tag in 0x124..0x127, slot data from 0";
  }
}

std::string DescribeHeader(const Bytes &Image) {
  std::string Out;
  uint32_t Version = 0;
  ReadBe32(Image, 2, Version);
  const uint8_t Count = Image[6];
  const uint8_t Active = Image[7];
  const uint8_t Previous = Image[8];
  auto SlotName = [](uint8_t Slot) { return Slot == 0xFF ? std::string("none") : Format("%u", Slot); };
  Out += Line("image header", Format("version %u, %u slot(s), active slot %s, previous slot %s, attributes %s",
                                     Version, Count, SlotName(Active).c_str(), SlotName(Previous).c_str(),
                                     (Hex(&Image[9], 1) + " " + Hex(&Image[10], 1) + " " + Hex(&Image[11], 1)).c_str()));
  for (size_t Slot = 0; Slot < 2; ++Slot) {
    const size_t Entry = 0x0C + 44 * Slot;
    uint32_t SlotVersion = 0, Offset = 0, Flags = 0;
    ReadBe32(Image, Entry, SlotVersion);
    ReadBe32(Image, Entry + 4, Offset);
    ReadBe32(Image, Entry + 8, Flags);
    const uint8_t *Digest = &Image[Entry + 12];
    const bool Erased = std::all_of(Digest, Digest + 32, [](uint8_t B) { return B == 0xFF; });
    Out += Format("    slot %zu%s            version %u, offset 0x%X, flags 0x%08X%s, digest %s\n", Slot,
                  Slot < Count ? "" : "*", SlotVersion, Offset, Flags, (Flags & 0xFF) == 0 ? " (not writable)" : "",
                  Erased ? "erased" : Hex(Digest, 32).c_str());
  }
  if (Count < 2) {
    Out += "    (* not in use)\n";
  }
  return Out;
}

std::string DescribeSlotWords(const Bytes &Image, size_t Base) {
  uint32_t VersionWord = 0, Length = 0, SlotVersion = 0, Tail = 0;
  if (!ReadBe32(Image, Base + 0x128, VersionWord) || !ReadBe32(Image, Base + 0x12C, Length) ||
      !ReadBe32(Image, Base + 0x130, SlotVersion)) {
    return Line("slot words", Format("missing: the image ends before 0x%zX", Base + 0x134));
  }
  const bool HasTail = ReadBe32(Image, 0x3134, Tail);
  const bool Tagged = HasTail && (Tail & 0xFFF000FF) == 0x00800000;
  std::string Out = Line(
      "slot words", Format("version block 0x%X (image offset 0x%zX), slot length %s, slot version %u", VersionWord & 0xFFFFF,
                           Base + (VersionWord & 0xFFFFF), Length == 0 ? "not declared" : Format("0x%X", Length).c_str(),
                           SlotVersion));
  Out += Line("", Format("tail word %s, %s", HasTail ? Format("0x%08X", Tail).c_str() : "missing",
                         Tagged ? Format("tail record at 0x%X", Tail & 0xFFFFF).c_str() : "no tail record"));
  Out += Line("", Format("attribute byte 0x0B: 0x%02X (1 selects the version-block path)", Image[0x0B]));
  return Out;
}

std::string DescribeVersion(const Bytes &Image) {
  FW_VERSION_INFO Info;
  std::memset(&Info, 0, sizeof(Info));
  const EFI_STATUS Status = GetImageVersionInfo(Image.data(), Image.size(), &Info);
  std::string Out;
  if (EFI_ERROR(Status)) {
    Out += Line("version", "none the driver can read (GetImageVersionInfo: " + StatusName(Status) +
                               "); \"Setup\" then gets zeros");
    return Out;
  }
  Out += Line("version", Format("%04X:%04X bcdDevice 0x%04X, aux version 0x%04X", Info.VendorId, Info.ProductId,
                                Info.DeviceVersion, Info.AuxVersion));
  const bool Zero = std::all_of(Info.VersionData, Info.VersionData + FW_VERSION_DATA_SIZE,
                                [](uint8_t B) { return B == 0; });
  Out += Line("version data", Zero ? std::string("32 zero bytes")
                                   : Hex(Info.VersionData, FW_VERSION_DATA_SIZE) + " \"" +
                                         Printable(Info.VersionData, FW_VERSION_DATA_SIZE) + "\"");
  return Out;
}

// The device descriptors of the image, as "USB 2 at 0x200 (30C9:004A 0x0200)".
std::vector<std::string> Descriptors(const Bytes &Image) {
  static const uint8_t kUsb3[8] = {0x12, 0x01, 0x00, 0x03, 0xEF, 0x02, 0x01, 0x09};
  std::vector<std::string> Found;
  for (size_t At = 0; At + 14 <= Image.size(); ++At) {
    const uint8_t *P = &Image[At];
    const bool Usb2 = P[0] == 0x12 && P[1] == 0x01 && (P[2] == 0x00 || P[2] == 0x01) && P[3] == 0x02 && P[4] == 0xEF &&
                      P[5] == 0x02 && P[6] == 0x01 && P[7] == 0x40;
    const bool Usb3 = std::memcmp(P, kUsb3, sizeof(kUsb3)) == 0;
    if (Usb2 || Usb3) {
      Found.push_back(Format("USB %c device descriptor at 0x%zX (%04X:%04X bcdDevice 0x%04X)", Usb2 ? '2' : '3', At,
                             P[8] | P[9] << 8, P[10] | P[11] << 8, P[12] | P[13] << 8));
    }
  }
  return Found;
}

std::string DescribeMarkers(const Bytes &Image, std::optional<size_t> Base) {
  std::vector<std::string> Found;
  if (Image.size() >= 2 && Image[0] == 0x89) {
    Found.push_back(Format("head 89 %02X", Image[1]));
  }
  const struct {
    size_t At;
    const char *Text;
  } kText[] = {{0x100, "CY"}, {0x100, "DZ"}, {0x6100, "CY"}, {0x7000, "CY"}, {0x7100, "DZ"},
               {0x8100, "DZ"}, {0x2000, "KVEL"}, {0x0B, "2630"}};
  if (Matches(Image, 0, "\x95\x28")) {
    Found.push_back("95 28 at 0x0");
  }
  if (Matches(Image, 0x100, "\x95\x27")) {
    Found.push_back("95 27 at 0x100");
  }
  for (const auto &M : kText) {
    if (Matches(Image, M.At, M.Text)) {
      Found.push_back(Format("\"%s\" at 0x%zX", M.Text, M.At));
    }
  }
  if (Matches(Image, 0x6000, "PRO") && Image.size() > 0x6003) {
    Found.push_back(Format("\"PRO\" at 0x6000, revision 0x%02X", Image[0x6003]));
  }
  for (size_t At : {size_t(0x8000), size_t(0xB701), size_t(0x6781)}) {
    if (At < Image.size() && Image[At] == 0x12) {
      Found.push_back(Format("0x12 at 0x%zX", At));
    }
  }
  uint32_t VersionWord = 0;
  if (Base && ReadBe32(Image, *Base + 0x128, VersionWord)) {
    const size_t Block = *Base + (VersionWord & 0xFFFFF);
    if (Block != 0x2000 && Matches(Image, Block, "KVEL")) {
      Found.push_back(Format("\"KVEL\" at 0x%zX (the version block)", Block));
    }
  }
  std::string Out;
  for (size_t I = 0; I < Found.size(); ++I) {
    Out += Line(I == 0 ? "markers" : "", Found[I]);
  }
  if (Found.empty()) {
    Out += Line("markers", "none of the known ones");
  }
  const std::vector<std::string> D = Descriptors(Image);
  for (size_t I = 0; I < D.size() && I < kMaxDescriptorsListed; ++I) {
    Out += Line(I == 0 ? "descriptors" : "", D[I]);
  }
  if (D.size() > kMaxDescriptorsListed) {
    Out += Line("", Format("... %zu more", D.size() - kMaxDescriptorsListed));
  }
  if (D.empty()) {
    Out += Line("descriptors", "no USB device descriptor pattern");
  }
  if (Image.size() > 0xFA) {
    Out += Line("identity selector", Format("0x%02X at 0xFA", Image[0xFA]) +
                                         (Base && *Base != 0 && Image.size() > *Base + 0xFA
                                              ? Format(", 0x%02X at 0x%zX", Image[*Base + 0xFA], *Base + 0xFA)
                                              : std::string()));
  }
  return Out;
}

std::string DescribeTrailer(const Bytes &Image, const InspectOptions &Options) {
  // The driver takes the last 160 bytes as the trailer and reads the rest
  // as the image, which must still hold its header.
  UINT8 BodyFormat = 0;
  const Bytes Body(Image.begin(), Image.end() - std::min(Image.size(), kTrailerSize));
  if (Image.size() < kTrailerSize || GetImageHeaderFormat(Body.data(), &BodyFormat, Body.size()) != EFI_SUCCESS) {
    return Line("signature", Format("none: %zu bytes are too few for the header and a 160-byte trailer", Image.size()));
  }
  const uint8_t *Trailer = Image.data() + Body.size();
  UINT8 Recovered[SIGNED_DIGEST_SIZE] = {};
  const EFI_STATUS Status = RecoverSignedDigest(Trailer, kTrailerSize, Recovered);
  std::string Out = Line("signature", Format("the last 160 bytes (from 0x%zX)", Body.size()));
  Out += Line("  recovered digest", Hex(Recovered, sizeof(Recovered)) + " (RecoverSignedDigest: " + StatusName(Status) + ")");
  try {
    const Bytes Window = WindowBytes(Body, Options.Chunk);
    const TestSigner::Digest Digest = Sha256(Window);
    Out += Line("  window digest", Hex(Digest.data(), Digest.size()));
    Out += Line("", Format("SHA-256 of the 0x%zX bytes written inside the update window (slot data from 0x%zX, "
                           "chunks of %zu)",
                           Window.size(), SlotDataBase(Body), Options.Chunk));
    const bool Match = !EFI_ERROR(Status) && std::memcmp(Digest.data(), Recovered, sizeof(Recovered)) == 0;
    Out += Line("  verdict", Match ? "the digests match: the ISP accepts the slot the driver writes"
                                   : "the digests differ: the ISP refuses the new slot and keeps the one it ran");
  } catch (const Error &E) {
    Out += Line("  window digest", std::string("none: ") + E.what());
  }
  return Out;
}

}  // namespace

std::string InspectFile(const std::string &Name, const Bytes &File, const InspectOptions &Options) {
  if (File.empty()) {
    throw Error(Name + " is empty: there is no image to inspect");
  }
  std::string Out = Format("%s: %zu bytes\n", Name.c_str(), File.size());
  Bytes Image = File;
  if (const std::optional<CapsuleView> Capsule = ParseCapsule(File)) {
    const EFI_CAPSULE_HEADER &H = Capsule->Header;
    Out += "Capsule\n";
    Out += Line("GUID", Sim::GuidToString(H.CapsuleGuid) + " (" + DescribeCapsuleGuid(H.CapsuleGuid) + ")");
    Out += Line("flags", DescribeCapsuleFlags(H.Flags) +
                             ((H.Flags & CAPSULE_FLAGS_PERSIST_ACROSS_RESET) == 0
                                  ? "; without PERSIST_ACROSS_RESET the driver does not apply it"
                                  : ""));
    Out += Line("HeaderSize", Format("%u", H.HeaderSize));
    Out += Line("CapsuleImageSize", Format("%u", H.CapsuleImageSize));
    Image = Capsule->Payload;
    if (Image.empty()) {
      Out += "Image: none (the capsule carries no payload)\n";
      return Out;
    }
  }
  Out += Format("Image: %zu bytes%s\n", Image.size(), Image.size() == File.size() ? "" : " (the capsule's payload)");
  const CHAR8 Kind = GetImageKind(Image.data(), Image.size());
  Out += Line("kind", Kind == IMAGE_KIND_UNRECOGNISED ? std::string("'o': unrecognised")
                                                      : Format("'%c'", static_cast<char>(Kind)));
  UINT8 FormatCode = 0xFF;
  std::optional<size_t> Base;
  if (GetImageHeaderFormat(Image.data(), &FormatCode, Image.size()) == EFI_SUCCESS) {
    Base = FormatCode == IMAGE_HEADER_FORMAT_SLOTTED ? size_t(0x3000) : size_t(0);
    Out += Line("header format", DescribeFormat(FormatCode));
    if (Matches(Image, 0, "\x95\x28") && Image.size() >= sizeof(CAMERA_IMAGE_HEADER)) {
      Out += DescribeHeader(Image);
    }
    Out += DescribeSlotWords(Image, *Base);
  } else {
    Out += Line("header format", "none (no 95 28 at 0, no 95 27 at 0x100): not a two-slot image");
  }
  Out += DescribeVersion(Image);
  Out += DescribeMarkers(Image, Base);
  if (Base) {
    Out += DescribeTrailer(Image, Options);
  } else {
    Out += Line("signature", "none expected: only images with a two-slot header end in a trailer");
  }
  return Out;
}

}  // namespace Camfw
