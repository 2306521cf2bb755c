// Capsules as the platform receives them: an EFI_CAPSULE_HEADER followed by
// the payload, the whole capsule CapsuleImageSize bytes long. Built in
// memory for tests, or read from a capsule file for a boot of the machine
// (Machine::PendingCapsules).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <Uefi.h>

namespace Sim {

// A capsule with the given GUID and flags around Payload. A HeaderSize
// above the header's own 28 bytes leaves zero bytes between the header and
// the payload, as a capsule with a longer header has.
std::vector<uint8_t> MakeCapsule(const EFI_GUID &Guid, uint32_t Flags, const std::vector<uint8_t> &Payload,
                                 uint32_t HeaderSize = sizeof(EFI_CAPSULE_HEADER));

// Why a capsule file could not be taken; what() names the file and the fault.
class CapsuleFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a capsule file. The file must hold exactly one capsule: at least a
// whole header, a HeaderSize of at least 28 and at most CapsuleImageSize, and
// CapsuleImageSize equal to the file's size. Throws CapsuleFileError
// otherwise (a malformed capsule for a test goes into PendingCapsules as
// bytes, without this check).
std::vector<uint8_t> LoadCapsuleFile(const std::string &Path);

}  // namespace Sim
