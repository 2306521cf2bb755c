// The PI hand-off block list that the PEI phase leaves for DXE: the PHIT HOB
// with the boot mode, UEFI-capsule HOBs whose capsules sit in platform memory,
// any other HOB a test wants, and the end-of-list HOB.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <PiDxe.h>

namespace Sim {

class HobList {
 public:
  HobList();

  void SetBootMode(EFI_BOOT_MODE Mode);
  EFI_BOOT_MODE BootMode() const { return BootMode_; }

  // Places a capsule (header and payload, as PEI coalesced it) in platform
  // memory and describes it with a UEFI-capsule HOB. Returns its address.
  void *AddCapsule(const std::vector<uint8_t> &Capsule);

  // Appends a HOB with the given type and body (the bytes after the 8-byte
  // header). The body is padded to a multiple of 8 bytes unless Length says
  // otherwise (Length lets a test write a malformed HobLength).
  void AddHob(uint16_t Type, const std::vector<uint8_t> &Body, int Length = -1);

  // The list as it stands. Every change builds a new copy; earlier copies
  // stay valid for as long as the HobList lives (an image that read the list
  // when it loaded keeps seeing that copy, as PEI's list never changes).
  void *Address() const { return Builds_.back()->data(); }

  // Told the new address after every change (the platform republishes the
  // configuration table).
  void SetListener(std::function<void(void *)> Listener) { Listener_ = std::move(Listener); }

 private:
  void Rebuild();

  struct Hob {
    uint16_t Type;
    std::vector<uint8_t> Body;
    int Length;
  };
  EFI_BOOT_MODE BootMode_ = BOOT_WITH_FULL_CONFIGURATION;
  std::vector<Hob> Hobs_;
  std::vector<std::unique_ptr<std::vector<uint64_t>>> Capsules_;
  std::vector<std::unique_ptr<std::vector<uint64_t>>> Builds_;
  std::function<void(void *)> Listener_;
};

}  // namespace Sim
