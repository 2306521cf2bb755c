// The driver's steps as the sweeps name them from a clean update's transfer
// log: each road passes its landmarks in the order the driver takes them,
// every transfer to the camera belongs to a step, and the flags the sweeps
// rely on (a chunk write's data phase, the request that restarts the ISP)
// sit on the right requests.
#include <string>
#include <vector>

#include "Sweep/SweepFixture.h"

namespace {

// The step instances in order, each once.
std::vector<std::string> StepsOf(const Camfw::CleanJob &Job) {
  std::vector<std::string> Steps;
  for (size_t I : Job.ClassTransfers) {
    if (Steps.empty() || Steps.back() != Job.Steps[I].Step) {
      Steps.push_back(Job.Steps[I].Step);
    }
  }
  return Steps;
}

void ExpectInOrder(const std::vector<std::string> &Steps, const std::vector<std::string> &Landmarks) {
  auto At = Steps.begin();
  for (const std::string &Landmark : Landmarks) {
    At = std::find(At, Steps.end(), Landmark);
    ASSERT_NE(At, Steps.end()) << "no '" << Landmark << "' where expected";
  }
}

TEST(DriverStepsTest, EachRoadPassesItsLandmarksInOrder) {
  ExpectInOrder(StepsOf(SweepTest::Clean("g")),
                {"update lock", "flash identification", "command-set load", "flash write enable", "image erase at 0x0",
                 "blank first chunk at 0x0", "image write at 0x100", "image read-back at 0x100",
                 "first chunk, last at 0x0", "ISP restart sequence"});
  ExpectInOrder(StepsOf(SweepTest::Clean("n-whole")),
                {"boot state read", "re-enumeration request", "camera discovery (2nd)", "flash unprotect",
                 "image erase at 0x0", "blank first chunk at 0x0", "image write at 0x400",
                 "image read-back at 0x400", "first chunk, last at 0x0", "ISP restart"});
  ExpectInOrder(StepsOf(SweepTest::Clean("n-bank")),
                {"boot select", "bank header read", "device data read", "bank erase at 0x8000",
                 "bank header erase at 0x7000", "window open", "bank write at 0x8000", "window close",
                 "window close wait", "bank read-back at 0x8000", "bank header read (digests) at 0x7000",
                 "bank header erase for the rewrite at 0x7000", "bank header rewrite at 0x7000", "ISP restart"});
  ExpectInOrder(StepsOf(SweepTest::Clean("p-slot")),
                {"header sector read", "boot control (resume)", "header sector read (2nd)", "flash unprotect",
                 "header sector erase at 0x0", "header block write at 0x0", "header read-back",
                 "slot erase at 0x41000", "signed digest", "window open", "slot write at 0x41000", "window close",
                 "slot read-back at 0x41000", "version block write at 0x43000", "ISP restart"});
  ExpectInOrder(StepsOf(SweepTest::Clean("p-header")),
                {"re-enumeration request", "header sector erase at 0x0", "header block write at 0x0", "ISP restart",
                 "header sector erase at 0x0 (2nd)", "header block write at 0x0 (2nd)", "slot write at 0x41000",
                 "ISP restart (2nd)"});
  ExpectInOrder(StepsOf(SweepTest::Clean("p-fallback")),
                {"header sector read", "header sector read (2nd)", "image erase at 0x0", "image write at 0x100",
                 "image read-back at 0x100", "first chunk, last at 0x0", "ISP restart"});
}

TEST(DriverStepsTest, DataPhasesAndRestartsSitOnTheirRequests) {
  for (const std::string &Key : Camfw::SweepRoadKeys()) {
    SCOPED_TRACE(Key);
    const Camfw::CleanJob &Job = SweepTest::Clean(Key);
    size_t Restarts = 0;
    for (size_t I : Job.ClassTransfers) {
      const Sim::UsbTransfer &T = Job.UpdateBoot[I];
      const Camfw::TransferStep &S = Job.Steps[I];
      ASSERT_FALSE(S.Step.empty());
      const unsigned Selector = T.Setup.Value >> 8;
      // A data phase is the flash-data selector's SET_CUR or its length read.
      if (S.DataPhase) {
        EXPECT_EQ(Selector, 0x0Fu);
        EXPECT_NE(T.Setup.Request, 0x81);
        EXPECT_EQ(S.OperationKind, Camfw::TransferStep::Kind::Write);
      } else if (Selector == 0x0F && T.Setup.Request == 0x01) {
        ADD_FAILURE() << "a flash write without its data phase: " << S.Operation;
      }
      if (S.Restart) {
        ++Restarts;
        EXPECT_EQ(T.Setup.Request, 0x01);
        EXPECT_EQ(Selector, 0x03u);
        EXPECT_TRUE(T.Data == std::vector<uint8_t>{0xA5} || T.Data == std::vector<uint8_t>{0x5A} ||
                    T.Data == std::vector<uint8_t>{0x78} || T.Data == std::vector<uint8_t>{0x01});
      }
    }
    EXPECT_GE(Restarts, 1u);  // at least the exit sequence's
  }
}

}  // namespace
