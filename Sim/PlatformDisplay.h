// The platform's display as a driver sees it: the platform progress protocol,
// which draws an update's progress bar, and graphics output, which tells the
// screen's size. Both belong to one boot and are installed separately (the
// platform decides whether a boot has them).
//
// The progress protocol's functions take no instance argument, so its slots
// are thunks onto the active display, as the other simulated tables are.
// Every call goes into the boot services' call log; the display also keeps
// what a test asks about: each set-up with its geometry and time, and each
// step's time. Slots 0 to 7, which callers do not use, and the graphics
// output functions, which the simulated screen does not offer, record a
// misuse and answer EFI_UNSUPPORTED. Nothing here moves the virtual clock.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include <Protocol/GraphicsOutput.h>
#include <Protocol/PlatformProgress.h>

#include "Sim/BootServices.h"
#include "Sim/VirtualClock.h"

namespace Sim {

// The platform progress protocol's GUID (graphics output's is the standard
// gEfiGraphicsOutputProtocolGuid).
extern const EFI_GUID kPlatformProgressProtocolGuid;

// One call of the progress protocol's set-up slot (8).
struct ProgressSetUpCall {
  uint64_t X, Y, Width, Height, Maximum;
  uint64_t StepsBefore;  // steps the display had drawn before this set-up
  uint64_t TimeNs;
};

class PlatformDisplay {
 public:
  static constexpr uint32_t kDefaultHorizontal = 1024;
  static constexpr uint32_t kDefaultVertical = 768;

  PlatformDisplay(BootServicesSim &Boot, VirtualClock &Clock);
  ~PlatformDisplay();
  PlatformDisplay(const PlatformDisplay &) = delete;
  PlatformDisplay &operator=(const PlatformDisplay &) = delete;

  // Makes this display the one the progress protocol's slots reach.
  void Activate();

  // The interfaces the platform installs.
  PLATFORM_PROGRESS_PROTOCOL *Progress() { return &Progress_; }
  EFI_GRAPHICS_OUTPUT_PROTOCOL *Graphics() { return &Graphics_; }

  // --- Settings ----------------------------------------------------------
  // The current mode's resolution, as graphics output reports it.
  void SetResolution(uint32_t Horizontal, uint32_t Vertical);
  // The value slot 10 answers (0 unless set).
  void SetProgressState(int32_t State) { State_ = State; }
  // Called after every set-up and every step, once it is recorded, so that
  // a tool can draw the bar while the boot runs (none unless set).
  using DrawListener = std::function<void(const PlatformDisplay &)>;
  void SetDrawListener(DrawListener Listener) { Listener_ = std::move(Listener); }

  // --- Observation -------------------------------------------------------
  const std::vector<ProgressSetUpCall> &SetUps() const { return SetUps_; }
  const std::vector<uint64_t> &StepTimesNs() const { return StepTimesNs_; }
  uint64_t Steps() const { return StepTimesNs_.size(); }
  uint64_t StateReads() const { return StateReads_; }

  // --- The protocol functions (the EFIAPI thunks call these) -------------
  EFI_STATUS SetUp(UINTN X, UINTN Y, UINTN Width, UINTN Height, UINTN Maximum);
  EFI_STATUS Advance();
  INT32 GetState();
  EFI_STATUS UnusedSlot(unsigned Slot);
  EFI_STATUS GraphicsUnsupported(const char *Service);

 private:
  BootServicesSim &Boot_;
  VirtualClock &Clock_;
  PLATFORM_PROGRESS_PROTOCOL Progress_;
  EFI_GRAPHICS_OUTPUT_PROTOCOL Graphics_;
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE Mode_;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION Info_;
  int32_t State_ = 0;
  std::vector<ProgressSetUpCall> SetUps_;
  std::vector<uint64_t> StepTimesNs_;
  uint64_t StateReads_ = 0;
  DrawListener Listener_;
};

}  // namespace Sim
