// One boot of the simulated platform: the system table with boot services,
// runtime services and configuration tables (HOB list, port space), the ACPI
// PM timer on the virtual clock, the embedded controller on ports 0x62 and
// 0x66, the USB bus with the machine's devices enumerated, the display
// (progress protocol and graphics output) and the platform hook (each
// installed when the platform says so), and the driver image loaded afresh.
//
// Platform code (the tests, acting as the rest of the firmware) calls into the
// boot services through RunAgent or the helpers below, at TPL_APPLICATION, on
// an agent stack of its own. A reset requested from inside (the driver's
// ResetSystem) ends the boot: the agent's frames are abandoned, RunAgent
// returns false, BootEnded() turns true and nothing more runs in this boot.
// The platform's watchdog, when armed, ends a boot that runs too long in
// the same way.
//
// A boot starts as the machine says: capsules pending on the machine make it
// a flash-update boot with a capsule HOB for each; the "Setup" variable is
// created when the store lacks it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <Uefi.h>

#include "Sim/BootServices.h"
#include "Sim/Capsule.h"
#include "Sim/DriverImage.h"
#include "Sim/EmbeddedController.h"
#include "Sim/EsrtRepository.h"
#include "Sim/HobList.h"
#include "Sim/Machine.h"
#include "Sim/PlatformDisplay.h"
#include "Sim/PlatformHook.h"
#include "Sim/PortSpace.h"
#include "Sim/RuntimeServices.h"
#include "Sim/UsbBus.h"
#include "Sim/UsbClassDevices.h"
#include "Sim/VirtualClock.h"

namespace Sim {

// The trigger protocol whose installation starts the driver's capsule check.
extern const EFI_GUID kUpdateTriggerProtocolGuid;

struct PlatformOptions {
  uint16_t PmTimerPort = AcpiPmTimer::DefaultPort;
  std::string DriverImagePath = DriverImage::DefaultPath();
};

class Platform {
 public:
  explicit Platform(Machine &OnMachine, PlatformOptions Options = PlatformOptions());
  // A boot of a machine of its own.
  Platform();
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  VirtualClock &Clock() { return Clock_; }
  PortSpace &Ports() { return Ports_; }
  AcpiPmTimer &PmTimer() { return PmTimer_; }
  EmbeddedController &Ec() { return Ec_; }
  BootServicesSim &Boot() { return Boot_; }
  RuntimeServicesSim &Runtime() { return Runtime_; }
  HobList &Hobs() { return Hobs_; }
  EsrtRepository &Esrt() { return Esrt_; }
  UsbBus &Usb() { return Usb_; }
  // The keyboard and mass-storage class drivers every boot has.
  const UsbClassDrivers &ClassDrivers() const { return ClassDrivers_; }
  PlatformDisplay &Display() { return Display_; }
  PlatformHook &Hook() { return Hook_; }
  Machine &GetMachine() { return Machine_; }
  EFI_SYSTEM_TABLE *SystemTable() { return &SystemTable_; }
  EFI_HANDLE ImageHandle() const { return ImageHandle_; }

  // Makes this boot's services the ones the tables reach (the newest
  // Platform is active on its own; this is for tests that keep two).
  void Activate();

  // Loads the driver image afresh and runs its entry point at TPL_APPLICATION,
  // as the DXE dispatcher does. Returns the entry point's status.
  EFI_STATUS LoadDriver();
  bool DriverLoaded() const { return Image_ != nullptr; }

  // Runs Action as platform code at TPL_APPLICATION. Returns false when the
  // boot ended in a reset (now or earlier), in which case Action may not have
  // run to its end.
  bool RunAgent(const std::function<void()> &Action);

  // Platform agents for the common cases. The ESRT management protocol is
  // not installed until the platform says so.
  EFI_HANDLE InstallProtocol(const EFI_GUID &Guid, void *Interface, EFI_HANDLE Handle = nullptr);
  EFI_STATUS UninstallProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid, void *Interface);
  EFI_HANDLE InstallEsrtManagement();
  EFI_HANDLE InstallTrigger();
  // The display's protocols, each installed on a handle of its own and
  // removed from it again (EFI_NOT_FOUND when it is not installed).
  EFI_HANDLE InstallPlatformProgress();
  EFI_HANDLE InstallGraphicsOutput();
  EFI_STATUS RemovePlatformProgress();
  EFI_STATUS RemoveGraphicsOutput();
  // The platform hook protocol, on a handle of its own, and removed again
  // (EFI_NOT_FOUND when it is not installed).
  EFI_HANDLE InstallPlatformHook();
  EFI_STATUS RemovePlatformHook();

  bool BootEnded() const { return Reset_.has_value(); }
  const std::optional<ResetRecord> &Reset() const { return Reset_; }

  // The platform's hardware watchdog: when the virtual clock reaches
  // TimeoutNs from now and the boot has not ended, the machine resets cold
  // (recorded with status EFI_TIMEOUT and ByWatchdog) and the boot ends as
  // with ResetSystem. It ends a boot that would otherwise wait for ever (a
  // wait on hardware that never answers moves the clock with every poll).
  void ArmWatchdog(uint64_t TimeoutNs);

  // Cuts the machine's power at the Nth class-specific request on the USB
  // bus from now (an extension-unit transfer; 1 = the next), before the
  // device gets it or right after it carried it out (UsbBus::CutPowerAt).
  // The boot ends there as with a reset, recorded with PowerCut set: the
  // code running (the driver, on the agent stack) is abandoned, nothing more
  // runs in this boot, and every capsule in memory is lost. The devices keep
  // their flash; what they hold in RAM is gone at the next power-on.
  void CutPowerAt(uint64_t NthClassRequest, PowerCutMoment When);
  // The power goes off now, as above.
  void CutPower();

  // Where this boot's capsules lie in memory (as the capsule HOBs say), in
  // the machine's order; empty for a boot without pending capsules.
  const std::vector<void *> &CapsuleAddresses() const { return CapsuleAddresses_; }

  // Adds, replaces or (Table == nullptr) removes a configuration table.
  EFI_STATUS SetConfigurationTable(const EFI_GUID &Guid, void *Table);

 private:
  void RefreshSystemTable();
  // Takes note of a reset that ended this boot: the capsules it was handed
  // leave the machine.
  void NoteReset(const ResetRecord &Record);

  std::unique_ptr<Machine> OwnMachine_;
  Machine &Machine_;
  PlatformOptions Options_;
  VirtualClock Clock_;
  PortSpace Ports_;
  AcpiPmTimer PmTimer_;
  EmbeddedController Ec_;
  BootServicesSim Boot_;
  RuntimeServicesSim Runtime_;
  EsrtRepository Esrt_;
  HobList Hobs_;
  UsbBus Usb_;
  UsbClassDrivers ClassDrivers_;
  PlatformDisplay Display_;
  PlatformHook Hook_;
  EFI_HANDLE ProgressHandle_ = nullptr;
  EFI_HANDLE GraphicsHandle_ = nullptr;
  EFI_HANDLE HookHandle_ = nullptr;
  std::vector<EFI_CONFIGURATION_TABLE> ConfigurationTables_;
  EFI_SYSTEM_TABLE SystemTable_;
  EFI_HANDLE ImageHandle_ = nullptr;
  int ImageToken_ = 0;
  std::optional<ResetRecord> Reset_;
  std::vector<void *> CapsuleAddresses_;
  std::unique_ptr<DriverImage> Image_;  // last: unloaded first
};

}  // namespace Sim
