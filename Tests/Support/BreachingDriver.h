// A platform driver that breaks the TPL rules when it starts: it binds the
// camera's video-control interface and allocates pool at TPL_HIGH_LEVEL,
// where UEFI allows no pool service. The driver's discovery connects the
// camera, so every boot that finds it records a breach; the tests use it to
// show that a breach fails a job.
#pragma once

#include "Sim/Platform.h"

namespace TestSupport {

inline void RegisterBreachingVideoDriver(Sim::Platform &P) {
  Sim::BootServicesSim &Boot = P.Boot();
  Sim::UsbBus &Bus = P.Usb();
  Sim::SimDriver Driver;
  Driver.Name = "BreachingVideoDxe";
  Driver.Supported = [&Bus](EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *) {
    const EFI_USB_INTERFACE_DESCRIPTOR *If = Bus.InterfaceDescriptorOf(Controller);
    return If != nullptr && If->InterfaceClass == 0x0E && If->InterfaceSubClass == 0x01;
  };
  Driver.Start = [&Boot](EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *) {
    const EFI_TPL Old = Boot.RaiseTpl(TPL_HIGH_LEVEL);
    VOID *Buffer = nullptr;
    if (Boot.AllocatePool(EfiBootServicesData, 16, &Buffer) == EFI_SUCCESS) {
      Boot.FreePool(Buffer);
    }
    Boot.RestoreTpl(Old);
    return EFI_STATUS(EFI_SUCCESS);
  };
  Boot.RegisterDriver(std::move(Driver));
}

}  // namespace TestSupport
