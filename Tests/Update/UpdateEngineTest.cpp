// The update dispatcher against simulated cameras of each generation: the
// start checks, the whole-image road with its image patch, blank first chunk,
// progress and first-chunk-last order, the banked preamble, the two-slot
// road's header decisions, re-finds that lose the camera, and the exit
// sequence.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <Library/UefiBootServicesTableLib.h>

#include "UpdateEngine.h"
#include "Update/SlotImages.h"
#include "Usb/CameraUsbFixture.h"
#include "Usb/XuTrace.h"

namespace {

constexpr uint8_t kPort = 2;

std::vector<unsigned> gReports;

EFI_STATUS EFIAPI RecordProgress(UINTN Percentage) {
  gReports.push_back(static_cast<unsigned>(Percentage));
  return EFI_SUCCESS;
}

const std::vector<std::string> kWholeImageRestart = {"W2034=00", "W2030=FF", "W2031=00",
                                                     "W2032=00", "W2033=02", "W2034=01"};

class UpdateEngineTest : public CameraUsbTest {
 protected:
  void SetUp() override {
    CameraUsbTest::SetUp();
    gReports.clear();
  }

  // A camera of the given build, found as discovery finds it.
  void Use(Sim::CameraProfile Profile) {
    Cam = Plug(kPort, Profile);
    Context = CAMERA_CONTEXT{};
    ASSERT_EQ(FindCameraDevice(&Context, Profile.VendorId, Profile.ProductId), EFI_SUCCESS);
    ClearLogs();
  }

  static Sim::CameraProfile Kind(char Letter, uint16_t Chunk = 0x1000) {
    Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind(Letter);
    Profile.ChunkSize = Chunk;
    Profile.BootsFromFlash = false;
    Profile.FactoryImage = false;
    return Profile;
  }

  EFI_STATUS Update(std::vector<uint8_t> &Image, bool Restart = true) {
    std::unique_ptr<uint8_t[]> Exact(new uint8_t[Image.size()]);
    std::copy(Image.begin(), Image.end(), Exact.get());
    const EFI_STATUS Status = UpdateCameraFirmware(&Context, Exact.get(), Image.size(), RecordProgress, Restart);
    std::copy(Exact.get(), Exact.get() + Image.size(), Image.begin());
    return Status;
  }

  static std::vector<uint8_t> Pattern(size_t Size) {
    std::vector<uint8_t> Image(Size);
    for (size_t K = 0; K < Size; ++K) {
      Image[K] = uint8_t(K * 7 + K / 253 + 1);
    }
    return Image;
  }

  std::vector<uint8_t> Flash(size_t At, size_t Size) {
    return std::vector<uint8_t>(Cam->Flash().begin() + At, Cam->Flash().begin() + At + Size);
  }

  std::vector<std::string> Ops() { return XuTrace::Ops(Transfers()); }

  size_t Count(const std::string &Prefix) {
    size_t N = 0;
    for (const std::string &Op : Ops()) {
      N += Op.compare(0, Prefix.size(), Prefix) == 0;
    }
    return N;
  }

  bool EndsWith(const std::vector<std::string> &Tail) {
    const std::vector<std::string> All = Ops();
    return All.size() >= Tail.size() && std::equal(Tail.begin(), Tail.end(), All.end() - Tail.size());
  }

