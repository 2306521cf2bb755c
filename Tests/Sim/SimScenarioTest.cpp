// Sim::Scenario: boots of one machine in the platform's order, the report of
// each, and booting until a boot ends without a reset.
#include <stdexcept>
#include <string>
#include <vector>

#include "Sim/Scenario.h"
#include "SimFixture.h"

namespace {

EFI_SYSTEM_RESOURCE_ENTRY Entry(uint32_t Version) {
  EFI_SYSTEM_RESOURCE_ENTRY E{};
  E.FwClass = {0x51d7a6c0, 0x2f3e, 0x4b8a, {0x91, 0x0c, 0x77, 0x4e, 0x2a, 0x6b, 0x13, 0x5d}};
  E.FwType = 1;
  E.FwVersion = Version;
  return E;
}

void ResetNow(Sim::Platform &P) {
  P.RunAgent([&] { P.SystemTable()->RuntimeServices->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr); });
}

TEST(SimScenarioTest, ABootInstallsWhatWasAskedThenLoadsTheDriverThenTriggers) {
  Sim::Machine M;
  Sim::Scenario S(M);
  EXPECT_THROW(S.Current(), std::logic_error);

  Sim::BootOptions Options;
  Options.ProgressDisplay = true;
  Options.PlatformHook = true;
  std::vector<std::string> Steps;
  Options.Prepare = [&](Sim::Platform &P) {
    EXPECT_TRUE(P.Boot().Calls().empty());  // before anything is installed
    P.Esrt().Seed(Entry(7));
  };
  Options.AfterStep = [&](const std::string &Step, Sim::Platform &P, size_t FirstCall) {
    Steps.push_back(Step + ":" + P.Boot().Calls()[FirstCall].Detail);
  };
  Sim::BootReport Report = S.Boot(Options);

  EXPECT_EQ(Steps, (std::vector<std::string>{"install ESRT management:EsrtManagement",
                                             "install the progress display:PlatformProgress",
                                             "install the platform hook:PlatformHook", "load the driver:SimImage",
                                             "install the trigger:UpdateTrigger"}));
  Sim::Platform &P = S.Current();
  EXPECT_EQ(P.Boot().CountCalls("InstallProtocolInterface", "GraphicsOutput"), 1u);
  EXPECT_TRUE(P.DriverLoaded());
  // The trigger reached the loaded driver's check, which found ESRT management.
  EXPECT_GE(P.Boot().CountCalls("LocateProtocol", "EsrtManagement"), 1u);
  EXPECT_EQ(Report.BootNumber, 1u);
  EXPECT_EQ(Report.BootMode, static_cast<EFI_BOOT_MODE>(BOOT_WITH_FULL_CONFIGURATION));
  EXPECT_EQ(Report.Capsules, 0u);
  EXPECT_EQ(Report.DriverStatus, EFI_SUCCESS);
  EXPECT_FALSE(Report.EndedInReset());
  ASSERT_FALSE(Report.Esrt.empty());
  EXPECT_EQ(Report.Esrt[0].FwVersion, 7u);
  EXPECT_EQ(Report.Esrt.size(), M.Esrt.Entries.size());
  EXPECT_EQ(Report.EndTimeNs, P.Clock().NowNs());
  EXPECT_EQ(Report.Misuses, P.Boot().Misuses().size());

  // Nothing asked for, nothing installed; the next boot is a new platform
  // on the same machine.
  Sim::BootOptions Bare;
  Bare.EsrtManagement = false;
  Bare.LoadDriver = false;
  Report = S.Boot(Bare);
  EXPECT_EQ(Report.BootNumber, 2u);
  EXPECT_EQ(Report.DriverStatus, EFI_NOT_STARTED);
  EXPECT_FALSE(S.Current().DriverLoaded());
  EXPECT_EQ(S.Current().Boot().CountCalls("InstallProtocolInterface"), 1u);  // the trigger alone
  EXPECT_EQ(Report.Esrt.size(), M.Esrt.Entries.size());
}

TEST(SimScenarioTest, BootsUntilABootEndsWithoutAResetAndReportsEachReset) {
  Sim::Machine M;
  M.PendingCapsules.push_back(std::vector<uint8_t>(40, 0x11));
  Sim::Scenario S(M);
  Sim::BootOptions Options;
  // The first boot resets before anything else runs: the steps after it are
  // skipped and its capsule is gone.
  Options.Prepare = [&](Sim::Platform &P) {
    if (M.Boots == 1) {
      P.Clock().AdvanceUs(3);
      ResetNow(P);
    }
  };
  std::vector<Sim::BootReport> Reports = S.BootUntilSettled(Options);
  ASSERT_EQ(Reports.size(), 2u);
  EXPECT_EQ(Reports[0].BootMode, 0x12u);
  EXPECT_EQ(Reports[0].Capsules, 1u);
  ASSERT_TRUE(Reports[0].EndedInReset());
  EXPECT_EQ(Reports[0].Reset->Type, EfiResetCold);
  EXPECT_EQ(Reports[0].Reset->TimeNs, 3000u);
  EXPECT_EQ(Reports[0].DriverStatus, EFI_NOT_STARTED);
  EXPECT_EQ(Reports[1].BootNumber, 2u);
  EXPECT_EQ(Reports[1].BootMode, static_cast<EFI_BOOT_MODE>(BOOT_WITH_FULL_CONFIGURATION));
  EXPECT_EQ(Reports[1].Capsules, 0u);
  EXPECT_FALSE(Reports[1].EndedInReset());
  EXPECT_EQ(Reports[1].DriverStatus, EFI_SUCCESS);

  // A machine that never settles stops at the limit; a watchdog reset is
  // reported as such.
  Sim::BootOptions Stuck;
  Stuck.WatchdogNs = 5000;
  Stuck.AfterStep = [](const std::string &Step, Sim::Platform &P, size_t) {
    if (Step == "load the driver") {
      P.RunAgent([&] { P.Clock().AdvanceUs(10); });
    }
  };
  Reports = S.BootUntilSettled(Stuck, 3);
  ASSERT_EQ(Reports.size(), 3u);
  for (const Sim::BootReport &Report : Reports) {
    ASSERT_TRUE(Report.EndedInReset());
    EXPECT_TRUE(Report.Reset->ByWatchdog);
  }
  EXPECT_EQ(Reports[2].BootNumber, 5u);
  EXPECT_EQ(S.Current().Boot().CountCalls("InstallProtocolInterface", "UpdateTrigger"), 0u);
  EXPECT_EQ(M.Resets.size(), 4u);
}

}  // namespace
