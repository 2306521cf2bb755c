// Capsule discovery and application on whole simulated boots: which
// capsules are applied, the platform hook, the embedded-controller bit with
// its bounded waits, "Setup" at its offsets, the cold reset, and capsules
// whose sizes cannot be trusted. No camera is plugged in unless a case needs
// one: the update then fails, and the application goes on regardless.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include <Guid/FmpCapsule.h>

#include "ImageParsing.h"
#include "Sim/Capsule.h"
#include "Sim/Scenario.h"
#include "Sim/SetupVariable.h"
#include "Sim/UsbClassDevices.h"

namespace {

const EFI_GUID kCameraClass = {0xa6a82337, 0x904e, 0x4742, {0x9e, 0xca, 0xcf, 0x8e, 0x7d, 0xe4, 0xde, 0x17}};
const EFI_GUID kSystemFirmware = {0x12345678, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};
const EFI_GUID kFmpCapsule = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
constexpr uint32_t kPersist = CAPSULE_FLAGS_PERSIST_ACROSS_RESET;

void PutLe16(std::vector<uint8_t> &B, size_t At, uint16_t V) {
  B[At] = uint8_t(V);
  B[At + 1] = uint8_t(V >> 8);
}

// An image whose version data the capsule step records: "CY" at 0x100 and
// 0x7000 with a version block ("KVEL" at 0x2000), bcdDevice Bcd, and 32
// version bytes at 0x706C (some with the top bit set).
std::vector<uint8_t> VersionedImage(uint16_t Bcd, uint8_t Seed) {
  std::vector<uint8_t> I(0x8000, 0x00);
  I[0x100] = 'C';
  I[0x101] = 'Y';
  I[0x7000] = 'C';
  I[0x7001] = 'Y';
  std::memcpy(I.data() + 0x2000, "KVEL", 4);
  PutLe16(I, 0x2088, 0x30C9);
  PutLe16(I, 0x208A, 0x004A);
  PutLe16(I, 0x208C, Bcd);
  for (size_t K = 0; K < 32; ++K) {
    I[0x706C + K] = uint8_t(Seed + K * 9);
  }
  I[0x706C + 5] = 0x80;
  return I;
}

class CapsuleApplicationTest : public ::testing::Test {
 protected:
  std::vector<Sim::BootReport> Run(const Sim::BootOptions &Options = Hooked(), unsigned MaxBoots = 1) {
    Sim::Scenario S(M);
    std::vector<Sim::BootReport> Reports = S.BootUntilSettled(Options, MaxBoots);
    Last = Reports.back();
    if (S.HasBooted()) {
      HookCalls = S.Current().Hook().Calls();
      Ec = S.Current().Ec().Transactions();
      EcViolations = S.Current().Ec().Violations().size();
    }
    return Reports;
  }

  static Sim::BootOptions Hooked() {
    Sim::BootOptions O;
    O.PlatformHook = true;
    O.ProgressDisplay = true;
    return O;
  }

  std::vector<uint8_t> SetupBytes() {
    const Sim::Variable *V = M.Variables.Find(Sim::kSetupVariableName, Sim::kSetupVariableGuid);
    return V ? V->Data : std::vector<uint8_t>{};
  }

  // The "Setup" bytes the capsule step writes for an image.
  static void ExpectVersionRecorded(const std::vector<uint8_t> &Setup, const std::vector<uint8_t> &Image) {
    FW_VERSION_INFO Info{};
    ASSERT_EQ(GetImageVersionInfo(Image.data(), Image.size(), &Info), EFI_SUCCESS);
    ASSERT_NE(Info.DeviceVersion, 0);
    ASSERT_GE(Setup.size(), 2063u);
    for (size_t At : {size_t(1979), size_t(1981)}) {
      EXPECT_EQ(Setup[At] | Setup[At + 1] << 8, Info.DeviceVersion) << At;
    }
    for (size_t At : {size_t(1999), size_t(2031)}) {
      EXPECT_EQ(std::vector<uint8_t>(Setup.begin() + At, Setup.begin() + At + 32),
                std::vector<uint8_t>(Info.VersionData, Info.VersionData + 32))
          << At;
    }
  }

