// The update's progress bar, drawn through the simulated platform display:
// where the bar is placed, how many steps each report draws, and what
// happens without the progress protocol, without graphics output and while
// the platform's state forbids drawing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CameraUpdateDriver.h"
#include "Sim/PlatformDisplay.h"
#include "Uefi/UefiLibraryFixture.h"

namespace {

class ProgressDisplayTest : public UefiLibraryTest {
 protected:
  void SetUp() override {
    UefiLibraryTest::SetUp();
    ForgetDriverState();
  }

  // The test executable links the driver core once for all tests: give each
  // boot the globals a freshly loaded image has.
  void ForgetDriverState() {
    mPlatformProgress = NULL;
    mGraphicsOutput = NULL;
    mProgressSteps = 0;
  }

  void Reboot() {
    Boot();
    ForgetDriverState();
  }

  Sim::PlatformDisplay &Display() { return P().Display(); }

  void InstallDisplay() {
    P().InstallPlatformProgress();
    P().InstallGraphicsOutput();
  }

  // Reports Percentage as the update engine does, at TPL_CALLBACK.
  EFI_STATUS Report(UINTN Percentage) {
    EFI_BOOT_SERVICES *Bs = P().SystemTable()->BootServices;
    EFI_TPL Old = Bs->RaiseTPL(TPL_CALLBACK);
    EFI_STATUS Status = ShowProgressBar(Percentage);
    Bs->RestoreTPL(Old);
    return Status;
  }

  // Reports each percentage in turn and returns the steps each one drew;
  // every report must succeed.
  std::vector<uint64_t> StepsPerReport(const std::vector<UINTN> &Percentages) {
    std::vector<uint64_t> Steps;
    for (UINTN Percentage : Percentages) {
      const uint64_t Before = Display().Steps();
      EXPECT_EQ(Report(Percentage), EFI_SUCCESS) << "report " << Percentage;
      Steps.push_back(Display().Steps() - Before);
    }
    return Steps;
  }

  size_t Lookups(const char *Protocol) { return P().Boot().CountCalls("LocateProtocol", Protocol); }

