// The power cut at extension-unit transfers of each road's update, the whole
// job on the simulated machine (normal boot, the flash-update boot cut short,
// normal boot, the update again, the boots after it). Every road is sampled
// (every 40th transfer, every 150th on the two-slot roads, the first of every
// step, every restart, and the transfers around the places where the road's
// guarantee changes);
// `camfw figures` runs every cut point.
//
// What holds on every road: the cut strikes, nothing misuses the boot
// services, the camera comes back either under its own identity running its
// old or its new firmware, or in its ROM under the recovery identity; the
// repeated update reaches exactly the cameras discovery can find and then
// succeeds. What each road's design promises is checked where it holds, and
// where it does not the test pins the finding (the cut points that lose the
// camera or its data), so that a change in either direction shows.
#include <string>
#include <vector>

#include "Sweep/SweepFixture.h"

namespace {

using Camfw::CutOutcome;
using Camfw::Presence;
using Sim::BootImage;
using SweepTest::CarriedOut;
using SweepTest::Where;

std::vector<CutOutcome> Sweep(const std::string &Key, size_t Stride, const std::vector<uint64_t> &Boundaries) {
  std::vector<CutOutcome> Outcomes;
  for (const Camfw::CutPoint &Cut : SweepTest::Sample(SweepTest::Clean(Key), Stride, Boundaries)) {
    Outcomes.push_back(Camfw::RunCutJob(SweepTest::Road(Key), SweepTest::Clean(Key), Cut));
  }
  return Outcomes;
}

// What must hold whatever the road.
void ExpectOfEveryCut(const Camfw::SweepRoad &Road, const CutOutcome &O) {
  SCOPED_TRACE(Where(O));
  EXPECT_TRUE(O.Struck);
  EXPECT_EQ(O.Misuses, 0u);
  ASSERT_NE(O.PresenceAfterCut, Presence::Other);
  if (O.PresenceAfterCut == Presence::Own) {
    // The firmware it had, the new one, or the factory's (the bank road's
    // base image).
    const uint16_t Bcd = O.IdentityAfterCut.BcdDevice;
    EXPECT_TRUE(Bcd == Road.OldBcd || Bcd == Road.NewBcd || Bcd == Road.Profile.BcdDevice) << std::hex << Bcd;
    EXPECT_TRUE(O.PublishedAfterCut);
  } else {
    EXPECT_EQ(O.RunsAfterCut, BootImage::Rom);
    EXPECT_FALSE(O.PublishedAfterCut);
  }
  // The repeated update reaches exactly the cameras discovery finds, and
  // then it succeeds.
  EXPECT_EQ(O.RetryReached, O.PresenceAfterCut == Presence::Own);
  if (O.RetryReached) {
    EXPECT_TRUE(O.RetrySucceeded);
  }
  // A camera in its ROM still takes the update through its extension unit:
  // found by the recovery identity, it is mended.
  EXPECT_EQ(O.RecoveryIdTried, O.PresenceAfterCut == Presence::Recovery);
  if (O.RecoveryIdTried) {
    EXPECT_TRUE(O.RecoveryIdRecovers);
  }
}

class PowerCutSweepTest : public ::testing::TestWithParam<const char *> {};

// The whole-image roads erase the image, write a blank first chunk (or leave
// it erased), write the rest, read it back and write the first chunk last:
// from the erase of sector 0 until that last write the camera boots its ROM,
// before it the old image and after it the new one, never a half-written
// image. Finding: the ROM presents the recovery identity, which discovery
// does not look for, so the repeated update never reaches the camera.
TEST_P(PowerCutSweepTest, WholeImageRoadsRunTheOldImageTheRomOrTheNewImage) {
  const std::string Key = GetParam();
  const Camfw::CleanJob &Job = SweepTest::Clean(Key);
  const auto Erases = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::EraseAt(R, 0); });
  const auto FirstChunk = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::DataPhaseAt(R, 0); });
  ASSERT_EQ(Erases.size(), 1u);
  ASSERT_FALSE(FirstChunk.empty());
  const uint64_t Erase = Erases[0], Last = FirstChunk.back();

  size_t InRom = 0;
  for (const CutOutcome &O : Sweep(Key, 40, {Erase, Last})) {
    ExpectOfEveryCut(SweepTest::Road(Key), O);
    SCOPED_TRACE(Where(O));
    const uint64_t Done = CarriedOut(O.Cut);
    if (Done >= Erase && Done < Last) {
      ++InRom;
      EXPECT_EQ(O.RunsAfterCut, BootImage::Rom);
      EXPECT_FALSE(O.Recovered());  // the finding
    } else {
      EXPECT_EQ(O.PresenceAfterCut, Presence::Own);
      EXPECT_EQ(O.IdentityAfterCut.BcdDevice, Done >= Last ? SweepTest::Road(Key).NewBcd : SweepTest::Road(Key).OldBcd);
      EXPECT_TRUE(O.Recovered());
      EXPECT_TRUE(O.FlashAsClean);
    }
  }
  EXPECT_GE(InRom, 4u);
}

INSTANTIATE_TEST_SUITE_P(Roads, PowerCutSweepTest, ::testing::Values("g", "n-whole", "p-fallback"),
                         [](const auto &Info) {
                           std::string Name = Info.param;
                           Name.erase(std::remove(Name.begin(), Name.end(), '-'), Name.end());
                           return Name;
                         });

