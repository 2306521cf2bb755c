// The simulated display beyond what the driver's progress tests use: the
// slots and services no caller should reach, the mode record graphics
// output publishes, and the virtual times of the drawing calls.
#include <string>
#include <utility>
#include <vector>

#include "SimFixture.h"

namespace {

class SimDisplayTest : public SimTest::SimFixture {};

TEST_F(SimDisplayTest, UnusedSlotsAndGraphicsServicesAnswerUnsupportedAndRecordAMisuse) {
  PLATFORM_PROGRESS_PROTOCOL *Progress = P.Display().Progress();
  for (unsigned Slot = 0; Slot < 8; ++Slot) {
    ASSERT_NE(Progress->Unused[Slot], nullptr);
    EXPECT_EQ(Progress->Unused[Slot](), EFI_UNSUPPORTED);
    ASSERT_EQ(P.Boot().Misuses().size(), Slot + 1);
    EXPECT_EQ(P.Boot().Misuses().back().Service, "ProgressSlot" + std::to_string(Slot));
  }

  EFI_GRAPHICS_OUTPUT_PROTOCOL *Graphics = P.Display().Graphics();
  UINTN Size = 0;
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *Info = nullptr;
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL Pixel = {};
  EXPECT_EQ(Graphics->QueryMode(Graphics, 0, &Size, &Info), EFI_UNSUPPORTED);
  EXPECT_EQ(Graphics->SetMode(Graphics, 0), EFI_UNSUPPORTED);
  EXPECT_EQ(Graphics->Blt(Graphics, &Pixel, EfiBltVideoFill, 0, 0, 0, 0, 1, 1, 0), EFI_UNSUPPORTED);
  EXPECT_EQ(P.Boot().Misuses().size(), 11u);
  EXPECT_EQ(P.Boot().CountCalls("GraphicsBlt"), 1u);
}

TEST_F(SimDisplayTest, GraphicsOutputPublishesOneBltOnlyModeOfTheSetResolution) {
  const EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE *Mode = P.Display().Graphics()->Mode;
  EXPECT_EQ(Mode->MaxMode, 1u);
  EXPECT_EQ(Mode->Mode, 0u);
  EXPECT_EQ(Mode->SizeOfInfo, sizeof(EFI_GRAPHICS_OUTPUT_MODE_INFORMATION));
  EXPECT_EQ(Mode->Info->PixelFormat, PixelBltOnly);
  EXPECT_EQ(Mode->Info->HorizontalResolution, 1024u);
  EXPECT_EQ(Mode->Info->VerticalResolution, 768u);
  P.Display().SetResolution(1920, 1080);
  EXPECT_EQ(Mode->Info->HorizontalResolution, 1920u);
  EXPECT_EQ(Mode->Info->VerticalResolution, 1080u);
  EXPECT_EQ(Mode->Info->PixelsPerScanLine, 1920u);

  // Installed and removed through the boot services, one handle each.
  EFI_HANDLE Handle = P.InstallGraphicsOutput();
  EXPECT_NE(Handle, P.InstallPlatformProgress());
  VOID *Found = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&gEfiGraphicsOutputProtocolGuid, nullptr, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, P.Display().Graphics());
  EXPECT_EQ(P.RemoveGraphicsOutput(), EFI_SUCCESS);
  EXPECT_EQ(P.RemoveGraphicsOutput(), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->LocateProtocol(&gEfiGraphicsOutputProtocolGuid, nullptr, &Found), EFI_NOT_FOUND);
  EXPECT_EQ(P.RemovePlatformProgress(), EFI_SUCCESS);
}

TEST_F(SimDisplayTest, SetUpsAndStepsCarryTheirVirtualTimes) {
  PLATFORM_PROGRESS_PROTOCOL *Progress = P.Display().Progress();
  P.Clock().AdvanceUs(5);
  EXPECT_EQ(Progress->Advance(), EFI_SUCCESS);
  P.Clock().AdvanceUs(10);
  EXPECT_EQ(Progress->SetUp(1, 2, 3, 4, 5), EFI_SUCCESS);
  EXPECT_EQ(Progress->Advance(), EFI_SUCCESS);
  P.Clock().AdvanceUs(1);
  EXPECT_EQ(Progress->Advance(), EFI_SUCCESS);

  EXPECT_EQ(P.Display().StepTimesNs(), (std::vector<uint64_t>{5000, 15000, 16000}));
  ASSERT_EQ(P.Display().SetUps().size(), 1u);
  const Sim::ProgressSetUpCall &S = P.Display().SetUps()[0];
  EXPECT_EQ(S.TimeNs, 15000u);
  EXPECT_EQ(S.StepsBefore, 1u);
  EXPECT_EQ(P.Boot().CountCalls("ProgressSetUp", "x=1 y=2 w=3 h=4 max=5"), 1u);
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(SimDisplayTest, TheDrawListenerSeesEachSetUpAndStepOnceItIsRecorded) {
  // What the listener finds on the display at each call: set-ups and steps.
  std::vector<std::pair<size_t, uint64_t>> Seen;
  P.Display().SetDrawListener(
      [&](const Sim::PlatformDisplay &D) { Seen.emplace_back(D.SetUps().size(), D.Steps()); });
  PLATFORM_PROGRESS_PROTOCOL *Progress = P.Display().Progress();
  EXPECT_EQ(Progress->SetUp(0, 0, 10, 1, 100), EFI_SUCCESS);
  EXPECT_EQ(Progress->Advance(), EFI_SUCCESS);
  EXPECT_EQ(Progress->Advance(), EFI_SUCCESS);
  Progress->GetState();  // reads the state, draws nothing
  EXPECT_EQ(Seen, (std::vector<std::pair<size_t, uint64_t>>{{1, 0}, {1, 1}, {1, 2}}));
}

}  // namespace