  Sim::Machine M;
  Sim::BootReport Last;
  std::vector<Sim::HookCall> HookCalls;
  std::vector<Sim::EcTransaction> Ec;
  size_t EcViolations = 0;
};

TEST_F(CapsuleApplicationTest, OnlyCameraCapsulesThatPersistAreApplied) {
  // A system-firmware capsule, one with the FMP GUID (accepted, but no
  // camera's class), and a camera capsule without the persist flag: none is
  // applied, nothing is written, no reset.
  const std::vector<uint8_t> Image = VersionedImage(0x0210, 1);
  M.PendingCapsules.push_back(Sim::MakeCapsule(kSystemFirmware, kPersist, Image));
  M.PendingCapsules.push_back(Sim::MakeCapsule(kFmpCapsule, kPersist, Image));
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, 0, Image));
  Run();
  EXPECT_EQ(Last.BootMode, BOOT_ON_FLASH_UPDATE);
  EXPECT_EQ(Last.Capsules, 3u);
  EXPECT_FALSE(Last.EndedInReset());
  EXPECT_TRUE(HookCalls.empty());
  EXPECT_TRUE(Ec.empty());
  EXPECT_EQ(SetupBytes(), Sim::DefaultSetupVariable(Sim::kSetupVariableSize));

  // Not a flash-update boot: the camera capsule's HOB is not even looked at.
  Sim::Machine Normal;
  M = std::move(Normal);
  Sim::Scenario S(M);
  Sim::BootOptions O = Hooked();
  O.Prepare = [&](Sim::Platform &P) { P.Hobs().AddCapsule(Sim::MakeCapsule(kCameraClass, kPersist, Image)); };
  EXPECT_FALSE(S.Boot(O).EndedInReset());
  EXPECT_TRUE(S.Current().Hook().Calls().empty());
}

TEST_F(CapsuleApplicationTest, ACameraCapsulePreparesThePlatformRecordsSetupAndResets) {
  const std::vector<uint8_t> First = VersionedImage(0x0210, 1);
  const std::vector<uint8_t> Second = VersionedImage(0x0777, 100);
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, First));
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, Second));
  M.Ec.Registers[0x2B] = 0x12;

  Run();

  // The first capsule reset the machine (no camera: the update failed, the
  // application went on); the second was never applied.
  ASSERT_TRUE(Last.EndedInReset());
  EXPECT_EQ(Last.Reset->Type, EfiResetCold);
  EXPECT_FALSE(Last.Reset->ByWatchdog);
  ExpectVersionRecorded(SetupBytes(), First);
  // Bytes outside the written fields keep the platform's values.
  const std::vector<uint8_t> Default = Sim::DefaultSetupVariable(Sim::kSetupVariableSize);
  const std::vector<uint8_t> Now = SetupBytes();
  for (size_t K = 0; K < Now.size(); ++K) {
    const bool Written = (K >= 1979 && K < 1983) || (K >= 1999 && K < 2063);
    if (!Written) {
      ASSERT_EQ(Now[K], Default[K]) << K;
    }
  }

  // The hook: slots 0, 1, 2 once, outputs zeroed before each call, slot 1's
  // outputs passed to slot 2 with 1, 0, 0, TRUE.
  ASSERT_EQ(HookCalls.size(), 3u);
  for (unsigned Slot = 0; Slot < 3; ++Slot) {
    EXPECT_EQ(HookCalls[Slot].Slot, Slot);
    EXPECT_EQ(HookCalls[Slot].Output1Before, 0u);
    EXPECT_EQ(HookCalls[Slot].Output2Before, 0u);
  }
  const EFI_GUID Request = {0xd8586614, 0x3bc4, 0x40d0, {0xba, 0x79, 0x34, 0x2e, 0xff, 0x4a, 0x79, 0x1b}};
  EXPECT_EQ(std::memcmp(&HookCalls[1].Request, &Request, sizeof(Request)), 0);
  EXPECT_EQ(HookCalls[2].A, HookCalls[1].Output1);
  EXPECT_EQ(HookCalls[2].B, HookCalls[1].Output2);
  EXPECT_EQ(HookCalls[2].Value1, 1u);
  EXPECT_EQ(HookCalls[2].Value2, 0u);
  EXPECT_EQ(HookCalls[2].Value3, 0u);
  EXPECT_EQ(HookCalls[2].Flag, 1);

  // The EC: register 0x2B read as 0x12, written back as 0x52, without a
  // protocol violation; then the capsule step waited 15 ms.
  ASSERT_EQ(Ec.size(), 2u);
  EXPECT_FALSE(Ec[0].Write);
  EXPECT_EQ(Ec[0].Register, 0x2B);
  EXPECT_TRUE(Ec[1].Write);
  EXPECT_EQ(Ec[1].Value, 0x52);
  EXPECT_EQ(EcViolations, 0u);
  EXPECT_EQ(M.Ec.Registers[0x2B], 0x52);

  // The next boot has no capsule and settles.
  Run(Hooked(), 1);
  EXPECT_EQ(Last.BootMode, BOOT_WITH_FULL_CONFIGURATION);
  EXPECT_FALSE(Last.EndedInReset());
}

