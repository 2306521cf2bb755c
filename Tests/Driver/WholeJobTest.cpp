// The whole job on the simulated machine, one camera generation per road:
// boot 1 publishes the camera's version, boot 2 applies a capsule and resets,
// boot 3 publishes the version of the firmware the camera now runs. Then the
// roads that restart the ISP in the middle of an update, on a bus that
// enumerates as EDK II's does (no handle changes while the notification
// runs), with what that does to them recorded.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Sim/Camera/Camera.h"
#include "Sim/Capsule.h"
#include "Sim/Scenario.h"
#include "Sim/UsbClassDevices.h"
#include "Support/BreachingDriver.h"
#include "Update/SlotImages.h"

namespace {

const EFI_GUID kCameraClass = {0xa6a82337, 0x904e, 0x4742, {0x9e, 0xca, 0xcf, 0x8e, 0x7d, 0xe4, 0xde, 0x17}};
constexpr uint8_t kPort = 4;

void PutDescriptor(std::vector<uint8_t> &Image, size_t At, uint16_t Bcd) {
  const uint8_t Bytes[] = {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xC9, 0x30, 0x4A, 0x00, uint8_t(Bcd), uint8_t(Bcd >> 8)};
  std::copy(Bytes, Bytes + sizeof(Bytes), Image.begin() + At);
}

std::vector<uint8_t> Distinct(size_t Size, unsigned Seed) {
  std::vector<uint8_t> Image(Size);
  for (size_t K = 0; K < Size; ++K) {
    Image[K] = uint8_t((K * 31 + K / 509 + Seed) & 0xFF);
  }
  return Image;
}

// A bank image for the banked generation: "DZ" at 0x100, its identity at
// 0x200 (byte 0xFA = 1: the first descriptor).
std::vector<uint8_t> BankImage(uint16_t Bcd) {
  std::vector<uint8_t> Image = Distinct(0x6000, 3);
  Image[0x100] = 'D';
  Image[0x101] = 'Z';
  Image[0xFA] = 1;
  PutDescriptor(Image, 0x200, Bcd);
  return Image;
}

// A base-area image for the banked generation's whole-image road.
std::vector<uint8_t> BaseImage(uint16_t Bcd) {
  std::vector<uint8_t> Image = Distinct(0x5000, 5);
  Image[0x100] = 'C';
  Image[0x101] = 'Y';
  PutDescriptor(Image, 0x300, Bcd);
  return Image;
}

// A whole image for the older generations: a head that is neither erased
// nor the blank mark, and the identity.
std::vector<uint8_t> WholeImage(uint16_t Bcd) {
  std::vector<uint8_t> Image = Distinct(0x6000, 7);
  Image[0] = 0x41;
  Image[1] = 0x42;
  PutDescriptor(Image, 0x400, Bcd);
  return Image;
}

// A signed two-slot image (format 3, header version 0x10) with its trailer.
std::vector<uint8_t> SignedSlotImage(uint16_t Bcd, size_t Chunk) {
  SlotImages::Image Spec;
  Spec.Bcd = Bcd;
  std::vector<uint8_t> Body = SlotImages::Format3(Spec);
  const TestSigner::Trailer Trailer = SlotImages::TrailerFor(Body, 0x3000, Chunk);
  Body.insert(Body.end(), Trailer.begin(), Trailer.end());
  return Body;
}

class WholeJobTest : public ::testing::Test {
 protected:
  // Boot 1 without a capsule; then the capsule; boots until the machine
  // settles. Returns every boot's report, the first one included.
  std::vector<Sim::BootReport> Job(const Sim::CameraProfile &Profile, const std::vector<uint8_t> &Payload,
                                   Sim::UsbBus::HotPlugMode Mode = Sim::UsbBus::HotPlugMode::Immediate,
                                   const std::vector<uint8_t> &Firmware = {}) {
    Cam = std::make_shared<Sim::Camera>(Profile);
    // Firmware the camera holds from address 0 before the first boot.
    std::copy(Firmware.begin(), Firmware.end(), Cam->Flash().begin());
    M.UsbPorts[kPort] = Cam;
    Sim::Scenario S(M);
    Options.PlatformHook = true;
    Options.ProgressDisplay = true;
    Options.Prepare = [this, Mode](Sim::Platform &P) {
      P.Usb().SetHotPlugMode(Mode);
      if (ExtraPrepare) {
        ExtraPrepare(P);
      }
    };
    std::vector<Sim::BootReport> Boots = {S.Boot(Options)};
    M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, CAPSULE_FLAGS_PERSIST_ACROSS_RESET, Payload));
    for (const Sim::BootReport &R : S.BootUntilSettled(Options, 3)) {
      Boots.push_back(R);
    }
    // Every boot's TPL breaches and boot-service misuses: any one fails the
    // job, as it would stop a DEBUG firmware.
    Breaches = Misuses = 0;
    for (const Sim::BootReport &R : Boots) {
      Breaches += R.TplViolations;
      Misuses += R.Misuses;
    }
    return Boots;
  }

  static uint32_t Version(const Sim::BootReport &R) { return R.Esrt.empty() ? 0xFFFFFFFF : R.Esrt.front().FwVersion; }

  // The usual outcome: old version, a reset after the update, the new
  // version, nothing left pending.
  void ExpectUpdated(const std::vector<Sim::BootReport> &Boots, uint16_t Old, uint16_t New) {
    ASSERT_EQ(Boots.size(), 3u);
    EXPECT_EQ(Version(Boots[0]), Old);
    EXPECT_FALSE(Boots[0].EndedInReset());
    EXPECT_EQ(Boots[1].BootMode, BOOT_ON_FLASH_UPDATE);
    ASSERT_TRUE(Boots[1].EndedInReset());
    EXPECT_EQ(Boots[1].Reset->Type, EfiResetCold);
    EXPECT_GE(Boots[1].ProgressSteps, 100u);
    EXPECT_EQ(Version(Boots[2]), New);
    EXPECT_FALSE(Boots[2].EndedInReset());
    EXPECT_TRUE(M.PendingCapsules.empty());
  }

  // Whatever a job shows, a TPL breach or a boot-service misuse in any of
  // its boots fails it (but for the test that plants one).
  void TearDown() override {
    if (!BreachPlanted) {
      EXPECT_EQ(Breaches, 0u);
      EXPECT_EQ(Misuses, 0u);
    }
  }

  Sim::Machine M;
  Sim::BootOptions Options;
  std::shared_ptr<Sim::Camera> Cam;
  std::function<void(Sim::Platform &)> ExtraPrepare;  // more platform set-up for each boot
  bool BreachPlanted = false;
  size_t Breaches = 0;
  size_t Misuses = 0;
};

