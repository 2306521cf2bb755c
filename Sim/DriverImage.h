// The driver image as the simulator loads it: a shared object opened afresh
// for every simulated boot, so that the driver's globals start at their
// load-time values each time, as they do when firmware loads a new image.
#pragma once

#include <string>

#include <Uefi.h>

namespace Sim {

class DriverImage {
 public:
  // Path of the image the build produced (overridable with CAMERA_UPDATE_DXE_IMAGE).
  static std::string DefaultPath();

  explicit DriverImage(const std::string &Path = DefaultPath());
  ~DriverImage();
  DriverImage(const DriverImage &) = delete;
  DriverImage &operator=(const DriverImage &) = delete;

  EFI_IMAGE_ENTRY_POINT EntryPoint() const { return EntryPoint_; }

 private:
  std::string Path_;
  void *Handle_ = nullptr;
  EFI_IMAGE_ENTRY_POINT EntryPoint_ = nullptr;
};

}  // namespace Sim
