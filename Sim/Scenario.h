// Boots of one machine as a test or a tool drives them: each boot is a new
// Platform on the same Machine; the platform installs ESRT management (and
// the progress display and the platform hook when asked), loads the driver
// and installs the update trigger, which starts the driver's capsule check.
// What each boot ended with comes back as a BootReport; the last boot's
// Platform stays for inspection until the next boot starts.
//
//   Sim::Machine M;
//   M.UsbPorts[4] = std::make_shared<Sim::Camera>(Profile);
//   M.PendingCapsules.push_back(Sim::LoadCapsuleFile(Path));
//   Sim::Scenario S(M);
//   std::vector<Sim::BootReport> Boots = S.BootUntilSettled();
//   // Boots[0].Reset: the driver's cold reset; Boots[1].Esrt: the new version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Sim/Machine.h"
#include "Sim/Platform.h"

namespace Sim {

struct BootOptions {
  PlatformOptions Settings;  // the driver image, the PM timer port
  bool EsrtManagement = true;
  bool ProgressDisplay = false;  // the progress protocol and graphics output
  bool PlatformHook = false;
  bool LoadDriver = true;
  bool Trigger = true;
  // Arms the platform's watchdog for the boot (0: none), so that a boot
  // that waits for ever on hardware ends in a reset instead.
  uint64_t WatchdogNs = 0;
  // Runs on the new boot before anything is installed: faults, the hook's
  // statuses, the display's resolution, the EC's registers, ...
  std::function<void(Platform &)> Prepare;
  // Told after each step ("install ESRT management", "install the progress
  // display", "install the platform hook", "load the driver", "install the
  // trigger") with the position in the call log where the step began.
  std::function<void(const std::string &Step, Platform &, size_t FirstCall)> AfterStep;
};

struct BootReport {
  uint64_t BootNumber = 0;  // the machine's boot count: 1 for its first boot
  EFI_BOOT_MODE BootMode = BOOT_WITH_FULL_CONFIGURATION;
  size_t Capsules = 0;  // capsule HOBs the boot started with
  EFI_STATUS DriverStatus = EFI_NOT_STARTED;  // the entry point's status
  std::optional<ResetRecord> Reset;           // how the boot ended, if by a reset
  std::vector<EFI_SYSTEM_RESOURCE_ENTRY> Esrt;  // the repository after the boot
  uint64_t EndTimeNs = 0;                       // virtual time when the boot ended
  // What the boot did, in counts (the Platform holds the details).
  size_t HookCalls = 0;
  uint64_t ProgressSteps = 0;
  size_t EcTransactions = 0;
  size_t EcViolations = 0;
  size_t TplViolations = 0;
  size_t Misuses = 0;

  bool EndedInReset() const { return Reset.has_value(); }
};

class Scenario {
 public:
  explicit Scenario(Machine &OnMachine) : Machine_(OnMachine) {}
  Scenario(const Scenario &) = delete;
  Scenario &operator=(const Scenario &) = delete;

  // One boot. The previous boot's Platform is destroyed first (its driver
  // image unloaded), then the steps run in this order: Prepare, ESRT
  // management, progress display, platform hook, driver, trigger; a step
  // after a reset is skipped, as nothing runs after one.
  BootReport Boot(const BootOptions &Options = BootOptions());

  // Boots until a boot ends without a reset, at most MaxBoots boots, and
  // returns every boot's report (the last one's EndedInReset() tells whether
  // the machine settled).
  std::vector<BootReport> BootUntilSettled(const BootOptions &Options = BootOptions(), unsigned MaxBoots = 4);

  bool HasBooted() const { return Current_ != nullptr; }
  // The last boot's platform. Throws std::logic_error before the first boot.
  Platform &Current();
  Machine &GetMachine() { return Machine_; }

 private:
  Machine &Machine_;
  std::unique_ptr<Platform> Current_;
};

}  // namespace Sim
