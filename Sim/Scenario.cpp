#include "Sim/Scenario.h"

#include <stdexcept>

namespace Sim {

BootReport Scenario::Boot(const BootOptions &Options) {
  // One boot at a time: the old image must be gone before the new one loads.
  Current_.reset();
  Current_ = std::make_unique<Platform>(Machine_, Options.Settings);
  Platform &P = *Current_;

  BootReport Report;
  Report.BootNumber = Machine_.Boots;
  Report.BootMode = P.Hobs().BootMode();
  Report.Capsules = P.CapsuleAddresses().size();

  if (Options.Prepare) {
    Options.Prepare(P);
  }
  if (Options.WatchdogNs != 0) {
    P.ArmWatchdog(Options.WatchdogNs);
  }
  auto Step = [&](bool Wanted, const char *Name, const std::function<void()> &Action) {
    if (!Wanted || P.BootEnded()) {
      return;
    }
    const size_t FirstCall = P.Boot().Calls().size();
    Action();
    if (Options.AfterStep) {
      Options.AfterStep(Name, P, FirstCall);
    }
  };
  Step(Options.EsrtManagement, "install ESRT management", [&] { P.InstallEsrtManagement(); });
  Step(Options.ProgressDisplay, "install the progress display", [&] {
    P.InstallPlatformProgress();
    P.InstallGraphicsOutput();
  });
  Step(Options.PlatformHook, "install the platform hook", [&] { P.InstallPlatformHook(); });
  Step(Options.LoadDriver, "load the driver", [&] { Report.DriverStatus = P.LoadDriver(); });
  Step(Options.Trigger, "install the trigger", [&] { P.InstallTrigger(); });

  Report.Reset = P.Reset();
  Report.Esrt = P.Esrt().Entries();
  Report.EndTimeNs = P.Clock().NowNs();
  Report.HookCalls = P.Hook().Calls().size();
  Report.ProgressSteps = P.Display().Steps();
  Report.EcTransactions = P.Ec().Transactions().size();
  Report.EcViolations = P.Ec().Violations().size();
  Report.TplViolations = P.Boot().TplViolations().size();
  Report.Misuses = P.Boot().Misuses().size();
  return Report;
}

std::vector<BootReport> Scenario::BootUntilSettled(const BootOptions &Options, unsigned MaxBoots) {
  std::vector<BootReport> Reports;
  while (Reports.size() < MaxBoots) {
    Reports.push_back(Boot(Options));
    if (!Reports.back().EndedInReset()) {
      break;
    }
  }
  return Reports;
}

Platform &Scenario::Current() {
  if (Current_ == nullptr) {
    throw std::logic_error("the scenario has not booted yet");
  }
  return *Current_;
}

}  // namespace Sim
