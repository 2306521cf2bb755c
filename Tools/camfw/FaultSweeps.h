// The fault sweeps: what each road of the update does when the power goes
// at any of its extension-unit transfers, when it goes twice on the
// two-slot road, and when single transfers (or two in a row) fail.
//
// Power cuts run the driver's whole job on the simulated machine (the driver
// image, boot after boot): a normal boot, the flash-update boot cut short,
// a normal boot, the flash-update boot again with the same capsule, and the
// boots after it. Transfer failures call the update dispatcher directly on a
// simulated boot (the driver's code linked into this program, the library
// constructors run against the boot), since only there does its status show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Sim/Camera/Camera.h"
#include "Sim/UsbBus.h"
#include "Tools/camfw/DriverSteps.h"
#include "Tools/camfw/FlashActivity.h"
#include "Tools/camfw/SweepRoads.h"

namespace Camfw {

// ---------------------------------------------------------------------------
// Power cuts
// ---------------------------------------------------------------------------

// A clean run of the road's whole job.
struct CleanJob {
  std::vector<Sim::UsbTransfer> UpdateBoot;  // the flash-update boot's transfers
  std::vector<TransferStep> Steps;           // one per transfer of UpdateBoot
  std::vector<size_t> ClassTransfers;        // UpdateBoot index of each class request, in order
  Bytes FinalFlash;
  Sim::BootImage Runs = Sim::BootImage::Rom;  // what the camera runs at the end
  uint32_t Published = 0;                      // the version the last boot published
};

struct CutPoint {
  uint64_t ClassRequest = 0;  // 1-based, as Sim::Platform::CutPowerAt counts
  Sim::PowerCutMoment When = Sim::PowerCutMoment::BeforeTransfer;
};

// How the camera presents itself on the bus.
enum class Presence : uint8_t { Own, Recovery, Other };

struct CutOutcome {
  CutPoint Cut;
  std::string Step;       // the clean run's step at the cut
  std::string Operation;  // and its operation
  bool Struck = false;    // the flash-update boot ended with that power cut
  // The next boot after the cut.
  Sim::BootImage RunsAfterCut = Sim::BootImage::Rom;
  Sim::UsbIdentity IdentityAfterCut{};
  Presence PresenceAfterCut = Presence::Other;
  bool PublishedAfterCut = false;  // the driver published an entry with the camera's version
  uint32_t VersionAfterCut = 0;
  // The update again, with the same capsule.
  bool RetryReached = false;  // the driver sent the camera more than discovery's probes
  // The boot after the retry.
  Sim::BootImage FinalRuns = Sim::BootImage::Rom;
  Sim::UsbIdentity FinalIdentity{};
  uint32_t FinalVersion = 0;     // what that boot published (0: nothing)
  bool RetrySucceeded = false;   // the camera runs the new firmware under its own identity
  bool FlashAsClean = false;     // the whole flash equals a clean update's
  std::vector<AddressRange> Differs;  // where it does not (runs closer than 256 bytes merged)
  bool DeviceDataKept = true;    // the camera's own data block is still there (roads that have one)
  size_t Misuses = 0;            // boot-service misuses over all the boots
  // A camera left under its recovery identity: the update tried on it with
  // the driver's dispatcher, the camera found by its recovery IDs (what
  // discovery would need to do to reach it), and whether that mends it.
  bool RecoveryIdTried = false;
  bool RecoveryIdRecovers = false;
  // Recovered: the repeated update reaches the camera and leaves it running
  // the new firmware, with its own data and no misuse on the way.
  bool Recovered() const { return Struck && RetrySucceeded && DeviceDataKept && Misuses == 0; }
};

struct PowerCutOptions {
  // 1: every cut point. N: every N-th transfer's "before" point, plus the
  // first transfer of every step and every restart's "after" point, so that
  // no step goes untried.
  size_t Stride = 1;
};

struct PowerCutSweep {
  SweepRoad Road;
  CleanJob Clean;
  std::vector<CutOutcome> Outcomes;
  double Seconds = 0;  // wall-clock time of the sweep
};

CleanJob RunCleanJob(const SweepRoad &Road);
// The cut points of a clean job: before each class request of the update
// boot, after each one that restarts or re-enumerates the ISP (the camera
// leaves and comes back in the wait that follows), and after the last one.
std::vector<CutPoint> CutPoints(const CleanJob &Clean, const PowerCutOptions &Options = PowerCutOptions());
CutOutcome RunCutJob(const SweepRoad &Road, const CleanJob &Clean, const CutPoint &Cut);
PowerCutSweep SweepPowerCuts(const SweepRoad &Road, const PowerCutOptions &Options = PowerCutOptions());

// ---------------------------------------------------------------------------
// Two power cuts on the two-slot road
// ---------------------------------------------------------------------------

struct DoubleCutOutcome {
  CutPoint First;   // inside the slot write of the first attempt
  CutPoint Second;  // in the retry's flash-update boot
  std::string FirstStep;
  std::string SecondStep;
  Sim::BootImage RunsAfterFirst = Sim::BootImage::Rom;
  uint8_t ActiveSlotAtRetry = 0;  // the camera's header when the retry starts
  uint8_t RetryTarget = 0xFF;     // the slot the retry erases and writes
  bool RetryOverwritesGoodSlot = false;  // ... which is the only one holding good firmware
  Sim::BootImage RunsAfterSecond = Sim::BootImage::Rom;  // at the power-on after the second cut
  Presence PresenceAfterSecond = Presence::Other;
  bool ThirdAttemptSucceeds = false;  // one more update, uncut, reaches the camera and succeeds
};

struct DoubleCutOptions {
  size_t FirstCuts = 3;  // first cuts, spread over the slot write
  size_t Stride = 1;     // as PowerCutOptions, over the retry
  // The camera leaves a failed update unsettled (ActiveSlot stays 0xFF).
  bool Unsettled = false;
};

struct DoubleCutSweep {
  bool Unsettled = false;
  std::vector<DoubleCutOutcome> Outcomes;
  double Seconds = 0;
};

DoubleCutSweep SweepDoubleCuts(const SweepRoad &Road, const DoubleCutOptions &Options = DoubleCutOptions());

// ---------------------------------------------------------------------------
// Transfer failures
// ---------------------------------------------------------------------------

struct TransferFault {
  size_t First = 0;  // 1-based transfer of the update that fails
  size_t Count = 1;  // how many in a row
  std::string Step;
  std::string Operation;
  EFI_STATUS Status = EFI_SUCCESS;  // what the dispatcher returned
  bool Absorbed = false;            // EFI_SUCCESS, and the camera holds what a clean update leaves
  bool WrongSuccess = false;        // EFI_SUCCESS over a camera that does not
  bool RetryOwned = false;          // the driver repeats the failed request
  size_t Leaked = 0;                // pool buffers left allocated
  size_t Misuses = 0;
  bool RestartExpected = false;     // the exit sequence restarts the ISP (not after EFI_DEVICE_ERROR)
  bool RestartSent = false;         // a restart went out after the failure
  bool KindKnown = true;            // the dispatcher had the generation when it reached its exit
  bool KindPartlyRead = false;      // the failure struck inside its read of the generation
  bool LaterReached = false;        // at the next power-on, discovery finds the camera
  bool LaterSucceeds = false;       // ... and an update succeeds and runs
  std::string Note;                 // what the ISP's command table holds that a clean update does not leave
  std::string Left;                 // what the camera is left with, when it is not what a clean update leaves
  // The exit sequence restarts the ISP unless the status is EFI_DEVICE_ERROR
  // or the generation is not known (an unknown ISP is not restarted); a
  // failure inside the generation read may leave it known or not.
  bool RestartAsExitSays() const {
    return KindPartlyRead || RestartSent == (RestartExpected && KindKnown);
  }
};

struct TransferFaultOptions {
  size_t Stride = 1;  // every N-th transfer (and the first of every step)
  std::vector<size_t> Only;  // when not empty: these transfers (1-based) and no others
  size_t InARow = 1;  // 1: single failures; 2: two in a row
  EFI_STATUS Injected = EFI_DEVICE_ERROR;
  bool CheckLater = true;  // run the later update after each failure
};

struct TransferFaultSweep {
  SweepRoad Road;
  size_t Transfers = 0;  // in a clean update
  std::vector<Sim::UsbTransfer> Clean;  // the clean update's transfers
  std::vector<TransferStep> Steps;      // and their steps
  std::vector<TransferFault> Faults;
  double Seconds = 0;
};

TransferFaultSweep SweepTransferFaults(const SweepRoad &Road, const TransferFaultOptions &Options = TransferFaultOptions());

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

std::string PresenceText(Presence P, const Sim::UsbIdentity &Identity);
std::string BootImageText(Sim::BootImage Image);
std::string CutPointText(const CutPoint &Cut);
std::string StatusName(EFI_STATUS Status);

}  // namespace Camfw
