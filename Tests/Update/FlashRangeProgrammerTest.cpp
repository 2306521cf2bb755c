// The range programmer against the simulated camera: the command set, the
// erase order and the chunked writes on the wire, the flash contents after
// it, and the lengths it refuses before anything is erased.
#include <string>
#include <vector>

#include "FlashStrategies.h"
#include "Usb/CameraUsbFixture.h"
#include "Usb/XuTrace.h"

namespace {

constexpr uint8_t kPort = 1;
constexpr UINT16 kXu = 0x0400;

class FlashRangeProgrammerTest : public CameraUsbTest {
 protected:
  void Use(Sim::CameraProfile Profile) {
    Cam = Plug(kPort, Profile);
    Context = CAMERA_CONTEXT{};
    Context.UsbIo = Bus().UsbIo(kPort, 0);
    Context.XuIndex = kXu;
    ClearLogs();
  }

  static Sim::CameraProfile Chunked(uint16_t ChunkSize) {
    Sim::CameraProfile Profile;
    Profile.ChunkSize = ChunkSize;
    return Profile;
  }

  // Distinct bytes, so that a chunk written at the wrong address shows.
  static std::vector<UINT8> Pattern(size_t Size) {
    std::vector<UINT8> Data(Size);
    for (size_t I = 0; I < Size; ++I) {
      Data[I] = static_cast<UINT8>((I * 7 + I / 251) & 0xFF);
    }
    return Data;
  }

  // The erases (sector numbers) and write addresses on the wire, in order.
  std::vector<std::string> FlashOps() {
    std::vector<std::string> Out;
    for (const std::string &Op : XuTrace::Ops(Transfers())) {
      if (Op.compare(0, 4, "S0D=") == 0 || Op.compare(0, 4, "S0E=") == 0) {
        Out.push_back(Op);
      }
    }
    return Out;
  }

  size_t Count(const std::string &Prefix) {
    size_t N = 0;
    for (const std::string &Op : XuTrace::Ops(Transfers())) {
      N += Op.compare(0, Prefix.size(), Prefix) == 0;
    }
    return N;
  }

