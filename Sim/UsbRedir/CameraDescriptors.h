// The descriptors a camera shows a real USB host beyond what the simulated
// platform's bus needs from the model: the full configuration descriptor set
// (interface association, the video-control interface with its class-specific
// header, camera input terminal, extension unit 4 and output terminal, its
// interrupt endpoint, the video-streaming interface), the device qualifier and
// the string descriptors, and the answers to the standard requests a host's
// enumeration sends. Built from the model's own device and interface
// descriptors, so a restart that changes the identity changes them too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Sim/UsbBus.h"

namespace Sim {

class CameraDescriptors {
 public:
  static constexpr uint8_t kConfigurationValue = 1;
  static constexpr uint8_t kInterruptEndpoint = 0x81;  // video control's status endpoint
  static constexpr uint16_t kInterruptMaxPacket = 16;
  static constexpr uint8_t kInterruptInterval = 8;  // 2^(8-1) microframes
  static constexpr uint8_t kExtensionUnitId = 4;
  static constexpr uint8_t kInputTerminalId = 1;
  static constexpr uint8_t kOutputTerminalId = 2;
  // The extension unit's code (our own value; a host finds the unit by its id).
  static const uint8_t kExtensionUnitGuid[16];

  explicit CameraDescriptors(std::string Manufacturer = "CameraUpdateDxe test bench",
                             std::string Product = "Emulated USB camera");

  // The configuration descriptor with everything that follows it.
  std::vector<uint8_t> Configuration(const UsbDeviceModel &Device) const;
  std::vector<uint8_t> DeviceQualifier(const UsbDeviceModel &Device) const;
  // String Index (0: the language list); empty when there is no such string.
  std::vector<uint8_t> String(uint8_t Index) const;

  // Answers a standard request (type bits 0) that the model leaves to the
  // bus: GET_DESCRIPTOR for the configuration, device qualifier and
  // strings, GET_STATUS, SET/CLEAR_FEATURE, SET/GET_CONFIGURATION,
  // SET/GET_INTERFACE. Returns false when the request is not one of those
  // (the caller passes it to the model); Stall tells a refused request.
  // Data gets the IN answer, cut to the setup's length.
  bool Standard(const UsbDeviceModel &Device, const UsbSetup &Setup, std::vector<uint8_t> &Data, bool &Stall);

  uint8_t Configuration() const { return Configured_; }
  void SetConfiguration(uint8_t Value) { Configured_ = Value; }
  uint8_t AltSetting(uint8_t Interface) const { return Interface < 32 ? Alt_[Interface] : 0; }
  void SetAltSetting(uint8_t Interface, uint8_t Alt) {
    if (Interface < 32) {
      Alt_[Interface] = Alt;
    }
  }
  // Back to the unconfigured state (a reset or a new connection).
  void Reset();

 private:
  std::string Manufacturer_;
  std::string Product_;
  uint8_t Configured_ = 0;
  uint8_t Alt_[32] = {};
};

}  // namespace Sim
