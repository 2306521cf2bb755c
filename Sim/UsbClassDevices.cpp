#include "Sim/UsbClassDevices.h"

#include <algorithm>

namespace Sim {

UsbClassDevice::UsbClassDevice(uint16_t VendorId, uint16_t ProductId, const EFI_USB_INTERFACE_DESCRIPTOR &Interface)
    : VendorId_(VendorId), ProductId_(ProductId), Interface_(Interface) {}

std::shared_ptr<UsbClassDevice> UsbClassDevice::Keyboard() {
  return std::make_shared<UsbClassDevice>(0x0627, 0x0001,
                                          EFI_USB_INTERFACE_DESCRIPTOR{9, USB_DESC_TYPE_INTERFACE, 0, 0, 1, 0x03, 0x01, 0x01, 0});
}

std::shared_ptr<UsbClassDevice> UsbClassDevice::MassStorage() {
  return std::make_shared<UsbClassDevice>(0x46F4, 0x0001,
                                          EFI_USB_INTERFACE_DESCRIPTOR{9, USB_DESC_TYPE_INTERFACE, 0, 0, 2, 0x08, 0x06, 0x50, 0});
}

EFI_USB_DEVICE_DESCRIPTOR UsbClassDevice::DeviceDescriptor() const {
  EFI_USB_DEVICE_DESCRIPTOR D{};
  D.Length = sizeof(D);
  D.DescriptorType = USB_DESC_TYPE_DEVICE;
  D.BcdUSB = 0x0200;
  D.MaxPacketSize0 = 64;
  D.IdVendor = VendorId_;
  D.IdProduct = ProductId_;
  D.BcdDevice = 0x0000;
  D.NumConfigurations = 1;
  return D;
}

EFI_STATUS UsbClassDevice::Control(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t,
                                   std::vector<uint8_t> &Data) {
  Requests_.push_back(Setup);
  return AnswerDeviceDescriptor(Setup, Direction, DeviceDescriptor(), Data) ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

UsbClassDrivers::UsbClassDrivers(BootServicesSim &Boot, UsbBus &Bus) : Boot_(Boot), Bus_(Bus) {
  Register("UsbKbDxe", 0x03, 0x01, 0x01);
  Register("UsbMassStorageDxe", 0x08, 0x06, 0x50);
}

void UsbClassDrivers::Register(const std::string &Name, uint8_t Class, uint8_t SubClass, uint8_t Protocol) {
  SimDriver Driver;
  Driver.Name = Name;
  Driver.Supported = [this, Name, Class, SubClass, Protocol](EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *) {
    const EFI_USB_INTERFACE_DESCRIPTOR *If = Bus_.InterfaceDescriptorOf(Controller);
    if (If == nullptr || If->InterfaceClass != Class || If->InterfaceSubClass != SubClass ||
        If->InterfaceProtocol != Protocol) {
      return false;
    }
    // Started already: the driver holds the handle's USB I/O BY_DRIVER.
    return std::none_of(Starts_.begin(), Starts_.end(), [&](const ClassDriverStart &S) {
      return S.Driver == Name && S.Controller == Controller;
    });
  };
  Driver.Start = [this, Name](EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *) {
    // The device is set up at TPL_CALLBACK. Raising from above it is a
    // breach the boot services record (EDK II's DEBUG build ASSERTs).
    const EFI_TPL Caller = Boot_.CurrentTpl();
    const EFI_TPL Old = Boot_.RaiseTpl(TPL_CALLBACK);
    Starts_.push_back({Name, Controller, Caller});
    Boot_.RestoreTpl(Old);
    return EFI_STATUS(EFI_SUCCESS);
  };
  Boot_.RegisterDriver(std::move(Driver));
}

}  // namespace Sim
