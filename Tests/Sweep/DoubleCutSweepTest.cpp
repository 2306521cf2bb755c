// Two power cuts on the two-slot road: the first in the middle of the slot
// write, the second at sampled points of the retry (every 100th transfer and
// the first of every step; `camfw figures` tries three first cuts and every
// second one). A retry starts from whatever the ISP's boot made of the
// interrupted update: the modelled ISP falls back to the previous slot and
// writes that into its header; an ISP that leaves a failed update unsettled
// keeps ActiveSlot 0xFF.
#include <string>

#include "Sweep/SweepFixture.h"

namespace {

using Sim::BootImage;

Camfw::DoubleCutSweep Sweep(bool Unsettled) {
  Camfw::DoubleCutOptions Options;
  Options.FirstCuts = 1;
  Options.Stride = 100;
  Options.Unsettled = Unsettled;
  return Camfw::SweepDoubleCuts(SweepTest::Road("p-slot"), Options);
}

std::string Where(const Camfw::DoubleCutOutcome &O) {
  return "first " + Camfw::CutPointText(O.First) + ", second " + Camfw::CutPointText(O.Second) + " in '" +
         O.SecondStep + "'";
}

// The ISP settled the interrupted update on slot 0: the retry writes slot 1
// again and slot 0 runs after any second cut, but for the retry's own
// header-sector window (the single-cut finding once more).
TEST(DoubleCutSweepTest, AfterASettledFirstCutTheRetryLeavesTheGoodSlotAlone) {
  const Camfw::DoubleCutSweep S = Sweep(false);
  ASSERT_FALSE(S.Outcomes.empty());
  size_t InRom = 0;
  for (const Camfw::DoubleCutOutcome &O : S.Outcomes) {
    SCOPED_TRACE(Where(O));
    EXPECT_EQ(O.FirstStep.rfind("slot write", 0), 0u);
    EXPECT_EQ(O.RunsAfterFirst, BootImage::Slot0);
    EXPECT_EQ(O.ActiveSlotAtRetry, 0);
    EXPECT_EQ(O.RetryTarget, 1);
    EXPECT_FALSE(O.RetryOverwritesGoodSlot);
    if (O.RunsAfterSecond == BootImage::Rom) {
      ++InRom;
      EXPECT_EQ(O.SecondStep.rfind("header block write", 0), 0u);
      EXPECT_FALSE(O.ThirdAttemptSucceeds);
    } else {
      EXPECT_EQ(O.RunsAfterSecond, BootImage::Slot0);
      EXPECT_TRUE(O.ThirdAttemptSucceeds);
    }
  }
  EXPECT_EQ(InRom, 1u);  // the header block's first transfer, sampled as a step's first
}

// Finding: with ActiveSlot left at 0xFF the driver picks slot (0xFF + 1) % 2
// = 0, the only slot that still holds good firmware, and erases its digest
// in the new header before it writes a byte of it: a second cut from the
// header write until the ISP has settled the retry leaves nothing to boot.
TEST(DoubleCutSweepTest, AfterAnUnsettledFirstCutTheRetryOverwritesTheOnlyGoodSlot) {
  const Camfw::DoubleCutSweep S = Sweep(true);
  ASSERT_FALSE(S.Outcomes.empty());
  size_t InRom = 0;
  bool HeaderErased = false;  // the second cuts come in the retry's order
  for (const Camfw::DoubleCutOutcome &O : S.Outcomes) {
    SCOPED_TRACE(Where(O));
    EXPECT_EQ(O.RunsAfterFirst, BootImage::Slot0);
    EXPECT_EQ(O.ActiveSlotAtRetry, 0xFF);
    EXPECT_EQ(O.RetryTarget, 0);
    EXPECT_TRUE(O.RetryOverwritesGoodSlot);
    HeaderErased = HeaderErased || O.SecondStep.rfind("header sector erase", 0) == 0;
    if (!HeaderErased) {
      EXPECT_EQ(O.RunsAfterSecond, BootImage::Slot0);
    }
    if (O.SecondStep.rfind("slot write", 0) == 0 || O.SecondStep.rfind("slot erase", 0) == 0) {
      EXPECT_EQ(O.RunsAfterSecond, BootImage::Rom);
      EXPECT_EQ(O.PresenceAfterSecond, Camfw::Presence::Recovery);
    }
    InRom += O.RunsAfterSecond == BootImage::Rom;
  }
  EXPECT_TRUE(HeaderErased);
  EXPECT_GE(InRom, 5u);
}

}  // namespace