TEST_F(WholeJobTest, WholeImageGeneration) {
  const std::vector<uint8_t> Image = WholeImage(0x0305);
  ExpectUpdated(Job(Sim::CameraProfile::ForIspKind('k'), Image), 0x0100, 0x0305);
  // The image as patched (byte 2: the command set) is what the flash holds.
  std::vector<uint8_t> Patched = Image;
  Patched[2] = Cam->Flash()[2];
  EXPECT_EQ(std::vector<uint8_t>(Cam->Flash().begin(), Cam->Flash().begin() + Image.size()), Patched);
}

TEST_F(WholeJobTest, BankedGenerationIntoItsBank) {
  ExpectUpdated(Job(Sim::CameraProfile::ForIspKind('n'), BankImage(0x0412)), 0x0100, 0x0412);
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Bank);
}

TEST_F(WholeJobTest, BankedGenerationWholeImage) {
  // An ISP that does not run from a bank takes a base image whole.
  Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('n');
  Profile.BootRegisters[0x20D9] = 0x00;
  ExpectUpdated(Job(Profile, BaseImage(0x0433)), 0x0100, 0x0433);
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Base);
}

TEST_F(WholeJobTest, TwoSlotGenerationIntoItsFreeSlot) {
  const Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('p');
  ExpectUpdated(Job(Profile, SignedSlotImage(0x0521, Profile.ChunkSize)), 0x0100, 0x0521);
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Slot1);
}

// A legacy-layout image (95 27 at 0x100) whose tail-record word is erased:
// the slot road's whole-image fallback appends its digest record.
std::vector<uint8_t> LegacyImage(uint16_t Bcd, uint32_t TailWord) {
  std::vector<uint8_t> Image = Distinct(0x4000, 9);
  Image[0x100] = 0x95;
  Image[0x101] = 0x27;
  SlotImages::PutBe32(Image, 0x120, 0x10000);
  SlotImages::PutBe32(Image, 0x124, TailWord);
  SlotImages::PutBe32(Image, 0x12C, 0);
  PutDescriptor(Image, 0x600, Bcd);
  return Image;
}

