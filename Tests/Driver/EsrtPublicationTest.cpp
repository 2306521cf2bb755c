// The ESRT entries the driver publishes when the platform triggers its
// check, observed in the simulated ESRT repository and in the call log.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Sim/Camera/Camera.h"
#include "Sim/Platform.h"

namespace {

const EFI_GUID kCameraFwClass = {0xA6A82337, 0x904E, 0x4742, {0x9E, 0xCA, 0xCF, 0x8E, 0x7D, 0xE4, 0xDE, 0x17}};
constexpr uint8_t kPort = 4;

EFI_SYSTEM_RESOURCE_ENTRY Expected(uint32_t FwVersion) {
  EFI_SYSTEM_RESOURCE_ENTRY Entry{};
  Entry.FwClass = kCameraFwClass;
  Entry.FwType = ESRT_FW_TYPE_DEVICEFIRMWARE;
  Entry.FwVersion = FwVersion;
  return Entry;
}

bool SameEntry(const EFI_SYSTEM_RESOURCE_ENTRY &A, const EFI_SYSTEM_RESOURCE_ENTRY &B) {
  return std::memcmp(&A, &B, sizeof(A)) == 0;
}

class EsrtPublicationTest : public ::testing::Test {
 protected:
  Sim::Platform &NewBoot() {
    Platform.reset();
    Platform = std::make_unique<Sim::Platform>(Machine);
    return *Platform;
  }

  void PlugCamera(uint16_t BcdDevice) {
    Sim::CameraProfile Profile;
    Profile.BcdDevice = BcdDevice;
    Machine.UsbPorts[kPort] = std::make_shared<Sim::Camera>(Profile);
  }

  // Loads the driver with ESRT management present and triggers the check.
  void RunCheck(Sim::Platform &P) {
    ASSERT_EQ(P.LoadDriver(), EFI_SUCCESS);
    P.InstallEsrtManagement();
    P.InstallTrigger();
  }

  // The ESRT calls made since the log position Mark, as "Slot=Status".
  std::vector<std::string> EsrtCalls(size_t Mark = 0) {
    std::vector<std::string> Out;
    const auto &Calls = Platform->Boot().Calls();
    for (size_t I = Mark; I < Calls.size(); ++I) {
      const std::string &S = Calls[I].Service;
      if (S.find("EsrtEntry") != std::string::npos) {
        Out.push_back(S + "=" + (EFI_ERROR(Calls[I].Status) ? "error" : "ok"));
      }
    }
    return Out;
  }