// The bank road keeps the base image and the camera's identity throughout:
// every cut leaves a camera that discovery finds and the repeated update
// mends. Finding: the camera's own data block (in the bank's sector 0xB000)
// is carried only from a bank the header names; from the erase of that
// sector until the header is rewritten, a cut loses it for good.
TEST(PowerCutBankSweepTest, TheCameraStaysReachableButItsDataIsLostFromItsSectorsEraseToTheHeaderRewrite) {
  const Camfw::CleanJob &Job = SweepTest::Clean("n-bank");
  const Camfw::SweepRoad &Road = SweepTest::Road("n-bank");
  const auto DataErase = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::EraseAt(R, 0xB000); });
  const auto HeaderWrite = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::DataPhaseAt(R, 0x7000); });
  ASSERT_EQ(DataErase.size(), 1u);
  ASSERT_FALSE(HeaderWrite.empty());
  size_t Lost = 0;
  for (const CutOutcome &O : Sweep("n-bank", 40, {DataErase[0], HeaderWrite.back()})) {
    ExpectOfEveryCut(Road, O);
    SCOPED_TRACE(Where(O));
    EXPECT_EQ(O.PresenceAfterCut, Presence::Own);
    EXPECT_TRUE(O.RetrySucceeded);
    const uint64_t Done = CarriedOut(O.Cut);
    const bool Window = Done >= DataErase[0] && Done < HeaderWrite.back();
    EXPECT_EQ(O.DeviceDataKept, !Window);
    EXPECT_EQ(O.FlashAsClean, !Window);
    Lost += !O.DeviceDataKept;
  }
  EXPECT_GE(Lost, 4u);
}

// The two-slot roads promise a bootable slot at every moment: the new
// firmware goes into the slot that does not run, under a header that keeps
// the running slot as the previous one. Finding: the header sector is
// erased and programmed again; between the erase and the first chunk's data
// there is no header, the ROM runs under the recovery identity, and the
// repeated update never reaches the camera. The header-block road passes
// that window twice.
TEST(PowerCutSlotSweepTest, TheTwoSlotRoadsKeepABootableSlotExceptWhileTheHeaderSectorIsErased) {
  for (const char *Key : {"p-slot", "p-header"}) {
    SCOPED_TRACE(Key);
    const Camfw::CleanJob &Job = SweepTest::Clean(Key);
    const auto Erases = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::EraseAt(R, 0); });
    const auto Chunks = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::DataPhaseAt(R, 0); });
    ASSERT_EQ(Erases.size(), std::string(Key) == "p-slot" ? 1u : 2u);
    std::vector<std::pair<uint64_t, uint64_t>> Windows;
    std::vector<uint64_t> Boundaries;
    for (uint64_t E : Erases) {
      const auto Next = std::upper_bound(Chunks.begin(), Chunks.end(), E);
      ASSERT_NE(Next, Chunks.end());
      Windows.emplace_back(E, *Next);
      Boundaries.insert(Boundaries.end(), {E, *Next});
    }
    size_t Headerless = 0;
    for (const CutOutcome &O : Sweep(Key, 150, Boundaries)) {
      ExpectOfEveryCut(SweepTest::Road(Key), O);
      SCOPED_TRACE(Where(O));
      const uint64_t Done = CarriedOut(O.Cut);
      bool Window = false;
      for (const auto &W : Windows) {
        Window = Window || (Done >= W.first && Done < W.second);
      }
      if (Window) {
        ++Headerless;
        EXPECT_EQ(O.RunsAfterCut, BootImage::Rom);
      } else {
        EXPECT_TRUE(O.RunsAfterCut == BootImage::Slot0 || O.RunsAfterCut == BootImage::Slot1)
            << Camfw::BootImageText(O.RunsAfterCut);
        EXPECT_TRUE(O.Recovered());
      }
    }
    EXPECT_GE(Headerless, Windows.size());
  }
}

// Finding on the header-block road: the header's new version is in the
// block's first chunk, written before the rest of the block. A cut after
// that chunk leaves the rest erased, and the repeated update, seeing the new
// version, does not write the block again: the camera runs the new firmware
// with the header block's tail erased for good.
TEST(PowerCutSlotSweepTest, ACutInsideTheHeaderBlockLeavesItsTailErasedForGood) {
  const Camfw::CleanJob &Job = SweepTest::Clean("p-header");
  const auto Erases = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::EraseAt(R, 0); });
  const auto Chunks = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::DataPhaseAt(R, 0); });
  const auto Second = SweepTest::Requests(Job, [](const auto &R) { return SweepTest::DataPhaseAt(R, 0x100); });
  ASSERT_FALSE(Erases.empty());
  ASSERT_FALSE(Second.empty());
  const uint64_t FirstChunk = *std::upper_bound(Chunks.begin(), Chunks.end(), Erases[0]);
  const uint64_t SecondChunk = *std::upper_bound(Second.begin(), Second.end(), FirstChunk);
  const CutOutcome O = Camfw::RunCutJob(SweepTest::Road("p-header"), Job,
                                        {SecondChunk, Sim::PowerCutMoment::BeforeTransfer});
  EXPECT_TRUE(O.Recovered());
  EXPECT_FALSE(O.FlashAsClean);
  // Only the block's tail, past the first chunk, differs: the image's bytes
  // (its 95 27 at 0x100 among them) never arrive.
  ASSERT_EQ(O.Differs.size(), 1u);
  EXPECT_GE(O.Differs[0].First, 0x100u);
  EXPECT_LT(O.Differs[0].Last, 0x1000u);
  EXPECT_EQ(Job.FinalFlash[0x100], 0x95);
}

}  // namespace
