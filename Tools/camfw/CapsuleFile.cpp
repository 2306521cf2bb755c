#include "Tools/camfw/CapsuleFile.h"

#include <cctype>
#include <cstring>
#include <limits>

namespace Camfw {

const EFI_GUID kCameraFirmwareClass = {0xa6a82337, 0x904e, 0x4742, {0x9e, 0xca, 0xcf, 0x8e, 0x7d, 0xe4, 0xde, 0x17}};

namespace {

// Capsule GUIDs the driver knows besides the camera's: it accepts them in its
// first check, but none of them names a camera it updates.
const EFI_GUID kFmpCapsuleGuid = {0x6dcbd5ed, 0xe82d, 0x4c44, {0xbd, 0xa1, 0x71, 0x94, 0x19, 0x9a, 0xd9, 0x2a}};

}  // namespace

Bytes BuildCapsule(const Bytes &Image, const EFI_GUID &Guid, uint32_t Flags) {
  if (Image.empty()) {
    throw Error("the image is empty; a capsule needs an image to carry");
  }
  if (Image.size() > std::numeric_limits<uint32_t>::max() - sizeof(EFI_CAPSULE_HEADER)) {
    throw Error("the image is too large for a capsule (CapsuleImageSize is 32 bits)");
  }
  EFI_CAPSULE_HEADER Header{};
  Header.CapsuleGuid = Guid;
  Header.HeaderSize = sizeof(EFI_CAPSULE_HEADER);
  Header.Flags = Flags;
  Header.CapsuleImageSize = static_cast<uint32_t>(sizeof(EFI_CAPSULE_HEADER) + Image.size());
  Bytes Capsule(sizeof(Header));
  std::memcpy(Capsule.data(), &Header, sizeof(Header));
  Capsule.insert(Capsule.end(), Image.begin(), Image.end());
  return Capsule;
}

std::optional<CapsuleView> ParseCapsule(const Bytes &File) {
  if (File.size() < sizeof(EFI_CAPSULE_HEADER)) {
    return std::nullopt;
  }
  CapsuleView View;
  std::memcpy(&View.Header, File.data(), sizeof(View.Header));
  if (View.Header.CapsuleImageSize != File.size() || View.Header.HeaderSize < sizeof(EFI_CAPSULE_HEADER) ||
      View.Header.HeaderSize > View.Header.CapsuleImageSize) {
    return std::nullopt;
  }
  View.Payload.assign(File.begin() + View.Header.HeaderSize, File.end());
  return View;
}

EFI_GUID ParseGuid(const std::string &Text) {
  // 8-4-4-4-12 hexadecimal digits.
  static const size_t kGroups[] = {8, 4, 4, 4, 12};
  std::string Digits;
  size_t At = 0;
  bool Valid = Text.size() == 36;
  for (size_t Group = 0; Valid && Group < 5; ++Group) {
    for (size_t I = 0; Valid && I < kGroups[Group]; ++I, ++At) {
      Valid = std::isxdigit(static_cast<unsigned char>(Text[At])) != 0;
      Digits += Text[At];
    }
    if (Valid && Group < 4) {
      Valid = Text[At++] == '-';
    }
  }
  if (!Valid) {
    throw Error("\"" + Text + "\" is not a GUID (expected the form A6A82337-904E-4742-9ECA-CF8E7DE4DE17)");
  }
  auto Field = [&](size_t From, size_t Count) { return std::stoull(Digits.substr(From, Count), nullptr, 16); };
  EFI_GUID Guid{};
  Guid.Data1 = static_cast<UINT32>(Field(0, 8));
  Guid.Data2 = static_cast<UINT16>(Field(8, 4));
  Guid.Data3 = static_cast<UINT16>(Field(12, 4));
  for (size_t I = 0; I < 8; ++I) {
    Guid.Data4[I] = static_cast<UINT8>(Field(16 + 2 * I, 2));
  }
  return Guid;
}

std::string DescribeCapsuleGuid(const EFI_GUID &Guid) {
  if (std::memcmp(&Guid, &kCameraFirmwareClass, sizeof(Guid)) == 0) {
    return "the firmware class of camera 30C9:004A";
  }
  if (std::memcmp(&Guid, &kFmpCapsuleGuid, sizeof(Guid)) == 0) {
    return "a firmware-management capsule, not one the camera driver applies";
  }
  return "not the camera's firmware class: the camera driver passes this capsule over";
}

std::string DescribeCapsuleFlags(uint32_t Flags) {
  std::string Names;
  const struct {
    uint32_t Bit;
    const char *Name;
  } kFlags[] = {{CAPSULE_FLAGS_PERSIST_ACROSS_RESET, "PERSIST_ACROSS_RESET"},
                {CAPSULE_FLAGS_POPULATE_SYSTEM_TABLE, "POPULATE_SYSTEM_TABLE"},
                {CAPSULE_FLAGS_INITIATE_RESET, "INITIATE_RESET"}};
  for (const auto &F : kFlags) {
    if ((Flags & F.Bit) != 0) {
      Names += (Names.empty() ? "" : ", ") + std::string(F.Name);
    }
  }
  return Format("0x%X", Flags) + (Names.empty() ? "" : " (" + Names + ")");
}

}  // namespace Camfw
