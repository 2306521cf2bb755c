// The simulated TPL rules, pool, fault injection, virtual time, the port space
// with the ACPI PM timer, and timer events.

#include <algorithm>
#include <cstring>
#include <vector>

#include <Protocol/DevicePath.h>

#include "SimFixture.h"

using namespace SimTest;

namespace {

class SimTplTest : public SimTest::SimFixture {};

TEST_F(SimTplTest, BreachesAreRecordedWithTheirLimitWhileTheServicesStillWork) {
  EXPECT_EQ(Bs()->RaiseTPL(TPL_CALLBACK), kApplication);
  EXPECT_EQ(Bs()->RaiseTPL(TPL_NOTIFY), kCallback);
  VOID *Buffer = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 8, &Buffer), EFI_SUCCESS);  // at its limit
  EXPECT_TRUE(P.Boot().TplViolations().empty());
  std::vector<uint8_t> End = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
  EFI_HANDLE Handle = Install(&kProtocolA, &A);
  auto *Remaining = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(End.data());
  EXPECT_EQ(Bs()->ConnectController(Handle, nullptr, Remaining, FALSE), EFI_SUCCESS);
  ExpectViolation(0, "ConnectController", kNotify, kCallback);
  EXPECT_EQ(Bs()->RaiseTPL(TPL_HIGH_LEVEL), kNotify);
  EXPECT_EQ(Bs()->FreePool(Buffer), EFI_SUCCESS);
  ExpectViolation(1, "FreePool", kHighLevel, kNotify);
  EXPECT_TRUE(P.Boot().LiveAllocations().empty());
  // Raising downwards and restoring upwards are recorded, and done.
  EXPECT_EQ(Bs()->RaiseTPL(TPL_CALLBACK), kHighLevel);
  EXPECT_EQ(P.Boot().CurrentTpl(), kCallback);
  ExpectViolation(2, "RaiseTPL", kHighLevel, kCallback);
  Bs()->RestoreTPL(TPL_NOTIFY);
  EXPECT_EQ(P.Boot().CurrentTpl(), kNotify);
  ExpectViolation(3, "RestoreTPL", kCallback, kNotify);
  Bs()->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(P.Boot().TplViolations().size(), 4u);
}

EFIAPI VOID RaiseAndForget(EFI_EVENT, VOID *Context) {
  static_cast<Sim::Platform *>(Context)->SystemTable()->BootServices->RaiseTPL(TPL_NOTIFY);
}

TEST_F(SimTplTest, ANotifyReturningAtAnotherTplIsRecorded) {
  EFI_EVENT Event = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RaiseAndForget, &P, &Event), EFI_SUCCESS);
  EXPECT_EQ(Bs()->SignalEvent(Event), EFI_SUCCESS);
  ExpectViolation(0, "notify", kNotify, kCallback);
  EXPECT_EQ(P.Boot().CurrentTpl(), kApplication);
}

class SimPoolTest : public SimTest::SimFixture {};

TEST_F(SimPoolTest, LiveAllocationsShowLeaksInOrderAndFreshPoolIsNotZeroed) {
  VOID *First = nullptr, *Second = nullptr, *Third = nullptr;
  const uint64_t Before = P.Boot().AllocationCount();
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 10, &First), EFI_SUCCESS);
  ASSERT_EQ(Bs()->AllocatePool(EfiLoaderData, 64, &Second), EFI_SUCCESS);
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 30, &Third), EFI_SUCCESS);
  EXPECT_EQ(Bs()->FreePool(Second), EFI_SUCCESS);
  // Memory that held zeros before it was freed is not zero when handed out again.
  VOID *Zeroed = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 64, &Zeroed), EFI_SUCCESS);
  std::memset(Zeroed, 0, 64);
  EXPECT_EQ(Bs()->FreePool(Zeroed), EFI_SUCCESS);
  VOID *Fresh = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 64, &Fresh), EFI_SUCCESS);
  const auto *Bytes = static_cast<const uint8_t *>(Fresh);
  EXPECT_TRUE(std::none_of(Bytes, Bytes + 64, [](uint8_t B) { return B == 0; }));
  EXPECT_EQ(Bs()->FreePool(Fresh), EFI_SUCCESS);
  auto Live = P.Boot().LiveAllocations();
  ASSERT_EQ(Live.size(), 2u);
  EXPECT_TRUE(Live[0].Buffer == First && Live[0].Size == 10 && Live[0].Sequence == Before + 1);
  EXPECT_TRUE(Live[1].Buffer == Third && Live[1].Size == 30 && Live[1].Sequence == Before + 3);
  Bs()->FreePool(First);
  Bs()->FreePool(Third);
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(SimPoolTest, MisuseAndInjectedExhaustionAreReported) {
  VOID *Buffer = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 16, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(Bs()->FreePool(Buffer), EFI_SUCCESS);
  EXPECT_EQ(Bs()->FreePool(Buffer), EFI_INVALID_PARAMETER);
  ASSERT_EQ(P.Boot().Misuses().size(), 1u);
  EXPECT_EQ(P.Boot().Misuses()[0].Service, "FreePool");
  int Foreign = 0;
  EXPECT_EQ(Bs()->FreePool(&Foreign), EFI_INVALID_PARAMETER);
  EXPECT_EQ(P.Boot().Misuses().size(), 2u);
  EXPECT_EQ(Bs()->AllocatePool(EfiConventionalMemory, 16, &Buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->AllocatePool(static_cast<EFI_MEMORY_TYPE>(EfiMaxMemoryType + 3), 16, &Buffer),
            EFI_INVALID_PARAMETER);
  EXPECT_TRUE(P.Boot().LiveAllocations().empty());
  P.Boot().FailAllocation(2);
  VOID *Got[3] = {nullptr, nullptr, nullptr};
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 8, &Got[0]), EFI_SUCCESS);
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 8, &Got[1]), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Got[1], nullptr);
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 8, &Got[2]), EFI_SUCCESS);
  EXPECT_EQ(P.Boot().LiveAllocations().size(), 2u);
  EXPECT_EQ(P.Boot().Calls().back().Status, EFI_SUCCESS);
  EXPECT_EQ(P.Boot().Calls()[P.Boot().Calls().size() - 2].Status, EFI_OUT_OF_RESOURCES);
  Bs()->FreePool(Got[0]);
  Bs()->FreePool(Got[2]);
}

