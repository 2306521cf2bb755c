#include "Sim/DevicePathUtil.h"

namespace Sim {

size_t DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *Path, size_t MaxBytes) {
  if (Path == nullptr) {
    return 0;
  }
  const auto *Bytes = reinterpret_cast<const uint8_t *>(Path);
  size_t Offset = 0;
  for (;;) {
    if (Offset + END_DEVICE_PATH_LENGTH > MaxBytes) {
      return 0;
    }
    const uint8_t Type = Bytes[Offset];
    const uint8_t SubType = Bytes[Offset + 1];
    const size_t Length = Bytes[Offset + 2] | (static_cast<size_t>(Bytes[Offset + 3]) << 8);
    if (Length < END_DEVICE_PATH_LENGTH) {
      return 0;
    }
    Offset += Length;
    if (Type == END_DEVICE_PATH_TYPE && SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
      return Offset;
    }
  }
}

DevicePathBuilder &DevicePathBuilder::Node(uint8_t Type, uint8_t SubType, const std::vector<uint8_t> &Data) {
  const size_t Length = END_DEVICE_PATH_LENGTH + Data.size();
  Bytes_.push_back(Type);
  Bytes_.push_back(SubType);
  Bytes_.push_back(static_cast<uint8_t>(Length & 0xFF));
  Bytes_.push_back(static_cast<uint8_t>(Length >> 8));
  Bytes_.insert(Bytes_.end(), Data.begin(), Data.end());
  return *this;
}

DevicePathBuilder &DevicePathBuilder::PciRoot(uint32_t Uid) {
  const uint32_t Hid = EISA_PNP_ID(0x0A03);
  std::vector<uint8_t> Data;
  for (int I = 0; I < 4; ++I) {
    Data.push_back(static_cast<uint8_t>(Hid >> (8 * I)));
  }
  for (int I = 0; I < 4; ++I) {
    Data.push_back(static_cast<uint8_t>(Uid >> (8 * I)));
  }
  return Node(ACPI_DEVICE_PATH, ACPI_DP, Data);
}

DevicePathBuilder &DevicePathBuilder::Pci(uint8_t Device, uint8_t Function) {
  return Node(HARDWARE_DEVICE_PATH, HW_PCI_DP, {Function, Device});
}

DevicePathBuilder &DevicePathBuilder::Usb(uint8_t ParentPort, uint8_t Interface) {
  return Node(MESSAGING_DEVICE_PATH, MSG_USB_DP, {ParentPort, Interface});
}

std::vector<uint8_t> DevicePathBuilder::Build() const {
  std::vector<uint8_t> Path = Bytes_;
  Path.insert(Path.end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
  return Path;
}

}  // namespace Sim
