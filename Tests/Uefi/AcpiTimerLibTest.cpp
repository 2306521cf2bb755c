// AcpiTimerLib against the simulated PM timer: delays measured in virtual
// time, counter wrap-around, and the counter's properties.
#include <cstdint>
#include <memory>

#include <Library/TimerLib.h>

#include "UefiLibraryFixture.h"

namespace {

using AcpiTimerLibTest = UefiLibraryTest;

constexpr uint16_t kPmTimerPort = Sim::AcpiPmTimer::DefaultPort;

// Virtual microseconds that Delay takes.
template <typename Fn>
uint64_t ElapsedUs(Sim::Platform &Platform, Fn Delay) {
  const uint64_t Start = Platform.Clock().NowNs();
  Delay();
  return (Platform.Clock().NowNs() - Start) / 1000;
}

TEST_F(AcpiTimerLibTest, MicroSecondDelayWaitsTheRequestedTime) {
  P().Ports().ClearLog();
  uint64_t Waited = ElapsedUs(P(), [] { EXPECT_EQ(MicroSecondDelay(15000), 15000u); });
  EXPECT_GE(Waited, 15000u);
  EXPECT_LE(Waited, 15003u);
  // Only the timer is touched, always as a 32-bit read.
  for (const Sim::PortAccess &Access : P().Ports().Log()) {
    ASSERT_FALSE(Access.Write);
    ASSERT_EQ(Access.Port, kPmTimerPort);
    ASSERT_EQ(Access.Width, 4);
  }
}

TEST_F(AcpiTimerLibTest, DelayAcrossTheCounterWrapIsNotCutShort) {
  // The counter passes 0xFFFFFF -> 0 about 280 us into the delay.
  P().PmTimer().SetStartTicks(0xFFFFFF - 1000);
  uint64_t Waited = ElapsedUs(P(), [] { MicroSecondDelay(15000); });
  EXPECT_GE(Waited, 15000u);
  EXPECT_LE(Waited, 15003u);
}

TEST_F(AcpiTimerLibTest, DelayLongerThanACounterPeriodCountsEveryWrap) {
  // One counter period is about 4.69 s; ten seconds cross two wraps. Reads
  // cost 1 ms each here so that the test makes only ten thousand of them.
  P().Ports().SetAccessCostNs(1000000);
  uint64_t Waited = ElapsedUs(P(), [] { MicroSecondDelay(10000000); });
  EXPECT_GE(Waited, 10000000u);
  EXPECT_LE(Waited, 10002000u);
}

TEST_F(AcpiTimerLibTest, ZeroDelayReturnsAtOnce) {
  P().Ports().ClearLog();
  EXPECT_EQ(MicroSecondDelay(0), 0u);
  EXPECT_LE(P().Ports().Log().size(), 1u);
  EXPECT_EQ(NanoSecondDelay(0), 0u);
  EXPECT_LE(P().Ports().Log().size(), 2u);
}

TEST_F(AcpiTimerLibTest, NanoSecondDelayUsesTheSameCounter) {
  uint64_t Waited = ElapsedUs(P(), [] { EXPECT_EQ(NanoSecondDelay(2500000), 2500000u); });
  EXPECT_GE(Waited, 2500u);
  EXPECT_LE(Waited, 2503u);
}

TEST_F(AcpiTimerLibTest, CounterIsTheTimersLowTwentyFourBits) {
  P().PmTimer().SetStartTicks(0x123456);
  P().Clock().AdvanceUs(1000);
  const uint64_t Before = P().PmTimer().Value();
  const uint64_t Read = GetPerformanceCounter();
  // The read itself takes one access of virtual time (about 4 ticks).
  EXPECT_GE(Read, Before);
  EXPECT_LE(Read, Before + 4);

  // A timer that reports its upper eight bits set (a 32-bit counter, or
  // undefined bits) must not disturb the counter or a delay.
  P().Ports().Map(
      kPmTimerPort, 4,
      [this](uint16_t, uint8_t) -> uint32_t { return 0xA5000000u | P().PmTimer().Value(); }, nullptr,
      "NoisyPmTimer");
  EXPECT_LE(GetPerformanceCounter(), 0xFFFFFFu);
  P().PmTimer().SetStartTicks(0xFFFFFF - 100);
  uint64_t Waited = ElapsedUs(P(), [] { MicroSecondDelay(1000); });
  EXPECT_GE(Waited, 1000u);
  EXPECT_LE(Waited, 1003u);
}

// The bound of a wait, in counter reads: 32 per tick asked for, plus 32
// (AcpiTimerLib.cpp explains the factor). 100 us are 357 ticks.
constexpr uint64_t kTicksIn100Us = 357;
constexpr uint64_t kMaxReadsFor100Us = (kTicksIn100Us + 1) * 32;

TEST_F(AcpiTimerLibTest, DelayOnATimerThatNeverMovesEnds) {
  // A wrong port reads all ones and never changes. The reader starts moving
  // only after far more reads than the bound allows, so a wait without a
  // bound ends too (instead of hanging the test) and fails the count below.
  // (The count is shared with the mapping, which outlives this function.)
  auto Reads = std::make_shared<uint64_t>(0);
  P().Ports().Map(
      kPmTimerPort, 4,
      [Reads](uint16_t, uint8_t) -> uint32_t {
        ++*Reads;
        return *Reads < 4 * kMaxReadsFor100Us ? 0xFFFFFFFFu : static_cast<uint32_t>(*Reads);
      },
      nullptr, "StuckPmTimer");
  EXPECT_EQ(MicroSecondDelay(100), 100u);
  EXPECT_LE(*Reads, kMaxReadsFor100Us);
  EXPECT_GE(*Reads, kTicksIn100Us * 16);

  *Reads = 0;
  EXPECT_EQ(NanoSecondDelay(100000), 100000u);
  EXPECT_LE(*Reads, kMaxReadsFor100Us);
}

TEST_F(AcpiTimerLibTest, TimerSlowerThanAnyPortReadIsNotCutShort) {
  // One tick every 16 reads: a read would have to take 17 ns for this, far
  // quicker than any port read, yet the wait still counts every tick.
  auto Reads = std::make_shared<uint64_t>(0);
  P().Ports().Map(
      kPmTimerPort, 4,
      [Reads](uint16_t, uint8_t) -> uint32_t { return static_cast<uint32_t>((*Reads)++ / 16); }, nullptr,
      "SlowPmTimer");
  MicroSecondDelay(100);
  EXPECT_GE((*Reads - 1) / 16, kTicksIn100Us);
  EXPECT_LE((*Reads - 1) / 16, kTicksIn100Us + 1);
}

TEST(AcpiTimerLibConversion, TicksToNanoSecondsTruncatesAndDoesNotOverflow) {
  EXPECT_EQ(GetTimeInNanoSecond(3579545), 1000000000u);
  EXPECT_EQ(GetTimeInNanoSecond(53693), 14999951u);  // truncated, not rounded
  // Ten million seconds of ticks: the naive product would overflow 64 bits.
  EXPECT_EQ(GetTimeInNanoSecond(35795450000000ull), 10000000000000000ull);
}

}  // namespace