TEST_F(CapsuleApplicationTest, TheBitAlreadySetIsWrittenBackUnchanged) {
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, VersionedImage(0x0210, 1)));
  M.Ec.Registers[0x2B] = 0x40;
  Run();
  ASSERT_EQ(Ec.size(), 2u);
  EXPECT_EQ(Ec[1].Value, 0x40);
}

TEST_F(CapsuleApplicationTest, AHookOrControllerThatDoesNotAnswerDoesNotStopTheUpdate) {
  // Slot 0 fails: slots 1 and 2 are skipped, the capsule is still applied.
  const std::vector<uint8_t> Image = VersionedImage(0x0210, 1);
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, Image));
  Sim::BootOptions O = Hooked();
  O.Prepare = [](Sim::Platform &P) { P.Hook().SetStatus(0, EFI_DEVICE_ERROR); };
  Run(O);
  EXPECT_EQ(HookCalls.size(), 1u);
  ASSERT_TRUE(Last.EndedInReset());
  ExpectVersionRecorded(SetupBytes(), Image);

  // Without the hook at all, and with a controller that never takes a byte,
  // never answers a read, or is not there (reads 0xFF): each wait ends
  // within its bound and the update goes on to its reset. A watchdog of a
  // few seconds would end a boot that waited for ever.
  for (Sim::EcFault Fault : {Sim::EcFault::InputNeverDrains, Sim::EcFault::OutputNeverFills, Sim::EcFault::Absent}) {
    Sim::Machine Fresh;
    M = std::move(Fresh);
    M.Ec.Fault = Fault;
    M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, Image));
    Sim::BootOptions Plain;
    Plain.WatchdogNs = 5000000000ull;
    Run(Plain);
    ASSERT_TRUE(Last.EndedInReset()) << int(Fault);
    EXPECT_FALSE(Last.Reset->ByWatchdog) << int(Fault);
    ExpectVersionRecorded(SetupBytes(), Image);
  }
}

TEST_F(CapsuleApplicationTest, SetupProblemsStopTheResetAndTheWalkGoesOn) {
  // No "Setup": nothing written, no reset.
  M.SetupVariableSize.reset();
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, VersionedImage(0x0210, 1)));
  Run();
  EXPECT_FALSE(Last.EndedInReset());
  EXPECT_EQ(M.Variables.Find(Sim::kSetupVariableName, Sim::kSetupVariableGuid), nullptr);

  // A "Setup" shorter than the fields: only its own bytes are written back.
  Sim::Machine Small;
  M = std::move(Small);
  M.SetupVariableSize = 2000;
  const std::vector<uint8_t> Image = VersionedImage(0x0210, 1);
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, Image));
  Run();
  ASSERT_TRUE(Last.EndedInReset());
  const std::vector<uint8_t> Now = SetupBytes();
  ASSERT_EQ(Now.size(), 2000u);
  FW_VERSION_INFO Info{};
  ASSERT_EQ(GetImageVersionInfo(Image.data(), Image.size(), &Info), EFI_SUCCESS);
  EXPECT_EQ(Now[1979] | Now[1980] << 8, Info.DeviceVersion);
  EXPECT_EQ(std::vector<uint8_t>(Now.begin() + 1999, Now.end()),
            std::vector<uint8_t>(Info.VersionData, Info.VersionData + 1));

  // SetVariable failing for the first capsule: no reset, and the second
  // capsule, whose image has no version data, records zeros, not the first
  // capsule's version.
  Sim::Machine Twice;
  M = std::move(Twice);
  std::vector<uint8_t> NoVersion(0x1000, 0x00);
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, Image));
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, NoVersion));
  Sim::BootOptions O = Hooked();
  O.Prepare = [](Sim::Platform &P) { P.Runtime().FailCall("SetVariable", 1, EFI_DEVICE_ERROR); };
  Run(O);
  ASSERT_TRUE(Last.EndedInReset());
  const std::vector<uint8_t> Zeroed = SetupBytes();
  EXPECT_EQ(Zeroed[1979] | Zeroed[1980] << 8, 0);
  EXPECT_EQ(std::vector<uint8_t>(Zeroed.begin() + 1999, Zeroed.begin() + 2031), std::vector<uint8_t>(32, 0));
  EXPECT_EQ(HookCalls.size(), 6u);
}