class SimFaultInjectionTest : public SimTest::SimFixture {};

TEST_F(SimFaultInjectionTest, FailCallHitsExactlyTheNthCallOfThatService) {
  EFI_HANDLE Handle = Install(&kProtocolA, &A);
  P.Boot().FailCall("LocateProtocol", 3, EFI_DEVICE_ERROR);
  std::vector<EFI_STATUS> Answers;
  for (int I = 0; I < 5; ++I) {
    void *Interface = nullptr;
    Answers.push_back(Bs()->LocateProtocol(&kProtocolA, nullptr, &Interface));
    EXPECT_EQ(Bs()->HandleProtocol(Handle, &kProtocolA, &Interface), EFI_SUCCESS);  // counted apart
  }
  EXPECT_EQ(Answers, (std::vector<EFI_STATUS>{EFI_SUCCESS, EFI_SUCCESS, EFI_DEVICE_ERROR, EFI_SUCCESS, EFI_SUCCESS}));
  EXPECT_EQ(P.Boot().CountCalls("LocateProtocol"), 5u);
  // An injected failure does nothing else: no handle appears.
  P.Boot().FailCall("InstallProtocolInterface", 1, EFI_OUT_OF_RESOURCES);
  EFI_HANDLE None = nullptr;
  EXPECT_EQ(Bs()->InstallProtocolInterface(&None, &kProtocolA, EFI_NATIVE_INTERFACE, &A), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(None, nullptr);
  EXPECT_EQ(P.Boot().HandlesWith(kProtocolA).size(), 1u);
}

//
// Time.
//

class SimTimeTest : public SimTest::SimFixture {
 protected:
  uint32_t ReadPort(uint16_t Port, uint8_t Width) {
    HOST_PORT_SPACE *Space = P.Ports().Table();
    return Space->Read(Space->Context, Port, Width);
  }
};

TEST_F(SimTimeTest, StallAndPortAccessesAdvanceTheClockExactly) {
  ASSERT_EQ(Bs()->Stall(1234), EFI_SUCCESS);
  EXPECT_EQ(P.Clock().NowUs(), 1234u);
  EXPECT_EQ(P.Boot().TotalStallUs(), 1234u);
  EXPECT_EQ(P.Boot().CountCalls("Stall", "1234"), 1u);
  EXPECT_EQ(ReadPort(0x80, 1), 0xFFu);  // nothing decodes port 0x80
  EXPECT_EQ(ReadPort(0x80, 2), 0xFFFFu);
  EXPECT_EQ(ReadPort(0x80, 4), 0xFFFFFFFFu);
  HOST_PORT_SPACE *Space = P.Ports().Table();
  Space->Write(Space->Context, 0x80, 1, 0x1A5);
  EXPECT_EQ(P.Clock().NowUs(), 1238u);
  EXPECT_EQ(P.Boot().TotalStallUs(), 1234u);
  ASSERT_EQ(P.Ports().Log().size(), 4u);
  EXPECT_TRUE(P.Ports().Log()[3].Write);
  EXPECT_EQ(P.Ports().Log()[3].Value, 0xA5u);
  EXPECT_EQ(P.Ports().Log()[3].TimeNs, 1238000u);
}

TEST_F(SimTimeTest, PmTimerCountsAt3579545HzAndWrapsAt24Bits) {
  const uint16_t Port = Sim::AcpiPmTimer::DefaultPort;
  EXPECT_EQ(ReadPort(Port, 4), 3u);  // read at 1 us: 3.58 ticks
  Bs()->Stall(999999);
  EXPECT_EQ(ReadPort(Port, 4), 3579548u);  // at 1.000001 s
  Bs()->Stall(3999999);
  EXPECT_EQ(ReadPort(Port, 4), (5u * 3579545u + 3u) & 0xFFFFFFu);  // at 5.000001 s, wrapped
  Sim::Platform Fresh;
  Fresh.PmTimer().SetStartTicks(0xFFFFF0);
  HOST_PORT_SPACE *Space = Fresh.Ports().Table();
  EXPECT_EQ(Space->Read(Space->Context, Port, 4), 0xFFFFF3u);
  Fresh.Clock().AdvanceUs(10);
  EXPECT_EQ(Space->Read(Space->Context, Port, 4), 0x1Au);  // 42 ticks at 12 us, past the wrap
  EXPECT_EQ(Fresh.PmTimer().Value(), 0x1Au);
}

struct TimerProbe {
  Sim::Platform *Platform;
  std::vector<uint64_t> RunUs;
  std::vector<EFI_TPL> RunTpls;
};

EFIAPI VOID TimerNotify(EFI_EVENT, VOID *Context) {
  auto *Probe = static_cast<TimerProbe *>(Context);
  Probe->RunUs.push_back(Probe->Platform->Clock().NowUs());
  Probe->RunTpls.push_back(Probe->Platform->Boot().CurrentTpl());
}

class SimTimerEventTest : public SimTest::SimFixture {
 protected:
  EFI_EVENT Timer(TimerProbe &Probe, EFI_TPL Tpl) {
    Probe.Platform = &P;
    EFI_EVENT Event = nullptr;
    EXPECT_EQ(Bs()->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, Tpl, TimerNotify, &Probe, &Event), EFI_SUCCESS);
    return Event;
  }
};