TEST_F(WholeJobTest, TwoSlotGenerationWithoutAHeaderTakesTheWholeImage) {
  // A two-slot camera still running a legacy-layout image, which has no
  // two-slot header: the whole new image goes in from address 0 with its
  // digest record appended, and runs after the reset.
  Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('p');
  Profile.FactoryImage = false;
  const std::vector<uint8_t> Image = LegacyImage(0x0530, 0xFFFFFFFF);
  // Two-slot payloads end with a 160-byte trailer; this one signs nothing.
  std::vector<uint8_t> Payload = Image;
  Payload.insert(Payload.end(), 160, 0x00);
  ExpectUpdated(Job(Profile, Payload, Sim::UsbBus::HotPlugMode::Immediate, LegacyImage(0x0100, 0x00804006)), 0x0100,
                0x0530);
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Legacy);
  // The record follows the image: "PREFIX" at its end.
  EXPECT_EQ(std::string(Cam->Flash().begin() + Image.size(), Cam->Flash().begin() + Image.size() + 6), "PREFIX");
}

// On a bus that enumerates as EDK II's does, a camera restarted inside the
// notification is not found again: its old handles stay, their transfers
// time out, and the update fails. The capsule step still records "Setup"
// and resets; the camera keeps the firmware it ran.
TEST_F(WholeJobTest, ClassDevicesOnTheBusAreLeftToThePlatform) {
  // A keyboard and a stick enumerate before the camera: the job runs as
  // ever, and no class driver is started by the camera's discovery.
  size_t Starts = 0;
  M.UsbPorts[1] = Sim::UsbClassDevice::Keyboard();
  M.UsbPorts[2] = Sim::UsbClassDevice::MassStorage();
  const Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('p');
  size_t Steps = 0;
  Options.AfterStep = [&](const std::string &, Sim::Platform &P, size_t) {
    ++Steps;
    Starts += P.ClassDrivers().Starts().size();
  };
  ExpectUpdated(Job(Profile, SignedSlotImage(0x0533, Profile.ChunkSize)), 0x0100, 0x0533);
  EXPECT_GT(Steps, 0u);
  EXPECT_EQ(Starts, 0u);
}

TEST_F(WholeJobTest, ABreachInAnyBootFailsTheJob) {
  // The same job with a platform video driver that allocates pool at
  // TPL_HIGH_LEVEL when discovery connects the camera: the update itself
  // succeeds, and the breaches are what the job reports.
  ExtraPrepare = TestSupport::RegisterBreachingVideoDriver;
  BreachPlanted = true;
  const std::vector<Sim::BootReport> Boots = Job(Sim::CameraProfile::ForIspKind('k'), WholeImage(0x0305));
  ASSERT_EQ(Boots.size(), 3u);
  EXPECT_EQ(Version(Boots[2]), 0x0305u);
  EXPECT_GE(Breaches, 3u);  // at least one in each boot
  EXPECT_EQ(Misuses, 0u);
}

TEST_F(WholeJobTest, AReenumeratingBankedIspIsLostOnAnEdkIiBus) {
  const std::vector<Sim::BootReport> Boots =
      Job(Sim::CameraProfile::ForIspKind('n'), BankImage(0x0412), Sim::UsbBus::HotPlugMode::Enumerated);
  ASSERT_EQ(Boots.size(), 3u);
  ASSERT_TRUE(Boots[1].EndedInReset());
  EXPECT_EQ(Version(Boots[2]), 0x0100u);
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Base);
  EXPECT_EQ(Cam->Flash()[0x8100], 0xFF);  // no bank written
  // Three re-find attempts, each through a stale handle whose transfers
  // time out after 3 s.
  EXPECT_GT(Boots[1].EndTimeNs, 3ull * 3000000000ull);
}

TEST_F(WholeJobTest, ATwoSlotHeaderWriteLosesTheCameraOnAnEdkIiBus) {
  const Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('p');
  const std::vector<Sim::BootReport> Boots =
      Job(Profile, SignedSlotImage(0x0521, Profile.ChunkSize), Sim::UsbBus::HotPlugMode::Enumerated);
  ASSERT_EQ(Boots.size(), 3u);
  ASSERT_TRUE(Boots[1].EndedInReset());
  // The header block was rewritten (the newer version) before the restart;
  // the slot update never ran, so slot 0 still runs.
  EXPECT_EQ(SlotImages::Be32(Cam->Flash().data() + 2), 0x10u);
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Slot0);
  EXPECT_EQ(Version(Boots[2]), 0x0100u);
}

}  // namespace
