#include "Sim/PlatformDisplay.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace Sim {

const EFI_GUID kPlatformProgressProtocolGuid = PLATFORM_PROGRESS_PROTOCOL_GUID;

namespace {

PlatformDisplay *gActive = nullptr;

PlatformDisplay &Active() {
  if (gActive == nullptr) {
    std::fprintf(stderr, "platform display called with no active display\n");
    std::abort();
  }
  return *gActive;
}

template <unsigned Slot>
EFIAPI EFI_STATUS ThunkUnused(VOID) {
  return Active().UnusedSlot(Slot);
}

EFIAPI EFI_STATUS ThunkSetUp(UINTN X, UINTN Y, UINTN Width, UINTN Height, UINTN Maximum) {
  return Active().SetUp(X, Y, Width, Height, Maximum);
}
EFIAPI EFI_STATUS ThunkAdvance(VOID) { return Active().Advance(); }
EFIAPI INT32 ThunkGetState(VOID) { return Active().GetState(); }

EFIAPI EFI_STATUS ThunkQueryMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *, UINT32, UINTN *,
                                 EFI_GRAPHICS_OUTPUT_MODE_INFORMATION **) {
  return Active().GraphicsUnsupported("GraphicsQueryMode");
}
EFIAPI EFI_STATUS ThunkSetMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *, UINT32) {
  return Active().GraphicsUnsupported("GraphicsSetMode");
}
EFIAPI EFI_STATUS ThunkBlt(EFI_GRAPHICS_OUTPUT_PROTOCOL *, EFI_GRAPHICS_OUTPUT_BLT_PIXEL *,
                           EFI_GRAPHICS_OUTPUT_BLT_OPERATION, UINTN, UINTN, UINTN, UINTN, UINTN, UINTN, UINTN) {
  return Active().GraphicsUnsupported("GraphicsBlt");
}

// The progress protocol's slots are services like any other: callers stay
// at or below TPL_NOTIFY.
constexpr EFI_TPL kProgressTplLimit = TPL_NOTIFY;

const char *const kUnusedSlotNames[8] = {"ProgressSlot0", "ProgressSlot1", "ProgressSlot2", "ProgressSlot3",
                                         "ProgressSlot4", "ProgressSlot5", "ProgressSlot6", "ProgressSlot7"};

}  // namespace

PlatformDisplay::PlatformDisplay(BootServicesSim &Boot, VirtualClock &Clock) : Boot_(Boot), Clock_(Clock) {
  Progress_.Unused[0] = ThunkUnused<0>;
  Progress_.Unused[1] = ThunkUnused<1>;
  Progress_.Unused[2] = ThunkUnused<2>;
  Progress_.Unused[3] = ThunkUnused<3>;
  Progress_.Unused[4] = ThunkUnused<4>;
  Progress_.Unused[5] = ThunkUnused<5>;
  Progress_.Unused[6] = ThunkUnused<6>;
  Progress_.Unused[7] = ThunkUnused<7>;
  Progress_.SetUp = ThunkSetUp;
  Progress_.Advance = ThunkAdvance;
  Progress_.GetState = ThunkGetState;

  std::memset(&Info_, 0, sizeof(Info_));
  Info_.Version = 0;
  // No frame buffer: the screen is reached through Blt only.
  Info_.PixelFormat = PixelBltOnly;
  std::memset(&Mode_, 0, sizeof(Mode_));
  Mode_.MaxMode = 1;
  Mode_.Mode = 0;
  Mode_.Info = &Info_;
  Mode_.SizeOfInfo = sizeof(Info_);
  Graphics_.QueryMode = ThunkQueryMode;
  Graphics_.SetMode = ThunkSetMode;
  Graphics_.Blt = ThunkBlt;
  Graphics_.Mode = &Mode_;
  SetResolution(kDefaultHorizontal, kDefaultVertical);
  Activate();
}

PlatformDisplay::~PlatformDisplay() {
  if (gActive == this) {
    gActive = nullptr;
  }
}

void PlatformDisplay::Activate() { gActive = this; }

void PlatformDisplay::SetResolution(uint32_t Horizontal, uint32_t Vertical) {
  Info_.HorizontalResolution = Horizontal;
  Info_.VerticalResolution = Vertical;
  Info_.PixelsPerScanLine = Horizontal;
}

EFI_STATUS PlatformDisplay::SetUp(UINTN X, UINTN Y, UINTN Width, UINTN Height, UINTN Maximum) {
  size_t Index = Boot_.Begin("ProgressSetUp", kProgressTplLimit,
                             "x=" + std::to_string(X) + " y=" + std::to_string(Y) + " w=" + std::to_string(Width) +
                                 " h=" + std::to_string(Height) + " max=" + std::to_string(Maximum));
  SetUps_.push_back({X, Y, Width, Height, Maximum, Steps(), Clock_.NowNs()});
  if (Listener_) {
    Listener_(*this);
  }
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS PlatformDisplay::Advance() {
  size_t Index = Boot_.Begin("ProgressAdvance", kProgressTplLimit, std::to_string(Steps() + 1));
  StepTimesNs_.push_back(Clock_.NowNs());
  if (Listener_) {
    Listener_(*this);
  }
  return Boot_.End(Index, EFI_SUCCESS);
}

INT32 PlatformDisplay::GetState() {
  size_t Index = Boot_.Begin("ProgressGetState", kProgressTplLimit, std::to_string(State_));
  ++StateReads_;
  Boot_.End(Index, EFI_SUCCESS);
  return State_;
}

EFI_STATUS PlatformDisplay::UnusedSlot(unsigned Slot) {
  const char *Service = kUnusedSlotNames[Slot];
  size_t Index = Boot_.Begin(Service, TPL_HIGH_LEVEL);
  Boot_.Misuse(Service, "slot " + std::to_string(Slot) + " of the platform progress protocol is not for callers");
  return Boot_.End(Index, EFI_UNSUPPORTED);
}

EFI_STATUS PlatformDisplay::GraphicsUnsupported(const char *Service) {
  size_t Index = Boot_.Begin(Service, TPL_HIGH_LEVEL);
  Boot_.Misuse(Service, "graphics output service not offered by the simulated display");
  return Boot_.End(Index, EFI_UNSUPPORTED);
}

}  // namespace Sim
