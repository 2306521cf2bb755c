#include "Sim/DriverImage.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace Sim {

std::string DriverImage::DefaultPath() {
  if (const char *Override = std::getenv("CAMERA_UPDATE_DXE_IMAGE")) {
    return Override;
  }
  return CAMERA_UPDATE_DXE_IMAGE;
}

DriverImage::DriverImage(const std::string &Path) : Path_(Path) {
  // A second load while the image is still loaded would share its globals.
  if (void *Already = dlopen(Path_.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    dlclose(Already);
    throw std::logic_error("driver image " + Path_ + " is already loaded");
  }
  Handle_ = dlopen(Path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (Handle_ == nullptr) {
    throw std::runtime_error(std::string("cannot load driver image: ") + dlerror());
  }
  void *Symbol = dlsym(Handle_, "_ModuleEntryPoint");
  if (Symbol == nullptr) {
    dlclose(Handle_);
    throw std::runtime_error("driver image has no _ModuleEntryPoint");
  }
  EntryPoint_ = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(Symbol);
}

DriverImage::~DriverImage() {
  dlclose(Handle_);
  // The image must really be gone, or the next boot would see this boot's globals.
  if (dlopen(Path_.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) {
    std::fprintf(stderr, "driver image %s stayed loaded after unload; boots would share globals\n", Path_.c_str());
    std::abort();
  }
}

}  // namespace Sim