  std::shared_ptr<Sim::Camera> Cam;
  CAMERA_CONTEXT Context{};
};

TEST_F(UpdateEngineTest, WithoutACameraNothingIsSentAndTheBarStillEnds) {
  Use(Kind('k'));
  CAMERA_CONTEXT Empty{};
  std::vector<uint8_t> Image = Pattern(0x1000);
  std::unique_ptr<uint8_t[]> Copy(new uint8_t[Image.size()]);
  EXPECT_EQ(UpdateCameraFirmware(&Empty, Copy.get(), Image.size(), RecordProgress, TRUE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(UpdateCameraFirmware(nullptr, Copy.get(), Image.size(), RecordProgress, TRUE), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
  EXPECT_EQ(gReports, (std::vector<unsigned>{100, 100}));
}

TEST_F(UpdateEngineTest, ALockedIspIsRefusedAfterTheStartReads) {
  Sim::CameraProfile Locked = Kind('k');
  Locked.LockMarker = true;
  Use(Locked);
  std::vector<uint8_t> Image = Pattern(0x2000);
  EXPECT_EQ(Update(Image), EFI_ACCESS_DENIED);
  const std::vector<std::string> All = Ops();
  ASSERT_GE(All.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(All.begin(), All.begin() + 5),
            (std::vector<std::string>{"R2045", "R0700", "R0701", "R0702", "R0703"}));
  // The kind was never read, so the restart does nothing; nothing erased.
  EXPECT_EQ(Count("W20"), 0u);
  EXPECT_EQ(Count("S0D="), 0u);
  EXPECT_EQ(gReports, std::vector<unsigned>{100});
}

TEST_F(UpdateEngineTest, WholeImageRoadWritesTheFirstChunkLastWithItsProgress) {
  Use(Kind('k'));
  std::vector<uint8_t> Image = Pattern(0x10000);

  ASSERT_EQ(Update(Image), EFI_SUCCESS);

  // Patched (table B, command set 0: 0x04 at byte 2) and programmed whole.
  EXPECT_EQ(Image[2], 0x04);
  EXPECT_EQ(Flash(0, 0x10000), Image);
  EXPECT_EQ(Count("S0D="), 16u);
  EXPECT_EQ(gReports, (std::vector<unsigned>{6, 12, 18, 25, 31, 37, 43, 50, 56, 62, 68, 75, 81, 87, 93, 98, 99, 100}));

  // The flash is opened for writing, erased, the first chunk blanked
  // (F9 FF, then 0xFF), the rest written, and the first chunk written last.
  std::vector<std::string> Writes;
  for (const std::string &Op : Ops()) {
    if (Op.compare(0, 4, "S0E=") == 0) {
      Writes.push_back(Op.substr(4));
    }
  }
  const size_t Reads = 15;
  ASSERT_EQ(Writes.size(), 1 + 15 + Reads + 1);
  EXPECT_EQ(Writes.front(), "00000000");
  EXPECT_EQ(Writes[1], "00100000");
  EXPECT_EQ(Writes.back(), "00000000");
  EXPECT_EQ(Count("S09=01"), 1u);
  // The exit: the restart sequence of the older generations.
  EXPECT_TRUE(EndsWith(kWholeImageRestart));
  EXPECT_EQ(P().Boot().CountCalls("Stall", "1000000"), 2u);
}

TEST_F(UpdateEngineTest, ImagePatchFollowsTheCommandSet) {
  struct Case {
    char Kind;
    uint8_t FlashKind;
    size_t Offset;
    uint8_t Byte;
  } Cases[] = {
      {'h', 68, 0x501F, 0x05},  // set 3, table A
      {'j', 22, 0x0002, 0x04},  // set 0, table B
      {'m', 63, 0x0002, 0x01},  // set 1
      {'k', 74, 0x0002, 0x04},  // the "0dx" chip: loaded with set 0, patched as set 0
  };
  for (const Case &C : Cases) {
    Sim::CameraProfile Profile = Kind(C.Kind);
    Profile.FlashKind = C.FlashKind;
    Use(Profile);
    std::vector<uint8_t> Image = Pattern(0x6000);
    ASSERT_EQ(Update(Image), EFI_SUCCESS) << C.Kind;
    EXPECT_EQ(Image[C.Offset], C.Byte) << C.Kind;
    EXPECT_EQ(Cam->Flash()[C.Offset], C.Byte) << C.Kind;
  }

  // Generations without a patch table are refused once the command set is
  // loaded, before anything is erased.
  for (char Letter : {'f', 'g'}) {
    Use(Kind(Letter));
    std::vector<uint8_t> Image = Pattern(0x2000);
    EXPECT_EQ(Update(Image), EFI_INVALID_PARAMETER) << Letter;
    EXPECT_EQ(Count("S10="), 1u) << Letter;  // the set's mode byte ends the load
    EXPECT_EQ(Count("S0D="), 0u) << Letter;
  }

  // An image too short for its patch: refused, untouched, nothing erased.
  Use(Kind('h'));
  std::vector<uint8_t> Short = Pattern(0x501F);
  const std::vector<uint8_t> Before = Short;
  EXPECT_EQ(Update(Short), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Short, Before);
  EXPECT_EQ(Count("S0D="), 0u);
}

TEST_F(UpdateEngineTest, AReadBackDifferenceLeavesTheFirstChunkBlank) {
  Use(Kind('k'));
  std::vector<uint8_t> Dry = Pattern(0x4000);
  ASSERT_EQ(Update(Dry), EFI_SUCCESS);
  // The first read-back data transfer of that run.
  size_t FirstRead = 0;
  for (size_t I = 0; I < Transfers().size() && FirstRead == 0; ++I) {
    if (Transfers()[I].Setup.Request == 0x81 && (Transfers()[I].Setup.Value >> 8) == 0x0F) {
      FirstRead = I + 1;
    }
  }
  ASSERT_NE(FirstRead, 0u);

  Use(Kind('k'));
  gReports.clear();
  Bus().ShortAnswer(FirstRead, 0);
  std::vector<uint8_t> Image = Pattern(0x4000);
  EXPECT_EQ(Update(Image), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Cam->Flash()[0], 0xF9);
  EXPECT_EQ(Cam->Flash()[1], 0xFF);
  EXPECT_EQ(Flash(2, 0xFFE), std::vector<uint8_t>(0xFFE, 0xFF));
  EXPECT_EQ(std::vector<unsigned>(gReports.end() - 2, gReports.end()), (std::vector<unsigned>{98, 100}));
  EXPECT_TRUE(EndsWith(kWholeImageRestart));
}

TEST_F(UpdateEngineTest, UnusableChunkLengthsAreRefusedBeforeTheFirstErase) {
  for (uint16_t Length : {uint16_t(0), uint16_t(0x1001)}) {
    Use(Kind('k'));
    Cam->OverrideLength(0x0F, Length);
    std::vector<uint8_t> Image = Pattern(0x2000);
    EXPECT_EQ(Update(Image), EFI_UNSUPPORTED) << Length;
    EXPECT_EQ(Count("S0D="), 0u) << Length;
  }

  // A chunk that does not divide the image: the last one padded, the
  // read-back staying inside its buffer (exact-size image).
  Use(Kind('k', 0x300));
  std::vector<uint8_t> Image = Pattern(0x2345);
  ASSERT_EQ(Update(Image), EFI_SUCCESS);
  EXPECT_EQ(Flash(0, 0x2345), Image);
}

TEST_F(UpdateEngineTest, BankedPreambleChoosesTheRoad) {
  // An ISP that does not run from a bank refuses bank images.
  Sim::CameraProfile Base = Kind('n', 0x400);
  Base.BootRegisters[0x20D9] = 0x00;
  Base.BootRegisters[0x20DC] = 0x01;  // stays on the bus
  for (size_t Marker : {size_t(0x100), size_t(0x7100)}) {
    Use(Base);
    std::vector<uint8_t> Image = Pattern(0x8000);
    Image[Marker] = 'D';
    Image[Marker + 1] = 'Z';
    EXPECT_EQ(Update(Image), EFI_INVALID_PARAMETER) << Marker;
    EXPECT_EQ(Count("S0D="), 0u);
  }

  // Otherwise it is told to re-enumerate (0x5A), waits a second on an ISP
  // that stays on the bus, and takes the whole-image road with the blank
  // first chunk marked C3 D9 at 0x100.
  Use(Base);
  std::vector<uint8_t> Image = Pattern(0x3000);
  Image[0x100] = 'C';
  Image[0x101] = 'Y';
  ASSERT_EQ(Update(Image), EFI_SUCCESS);
  EXPECT_EQ(Flash(0, 0x3000), Image);
  const std::vector<std::string> All = Ops();
  EXPECT_NE(std::find(All.begin(), All.end(), "W20D8=5A"), All.end());
  EXPECT_NE(std::find(All.begin(), All.end(), "W041D=01"), All.end());
  EXPECT_TRUE(EndsWith({"W20D8=A5"}));
}

TEST_F(UpdateEngineTest, AProRevisionAboveTheBootStateReenumeratesAndTakesTheWholeImageRoad) {
  // BootState 0x85, an image with CY, DZ at 0x8100 and PRO revision 0x90,
  // the ISP's own PRO block, camera 0x04F2:0xB6D2.
  Sim::CameraProfile Profile = Kind('n', 0x400);
  Profile.VendorId = 0x04F2;
  Profile.ProductId = 0xB6D2;
  Profile.BootRegisters[0x20D9] = 0x85;
  Profile.BootRegisters[0x20DC] = 0x01;
  Use(Profile);
  Cam->SetDword(0x806000, uint32_t('P') << 24 | uint32_t('R') << 16 | uint32_t('O') << 8);
  std::vector<uint8_t> Image = Pattern(0x9000);
  Image[0x100] = 'C';
  Image[0x101] = 'Y';
  Image[0x8100] = 'D';
  Image[0x8101] = 'Z';
  Image[0x6000] = 'P';
  Image[0x6001] = 'R';
  Image[0x6002] = 'O';
  Image[0x6003] = 0x90;

  ASSERT_EQ(Update(Image), EFI_SUCCESS);

  EXPECT_EQ(P().Boot().CountCalls("Stall", "3000000"), 1u);
  const std::vector<std::string> All = Ops();
  const auto At = [&](const std::string &Op) { return std::find(All.begin(), All.end(), Op) - All.begin(); };
  EXPECT_LT(At("W20DA=78"), At("W20D9=02"));
  EXPECT_LT(At("W20D9=02"), At("W20D8=5A"));
  // Whole image, not the bank: programmed from address 0.
  EXPECT_EQ(Flash(0, 0x9000), Image);
}

TEST_F(UpdateEngineTest, TwoSlotRoadRewritesTheHeaderOnlyForANewerImage) {
  using namespace SlotImages;
  Header Camera;
  Camera.Version = 5;
  auto PutCamera = [&](const Header &H) {
    std::vector<uint8_t> Block = HeaderBlock(H);
    std::copy(Block.begin(), Block.end(), Cam->Flash().begin());
  };

  // Same header version: no header write; the finishing steps of 'q'; the
  // slot update with the trailer.
  Use(Kind('q', 0x200));
  PutCamera(Camera);
  SlotImages::Image Spec;
  std::vector<uint8_t> Body = Format3(Spec);
  PutBe32(Body, 2, 5);
  const TestSigner::Trailer Trailer = TrailerFor(Body, 0x3000, 0x200);
  std::vector<uint8_t> Image = Body;
  Image.insert(Image.end(), Trailer.begin(), Trailer.end());
  ASSERT_EQ(Update(Image), EFI_SUCCESS);
  std::vector<std::string> All = Ops();
  const size_t Finish = std::find(All.begin(), All.end(), "W6001=01") - All.begin();
  ASSERT_LT(Finish + 1, All.size());
  EXPECT_EQ(All[Finish + 1], "W20D8=78");
  EXPECT_EQ(std::count(All.begin(), All.end(), "W20D8=A5"), 1);  // the slot update's own restart
  EXPECT_EQ(Flash(0x40000, 0x100), std::vector<uint8_t>(Body.begin() + 0x3000, Body.begin() + 0x3100));

  // A newer image: its bytes from the header's end to slot 0 and its
  // version go into the camera's header block, the ISP restarts and is
  // found again, then the slot update runs.
  Use(Kind('p', 0x200));
  PutCamera(Camera);
  PutBe32(Body, 2, 6);
  PutBe32(Body, 0x10, 0x0800);  // slot 0 at 0x800 in the image's header
  const TestSigner::Trailer Newer = TrailerFor(Body, 0x3000, 0x200);
  Image = Body;
  Image.insert(Image.end(), Newer.begin(), Newer.end());
  ASSERT_EQ(Update(Image), EFI_SUCCESS);
  EXPECT_EQ(Be32(Cam->Flash().data() + 2), 6u);
  EXPECT_EQ(Flash(100, 0x800 - 100), std::vector<uint8_t>(Body.begin() + 100, Body.begin() + 0x800));
  EXPECT_EQ(Cam->RestartsCompleted(), 2u);  // after the header, and the slot update's own
  All = Ops();
  EXPECT_EQ(std::count(All.begin(), All.end(), "W20D8=A5"), 2);

  // A slot 0 beyond the first sector: only the sector is rewritten, with the
  // image's bytes up to its end.
  Use(Kind('p', 0x200));
  PutCamera(Camera);
  PutBe32(Body, 0x10, 0x3000);
  const TestSigner::Trailer Far = TrailerFor(Body, 0x3000, 0x200);
  Image = Body;
  Image.insert(Image.end(), Far.begin(), Far.end());
  ASSERT_EQ(Update(Image), EFI_SUCCESS);
  EXPECT_EQ(Flash(100, 0x1000 - 100), std::vector<uint8_t>(Body.begin() + 100, Body.begin() + 0x1000));

  // A slot 0 that starts inside the header itself is refused before
  // anything is sent to the flash.
  Use(Kind('p', 0x200));
  PutCamera(Camera);
  PutBe32(Body, 0x10, 0x40);
  Image = Body;
  Image.insert(Image.end(), Far.begin(), Far.end());
  EXPECT_EQ(Update(Image), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Count("S0D="), 0u);
}

TEST_F(UpdateEngineTest, ACameraWithoutAHeaderGetsTheImagesHeaderBlockFirst) {
  using namespace SlotImages;
  Use(Kind('p', 0x200));
  SlotImages::Image Spec;
  std::vector<uint8_t> Body = Format3(Spec);
  // The image's header names slot 1 at 0x40000 as the target of the slot
  // update that follows (slot 0 running).
  const TestSigner::Trailer Trailer = TrailerFor(Body, 0x3000, 0x200);
  std::vector<uint8_t> Image = Body;
  Image.insert(Image.end(), Trailer.begin(), Trailer.end());

  ASSERT_EQ(Update(Image), EFI_SUCCESS);

  // The header block went in with no slot running and slot 0's digest
  // erased; after the restart the slot update targets slot 0.
  EXPECT_EQ(Cam->RestartsCompleted(), 2u);  // after the header block, and the slot update's own
  EXPECT_EQ(Cam->Flash()[7], 0xFF);
  EXPECT_EQ(Flash(0x0C + 12, 32), std::vector<uint8_t>(32, 0xFF));
  EXPECT_EQ(Flash(100, 0x1000 - 100), std::vector<uint8_t>(Body.begin() + 100, Body.begin() + 0x1000));
  EXPECT_EQ(Flash(0x10000, 0x100), std::vector<uint8_t>(Body.begin() + 0x3000, Body.begin() + 0x3100));
}

TEST_F(UpdateEngineTest, AReFindThatFailsLeavesNothingToSendTo) {
  using namespace SlotImages;
  Use(Kind('p', 0x200));
  Header Camera;
  Camera.Version = 5;
  std::vector<uint8_t> Block = HeaderBlock(Camera);
  std::copy(Block.begin(), Block.end(), Cam->Flash().begin());
  std::vector<uint8_t> Body = Format3({});
  PutBe32(Body, 2, 6);
  PutBe32(Body, 0x10, 0x0800);
  std::vector<uint8_t> Image = Body;
  const TestSigner::Trailer Trailer = TrailerFor(Body, 0x3000, 0x200);
  Image.insert(Image.end(), Trailer.begin(), Trailer.end());

  // Every handle search after the restart fails: the path, the IDs and the
  // recovery identity. The context then holds no USB I/O, so the exit
  // sends nothing further.
  P().Boot().FailCall("LocateHandleBuffer", 1, EFI_NOT_FOUND, 3);
  const EFI_STATUS Status = Update(Image);
  EXPECT_TRUE(EFI_ERROR(Status));
  EXPECT_EQ(Context.UsbIo, nullptr);
  const std::vector<std::string> All = Ops();
  ASSERT_FALSE(All.empty());
  EXPECT_EQ(All.back(), "W20D8=A5");  // the restart before the search; nothing after
  EXPECT_EQ(gReports.back(), 100u);
}


TEST_F(UpdateEngineTest, StartFailuresAndUnrecognisedImagesEndThroughTheExit) {
  // A two-slot camera and an image without a header of its own.
  Use(Kind('p', 0x200));
  std::vector<uint8_t> Plain = Pattern(0x4000);
  EXPECT_EQ(Update(Plain), EFI_UNSUPPORTED);
  EXPECT_EQ(Count("S0D="), 0u);
  EXPECT_EQ(gReports, std::vector<unsigned>{100});
  EXPECT_TRUE(EndsWith({"W20D8=A5"}));

  // A camera whose lock registers cannot be read counts as locked.
  Use(Kind('k'));
  gReports.clear();
  for (uint64_t N = 1; N <= 60; ++N) {
    Bus().FailTransfer(N, EFI_DEVICE_ERROR);
  }
  std::vector<uint8_t> Image = Pattern(0x2000);
  EXPECT_EQ(Update(Image), EFI_ACCESS_DENIED);
  EXPECT_EQ(gReports, std::vector<unsigned>{100});
}

TEST_F(UpdateEngineTest, AllocationFailuresOnTheWholeImageRoadLeakNothing) {
  Use(Kind('k', 0x400));
  std::vector<uint8_t> Dry = Pattern(0x2000);
  const uint64_t Before = P().Boot().AllocationCount();
  ASSERT_EQ(Update(Dry), EFI_SUCCESS);
  const uint64_t Allocations = P().Boot().AllocationCount() - Before;
  size_t OutOfResources = 0;
  for (uint64_t N = 1; N <= Allocations; ++N) {
    Use(Kind('k', 0x400));
    P().Boot().FailAllocation(N);
    std::vector<uint8_t> Image = Pattern(0x2000);
    const EFI_STATUS Status = Update(Image);
    // A failing allocation inside a repeated transfer is absorbed; the
    // read-back buffer's is not.
    EXPECT_TRUE(Status == EFI_SUCCESS || Status == EFI_OUT_OF_RESOURCES) << N << " " << Status;
    OutOfResources += Status == EFI_OUT_OF_RESOURCES;
    EXPECT_TRUE(P().Boot().LiveAllocations().empty()) << N;
  }
  EXPECT_GE(OutOfResources, 1u);
}

}  // namespace