TEST_F(SimTimerEventTest, TimersFireAsStallMovesTimeAndTheirNotifyWaitsForTheTpl) {
  TimerProbe Once{}, Every{};
  EFI_EVENT OnceEvent = Timer(Once, TPL_CALLBACK);
  EFI_EVENT EveryEvent = Timer(Every, TPL_NOTIFY);
  ASSERT_EQ(Bs()->SetTimer(OnceEvent, TimerRelative, 10000), EFI_SUCCESS);  // 1 ms
  ASSERT_EQ(Bs()->SetTimer(EveryEvent, TimerPeriodic, 3000), EFI_SUCCESS);  // 300 us
  for (int Step = 0; Step < 10; ++Step) {
    Bs()->Stall(100);
  }
  EXPECT_EQ(Once.RunUs, std::vector<uint64_t>{1000});
  EXPECT_EQ(Once.RunTpls, std::vector<EFI_TPL>{kCallback});
  EXPECT_EQ(Every.RunUs, (std::vector<uint64_t>{300, 600, 900}));
  EXPECT_EQ(Every.RunTpls, std::vector<EFI_TPL>(3, kNotify));
  // At TPL_CALLBACK the TPL_CALLBACK notify waits for RestoreTPL; the
  // TPL_NOTIFY one still runs on time.
  ASSERT_EQ(Bs()->SetTimer(OnceEvent, TimerRelative, 1000), EFI_SUCCESS);   // due at 1100 us
  ASSERT_EQ(Bs()->SetTimer(EveryEvent, TimerRelative, 2000), EFI_SUCCESS);  // due at 1200 us, once
  Bs()->RaiseTPL(TPL_CALLBACK);
  for (int Step = 0; Step < 5; ++Step) {
    Bs()->Stall(100);
  }
  EXPECT_EQ(Once.RunUs.size(), 1u);
  EXPECT_EQ(Every.RunUs.back(), 1200u);
  Bs()->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(Once.RunUs, (std::vector<uint64_t>{1000, 1500}));
  EXPECT_EQ(Once.RunTpls, std::vector<EFI_TPL>(2, kCallback));
  EXPECT_EQ(P.Boot().CurrentTpl(), kApplication);
  Bs()->Stall(5000);
  EXPECT_EQ(Once.RunUs.size(), 2u);
  EXPECT_EQ(Every.RunUs.size(), 4u);
  EXPECT_EQ(Bs()->CloseEvent(OnceEvent), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CloseEvent(EveryEvent), EFI_SUCCESS);
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(SimTimerEventTest, OneLongStallStopsAtEveryTimerDeadline) {
  TimerProbe Every{};
  EFI_EVENT EveryEvent = Timer(Every, TPL_CALLBACK);
  ASSERT_EQ(Bs()->SetTimer(EveryEvent, TimerPeriodic, 100000), EFI_SUCCESS);  // 10 ms
  // One 45 ms stall, as a driver's long wait: the periodic notify runs at
  // each period on the way, not once at the end.
  Bs()->Stall(45000);
  EXPECT_EQ(Every.RunUs, (std::vector<uint64_t>{10000, 20000, 30000, 40000}));
  EXPECT_EQ(P.Clock().NowUs(), 45000u);
  EXPECT_EQ(Bs()->CloseEvent(EveryEvent), EFI_SUCCESS);
}

}  // namespace
