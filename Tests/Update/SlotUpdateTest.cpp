// The two-slot update against the simulated camera: the target slot and the
// new header, anti-rollback and the writable-slot rule, the erase with its
// retries and the 512 KiB limit, the signed digest before the window, the
// slot write, read-back, version block and tail record, the refusals before
// the first write, and the whole-image fallback for a camera without a
// header — taken only on that signal, never on an allocation failure.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <Library/UefiBootServicesTableLib.h>

#include "FlashStrategies.h"
#include "UpdateEngine.h"
#include "Update/SlotImages.h"
#include "Usb/CameraUsbFixture.h"
#include "Usb/XuTrace.h"

namespace {

using namespace SlotImages;

constexpr uint8_t kPort = 1;
constexpr UINT16 kXu = 0x0400;
constexpr uint16_t kChunk = 0x200;

std::vector<unsigned> gReports;

EFI_STATUS EFIAPI RecordProgress(UINTN Percentage) {
  gReports.push_back(static_cast<unsigned>(Percentage));
  return EFI_SUCCESS;
}

class SlotUpdateTest : public CameraUsbTest {
 protected:
  void SetUp() override {
    CameraUsbTest::SetUp();
    gReports.clear();
  }

  // A two-slot camera whose sector 0 holds Camera (or nothing).
  void Use(const Header *Camera, uint16_t Chunk = kChunk) {
    Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('p');
    Profile.ChunkSize = Chunk;
    Profile.BootsFromFlash = false;
    Profile.FactoryImage = false;
    Cam = Plug(kPort, Profile);
    Context = CAMERA_CONTEXT{};
    Context.UsbIo = Bus().UsbIo(kPort, 0);
    Context.XuIndex = kXu;
    if (Camera != nullptr) {
      CameraHeader = HeaderBlock(*Camera);
      std::copy(CameraHeader.begin(), CameraHeader.end(), Cam->Flash().begin());
    }
    // The running slot's data, to show that it survives, and bytes between
    // the header sector and the slots that only a whole-image write would
    // erase.
    for (size_t A = 0x10000; A < 0x12000; ++A) {
      Cam->Flash()[A] = uint8_t(A * 3);
    }
    RunningSlot = Flash(0x10000, 0x2000);
    std::fill(Cam->Flash().begin() + 0x1000, Cam->Flash().begin() + 0x3000, 0xA7);
    ClearLogs();
  }

  EFI_STATUS Program(const std::vector<uint8_t> &Image, const TestSigner::Trailer &Trailer, BOOLEAN *NoHeader = nullptr) {
    std::unique_ptr<uint8_t[]> Exact(new uint8_t[Image.size()]);
    std::copy(Image.begin(), Image.end(), Exact.get());
    return ProgramInactiveSlot(&Context, Exact.get(), Image.size(), Trailer.data(), Trailer.size(), RecordProgress,
                               NoHeader);
  }

  EFI_STATUS Update(const std::vector<uint8_t> &Image, const TestSigner::Trailer &Trailer) {
    std::unique_ptr<uint8_t[]> Exact(new uint8_t[Image.size()]);
    std::copy(Image.begin(), Image.end(), Exact.get());
    return UpdateSlotFirmware(&Context, Exact.get(), Image.size(), Trailer.data(), Trailer.size(), RecordProgress);
  }

  std::vector<uint8_t> Flash(size_t At, size_t Size) {
    return std::vector<uint8_t>(Cam->Flash().begin() + At, Cam->Flash().begin() + At + Size);
  }

  std::vector<std::string> Ops() { return XuTrace::Ops(Transfers()); }

  size_t IndexOf(const std::string &Op, size_t From = 0) {
    const std::vector<std::string> All = Ops();
    return std::find(All.begin() + std::min(From, All.size()), All.end(), Op) - All.begin();
  }

  // Flash addresses of the chunk writes (address phases followed by data).
  std::vector<uint32_t> WriteAddresses() {
    std::vector<uint32_t> Out;
    const std::vector<std::string> All = Ops();
    for (size_t I = 0; I + 1 < All.size(); ++I) {
      if (All[I].compare(0, 4, "S0E=") == 0 && All[I + 1].compare(0, 4, "S0F=") == 0) {
        const std::string &A = All[I];
        Out.push_back(uint32_t(std::stoul(A.substr(4, 2), nullptr, 16) | std::stoul(A.substr(6, 2), nullptr, 16) << 8 |
                               std::stoul(A.substr(8, 2), nullptr, 16) << 16));
      }
    }
    return Out;
  }

