#include "Sim/Capsule.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace Sim {

std::vector<uint8_t> MakeCapsule(const EFI_GUID &Guid, uint32_t Flags, const std::vector<uint8_t> &Payload,
                                 uint32_t HeaderSize) {
  if (HeaderSize < sizeof(EFI_CAPSULE_HEADER)) {
    throw std::invalid_argument("a capsule header is at least 28 bytes");
  }
  EFI_CAPSULE_HEADER Header{};
  Header.CapsuleGuid = Guid;
  Header.HeaderSize = HeaderSize;
  Header.Flags = Flags;
  Header.CapsuleImageSize = static_cast<uint32_t>(HeaderSize + Payload.size());
  std::vector<uint8_t> Capsule(HeaderSize, 0);
  std::memcpy(Capsule.data(), &Header, sizeof(Header));
  Capsule.insert(Capsule.end(), Payload.begin(), Payload.end());
  return Capsule;
}

std::vector<uint8_t> LoadCapsuleFile(const std::string &Path) {
  std::ifstream File(Path, std::ios::binary);
  if (!File) {
    throw CapsuleFileError("capsule file " + Path + ": " + std::strerror(errno));
  }
  std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  if (File.bad()) {
    throw CapsuleFileError("capsule file " + Path + ": read error");
  }
  const std::string Size = std::to_string(Bytes.size());
  if (Bytes.size() < sizeof(EFI_CAPSULE_HEADER)) {
    throw CapsuleFileError("capsule file " + Path + ": " + Size +
                           " bytes, shorter than a capsule header (28 bytes)");
  }
  EFI_CAPSULE_HEADER Header;
  std::memcpy(&Header, Bytes.data(), sizeof(Header));
  if (Header.CapsuleImageSize != Bytes.size()) {
    throw CapsuleFileError("capsule file " + Path + ": CapsuleImageSize says " +
                           std::to_string(Header.CapsuleImageSize) + " bytes, the file has " + Size);
  }
  if (Header.HeaderSize < sizeof(EFI_CAPSULE_HEADER) || Header.HeaderSize > Header.CapsuleImageSize) {
    throw CapsuleFileError("capsule file " + Path + ": HeaderSize " + std::to_string(Header.HeaderSize) +
                           " is not between 28 and CapsuleImageSize (" + Size + ")");
  }
  return Bytes;
}

}  // namespace Sim
