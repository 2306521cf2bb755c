// The driver's entry point and the trigger that starts its capsule check,
// observed on the simulated platform: which boot services it calls, at which
// TPL, and what it leaves behind.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Sim/Platform.h"

namespace {

class DriverEntryTest : public ::testing::Test {
 protected:
  // A new simulated boot of the same machine.
  Sim::Platform &NewBoot() {
    Platform.reset();
    Platform = std::make_unique<Sim::Platform>(Machine);
    return *Platform;
  }

  size_t EsrtLookups() { return Platform->Boot().CountCalls("LocateProtocol", "EsrtManagement"); }

  // Calls made since the log position Mark.
  std::vector<Sim::ServiceCall> CallsSince(size_t Mark) {
    const auto &Calls = Platform->Boot().Calls();
    return std::vector<Sim::ServiceCall>(Calls.begin() + static_cast<long>(Mark), Calls.end());
  }

  Sim::Machine Machine;
  std::unique_ptr<Sim::Platform> Platform;
};

TEST_F(DriverEntryTest, EntryPointOnlyArmsTheTriggerNotification) {
  Sim::Platform &P = NewBoot();
  const size_t Mark = P.Boot().Calls().size();
  const uint64_t Start = P.Clock().NowNs();

  ASSERT_EQ(P.LoadDriver(), EFI_SUCCESS);

  // Everything the entry point did, in order: one signal event at
  // TPL_CALLBACK, registered for the trigger protocol.
  std::vector<Sim::ServiceCall> Calls = CallsSince(Mark);
  ASSERT_GE(Calls.size(), 3u);
  EXPECT_EQ(Calls[0].Service, "InstallProtocolInterface");  // the loader's image handle
  std::vector<std::string> DriverCalls;
  for (size_t I = 1; I < Calls.size(); ++I) {
    DriverCalls.push_back(Calls[I].Service + "(" + Calls[I].Detail + ")");
    EXPECT_EQ(Calls[I].Status, EFI_SUCCESS);
    EXPECT_EQ(Calls[I].Tpl, static_cast<EFI_TPL>(TPL_APPLICATION));
  }
  EXPECT_EQ(DriverCalls, (std::vector<std::string>{"CreateEvent(type=0x200 tpl=8)",
                                                   "RegisterProtocolNotify(UpdateTrigger)"}));
  EXPECT_EQ(P.Boot().LiveEventCount(), 1u);

  // No hardware: no port access, no wait, no variable, no pool.
  EXPECT_TRUE(P.Ports().Log().empty());
  EXPECT_EQ(P.Clock().NowNs(), Start);
  EXPECT_TRUE(P.Boot().LiveAllocations().empty());
  EXPECT_TRUE(P.Boot().TplViolations().empty());
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(DriverEntryTest, TriggerInstalledBeforeTheDriverLoadedNeverStartsTheCheck) {
  Sim::Platform &P = NewBoot();
  P.InstallEsrtManagement();
  P.InstallTrigger();
  ASSERT_EQ(P.LoadDriver(), EFI_SUCCESS);

  EXPECT_EQ(EsrtLookups(), 0u);
  EXPECT_EQ(P.Boot().LiveEventCount(), 1u);

  // The check is armed all the same: the next installation starts it.
  P.InstallTrigger();
  EXPECT_EQ(EsrtLookups(), 1u);
}

TEST_F(DriverEntryTest, CheckIsRetriedOnEveryTriggerUntilEsrtManagementAppears) {
  Sim::Platform &P = NewBoot();
  ASSERT_EQ(P.LoadDriver(), EFI_SUCCESS);

  // Two triggers without ESRT management: each looks, fails and leaves the
  // event armed, with nothing else done.
  for (size_t Attempt = 1; Attempt <= 2; ++Attempt) {
    const size_t Mark = P.Boot().Calls().size();
    P.InstallTrigger();
    std::vector<Sim::ServiceCall> Calls = CallsSince(Mark);
    ASSERT_EQ(Calls.size(), 2u);
    EXPECT_EQ(Calls[1].Service, "LocateProtocol");
    EXPECT_EQ(Calls[1].Detail, "EsrtManagement");
    EXPECT_EQ(Calls[1].Status, EFI_NOT_FOUND);
    // The notification runs at its own TPL, inside the installer's call.
    EXPECT_EQ(Calls[1].Tpl, static_cast<EFI_TPL>(TPL_CALLBACK));
    EXPECT_EQ(P.Boot().LiveEventCount(), 1u);
  }
  EXPECT_EQ(P.Boot().CountCalls("CloseEvent"), 0u);

  // Installing ESRT management is not itself a trigger.
  P.InstallEsrtManagement();
  EXPECT_EQ(EsrtLookups(), 2u);

  P.InstallTrigger();
  EXPECT_EQ(EsrtLookups(), 3u);
  EXPECT_EQ(P.Boot().Calls().back().Service, "CloseEvent");
  EXPECT_EQ(P.Boot().Calls().back().Status, EFI_SUCCESS);
  EXPECT_EQ(P.Boot().LiveEventCount(), 0u);
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(DriverEntryTest, AfterOneCompleteRunLaterTriggersDoNothing) {
  Sim::Platform &P = NewBoot();
  ASSERT_EQ(P.LoadDriver(), EFI_SUCCESS);
  P.InstallEsrtManagement();
  P.InstallTrigger();
  ASSERT_EQ(EsrtLookups(), 1u);

  const size_t Mark = P.Boot().Calls().size();
  P.InstallTrigger();
  P.InstallTrigger();
  // Only the platform's own installs: the driver is not called again.
  for (const Sim::ServiceCall &Call : CallsSince(Mark)) {
    EXPECT_EQ(Call.Service, "InstallProtocolInterface");
  }
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(DriverEntryTest, TriggerAtRaisedTplRunsTheCheckWhenTheTplDrops) {
  Sim::Platform &P = NewBoot();
  ASSERT_EQ(P.LoadDriver(), EFI_SUCCESS);
  P.InstallEsrtManagement();

  ASSERT_TRUE(P.RunAgent([&] {
    EFI_BOOT_SERVICES *Bs = P.SystemTable()->BootServices;
    EFI_TPL Old = Bs->RaiseTPL(TPL_NOTIFY);
    EFI_HANDLE Handle = nullptr;
    EFI_GUID Trigger = Sim::kUpdateTriggerProtocolGuid;
    static int Token;
    ASSERT_EQ(Bs->InstallProtocolInterface(&Handle, &Trigger, EFI_NATIVE_INTERFACE, &Token), EFI_SUCCESS);
    EXPECT_EQ(EsrtLookups(), 0u);
    Bs->RestoreTPL(Old);
    EXPECT_EQ(EsrtLookups(), 1u);
  }));
  EXPECT_EQ(P.Boot().LiveEventCount(), 0u);
}

TEST_F(DriverEntryTest, EntryPointReturnsTheFailureOfEitherBootService) {
  {
    Sim::Platform &P = NewBoot();
    P.Boot().FailCall("CreateEvent", 1, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(P.LoadDriver(), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(P.Boot().CountCalls("RegisterProtocolNotify"), 0u);
    EXPECT_EQ(P.Boot().LiveEventCount(), 0u);
  }
  {
    Sim::Platform &P = NewBoot();
    P.Boot().FailCall("RegisterProtocolNotify", 1, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(P.LoadDriver(), EFI_OUT_OF_RESOURCES);
    // The event is not left behind, and nothing is registered, so a trigger
    // starts nothing.
    EXPECT_EQ(P.Boot().LiveEventCount(), 0u);
    P.InstallEsrtManagement();
    P.InstallTrigger();
    EXPECT_EQ(EsrtLookups(), 0u);
  }
}

TEST_F(DriverEntryTest, EveryBootLoadsAFreshDriverThatRunsItsCheckAgain) {
  for (int BootNumber = 1; BootNumber <= 3; ++BootNumber) {
    Sim::Platform &P = NewBoot();
    ASSERT_EQ(P.LoadDriver(), EFI_SUCCESS);
    P.InstallEsrtManagement();
    P.InstallTrigger();
    EXPECT_EQ(EsrtLookups(), 1u) << "boot " << BootNumber;
    EXPECT_EQ(P.Boot().LiveEventCount(), 0u) << "boot " << BootNumber;
  }
  EXPECT_EQ(Machine.Boots, 3u);
}

}  // namespace