  std::shared_ptr<Sim::Camera> Cam;
  CAMERA_CONTEXT Context{};
};

TEST_F(FlashRangeProgrammerTest, ErasesTheWholeStretchThenWritesItChunkByChunk) {
  Use(Chunked(0x400));
  std::vector<UINT8> Data = Pattern(0x3000);

  ASSERT_EQ(ProgramFlashRange(&Context, Data.data(), 22, 0, 0x3000), EFI_SUCCESS);

  // Sectors 0, 1, 2 erased before the first write, then twelve chunks in
  // address order.
  std::vector<std::string> Expected = {"S0D=00000000", "S0D=00100000", "S0D=00200000"};
  for (uint32_t A = 0; A < 0x3000; A += 0x400) {
    Expected.push_back("S0E=" + XuTrace::Hex({uint8_t(A), uint8_t(A >> 8), uint8_t(A >> 16), uint8_t(A >> 24)}));
  }
  EXPECT_EQ(FlashOps(), Expected);
  EXPECT_EQ(std::vector<UINT8>(Cam->Flash().begin(), Cam->Flash().begin() + 0x3000), Data);
  EXPECT_EQ(Cam->Flash()[0x3000], 0xFF);
  // The command set, then the chunk length asked once more before the erase.
  const std::vector<std::string> Ops = XuTrace::Ops(Transfers());
  ASSERT_GE(Ops.size(), 27u);
  EXPECT_EQ(Ops[0], "S07=01");
  EXPECT_EQ(Ops[25], "L0F");
  EXPECT_EQ(Ops[26], "L0F");
  EXPECT_EQ(Ops[27], "S0D=00000000");
  ExpectPacedTransfers();
}

TEST_F(FlashRangeProgrammerTest, LoadsTheCommandSetOfTheFlashKind) {
  // Kind 63 takes set 1 (32 KiB block erase 0x52, mode 1); kind 0 and
  // unlisted kinds take set 0.
  Sim::CameraProfile Profile = Chunked(0x100);
  Profile.FlashKind = 63;
  Use(Profile);
  std::vector<UINT8> Data = Pattern(0x1000);
  ASSERT_EQ(ProgramFlashRange(&Context, Data.data(), 63, 0, 0x1000), EFI_SUCCESS);
  EXPECT_EQ(Cam->CommandSlot(7), 0x52);
  EXPECT_EQ(Cam->CommandMode(), 0x01);
  EXPECT_EQ(std::vector<UINT8>(Cam->Flash().begin(), Cam->Flash().begin() + 0x1000), Data);

  for (UINT8 Kind : {UINT8(0), UINT8(200)}) {
    Use(Chunked(0x100));
    ASSERT_EQ(ProgramFlashRange(&Context, Data.data(), Kind, 0, 0x1000), EFI_SUCCESS);
    EXPECT_EQ(Cam->CommandSlot(7), 0xD8) << int(Kind);
    EXPECT_EQ(Cam->CommandMode(), 0x00) << int(Kind);
  }
}

TEST_F(FlashRangeProgrammerTest, StopsAtTheFirstFailureWithoutRetrying) {
  Use(Chunked(0x400));
  std::vector<UINT8> Data = Pattern(0x1000);
  Cam->Flash()[0x10] = 0x00;

  // Transfers 1..51 load the command set, 52 reads the chunk length; the
  // erase of sector 0 is the SET_CUR of transfer 54.
  Bus().FailTransfer(54, EFI_DEVICE_ERROR);
  EXPECT_EQ(ProgramFlashRange(&Context, Data.data(), 22, 0, 0x1000), EFI_DEVICE_ERROR);
  EXPECT_EQ(Count("S0D="), 1u);
  EXPECT_EQ(Count("S0E="), 0u);
  EXPECT_EQ(Cam->Flash()[0x10], 0x00);

  // A write whose data phase fails twice (it is repeated once inside the
  // write) ends the call; the rest of the stretch is not written. The
  // second chunk's data phases are transfers 62 and 64.
  ClearLogs();
  Bus().FailTransfer(62, EFI_DEVICE_ERROR);
  Bus().FailTransfer(64, EFI_DEVICE_ERROR);
  EXPECT_EQ(ProgramFlashRange(&Context, Data.data(), 22, 0, 0x1000), EFI_DEVICE_ERROR);
  EXPECT_EQ(Count("S0E="), 2u);
  EXPECT_EQ(Count("S0F="), 3u);
  EXPECT_EQ(std::vector<UINT8>(Cam->Flash().begin(), Cam->Flash().begin() + 0x400),
            std::vector<UINT8>(Data.begin(), Data.begin() + 0x400));
  EXPECT_EQ(Cam->Flash()[0x400], 0xFF);
}

TEST_F(FlashRangeProgrammerTest, EmptyStretchReadsOnlyTheCommandSetAndTheLength) {
  Use(Chunked(0x400));
  EXPECT_EQ(ProgramFlashRange(&Context, nullptr, 22, 0x1000, 0x1000), EFI_SUCCESS);
  EXPECT_EQ(Transfers().size(), 25u * 2 + 2);
  EXPECT_EQ(Count("S0D="), 0u);

  // The status of that last length read is the answer.
  ClearLogs();
  Bus().FailTransfer(52, EFI_TIMEOUT);
  EXPECT_EQ(ProgramFlashRange(&Context, nullptr, 22, 0, 0), EFI_TIMEOUT);
}

TEST_F(FlashRangeProgrammerTest, RefusesUnusableChunkLengthsBeforeErasing) {
  std::vector<UINT8> Data = Pattern(0x1000);
  for (uint16_t Length : {uint16_t(0), uint16_t(0x1001), uint16_t(0xFFFF)}) {
    Use(Chunked(0x400));
    Cam->OverrideLength(0x0F, Length);
    Cam->Flash()[0] = 0x12;
    EXPECT_EQ(ProgramFlashRange(&Context, Data.data(), 22, 0, 0x1000), EFI_UNSUPPORTED) << Length;
    EXPECT_EQ(Count("S0D="), 0u) << Length;
    EXPECT_EQ(Cam->Flash()[0], 0x12) << Length;
  }

  // A length read that fails leaves nothing to program with: its status.
  Use(Chunked(0x400));
  Bus().FailTransfer(52, EFI_DEVICE_ERROR);
  EXPECT_EQ(ProgramFlashRange(&Context, Data.data(), 22, 0, 0x1000), EFI_DEVICE_ERROR);
  EXPECT_EQ(Count("S0D="), 0u);
}

TEST_F(FlashRangeProgrammerTest, ALastPartialChunkIsPaddedAndNothingPastTheDataIsRead) {
  // 0x1000 bytes in 0x300-byte chunks: the sixth chunk holds 0x100 data
  // bytes and 0x200 bytes of 0xFF. The data buffer has exactly 0x1000 bytes
  // (the sanitizer build catches a read past it), and the flash after the
  // stretch keeps what it held.
  Use(Chunked(0x300));
  std::vector<UINT8> Data = Pattern(0x1000);
  for (size_t A = 0x1000; A < 0x1200; ++A) {
    Cam->Flash()[A] = 0x5A;
  }

  ASSERT_EQ(ProgramFlashRange(&Context, Data.data(), 22, 0, 0x1000), EFI_SUCCESS);
  EXPECT_EQ(std::vector<UINT8>(Cam->Flash().begin(), Cam->Flash().begin() + 0x1000), Data);
  EXPECT_EQ(Cam->Flash()[0x1000], 0x5A);
  EXPECT_EQ(Cam->Flash()[0x11FF], 0x5A);

  const Sim::UsbTransfer *Last = nullptr;
  for (const Sim::UsbTransfer &T : Transfers()) {
    if (T.Setup.Request == 0x01 && (T.Setup.Value >> 8) == 0x0F) {
      EXPECT_EQ(T.Data.size(), 0x300u);
      Last = &T;
    }
  }
  ASSERT_NE(Last, nullptr);
  EXPECT_EQ(std::vector<UINT8>(Last->Data.begin(), Last->Data.begin() + 0x100),
            std::vector<UINT8>(Data.begin() + 0xF00, Data.end()));
  EXPECT_EQ(std::vector<UINT8>(Last->Data.begin() + 0x100, Last->Data.end()), std::vector<UINT8>(0x200, 0xFF));
}

TEST_F(FlashRangeProgrammerTest, BadArgumentsSendNothing) {
  Use(Chunked(0x400));
  std::vector<UINT8> Data = Pattern(0x1000);
  EXPECT_EQ(ProgramFlashRange(nullptr, Data.data(), 22, 0, 0x1000), EFI_INVALID_PARAMETER);
  CAMERA_CONTEXT NoCamera = Context;
  NoCamera.UsbIo = nullptr;
  EXPECT_EQ(ProgramFlashRange(&NoCamera, Data.data(), 22, 0, 0x1000), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ProgramFlashRange(&Context, nullptr, 22, 0, 0x1000), EFI_INVALID_PARAMETER);
  // Sector numbers are 16 bits: a stretch past 256 MiB is out of reach.
  EXPECT_EQ(ProgramFlashRange(&Context, Data.data(), 22, 0, 0x10001000ull), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}

}  // namespace
