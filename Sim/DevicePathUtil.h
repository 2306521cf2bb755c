// Building and measuring device paths on the simulator side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <Protocol/DevicePath.h>

namespace Sim {

// Size in bytes up to and including the end-of-entire-path node; 0 when a
// node is shorter than its header or the path runs past MaxBytes.
size_t DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *Path, size_t MaxBytes = 4096);

// A device path under construction, kept as bytes.
class DevicePathBuilder {
 public:
  DevicePathBuilder &PciRoot(uint32_t Uid);
  DevicePathBuilder &Pci(uint8_t Device, uint8_t Function);
  DevicePathBuilder &Usb(uint8_t ParentPort, uint8_t Interface);
  // Any node: type, subtype and the data after the 4-byte header.
  DevicePathBuilder &Node(uint8_t Type, uint8_t SubType, const std::vector<uint8_t> &Data);
  // The path with its end-of-entire-path node.
  std::vector<uint8_t> Build() const;

 private:
  std::vector<uint8_t> Bytes_;
};

}  // namespace Sim
