#include "Sim/HobList.h"

#include <cstring>

namespace Sim {

namespace {

void AppendHeader(std::vector<uint8_t> &Out, uint16_t Type, uint16_t Length) {
  EFI_HOB_GENERIC_HEADER Header{Type, Length, 0};
  const auto *Bytes = reinterpret_cast<const uint8_t *>(&Header);
  Out.insert(Out.end(), Bytes, Bytes + sizeof(Header));
}

}  // namespace

HobList::HobList() { Rebuild(); }

void HobList::SetBootMode(EFI_BOOT_MODE Mode) {
  BootMode_ = Mode;
  Rebuild();
}

void *HobList::AddCapsule(const std::vector<uint8_t> &Capsule) {
  auto Memory = std::make_unique<std::vector<uint64_t>>((Capsule.size() + 7) / 8 + 1, 0);
  std::memcpy(Memory->data(), Capsule.data(), Capsule.size());
  void *Address = Memory->data();
  Capsules_.push_back(std::move(Memory));
  EFI_HOB_UEFI_CAPSULE Hob{};
  Hob.BaseAddress = reinterpret_cast<uintptr_t>(Address);
  Hob.Length = Capsule.size();
  const auto *Bytes = reinterpret_cast<const uint8_t *>(&Hob) + sizeof(EFI_HOB_GENERIC_HEADER);
  Hobs_.push_back({EFI_HOB_TYPE_UEFI_CAPSULE, std::vector<uint8_t>(Bytes, Bytes + sizeof(Hob) - sizeof(Hob.Header)), -1});
  Rebuild();
  return Address;
}

void HobList::AddHob(uint16_t Type, const std::vector<uint8_t> &Body, int Length) {
  Hobs_.push_back({Type, Body, Length});
  Rebuild();
}

void HobList::Rebuild() {
  std::vector<uint8_t> Bytes;
  // PHIT first; its end-of-list address is filled in below.
  EFI_HOB_HANDOFF_INFO_TABLE Phit{};
  Phit.Header = {EFI_HOB_TYPE_HANDOFF, sizeof(Phit), 0};
  Phit.Version = EFI_HOB_HANDOFF_TABLE_VERSION;
  Phit.BootMode = BootMode_;
  Bytes.insert(Bytes.end(), reinterpret_cast<uint8_t *>(&Phit), reinterpret_cast<uint8_t *>(&Phit) + sizeof(Phit));
  for (const Hob &H : Hobs_) {
    std::vector<uint8_t> Body = H.Body;
    Body.resize((Body.size() + 7) / 8 * 8, 0);
    const uint16_t Length =
        H.Length >= 0 ? static_cast<uint16_t>(H.Length) : static_cast<uint16_t>(sizeof(EFI_HOB_GENERIC_HEADER) + Body.size());
    AppendHeader(Bytes, H.Type, Length);
    Bytes.insert(Bytes.end(), Body.begin(), Body.end());
  }
  const size_t EndOffset = Bytes.size();
  AppendHeader(Bytes, EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER));

  auto Memory = std::make_unique<std::vector<uint64_t>>(Bytes.size() / 8, 0);
  std::memcpy(Memory->data(), Bytes.data(), Bytes.size());
  auto *Built = reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(Memory->data());
  Built->EfiEndOfHobList = reinterpret_cast<uintptr_t>(reinterpret_cast<uint8_t *>(Memory->data()) + EndOffset);
  Builds_.push_back(std::move(Memory));
  if (Listener_) {
    Listener_(Address());
  }
}

}  // namespace Sim
