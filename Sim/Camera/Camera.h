// The camera as a USB device: descriptors, a video-control interface with
// extension unit 4 and a video-streaming interface, and the image-signal
// processor behind the extension unit: its 64 KiB register file (selectors 2
// and 3), its 32-bit address space (0x1A and 0x1B), and the flash window
// (0x0D erase, 0x0E address, 0x0F data).
//
// Written from the hardware's side: it parses only the requests it is sent.
// The flash keeps its contents for as long as the Camera object lives (the
// machine's), the ISP's RAM state starts over at every power-on.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "Sim/UsbBus.h"

namespace Sim {

struct CameraProfile {
  uint16_t VendorId = 0x30C9;
  uint16_t ProductId = 0x004A;
  uint16_t BcdDevice = 0x0100;
  uint16_t ChunkSize = 64;          // GET_LEN answer of the flash-data selector
  uint32_t FlashSize = 1u << 20;    // bytes; addresses wrap at the end, as NOR reads do
  std::array<uint8_t, 3> FlashId = {0xEF, 0x40, 0x14};
};

// Requests the extension unit accepts on a selector.
enum : uint8_t { kXuGet = 1, kXuSet = 2 };

struct XuSelector {
  uint8_t Selector;
  uint16_t Length;  // 0: the chunk size
  uint8_t Requests;
};

// The extension unit's controls and their lengths, one definition.
extern const std::vector<XuSelector> kCameraXuSelectors;

class Camera : public UsbDeviceModel {
 public:
  static constexpr uint16_t kXuIndex = 0x0400;  // unit 4, interface 0

  explicit Camera(CameraProfile Profile = CameraProfile());

  EFI_USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override;
  std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Interfaces() const override;
  EFI_STATUS Control(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                     std::vector<uint8_t> &Data) override;
  void PowerOn() override;

  CameraProfile &Profile() { return Profile_; }

  // The ISP as a test sees it.
  uint8_t Register(uint16_t Address) const { return Registers_[Address]; }
  void SetRegister(uint16_t Address, uint8_t Value) { Registers_[Address] = Value; }
  uint32_t Dword(uint32_t Address) const;
  void SetDword(uint32_t Address, uint32_t Value);
  std::vector<uint8_t> &Flash() { return Flash_; }
  // The last value written to a selector (every SET_CUR is kept here).
  const std::vector<uint8_t> *LastSet(uint8_t Selector) const;

  // Fault switch: the unit reports Length for Selector's GET_LEN (and then
  // expects that length), as a unit with another layout would.
  void OverrideLength(uint8_t Selector, uint16_t Length) { LengthOverrides_[Selector] = Length; }

 private:
  EFI_STATUS ExtensionUnit(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                           std::vector<uint8_t> &Data);
  EFI_STATUS Standard(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, std::vector<uint8_t> &Data);
  const XuSelector *Find(uint8_t Selector) const;
  uint16_t LengthOf(const XuSelector &Control) const;
  uint8_t AddressByte(uint32_t Address) const;
  uint32_t FlashOffset(uint32_t Address) const { return Address % static_cast<uint32_t>(Flash_.size()); }

  CameraProfile Profile_;
  std::vector<uint8_t> Flash_;
  // The ISP's RAM: lost at power-off.
  std::array<uint8_t, 65536> Registers_{};
  std::map<uint32_t, uint8_t> AddressSpace_;
  uint16_t RegisterAddress_ = 0;
  uint32_t DwordAddress_ = 0;
  uint32_t FlashAddress_ = 0;
  std::map<uint8_t, std::vector<uint8_t>> LastSet_;
  std::map<uint8_t, uint16_t> LengthOverrides_;
};

}  // namespace Sim
