// Transfer failures on every road: the update dispatcher (the driver's own
// code, called directly, so that its status shows) with one transfer
// failing, EFI_DEVICE_ERROR, at every 7th transfer (every 31st on the longer
// two-slot roads) and the first of every step; then two in a row, sampled
// more thinly; `camfw figures` fails every transfer.
//
// What holds whatever fails: no pool buffer is left behind, nothing misuses
// the boot services, and the ISP is restarted as the exit sequence says
// (not after EFI_DEVICE_ERROR, not while its generation is unknown). A
// single failure inside a step the driver repeats is absorbed. Everywhere
// else the update either ends with an error or leaves what a clean update
// leaves, and a later update still reaches the camera, except at the
// findings pinned below.
#include <string>
#include <vector>

#include "Sweep/SweepFixture.h"

namespace {

using Camfw::TransferFault;

bool Starts(const std::string &Text, const char *Prefix) { return Text.rfind(Prefix, 0) == 0; }

// The command-set load sends 25 requests and looks at none of their
// statuses: a failed slot number (selector 7) lets the next opcode land in
// the slot chosen before, which corrupts what the ISP erases and programs.
bool CommandSlotSelect(const TransferFault &F) {
  return Starts(F.Step, "command-set load") && F.Operation == "command table (selector 0x07)";
}

// Findings: failures that end in EFI_SUCCESS over a camera unlike a clean
// update's.
bool KnownWrongSuccess(const std::string &Key, const TransferFault &F) {
  if (CommandSlotSelect(F)) {
    return true;
  }
  // The bank road reads the bank header and the data sector to carry the
  // camera's data block, and passes over a read that fails: the block is
  // written over with the image's placeholder.
  if (Key == "n-bank" && (Starts(F.Step, "bank header read (2nd)") || Starts(F.Step, "device data read"))) {
    return true;
  }
  // The slot update's closing restart is what lets the ISP settle the new
  // slot; its failure is not looked at, and at the next power-on the
  // digest is gone and the previous slot runs again.
  return Starts(Key.c_str(), "p-") && Starts(F.Step, "ISP restart");
}

// Findings: failures after which a later update no longer finds the camera
// (it is left in its ROM under the recovery identity).
bool KnownLoss(const std::string &Key, const TransferFault &F) {
  if (CommandSlotSelect(F)) {
    return true;
  }
  // The header block's range write does not repeat a failed address phase:
  // the header sector stays erased.
  return Starts(Key.c_str(), "p-") && Starts(F.Step, "header block write at 0x0") &&
         F.Operation == "chunk write 0x0, address phase";
}

void ExpectOfEveryFailure(const TransferFault &F) {
  EXPECT_EQ(F.Leaked, 0u);
  EXPECT_EQ(F.Misuses, 0u);
  EXPECT_TRUE(F.RestartAsExitSays()) << "status " << Camfw::StatusName(F.Status) << ", restart sent " << F.RestartSent
                                     << ", generation known " << F.KindKnown;
}

std::string Where(const TransferFault &F) {
  return Camfw::Format("transfer %zu (x%zu) in '%s' (%s): %s %s", F.First, F.Count, F.Step.c_str(),
                       F.Operation.c_str(), Camfw::StatusName(F.Status).c_str(), F.Left.c_str());
}

class TransferFaultSweepTest : public ::testing::TestWithParam<const char *> {};

TEST_P(TransferFaultSweepTest, SingleFailures) {
  const std::string Key = GetParam();
  Camfw::TransferFaultOptions Options;
  Options.Stride = Starts(Key.c_str(), "p-") && Key != "p-fallback" ? 31 : 7;
  const Camfw::TransferFaultSweep S = Camfw::SweepTransferFaults(SweepTest::Road(Key), Options);
  size_t Owned = 0;
  for (const TransferFault &F : S.Faults) {
    SCOPED_TRACE(Where(F));
    ExpectOfEveryFailure(F);
    if (F.RetryOwned) {
      ++Owned;
      EXPECT_TRUE(F.Absorbed);
    }
    if (F.Status == EFI_SUCCESS && !F.Absorbed) {
      EXPECT_TRUE(KnownWrongSuccess(Key, F));
    }
    if (!F.LaterReached || !F.LaterSucceeds) {
      EXPECT_TRUE(KnownLoss(Key, F));
    }
  }
  EXPECT_GE(S.Faults.size(), S.Transfers / Options.Stride);
  EXPECT_GT(Owned, 0u);
}

TEST_P(TransferFaultSweepTest, TwoFailuresInARow) {
  const std::string Key = GetParam();
  Camfw::TransferFaultOptions Options;
  Options.InARow = 2;
  Options.Stride = 41;
  Options.CheckLater = false;
  for (const TransferFault &F : Camfw::SweepTransferFaults(SweepTest::Road(Key), Options).Faults) {
    SCOPED_TRACE(Where(F));
    ExpectOfEveryFailure(F);
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, TransferFaultSweepTest,
                         ::testing::Values("g", "n-whole", "n-bank", "p-slot", "p-fallback", "p-header"),
                         [](const auto &Info) {
                           std::string Name = Info.param;
                           Name.erase(std::remove(Name.begin(), Name.end(), '-'), Name.end());
                           return Name;
                         });

// The findings themselves, each at a transfer picked from the clean log.
class TransferFaultFindingsTest : public ::testing::Test {
 protected:
  // The faults at the clean update's transfers that Match (1-based), alone.
  static std::vector<TransferFault> At(const std::string &Key,
                                       const std::function<bool(const Sim::UsbTransfer &, const Camfw::TransferStep &)> &Match) {
    Camfw::TransferFaultOptions Probe;
    Probe.Only = {1};
    Probe.CheckLater = false;
    const Camfw::TransferFaultSweep Clean = Camfw::SweepTransferFaults(SweepTest::Road(Key), Probe);
    Camfw::TransferFaultOptions Options;
    for (size_t I = 0; I < Clean.Clean.size(); ++I) {
      if (Match(Clean.Clean[I], Clean.Steps[I])) {
        Options.Only.push_back(I + 1);
      }
    }
    return Camfw::SweepTransferFaults(SweepTest::Road(Key), Options).Faults;
  }
  static bool SetOf(const Sim::UsbTransfer &T, uint8_t Selector, const std::vector<uint8_t> &Data) {
    return T.Setup.Request == 0x01 && (T.Setup.Value >> 8) == Selector && T.Data == Data;
  }
};

TEST_F(TransferFaultFindingsTest, AFailedCommandSlotNumberCorruptsTheIspsCommandTable) {
  // Slot 10's number lost: its opcode (0xFF, none) lands in slot 9, page
  // program. Nothing is programmed after the erase; the whole-image road
  // fails its comparison and leaves the camera in its ROM.
  auto Page = At("g", [](const auto &T, const auto &S) {
    return Starts(S.Step, "command-set load") && SetOf(T, 0x07, {10});
  });
  ASSERT_EQ(Page.size(), 1u);
  EXPECT_NE(Page[0].Note.find("slot 9 (page program) holds 0xFF"), std::string::npos) << Page[0].Note;
  EXPECT_EQ(Page[0].Status, EFI_INVALID_PARAMETER);
  EXPECT_FALSE(Page[0].LaterReached);

  // Slot 7's number lost on the two-slot road's header write: block erase
  // (0xD8, 64 KiB) lands in slot 6, sector erase. Erasing the header
  // sector erases slot 0 with it; the update reports success with the
  // previous firmware gone.
  auto Block = At("p-slot", [](const auto &T, const auto &S) {
    return S.Step == "command-set load (2nd)" && SetOf(T, 0x07, {7});
  });
  ASSERT_EQ(Block.size(), 1u);
  EXPECT_NE(Block[0].Note.find("slot 6 (sector erase) holds 0xD8"), std::string::npos) << Block[0].Note;
  EXPECT_EQ(Block[0].Status, EFI_SUCCESS);
  EXPECT_TRUE(Block[0].WrongSuccess);
  EXPECT_NE(Block[0].Left.find("0x03000"), std::string::npos) << Block[0].Left;
}

TEST_F(TransferFaultFindingsTest, AFailedReadOfTheDataSectorLosesTheCamerasDataWithoutAnError) {
  auto Faults = At("n-bank", [](const auto &T, const auto &S) {
    return Starts(S.Step, "device data read") && SetOf(T, 0x0E, {0x00, 0xB0, 0x00, 0x00});
  });
  ASSERT_EQ(Faults.size(), 1u);
  EXPECT_EQ(Faults[0].Status, EFI_SUCCESS);
  EXPECT_TRUE(Faults[0].WrongSuccess);
  EXPECT_NE(Faults[0].Left.find("0x0B000..0x0B8FF"), std::string::npos) << Faults[0].Left;
}

TEST_F(TransferFaultFindingsTest, OneFailureOnTheHeadersFirstChunkLeavesTheCameraInItsRom) {
  auto Faults = At("p-slot", [](const auto &T, const auto &S) {
    return Starts(S.Step, "header block write at 0x0") && SetOf(T, 0x0E, {0, 0, 0, 0});
  });
  ASSERT_EQ(Faults.size(), 1u);
  EXPECT_TRUE(EFI_ERROR(Faults[0].Status));
  EXPECT_FALSE(Faults[0].LaterReached);
}

TEST_F(TransferFaultFindingsTest, AFailedClosingRestartReportsSuccessForAnUpdateThatDoesNotTake) {
  auto Faults = At("p-slot", [](const auto &T, const auto &S) {
    return Starts(S.Step, "ISP restart") && SetOf(T, 0x03, {0xA5});
  });
  ASSERT_EQ(Faults.size(), 1u);
  EXPECT_EQ(Faults[0].Status, EFI_SUCCESS);
  EXPECT_TRUE(Faults[0].WrongSuccess);
  EXPECT_NE(Faults[0].Left.find("runs slot 0 as 30C9:004A bcd 0100"), std::string::npos) << Faults[0].Left;
  EXPECT_TRUE(Faults[0].LaterSucceeds);
}

}  // namespace