  Sim::Machine Machine;
  std::unique_ptr<Sim::Platform> Platform;
};

TEST_F(EsrtPublicationTest, WithoutACameraTheEntryCarriesVersionZero) {
  Sim::Platform &P = NewBoot();
  RunCheck(P);

  ASSERT_EQ(P.Esrt().Entries().size(), 1u);
  EXPECT_TRUE(SameEntry(P.Esrt().Entries()[0], Expected(0)));
  // Nothing to clear, then a fresh registration; the check ran to its end.
  EXPECT_EQ(EsrtCalls(), (std::vector<std::string>{"GetEsrtEntry=error", "GetEsrtEntry=error",
                                                   "RegisterEsrtEntry=ok"}));
  EXPECT_EQ(P.Boot().LiveEventCount(), 0u);
  // The one camera context stays allocated (544 bytes) and was zeroed
  // through the boot services.
  std::vector<Sim::PoolAllocation> Live = P.Boot().LiveAllocations();
  ASSERT_EQ(Live.size(), 1u);
  EXPECT_EQ(Live[0].Size, 544u);
  EXPECT_EQ(Live[0].Type, EfiBootServicesData);
  EXPECT_EQ(P.Boot().CountCalls("SetMem", "544"), 1u);
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(EsrtPublicationTest, TheEntryCarriesTheCamerasBcdDevice) {
  PlugCamera(0x0123);
  Sim::Platform &P = NewBoot();
  RunCheck(P);
  ASSERT_EQ(P.Esrt().Entries().size(), 1u);
  EXPECT_TRUE(SameEntry(P.Esrt().Entries()[0], Expected(0x123)));

  // The camera was looked up on the bus between the allocation and the
  // registration: its descriptor read and extension-unit probe.
  EXPECT_EQ(P.Usb().Transfers().size(), 3u);

  // Next boot, new firmware on the camera: the old entry is removed and a
  // new one registered with the new version.
  PlugCamera(0x0200);
  Sim::Platform &Next = NewBoot();
  RunCheck(Next);
  ASSERT_EQ(Next.Esrt().Entries().size(), 1u);
  EXPECT_TRUE(SameEntry(Next.Esrt().Entries()[0], Expected(0x200)));
  EXPECT_EQ(EsrtCalls(), (std::vector<std::string>{"GetEsrtEntry=ok", "UnRegisterEsrtEntry=ok", "GetEsrtEntry=error",
                                                   "RegisterEsrtEntry=ok"}));
}

TEST_F(EsrtPublicationTest, AnEntryThatSurvivedTheClearingPassIsUpdatedOnlyWhenItDiffers) {
  PlugCamera(0x0123);
  Sim::Platform &P = NewBoot();
  P.Esrt().Seed(Expected(0x123));
  P.Esrt().FailCall("UnRegisterEsrtEntry", 1, EFI_ACCESS_DENIED);
  RunCheck(P);
  // Equal: nothing written, and the run counts as a success (event closed).
  EXPECT_EQ(EsrtCalls(), (std::vector<std::string>{"GetEsrtEntry=ok", "UnRegisterEsrtEntry=error", "GetEsrtEntry=ok"}));
  EXPECT_EQ(P.Boot().LiveEventCount(), 0u);

  Sim::Platform &Next = NewBoot();
  EFI_SYSTEM_RESOURCE_ENTRY Stale = Expected(0x100);
  Stale.LastAttemptStatus = LAST_ATTEMPT_STATUS_ERROR_UNSUCCESSFUL;
  Next.Esrt().Seed(Stale);
  Next.Esrt().FailCall("UnRegisterEsrtEntry", 1, EFI_ACCESS_DENIED);
  RunCheck(Next);
  EXPECT_EQ(EsrtCalls(), (std::vector<std::string>{"GetEsrtEntry=ok", "UnRegisterEsrtEntry=error", "GetEsrtEntry=ok",
                                                   "UpdateEsrtEntry=ok"}));
  ASSERT_EQ(Next.Esrt().Entries().size(), 1u);
  EXPECT_TRUE(SameEntry(Next.Esrt().Entries()[0], Expected(0x123)));
}

TEST_F(EsrtPublicationTest, WithoutPoolForTheContextTheEntriesStayClearedAndTheCheckEnds) {
  Sim::Platform &P = NewBoot();
  P.Esrt().Seed(Expected(0x0100));
  ASSERT_EQ(P.LoadDriver(), EFI_SUCCESS);
  P.InstallEsrtManagement();
  P.Boot().FailAllocation(1);
  P.InstallTrigger();
  EXPECT_TRUE(P.Esrt().Entries().empty());
  EXPECT_EQ(P.Boot().CountCalls("RegisterEsrtEntry"), 0u);
  EXPECT_EQ(P.Usb().Transfers().size(), 0u);
  EXPECT_EQ(P.Boot().LiveEventCount(), 0u);
  EXPECT_TRUE(P.Boot().LiveAllocations().empty());
}

TEST_F(EsrtPublicationTest, AFailedRegistrationStillEndsTheCheck) {
  Sim::Platform &P = NewBoot();
  P.Esrt().FailCall("RegisterEsrtEntry", 1, EFI_OUT_OF_RESOURCES);
  RunCheck(P);
  EXPECT_TRUE(P.Esrt().Entries().empty());
  EXPECT_EQ(P.Boot().LiveEventCount(), 0u);
  // Later triggers do nothing: the check does not try again.
  P.InstallTrigger();
  EXPECT_EQ(P.Boot().CountCalls("RegisterEsrtEntry"), 1u);
}

}  // namespace