TEST_F(CapsuleApplicationTest, AfterAFailedDiscoveryTheCapsuleReachesNoDevice) {
  // A keyboard and a stick, no camera: discovery reads each device's
  // descriptor and finds nothing. The capsule step must then send the
  // camera's requests to none of them.
  std::shared_ptr<Sim::UsbClassDevice> Keyboard = Sim::UsbClassDevice::Keyboard();
  std::shared_ptr<Sim::UsbClassDevice> Stick = Sim::UsbClassDevice::MassStorage();
  M.UsbPorts[1] = Keyboard;
  M.UsbPorts[2] = Stick;
  M.PendingCapsules.push_back(Sim::MakeCapsule(kCameraClass, kPersist, VersionedImage(0x0200, 1)));
  Sim::Scenario S(M);
  const Sim::BootReport R = S.Boot(Hooked());

  ASSERT_EQ(R.Capsules, 1u);
  ASSERT_EQ(Keyboard->Requests().size(), 1u);
  EXPECT_EQ(Keyboard->Requests()[0].Request, USB_REQ_GET_DESCRIPTOR);
  ASSERT_EQ(Stick->Requests().size(), 1u);
  EXPECT_EQ(Stick->Requests()[0].Request, USB_REQ_GET_DESCRIPTOR);
  EXPECT_EQ(S.Current().Usb().ClassRequests(), 0u);
  EXPECT_TRUE(S.Current().ClassDrivers().Starts().empty());
  EXPECT_EQ(R.TplViolations, 0u);
  EXPECT_EQ(R.Misuses, 0u);
}

TEST_F(CapsuleApplicationTest, CapsulesWhoseSizesCannotBeTrustedArePassedOver) {
  const std::vector<uint8_t> Image = VersionedImage(0x0210, 1);
  const std::vector<uint8_t> Good = Sim::MakeCapsule(kCameraClass, kPersist, Image);
  auto PutLe32 = [](std::vector<uint8_t> &B, size_t At, uint32_t V) {
    for (int K = 0; K < 4; ++K) {
      B[At + K] = uint8_t(V >> (8 * K));
    }
  };
  std::vector<uint8_t> HeaderPastImage = Good;  // HeaderSize > CapsuleImageSize
  PutLe32(HeaderPastImage, 16, uint32_t(Good.size()) + 1);
  std::vector<uint8_t> ShortHeader = Good;  // HeaderSize below the header's own
  PutLe32(ShortHeader, 16, 20);
  std::vector<uint8_t> PastHob = Good;  // CapsuleImageSize beyond what the HOB holds
  PutLe32(PastHob, 24, uint32_t(Good.size()) + 0x1000);

  for (const std::vector<uint8_t> *Bad : {&HeaderPastImage, &ShortHeader, &PastHob}) {
    Sim::Machine Fresh;
    M = std::move(Fresh);
    M.PendingCapsules.push_back(*Bad);
    Run();
    EXPECT_FALSE(Last.EndedInReset());
    EXPECT_TRUE(HookCalls.empty());

    // Followed by a good one, the walk goes on to it.
    Sim::Machine Then;
    M = std::move(Then);
    M.PendingCapsules.push_back(*Bad);
    M.PendingCapsules.push_back(Good);
    Run();
    EXPECT_TRUE(Last.EndedInReset());
    EXPECT_EQ(HookCalls.size(), 3u);
  }

  // A HOB shorter than a HOB header ends the walk instead of looping.
  Sim::Scenario S(M);
  Sim::BootOptions O = Hooked();
  O.Prepare = [&](Sim::Platform &P) {
    P.Hobs().SetBootMode(BOOT_ON_FLASH_UPDATE);
    P.Hobs().AddHob(0x0004, std::vector<uint8_t>(16, 0), 0);
    P.Hobs().AddCapsule(Good);
  };
  O.WatchdogNs = 1000000000ull;
  const Sim::BootReport R = S.Boot(O);
  EXPECT_FALSE(R.EndedInReset());
}

}  // namespace
