// One boot of a simulated machine on which this program calls the driver's
// own functions (the driver's code linked in, as the tests link it), after
// running its library constructors against the boot's system table as a
// driver's entry point does. The fault sweeps use it where the dispatcher's
// status matters, and to try a camera found under another identity.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include <Library/LibraryConstructors.h>
#include <Library/UefiBootServicesTableLib.h>

#include "CameraContext.h"
#include "Sim/Platform.h"
#include "Tools/camfw/FileBytes.h"
#include "UpdateEngine.h"

namespace Camfw {

class DriverSession {
 public:
  explicit DriverSession(Sim::Machine &M) : P_(M) {
    UefiBootServicesTableLibConstructor(P_.ImageHandle(), P_.SystemTable());
    UefiRuntimeServicesTableLibConstructor(P_.ImageHandle(), P_.SystemTable());
    HobLibConstructor(P_.ImageHandle(), P_.SystemTable());
  }
  DriverSession(const DriverSession &) = delete;
  DriverSession &operator=(const DriverSession &) = delete;

  Sim::Platform &P() { return P_; }

  // Discovery by the IDs given, as the driver's discovery does it.
  bool Find(CAMERA_CONTEXT &Context, uint16_t VendorId, uint16_t ProductId) {
    Context = CAMERA_CONTEXT{};
    return !EFI_ERROR(FindCameraDevice(&Context, VendorId, ProductId));
  }

  // The dispatcher as the capsule step calls it: at TPL_CALLBACK, on a copy
  // of the payload exactly its size, the ISP restarted at the end.
  EFI_STATUS Update(CAMERA_CONTEXT &Context, const Bytes &Payload) {
    std::unique_ptr<uint8_t[]> Copy(new uint8_t[Payload.size()]);
    std::copy(Payload.begin(), Payload.end(), Copy.get());
    const EFI_TPL Old = gBS->RaiseTPL(TPL_CALLBACK);
    const EFI_STATUS Status = UpdateCameraFirmware(&Context, Copy.get(), Payload.size(), nullptr, TRUE);
    gBS->RestoreTPL(Old);
    return Status;
  }

 private:
  Sim::Platform P_;
};

}  // namespace Camfw
