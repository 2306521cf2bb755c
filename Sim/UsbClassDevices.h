// USB devices of other classes that share the bus with the camera (a boot
// keyboard, a bulk-only mass-storage stick), and the class drivers a
// platform's firmware has for them, acting as EDK II's do: Supported() looks
// at the interface's class, subclass and protocol; Start() raises the TPL to
// TPL_CALLBACK while it sets the device up (EDK II's keyboard and
// mass-storage drivers do, and a DEBUG firmware stops when the caller was
// above TPL_CALLBACK); a started driver holds its handle, so a second
// connect finds it started.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Sim/BootServices.h"
#include "Sim/UsbBus.h"

namespace Sim {

class UsbClassDevice : public UsbDeviceModel {
 public:
  UsbClassDevice(uint16_t VendorId, uint16_t ProductId, const EFI_USB_INTERFACE_DESCRIPTOR &Interface);
  // A HID boot keyboard (class 3, subclass 1, protocol 1), QEMU's IDs.
  static std::shared_ptr<UsbClassDevice> Keyboard();
  // A mass-storage stick (class 8, SCSI subclass 6, bulk-only protocol 0x50).
  static std::shared_ptr<UsbClassDevice> MassStorage();

  EFI_USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override;
  std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Interfaces() const override { return {Interface_}; }
  // GET_DESCRIPTOR (DEVICE) is answered; every other request STALLs.
  EFI_STATUS Control(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                     std::vector<uint8_t> &Data) override;
  // Every request the device received, in order.
  const std::vector<UsbSetup> &Requests() const { return Requests_; }

 private:
  uint16_t VendorId_;
  uint16_t ProductId_;
  EFI_USB_INTERFACE_DESCRIPTOR Interface_;
  std::vector<UsbSetup> Requests_;
};

// One Start() of a class driver.
struct ClassDriverStart {
  std::string Driver;     // "UsbKbDxe", "UsbMassStorageDxe"
  EFI_HANDLE Controller;  // the interface handle it started on
  EFI_TPL CallerTpl;      // the TPL ConnectController was called at
};

// Registers the keyboard and mass-storage class drivers with the boot
// services; ConnectController then starts them on matching interfaces.
class UsbClassDrivers {
 public:
  UsbClassDrivers(BootServicesSim &Boot, UsbBus &Bus);
  const std::vector<ClassDriverStart> &Starts() const { return Starts_; }

 private:
  void Register(const std::string &Name, uint8_t Class, uint8_t SubClass, uint8_t Protocol);

  BootServicesSim &Boot_;
  UsbBus &Bus_;
  std::vector<ClassDriverStart> Starts_;
};

}  // namespace Sim