  std::vector<unsigned> Erased() {
    std::vector<unsigned> Out;
    for (const std::string &Op : Ops()) {
      if (Op.compare(0, 4, "S0D=") == 0 && Op.back() != '!') {
        Out.push_back(unsigned(std::stoul(Op.substr(6, 2), nullptr, 16) >> 4 | std::stoul(Op.substr(8, 2), nullptr, 16) << 4));
      }
    }
    return Out;
  }

  // Nothing of the camera changed: header, running slot.
  void ExpectUntouched(const char *Why) {
    EXPECT_EQ(Flash(0, 0x1000), CameraHeader) << Why;
    EXPECT_EQ(Flash(0x10000, 0x2000), RunningSlot) << Why;
    EXPECT_TRUE(Erased().empty()) << Why;
  }

  std::shared_ptr<Sim::Camera> Cam;
  CAMERA_CONTEXT Context{};
  std::vector<uint8_t> CameraHeader;
  std::vector<uint8_t> RunningSlot;
};

TEST_F(SlotUpdateTest, WritesTheSlotAfterTheRunningOneUnderANewHeader) {
  Header Camera;
  Camera.Slots[0].Version = 1;
  Use(&Camera);
  std::vector<uint8_t> Image = Format3({});
  const TestSigner::Trailer Trailer = TrailerFor(Image, 0x3000, kChunk);

  ASSERT_EQ(Program(Image, Trailer), EFI_SUCCESS);

  // The new header: no slot running, slot 0 kept as the previous one, slot
  // 1 with the image's version and an erased digest; the rest of the
  // sector as it was.
  Header Expected = Camera;
  Expected.ActiveSlot = 0xFF;
  Expected.PreviousSlot = 0;
  Expected.Slots[1].Version = 2;
  Expected.Slots[1].DigestFill = 0xFF;
  EXPECT_EQ(Flash(0, 0x1000), HeaderBlock(Expected));
  // Slot 1 holds the slot data, 0xFF up to the 1 KiB rounding.
  const std::vector<uint8_t> Window = WindowBytes(Image, 0x3000, kChunk);
  EXPECT_EQ(Flash(0x40000, Window.size()), Window);
  EXPECT_EQ(Flash(0x10000, 0x2000), RunningSlot);

  // The signed digest goes to the ISP before the window opens; the window
  // closes after the last slot chunk and before the read-back.
  const std::vector<std::string> All = Ops();
  const TestSigner::Digest Signed = Sha256(Window);
  const size_t Digest = IndexOf("S1F=" + XuTrace::Hex(std::vector<uint8_t>(Signed.begin(), Signed.end())));
  const size_t Open = IndexOf("W6000=01");
  const size_t Close = IndexOf("W6000=00");
  ASSERT_LT(Digest, Open);
  ASSERT_LT(Open, Close);
  EXPECT_EQ(All[Open - 1], "R6000");
  EXPECT_EQ(All[Open + 1], "S0E=00000400");
  EXPECT_EQ(All[Close + 1], "R6000");
  EXPECT_EQ(gReports.back(), 100u);
  // The exit waits a second.
  EXPECT_EQ(P().Boot().Calls().back().Service, "Stall");
  EXPECT_EQ(P().Boot().Calls().back().Detail, "1000000");
  ExpectPacedTransfers();
}

TEST_F(SlotUpdateTest, TargetSlotAndRollbackFollowTheCamerasHeader) {
  // No slot running: slot 0 is the target, no rollback test, and the
  // previous slot keeps its value.
  Header Idle;
  Idle.ActiveSlot = 0xFF;
  Idle.PreviousSlot = 1;
  Idle.Slots[0] = {9, 0x50000, 1, 0xFF};
  Idle.Slots[1] = {9, 0x40000, 1, 0x5D};
  Use(&Idle);
  std::vector<uint8_t> Image = Format3({});
  ASSERT_EQ(Program(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_SUCCESS);
  EXPECT_EQ(Cam->Flash()[7], 0xFF);
  EXPECT_EQ(Cam->Flash()[8], 1);
  EXPECT_EQ(Flash(0x50000, 0x100), std::vector<uint8_t>(Image.begin() + 0x3000, Image.begin() + 0x3100));

  // Running slot version 7: an image of version 6 is refused before
  // anything is written, one of version 7 passes.
  for (uint32_t Version : {6u, 7u}) {
    Header Camera;
    Camera.Slots[0].Version = 7;
    Use(&Camera);
    SlotImages::Image Spec;
    Spec.SlotVersion = Version;
    std::vector<uint8_t> Versioned = Format3(Spec);
    const EFI_STATUS Status = Program(Versioned, TrailerFor(Versioned, 0x3000, kChunk));
    if (Version == 6) {
      EXPECT_EQ(Status, EFI_SECURITY_VIOLATION);
      ExpectUntouched("rollback");
    } else {
      EXPECT_EQ(Status, EFI_SUCCESS);
    }
  }

  // Only the low byte of the target slot's Flags counts.
  Header Locked;
  Locked.Slots[1].Flags = 0x100;
  Use(&Locked);
  EXPECT_EQ(Program(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_ACCESS_DENIED);
  ExpectUntouched("flags");
}

TEST_F(SlotUpdateTest, HeadersThatPointOutsideThemselvesAreRefusedBeforeAnyWrite) {
  struct Case {
    uint8_t SlotCount;
    uint8_t ActiveSlot;
  } Cases[] = {{0, 0}, {0, 0xFF}, {3, 0}, {2, 2}, {2, 5}, {1, 1}};
  std::vector<uint8_t> Image = Format3({});
  for (const Case &C : Cases) {
    Header Camera;
    Camera.SlotCount = C.SlotCount;
    Camera.ActiveSlot = C.ActiveSlot;
    Use(&Camera);
    BOOLEAN NoHeader = TRUE;
    EXPECT_EQ(Program(Image, TrailerFor(Image, 0x3000, kChunk), &NoHeader), EFI_VOLUME_CORRUPTED)
        << int(C.SlotCount) << "/" << int(C.ActiveSlot);
    EXPECT_FALSE(NoHeader);
    ExpectUntouched("header");

    // The slot update returns it without falling back to the whole image.
    ClearLogs();
    EXPECT_EQ(Update(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_VOLUME_CORRUPTED);
    ExpectUntouched("no fallback");
  }
}

TEST_F(SlotUpdateTest, ProgramLengthRoundsTheSlotDataUpToTheNextKilobyte) {
  // A format-3 image of 0x23000 bytes without a declared length: 0x20400
  // bytes written from the target slot's offset.
  Header Camera;
  Use(&Camera);
  SlotImages::Image Spec;
  Spec.Size = 0x23000;
  Spec.VersionBlockWord = 0x1F000;
  std::vector<uint8_t> Image = Format3(Spec);
  ASSERT_EQ(Program(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_SUCCESS);
  std::vector<uint32_t> Writes = WriteAddresses();
  std::vector<uint32_t> Slot;
  std::copy_if(Writes.begin(), Writes.end(), std::back_inserter(Slot), [](uint32_t A) { return A >= 0x40000; });
  ASSERT_FALSE(Slot.empty());
  EXPECT_EQ(Slot.front(), 0x40000u);
  EXPECT_EQ(Slot.back(), 0x40000u + 0x20400 - kChunk);
  EXPECT_EQ(Slot.size(), 0x20400u / kChunk);
}

TEST_F(SlotUpdateTest, TheEraseSkipsSectorsFromHalfAMegabyteAndRetriesFailures) {
  // A slot at 0x7F000 with four sectors to erase: only 0x7F is erased.
  Header High;
  High.Slots[1].Offset = 0x7F000;
  Use(&High);
  SlotImages::Image Spec;
  Spec.Size = 0x4000;
  Spec.VersionBlockWord = 0x3000;  // four sectors
  std::vector<uint8_t> Image = Format3(Spec);
  Program(Image, TrailerFor(Image, 0x3000, kChunk));
  std::vector<unsigned> Erases = Erased();
  ASSERT_FALSE(Erases.empty());
  EXPECT_EQ(std::vector<unsigned>(Erases.begin() + 1, Erases.end()), std::vector<unsigned>{0x7F});

  // An erase that fails twice and then succeeds: two 300 ms waits, and the
  // update goes on. Its transfers are found in a dry run.
  Header Camera;
  Use(&Camera);
  std::vector<uint8_t> Normal = Format3({});
  ASSERT_EQ(Program(Normal, TrailerFor(Normal, 0x3000, kChunk)), EFI_SUCCESS);
  size_t FirstSlotErase = 0;
  for (size_t I = 0; I < Transfers().size(); ++I) {
    const Sim::UsbTransfer &T = Transfers()[I];
    if (T.Setup.Request == 0x01 && (T.Setup.Value >> 8) == 0x0D && T.Data == std::vector<uint8_t>{0x00, 0x00, 0x04, 0x00}) {
      FirstSlotErase = I + 1;
      break;
    }
  }
  ASSERT_NE(FirstSlotErase, 0u);
  Use(&Camera);
  Bus().FailTransfer(FirstSlotErase, EFI_DEVICE_ERROR);
  Bus().FailTransfer(FirstSlotErase + 2, EFI_DEVICE_ERROR);
  ASSERT_EQ(Program(Normal, TrailerFor(Normal, 0x3000, kChunk)), EFI_SUCCESS);
  EXPECT_EQ(P().Boot().CountCalls("Stall", "300000"), 2u);

  // Four failures in a row: the erase's status, after three waits.
  Use(&Camera);
  for (size_t K = 0; K < 4; ++K) {
    Bus().FailTransfer(FirstSlotErase + 2 * K, EFI_DEVICE_ERROR);
  }
  EXPECT_EQ(Program(Normal, TrailerFor(Normal, 0x3000, kChunk)), EFI_DEVICE_ERROR);
  EXPECT_EQ(P().Boot().CountCalls("Stall", "300000"), 3u);
  EXPECT_EQ(IndexOf("W6000=01"), Ops().size());
}

TEST_F(SlotUpdateTest, TheTailRecordIsWrittenOnlyOverAnErasedOrOlderCounter) {
  // A tagged image: the tail record area at 0x4000 (its counter 0x00000005).
  SlotImages::Image Spec;
  Spec.Size = 0x5000;
  Spec.SlotDataLength = 0x1000;
  Spec.VersionBlockWord = 0x1000;
  Spec.TailWord = 0x00804000;
  std::vector<uint8_t> Image = Format3(Spec);
  PutBe32(Image, 0x4000, 5);

  struct Case {
    uint32_t DeviceCounter;
    bool Written;
  } Cases[] = {{0xFFFFFFFF, true}, {4, true}, {5, false}, {6, false}};
  for (const Case &C : Cases) {
    Header Camera;
    Use(&Camera);
    std::vector<uint8_t> Counter(4);
    PutBe32(Counter, 0, C.DeviceCounter);
    std::copy(Counter.begin(), Counter.end(), Cam->Flash().begin() + 0x4000);
    Cam->Flash()[0x4800] = 0x00;  // shows whether the sector was erased
    ASSERT_EQ(Program(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_SUCCESS) << C.DeviceCounter;
    if (C.Written) {
      EXPECT_EQ(Flash(0x4000, 0x1000), std::vector<uint8_t>(Image.begin() + 0x4000, Image.end())) << C.DeviceCounter;
    } else {
      EXPECT_EQ(Flash(0x4000, 4), Counter) << C.DeviceCounter;
      EXPECT_EQ(Cam->Flash()[0x4800], 0x00) << C.DeviceCounter;
    }
  }

  // A counter that cannot be read counts as 0. With an image counter of 0
  // and a camera counter of 0 nothing is written, and the failed read's
  // status is the answer.
  std::vector<uint8_t> Zero = Image;
  PutBe32(Zero, 0x4000, 0);
  const TestSigner::Trailer ZeroTrailer = TrailerFor(Zero, 0x3000, kChunk);
  Header Camera;
  auto ZeroCounters = [&] {
    std::fill(Cam->Flash().begin() + 0x4000, Cam->Flash().begin() + 0x4004, 0x00);
    Cam->Flash()[0x4800] = 0x00;
  };
  Use(&Camera);
  ZeroCounters();
  ASSERT_EQ(Program(Zero, ZeroTrailer), EFI_SUCCESS);
  const size_t TailRead = Transfers().size();
  ASSERT_EQ(Transfers().back().Setup.Request, 0x81);  // the counter's read ends it
  Use(&Camera);
  ZeroCounters();
  Bus().FailTransfer(TailRead, EFI_TIMEOUT);
  EXPECT_EQ(Program(Zero, ZeroTrailer), EFI_TIMEOUT);
  EXPECT_EQ(Flash(0x4000, 4), std::vector<uint8_t>(4, 0x00));
  EXPECT_EQ(Cam->Flash()[0x4800], 0x00);
}

TEST_F(SlotUpdateTest, LengthsAndOffsetsFromTheImageNeverLeaveItsBuffers) {
  struct Case {
    const char *Name;
    SlotImages::Image Spec;
  };
  SlotImages::Image TooLong;
  TooLong.SlotDataLength = 0x3001;  // slot data is 0x2000 bytes; the read-back holds 0x1000 more
  SlotImages::Image FarVersionBlock;
  FarVersionBlock.Mode1 = true;
  FarVersionBlock.VersionBlockWord = 0x6800;  // the block would end past the copy
  SlotImages::Image FarTail;
  FarTail.TailWord = 0x00805000;  // the counter would lie past the image
  const Case Cases[] = {{"slot length", TooLong}, {"version block", FarVersionBlock}, {"tail", FarTail}};
  for (const Case &C : Cases) {
    Header Camera;
    Use(&Camera);
    std::vector<uint8_t> Image = Format3(C.Spec);
    EXPECT_EQ(Program(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_BAD_BUFFER_SIZE) << C.Name;
    ExpectUntouched(C.Name);
  }

  // An image too short for its slot words.
  Header Camera;
  Use(&Camera);
  std::vector<uint8_t> Short = Format3({});
  Short.resize(0x3132);
  EXPECT_EQ(Program(Short, TestSigner::Trailer{}), EFI_BAD_BUFFER_SIZE);
  ExpectUntouched("short");

  // A format-2 image is shorter than the tail-record word: not tagged, and
  // nothing past it is read (exact-size buffer).
  Use(&Camera);
  std::vector<uint8_t> Small(0x2000, 0x3C);
  std::vector<uint8_t> Block = HeaderBlock(Header{}, 0x00);
  std::copy(Block.begin(), Block.begin() + 100, Small.begin());
  Small[7] = 0xFF;
  PutBe32(Small, 0x128, 0x1000);
  PutBe32(Small, 0x12C, 0x800);
  PutBe32(Small, 0x130, 3);
  EXPECT_EQ(Program(Small, TrailerFor(Small, 0, kChunk)), EFI_SUCCESS);
  EXPECT_EQ(Flash(0x40000, 0x800), std::vector<uint8_t>(Small.begin(), Small.begin() + 0x800));
}

TEST_F(SlotUpdateTest, UnusableChunkLengthsAreRefusedAndPartialChunksArePadded) {
  Header Camera;
  Use(&Camera);
  Cam->OverrideLength(0x0F, 0x2000);
  std::vector<uint8_t> Image = Format3({});
  EXPECT_EQ(Program(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_UNSUPPORTED);
  ExpectUntouched("chunk");

  // 0x280-byte chunks divide neither the 0x2400 bytes of slot data nor the
  // header sector: the last chunks are padded with 0xFF.
  Use(&Camera, 0x280);
  ASSERT_EQ(Program(Image, TrailerFor(Image, 0x3000, 0x280)), EFI_SUCCESS);
  const std::vector<uint8_t> Window = WindowBytes(Image, 0x3000, 0x280);
  EXPECT_EQ(Flash(0x40000, Window.size()), Window);
  for (const Sim::UsbTransfer &T : Transfers()) {
    if ((T.Setup.Value >> 8) == 0x0F && T.Setup.Request != 0x85) {
      EXPECT_EQ(T.Data.size(), 0x280u);
    }
  }
}

TEST_F(SlotUpdateTest, AllocationFailuresNeverWipeAWorkingCamera) {
  // Each allocation of a clean run fails in turn. The result is
  // EFI_OUT_OF_RESOURCES (or a success where a retried read absorbs it),
  // never the whole-image road: the header stays a header and the running
  // slot stays intact. Nothing leaks.
  Header Camera;
  Use(&Camera);
  std::vector<uint8_t> Image = Format3({});
  const TestSigner::Trailer Trailer = TrailerFor(Image, 0x3000, kChunk);
  const uint64_t Before = P().Boot().AllocationCount();
  ASSERT_EQ(Update(Image, Trailer), EFI_SUCCESS);
  const uint64_t Allocations = P().Boot().AllocationCount() - Before;
  ASSERT_GT(Allocations, 4u);

  size_t OutOfResources = 0;
  for (uint64_t N = 1; N <= Allocations; ++N) {
    Use(&Camera);
    P().Boot().FailAllocation(N);
    const EFI_STATUS Status = Update(Image, Trailer);
    // A failure inside the header's read-back counts as a header that did
    // not read back (EFI_DEVICE_ERROR).
    EXPECT_TRUE(Status == EFI_SUCCESS || Status == EFI_OUT_OF_RESOURCES || Status == EFI_DEVICE_ERROR)
        << N << " " << Status;
    OutOfResources += Status == EFI_OUT_OF_RESOURCES;
    // Never the whole image: the header sector keeps the camera's bytes after
    // the header, the stretch before the slots is not erased, and the
    // running slot is intact.
    EXPECT_EQ(Flash(0x64, 0x1000 - 0x64), std::vector<uint8_t>(0x1000 - 0x64, 0xFF)) << N;
    EXPECT_EQ(Flash(0x1000, 0x2000), std::vector<uint8_t>(0x2000, 0xA7)) << N;
    EXPECT_EQ(Flash(0x10000, 0x2000), RunningSlot) << N;
    EXPECT_TRUE(P().Boot().LiveAllocations().empty()) << N;
  }
  // The copy, the header read-back block, the read-back buffer, and the
  // bounce buffers of the transfers.
  EXPECT_GE(OutOfResources, 3u);
}

TEST_F(SlotUpdateTest, TheSlotUpdateRestartsTheIspUnlessTheCameraFailedToVerify) {
  Header Camera;
  Use(&Camera);
  std::vector<uint8_t> Image = Format3({});
  ASSERT_EQ(Update(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_SUCCESS);
  EXPECT_EQ(Ops().back(), "W20D8=A5");
  EXPECT_EQ(std::count(gReports.begin(), gReports.end(), 100u), 2);
  EXPECT_EQ(P().Boot().CountCalls("Stall", "1000000"), 2u);

  // A header that does not read back: EFI_DEVICE_ERROR and no restart.
  std::vector<uint8_t> Dry = Image;
  Use(&Camera);
  ASSERT_EQ(Update(Dry, TrailerFor(Dry, 0x3000, kChunk)), EFI_SUCCESS);
  size_t HeaderReadBack = 0;
  size_t Sector0Reads = 0;
  for (size_t I = 0; I < Transfers().size(); ++I) {
    const Sim::UsbTransfer &T = Transfers()[I];
    if (T.Setup.Request == 0x01 && (T.Setup.Value >> 8) == 0x0E && T.Data == std::vector<uint8_t>{0, 0, 0, 0} &&
        I + 2 < Transfers().size() && Transfers()[I + 2].Setup.Request == 0x81) {
      if (++Sector0Reads == 2) {
        HeaderReadBack = I + 3;
        break;
      }
    }
  }
  ASSERT_NE(HeaderReadBack, 0u);
  Use(&Camera);
  Bus().ShortAnswer(HeaderReadBack, 0);
  EXPECT_EQ(Update(Image, TrailerFor(Image, 0x3000, kChunk)), EFI_DEVICE_ERROR);
  EXPECT_EQ(IndexOf("W20D8=A5"), Ops().size());
  EXPECT_EQ(gReports.back(), 100u);
}

TEST_F(SlotUpdateTest, ACameraWithoutAHeaderGetsTheWholeImageWithADigestRecord) {
  // A format-1 image of 0x20000 bytes with no hashed length: the record is
  // appended and the header fields point at it.
  Use(nullptr);
  std::vector<uint8_t> Image(0x20000);
  for (size_t K = 0; K < Image.size(); ++K) {
    Image[K] = uint8_t(K * 11 + K / 4093);
  }
  Image[0] = 0x40;
  Image[0x100] = 0x95;
  Image[0x101] = 0x27;
  PutBe32(Image, 0x120, 0x30000);
  PutBe32(Image, 0x124, 0);
  PutBe32(Image, 0x12C, 0);

  ASSERT_EQ(Update(Image, TestSigner::Trailer{}), EFI_SUCCESS);

  std::vector<uint8_t> Expected = Image;
  PutBe32(Expected, 0x120, 0x21000);
  PutBe32(Expected, 0x124, 0x820006);
  PutBe32(Expected, 0x12C, 0x20000);
  const std::vector<uint8_t> Head = {'P', 'R', 'E', 'F', 'I', 'X', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1};
  Expected.insert(Expected.end(), Head.begin(), Head.end());
  const TestSigner::Digest D = Sha256(std::vector<uint8_t>(Expected.begin(), Expected.begin() + 0x20000));
  Expected.insert(Expected.end(), D.begin(), D.end());
  EXPECT_EQ(Flash(0, 0x20032), Expected);

  // 33 sectors erased, the writes from the second chunk to the record's
  // end, then the first chunk; 98, 99, 100.
  std::vector<unsigned> Sectors;
  for (unsigned S = 0; S < 33; ++S) {
    Sectors.push_back(S);
  }
  EXPECT_EQ(Erased(), Sectors);
  std::vector<uint32_t> Writes = WriteAddresses();
  ASSERT_FALSE(Writes.empty());
  EXPECT_EQ(Writes.back(), 0u);
  EXPECT_EQ(Writes.front(), kChunk);
  EXPECT_EQ(Writes[Writes.size() - 2], (0x20032u - 1) / kChunk * kChunk);
  ASSERT_GE(gReports.size(), 3u);
  EXPECT_EQ(std::vector<unsigned>(gReports.end() - 3, gReports.end()), (std::vector<unsigned>{98, 99, 100}));
  EXPECT_EQ(Ops().back(), "W20D8=A5");
}

TEST_F(SlotUpdateTest, TheFallbackAppendsNothingToOtherFormatsAndKeepsTheFirstChunkErasedOnADifference) {
  // Format 3 on a camera without a header: programmed with ActiveSlot 0.
  Use(nullptr);
  std::vector<uint8_t> Image = Format3({});
  Image[7] = 3;
  ASSERT_EQ(Update(Image, TestSigner::Trailer{}), EFI_SUCCESS);
  std::vector<uint8_t> Expected = Image;
  Expected[7] = 0;
  EXPECT_EQ(Flash(0, Image.size()), Expected);
  EXPECT_EQ(Cam->Flash()[Image.size()], 0xFF);

  // Format 0 (a tail-record word already set): programmed as it is.
  Use(nullptr);
  std::vector<uint8_t> Tagged(0x3000, 0x21);
  Tagged[0x100] = 0x95;
  Tagged[0x101] = 0x27;
  PutBe32(Tagged, 0x124, 0x1000);
  ASSERT_EQ(Update(Tagged, TestSigner::Trailer{}), EFI_SUCCESS);
  EXPECT_EQ(Flash(0, 0x3000), Tagged);
  EXPECT_EQ(Cam->Flash()[0x3000], 0xFF);

  // A hashed length beyond the image (within the image's own bound) is
  // taken as the image's length; the digest covers exactly the image.
  Use(nullptr);
  std::vector<uint8_t> Long(0x3000, 0x42);
  Long[0x100] = 0x95;
  Long[0x101] = 0x27;
  PutBe32(Long, 0x120, 0x100000);
  PutBe32(Long, 0x12C, 0x90000);
  PutBe32(Long, 0x124, 0);
  ASSERT_EQ(Update(Long, TestSigner::Trailer{}), EFI_SUCCESS);
  EXPECT_EQ(Be32(Cam->Flash().data() + 0x12C), 0x3000u);

  // An older-format image too short for its fields: nothing erased.
  Use(nullptr);
  std::vector<uint8_t> Short(0x12E, 0x00);
  Short[0x100] = 0x95;
  Short[0x101] = 0x27;
  EXPECT_EQ(Update(Short, TestSigner::Trailer{}), EFI_BAD_BUFFER_SIZE);
  EXPECT_TRUE(Erased().empty());

  // A read-back difference: EFI_INVALID_PARAMETER, 98 then 100, address 0
  // still erased, the ISP restarted. The read-back's first data transfer is
  // found in a dry run.
  Use(nullptr);
  std::vector<uint8_t> Dry = Tagged;
  ASSERT_EQ(Update(Dry, TestSigner::Trailer{}), EFI_SUCCESS);
  size_t FirstRead = 0;
  bool Written = false;
  for (size_t I = 0; I < Transfers().size(); ++I) {
    const Sim::UsbTransfer &T = Transfers()[I];
    Written = Written || (T.Setup.Request == 0x01 && (T.Setup.Value >> 8) == 0x0F);
    if (Written && T.Setup.Request == 0x81 && (T.Setup.Value >> 8) == 0x0F) {
      FirstRead = I + 1;
      break;
    }
  }
  ASSERT_NE(FirstRead, 0u);
  Use(nullptr);
  gReports.clear();
  Bus().ShortAnswer(FirstRead, 0);
  EXPECT_EQ(Update(Tagged, TestSigner::Trailer{}), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Flash(0, kChunk), std::vector<uint8_t>(kChunk, 0xFF));
  EXPECT_EQ(std::vector<unsigned>(gReports.end() - 2, gReports.end()), (std::vector<unsigned>{98, 100}));
  EXPECT_EQ(Ops().back(), "W20D8=A5");
}

}  // namespace

namespace {

using namespace SlotImages;

// The two-slot ISP as it ships: slot 0 runs (0x3000), slot 1 (0x41000) is
// free; it boots from its flash and settles an update against the signed
// digest at its restart.
class SlotUpdateBootTest : public CameraUsbTest {
 protected:
  void SetUp() override {
    CameraUsbTest::SetUp();
    Cam = Plug(3, Sim::CameraProfile::ForIspKind('p'));
    ASSERT_EQ(FindCameraDevice(&Context, 0x30C9, 0x004A), EFI_SUCCESS);
    ASSERT_EQ(Cam->Running(), Sim::BootImage::Slot0);
    Chunk = Cam->Profile().ChunkSize;
  }

  EFI_STATUS Update(const std::vector<uint8_t> &Image, const TestSigner::Trailer &Trailer) {
    std::unique_ptr<uint8_t[]> Exact(new uint8_t[Image.size()]);
    std::copy(Image.begin(), Image.end(), Exact.get());
    return UpdateSlotFirmware(&Context, Exact.get(), Image.size(), Trailer.data(), Trailer.size(), nullptr);
  }

  // The identity the camera presents now.
  uint16_t BcdDevice() {
    CAMERA_CONTEXT Again{};
    EXPECT_EQ(FindCameraDevice(&Again, 0x30C9, 0x004A), EFI_SUCCESS);
    return Again.DeviceDescriptor.BcdDevice;
  }

  std::shared_ptr<Sim::Camera> Cam;
  CAMERA_CONTEXT Context{};
  size_t Chunk = 0;
};

TEST_F(SlotUpdateBootTest, ASignedImageRunsAfterTheRestart) {
  SlotImages::Image Spec;
  Spec.Bcd = 0x0207;
  std::vector<uint8_t> Image = Format3(Spec);

  ASSERT_EQ(Update(Image, TrailerFor(Image, 0x3000, Chunk)), EFI_SUCCESS);

  // The slot update restarted the ISP and waited; the ISP found the digest
  // right and made slot 1 active.
  EXPECT_EQ(Cam->RestartsCompleted(), 1u);
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Slot1);
  EXPECT_EQ(BcdDevice(), 0x0207);
  EXPECT_EQ(Cam->Flash()[7], 1);
  EXPECT_EQ(Cam->Flash()[8], 0);
}

TEST_F(SlotUpdateBootTest, AnImageWhoseSignatureDoesNotMatchIsWrittenButNotBooted) {
  SlotImages::Image Spec;
  Spec.Bcd = 0x0207;
  std::vector<uint8_t> Image = Format3(Spec);
  std::vector<uint8_t> Other = Image;
  Other[0x3400] ^= 0x01;  // signed over other bytes

  ASSERT_EQ(Update(Image, TrailerFor(Other, 0x3000, Chunk)), EFI_SUCCESS);

  // The slot holds the image, yet the camera went back to slot 0.
  EXPECT_EQ(std::vector<uint8_t>(Cam->Flash().begin() + 0x41000, Cam->Flash().begin() + 0x41000 + 0x2000),
            std::vector<uint8_t>(Image.begin() + 0x3000, Image.end()));
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Slot0);
  EXPECT_EQ(BcdDevice(), 0x0100);
  EXPECT_EQ(Cam->Flash()[7], 0);
}


TEST_F(SlotUpdateBootTest, TheDispatcherRewritesAnOlderHeaderAndTheCameraRunsTheNewSlot) {
  // The image's header (version 0x10) is newer than the camera's (1): the
  // first sector takes the image's bytes after the header, the ISP restarts
  // and is found again, then slot 1 is written, and after the slot update's
  // restart it runs.
  SlotImages::Image Spec;
  Spec.Bcd = 0x0311;
  std::vector<uint8_t> Body = Format3(Spec);
  const TestSigner::Trailer Trailer = TrailerFor(Body, 0x3000, Chunk);
  std::vector<uint8_t> Image = Body;
  Image.insert(Image.end(), Trailer.begin(), Trailer.end());
  std::unique_ptr<uint8_t[]> Exact(new uint8_t[Image.size()]);
  std::copy(Image.begin(), Image.end(), Exact.get());

  ASSERT_EQ(UpdateCameraFirmware(&Context, Exact.get(), Image.size(), nullptr, TRUE), EFI_SUCCESS);

  EXPECT_EQ(Cam->RestartsCompleted(), 2u);
  EXPECT_EQ(Be32(Cam->Flash().data() + 2), 0x10u);
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Slot1);
  EXPECT_EQ(BcdDevice(), 0x0311);
}

}  // namespace