  void TearDown() override {
    EXPECT_TRUE(P().Boot().TplViolations().empty());
    UefiLibraryTest::TearDown();
  }
};

using Steps = std::vector<uint64_t>;

TEST_F(ProgressDisplayTest, ZeroSetsTheBarUpAndEachReportDrawsOnlyWhatTheBarGained) {
  InstallDisplay();
  const size_t Mark = P().Boot().Calls().size();
  EXPECT_EQ(StepsPerReport({0, 5, 5, 3, 40}), (Steps{0, 5, 0, 0, 35}));
  ASSERT_EQ(Display().SetUps().size(), 1u);
  EXPECT_EQ(Display().SetUps()[0].StepsBefore, 0u);

  // The first report, in order: the protocol found, its state read, the
  // screen looked up, the bar placed. Later reports read the state each
  // time but look nothing up.
  const std::vector<Sim::ServiceCall> &Calls = P().Boot().Calls();
  std::vector<std::string> First;
  for (size_t I = Mark; I < Calls.size() && First.size() < 4; ++I) {
    if (Calls[I].Service != "RaiseTPL" && Calls[I].Service != "RestoreTPL") {
      First.push_back(Calls[I].Service + "(" + Calls[I].Detail + ")");
    }
  }
  EXPECT_EQ(First, (std::vector<std::string>{"LocateProtocol(PlatformProgress)", "ProgressGetState(0)",
                                             "LocateProtocol(GraphicsOutput)",
                                             "ProgressSetUp(x=204 y=758 w=614 h=10 max=100)"}));
  EXPECT_EQ(Display().StateReads(), 5u);
  EXPECT_EQ(Lookups("PlatformProgress"), 1u);
  EXPECT_EQ(Lookups("GraphicsOutput"), 1u);

  // The drawn steps belong to the boot: a second update in the same boot
  // places the bar again but draws nothing until it passes 40.
  EXPECT_EQ(StepsPerReport({0, 30, 45}), (Steps{0, 0, 5}));
  EXPECT_EQ(Display().SetUps().size(), 2u);
  EXPECT_EQ(Display().SetUps()[1].StepsBefore, 40u);
}

TEST_F(ProgressDisplayTest, OnlyAReportOfZeroPlacesTheBar) {
  InstallDisplay();
  EXPECT_EQ(StepsPerReport({7, 1}), (Steps{7, 0}));
  EXPECT_TRUE(Display().SetUps().empty());
  EXPECT_EQ(Lookups("GraphicsOutput"), 0u);

  // Every zero places it, looking the screen up again each time.
  EXPECT_EQ(StepsPerReport({0, 0}), (Steps{0, 0}));
  EXPECT_EQ(Display().SetUps().size(), 2u);
  EXPECT_EQ(Lookups("GraphicsOutput"), 2u);
}

TEST_F(ProgressDisplayTest, TheBarSpansTheMiddleThreeFifthsOfTheBottomTenRows) {
  InstallDisplay();
  struct Case {
    uint32_t H, V;
    uint64_t X, Y, Width;
  };
  // 1024 and 1366 tell 3 * H / 5 from 3 * (H / 5) (612 and 819).
  for (const Case &C : {Case{1920, 1080, 384, 1070, 1152}, Case{1024, 768, 204, 758, 614},
                        Case{1366, 768, 273, 758, 819}, Case{800, 600, 160, 590, 480}}) {
    Display().SetResolution(C.H, C.V);
    ASSERT_EQ(Report(0), EFI_SUCCESS);
    const Sim::ProgressSetUpCall &S = Display().SetUps().back();
    EXPECT_EQ(S.X, C.X) << C.H << "x" << C.V;
    EXPECT_EQ(S.Y, C.Y) << C.H << "x" << C.V;
    EXPECT_EQ(S.Width, C.Width) << C.H << "x" << C.V;
    EXPECT_EQ(S.Height, 10u);
    EXPECT_EQ(S.Maximum, 100u);
  }
  EXPECT_EQ(Display().SetUps().size(), 4u);
}

TEST_F(ProgressDisplayTest, WithoutTheProgressProtocolEveryReportFailsWithTheLookupsStatus) {
  P().InstallGraphicsOutput();
  EXPECT_EQ(Report(0), EFI_NOT_FOUND);
  EXPECT_EQ(Report(30), EFI_NOT_FOUND);
  P().Boot().FailCall("LocateProtocol", 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(Report(35), EFI_DEVICE_ERROR);
  EXPECT_EQ(Lookups("PlatformProgress"), 3u);
  EXPECT_EQ(Lookups("GraphicsOutput"), 0u);

  // It is found once the platform installs it; the failed reports drew
  // nothing, so all 40 steps are still to come.
  P().InstallPlatformProgress();
  EXPECT_EQ(StepsPerReport({40, 50}), (Steps{40, 10}));
  EXPECT_EQ(Display().StateReads(), 2u);
  EXPECT_EQ(Lookups("PlatformProgress"), 4u);
}

TEST_F(ProgressDisplayTest, AStateAboveThreeDrawsNothingWhileOthersDraw) {
  InstallDisplay();
  Display().SetProgressState(4);
  EXPECT_EQ(Report(0), EFI_UNSUPPORTED);
  EXPECT_EQ(Report(30), EFI_UNSUPPORTED);
  Display().SetProgressState(INT32_MAX);
  EXPECT_EQ(Report(31), EFI_UNSUPPORTED);
  EXPECT_TRUE(Display().SetUps().empty());
  EXPECT_EQ(Display().Steps(), 0u);
  EXPECT_EQ(Lookups("GraphicsOutput"), 0u);

  // 3 and negative states (a signed comparison) draw; the refused reports
  // counted no steps.
  Display().SetProgressState(3);
  EXPECT_EQ(StepsPerReport({0, 20}), (Steps{0, 20}));
  Display().SetProgressState(-1);
  EXPECT_EQ(StepsPerReport({0, 25}), (Steps{0, 5}));
  Display().SetProgressState(INT32_MIN);
  EXPECT_EQ(StepsPerReport({30}), (Steps{5}));
  EXPECT_EQ(Display().SetUps().size(), 2u);
}

TEST_F(ProgressDisplayTest, WithoutGraphicsOutputTheBarIsNotPlacedButStillAdvances) {
  P().InstallPlatformProgress();
  EXPECT_EQ(StepsPerReport({0, 25}), (Steps{0, 25}));
  EXPECT_TRUE(Display().SetUps().empty());
  EXPECT_EQ(Lookups("GraphicsOutput"), 1u);

  // It is found when it appears, and forgotten when it goes or cannot be
  // looked up: an earlier screen is never used for a later set-up.
  P().InstallGraphicsOutput();
  ASSERT_EQ(Report(0), EFI_SUCCESS);
  EXPECT_EQ(Display().SetUps().size(), 1u);
  P().Boot().FailCall("LocateProtocol", 1, EFI_DEVICE_ERROR);
  ASSERT_EQ(Report(0), EFI_SUCCESS);
  ASSERT_EQ(P().RemoveGraphicsOutput(), EFI_SUCCESS);
  ASSERT_EQ(Report(0), EFI_SUCCESS);
  EXPECT_EQ(Display().SetUps().size(), 1u);

  // Graphics output without mode information cannot place the bar either.
  P().InstallGraphicsOutput();
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *Info = Display().Graphics()->Mode->Info;
  Display().Graphics()->Mode->Info = nullptr;
  EXPECT_EQ(StepsPerReport({0, 30}), (Steps{0, 5}));
  Display().Graphics()->Mode->Info = Info;
  EXPECT_EQ(Display().SetUps().size(), 1u);

  // Nor can a screen shorter than the bar; ten rows can.
  Display().SetResolution(640, 9);
  ASSERT_EQ(Report(0), EFI_SUCCESS);
  EXPECT_EQ(Display().SetUps().size(), 1u);
  Display().SetResolution(640, 10);
  ASSERT_EQ(Report(0), EFI_SUCCESS);
  ASSERT_EQ(Display().SetUps().size(), 2u);
  EXPECT_EQ(Display().SetUps().back().Y, 0u);
}

TEST_F(ProgressDisplayTest, ReportsAboveOneHundredFillTheBarAndNoMore) {
  InstallDisplay();
  // (ASSERT: without the limit, the report of MAX_UINTN below would not end.)
  ASSERT_EQ(StepsPerReport({0, 40, 150, 255}), (Steps{0, 40, 60, 0}));
  EXPECT_EQ(StepsPerReport({static_cast<UINTN>(MAX_UINTN), 0, 100}), (Steps{0, 0, 0}));
  EXPECT_EQ(P().Boot().CountCalls("ProgressAdvance"), 100u);

  // A first report above 100 fills the bar in one go.
  Reboot();
  InstallDisplay();
  ASSERT_EQ(StepsPerReport({101}), (Steps{100}));
}

TEST_F(ProgressDisplayTest, TheCallbackPassesThePercentageAndTheStatusThrough) {
  UPDATE_PROGRESS_CALLBACK Callback = ShowUpdateProgress;
  P().InstallGraphicsOutput();
  EXPECT_EQ(Callback(0), EFI_NOT_FOUND);
  P().InstallPlatformProgress();
  EXPECT_EQ(Callback(0), EFI_SUCCESS);
  EXPECT_EQ(Callback(12), EFI_SUCCESS);
  EXPECT_EQ(Display().SetUps().size(), 1u);
  EXPECT_EQ(Display().Steps(), 12u);
  Display().SetProgressState(5);
  EXPECT_EQ(Callback(20), EFI_UNSUPPORTED);
  EXPECT_EQ(Display().Steps(), 12u);
}

}  // namespace
