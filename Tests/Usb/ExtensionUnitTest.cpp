// The extension-unit register protocol against the simulated camera: the
// exact setup packets and data of every operation, the 10 ms pacing, the
// unit's own length in wLength, the stops on failures and warnings, the one
// data-phase retry of flash writes, NULL arguments, and the pool and buffer
// bounds of the flash reads.
#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CameraUsbFixture.h"
#include "ExtensionUnit.h"

namespace {

constexpr uint8_t kPort = 1;
constexpr UINT16 kXu = 0x0400;
constexpr uint64_t kPacedTransferNs = 10000000 + Sim::UsbBus::kDefaultTransferCostNs;

std::vector<unsigned> GetLen(uint8_t Selector) { return {0xA1, 0x85, Selector * 256u, kXu, 2}; }
std::vector<unsigned> GetCur(uint8_t Selector, unsigned Length) { return {0xA1, 0x81, Selector * 256u, kXu, Length}; }
std::vector<unsigned> SetCur(uint8_t Selector, unsigned Length) { return {0x21, 0x01, Selector * 256u, kXu, Length}; }
std::vector<uint8_t> Le32(uint32_t V) {
  return {uint8_t(V), uint8_t(V >> 8), uint8_t(V >> 16), uint8_t(V >> 24)};
}

class ExtensionUnitTest : public CameraUsbTest {
 protected:
  void SetUp() override {
    CameraUsbTest::SetUp();
    Cam = Plug(kPort);
    // A flash pattern that does not repeat every 256 bytes, so a read from
    // the wrong offset shows.
    std::vector<uint8_t> &Flash = Cam->Flash();
    for (size_t I = 0; I < Flash.size(); ++I) {
      Flash[I] = static_cast<uint8_t>(I * 7 + (I >> 8) * 13);
    }
    ClearLogs();
  }
  EFI_USB_IO_PROTOCOL *Io() { return Bus().UsbIo(kPort, 0); }
  std::vector<uint8_t> FlashAt(size_t Offset, size_t Length) {
    return std::vector<uint8_t>(Cam->Flash().begin() + Offset, Cam->Flash().begin() + Offset + Length);
  }
  size_t Count(const std::vector<unsigned> &Setup) {
    return static_cast<size_t>(std::count_if(Transfers().begin(), Transfers().end(),
                                             [&](const Sim::UsbTransfer &T) { return SetupOf(T) == Setup; }));
  }

  std::shared_ptr<Sim::Camera> Cam;
};

TEST_F(ExtensionUnitTest, RegisterReadIsFourPacedTransfers) {
  Cam->SetRegister(0x20FF, 0x5A);
  const uint64_t Start = P().Clock().NowNs();
  UINT8 Value = 0;
  ASSERT_EQ(IspReadRegister(Io(), kXu, 0x20FF, &Value), EFI_SUCCESS);
  EXPECT_EQ(Value, 0x5A);

  const auto &T = Transfers();
  ASSERT_EQ(T.size(), 4u);
  EXPECT_EQ(SetupOf(T[0]), GetLen(2));
  EXPECT_EQ(SetupOf(T[1]), SetCur(2, 2));
  EXPECT_EQ(T[1].Data, (std::vector<uint8_t>{0xFF, 0x20}));
  EXPECT_EQ(SetupOf(T[2]), GetLen(3));
  EXPECT_EQ(SetupOf(T[3]), GetCur(3, 1));
  EXPECT_EQ(T[0].DataLength, 2u);
  EXPECT_EQ(T[3].DataLength, 1u);
  EXPECT_EQ(T[1].Direction, EfiUsbDataOut);

  // 10 ms before each transfer: the first starts 10 ms in, the rest follow
  // at 10 ms plus one transfer's cost.
  EXPECT_EQ(ExpectPacedTransfers(), 4u);
  EXPECT_EQ(P().Boot().TotalStallUs(), 40000u);
  EXPECT_EQ(T[0].TimeNs, Start + 10000000);
  for (size_t I = 1; I < T.size(); ++I) {
    EXPECT_EQ(T[I].TimeNs - T[I - 1].TimeNs, kPacedTransferNs);
  }
}

TEST_F(ExtensionUnitTest, RegisterWriteAndDwordReadSendAddressThenData) {
  ASSERT_EQ(IspWriteRegister(Io(), kXu, 0x1234, 0xA5), EFI_SUCCESS);
  EXPECT_EQ(Cam->Register(0x1234), 0xA5);
  ASSERT_EQ(Transfers().size(), 4u);
  EXPECT_EQ(Transfers()[1].Data, (std::vector<uint8_t>{0x34, 0x12}));
  EXPECT_EQ(SetupOf(Transfers()[3]), SetCur(3, 1));
  EXPECT_EQ(Transfers()[3].Data, std::vector<uint8_t>{0xA5});

  ClearLogs();
  Cam->SetDword(0x00806000, 0x4F525000u | 0x41);  // bytes 41 50 52 4F in address order
  UINT8 Dword[4] = {};
  ASSERT_EQ(IspReadDword(Io(), kXu, 0x00806000, Dword), EFI_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(Dword, Dword + 4), (std::vector<uint8_t>{0x41, 0x50, 0x52, 0x4F}));
  ASSERT_EQ(Transfers().size(), 4u);
  EXPECT_EQ(SetupOf(Transfers()[1]), SetCur(0x1A, 4));
  EXPECT_EQ(Transfers()[1].Data, Le32(0x00806000));
  EXPECT_EQ(SetupOf(Transfers()[3]), GetCur(0x1B, 4));
  EXPECT_EQ(ExpectPacedTransfers(), 4u);
}

TEST_F(ExtensionUnitTest, EraseSendsTheSectorByteAddress) {
  std::fill(Cam->Flash().begin() + 7 * 4096, Cam->Flash().begin() + 8 * 4096, 0x00);
  ASSERT_EQ(XuFlashEraseSector(Io(), kXu, 7), EFI_SUCCESS);
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(SetupOf(Transfers()[0]), GetLen(0x0D));
  EXPECT_EQ(SetupOf(Transfers()[1]), SetCur(0x0D, 4));
  EXPECT_EQ(Transfers()[1].Data, (std::vector<uint8_t>{0x00, 0x70, 0x00, 0x00}));
  EXPECT_EQ(FlashAt(7 * 4096, 4096), std::vector<uint8_t>(4096, 0xFF));
  EXPECT_NE(Cam->Flash()[8 * 4096 + 1], 0xFF);

  ClearLogs();
  ASSERT_EQ(XuFlashEraseSector(Io(), kXu, 0x0123), EFI_SUCCESS);
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Transfers()[1].Data, (std::vector<uint8_t>{0x00, 0x30, 0x12, 0x00}));
  EXPECT_EQ(ExpectPacedTransfers(), 2u);
}

TEST_F(ExtensionUnitTest, DeviceDescriptorIsOneUnpacedStandardRequest) {
  EFI_USB_DEVICE_DESCRIPTOR Descriptor{};
  ASSERT_EQ(UsbGetDeviceDescriptor(Io(), &Descriptor), EFI_SUCCESS);
  EXPECT_EQ(Descriptor.IdVendor, Cam->Profile().VendorId);
  EXPECT_EQ(Descriptor.IdProduct, Cam->Profile().ProductId);
  EXPECT_EQ(Descriptor.BcdDevice, Cam->Profile().BcdDevice);
  ASSERT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(SetupOf(Transfers()[0]), (std::vector<unsigned>{0x80, 0x06, 0x0100, 0x0000, 18}));
  EXPECT_EQ(Transfers()[0].DataLength, 18u);
  EXPECT_EQ(Transfers()[0].Direction, EfiUsbDataIn);
  EXPECT_EQ(P().Boot().CountCalls("Stall"), 0u);
}

TEST_F(ExtensionUnitTest, SetupLengthIsTheUnitsLengthWhateverTheCallerPasses) {
  // The caller asks for 4 bytes of a 1-byte control: wLength says 1, the
  // data length 4, and the strict unit stalls.
  UINT8 Buffer[8] = {};
  EXPECT_EQ(XuGetCur(Io(), kXu, 0x0300, Buffer, 4), EFI_DEVICE_ERROR);
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(SetupOf(Transfers()[1]), GetCur(3, 1));
  EXPECT_EQ(Transfers()[1].DataLength, 4u);

  // A unit that reports 8 for selector 0x1B gets wLength 8.
  ClearLogs();
  Cam->OverrideLength(0x1B, 8);
  EXPECT_EQ(XuGetCur(Io(), kXu, 0x1B00, Buffer, 4), EFI_DEVICE_ERROR);
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(SetupOf(Transfers()[1]), GetCur(0x1B, 8));

  ClearLogs();
  const UINT8 Two[2] = {1, 2};
  EXPECT_EQ(XuSetCur(Io(), kXu, 0x0E00, Two, 2), EFI_DEVICE_ERROR);
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(SetupOf(Transfers()[1]), SetCur(0x0E, 4));
  EXPECT_EQ(Transfers()[1].DataLength, 2u);
  EXPECT_EQ(Transfers()[1].Data, (std::vector<uint8_t>{1, 2}));

  // With the right length the read goes through.
  ClearLogs();
  ASSERT_EQ(XuGetCur(Io(), kXu, 0x1700, Buffer, 3), EFI_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(Buffer, Buffer + 3), (std::vector<uint8_t>{0xEF, 0x40, 0x14}));
  EXPECT_EQ(ExpectPacedTransfers(), 2u);
}

TEST_F(ExtensionUnitTest, FailedGetLenMeansInvalidParameterAndNoDataPhase) {
  // Selector 5 is not a control of the unit: its GET_LEN stalls.
  UINT8 Buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(XuGetCur(Io(), kXu, 0x0500, Buffer, 1), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(SetupOf(Transfers()[0]), GetLen(5));
  EXPECT_EQ(Buffer[0], 0xEE);

  ClearLogs();
  Bus().FailTransfer(1, EFI_TIMEOUT);
  EXPECT_EQ(XuSetCur(Io(), kXu, 0x0300, Buffer, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Transfers().size(), 1u);

  // XuGetLen itself hands the USB error on and reports length 0.
  ClearLogs();
  Bus().FailTransfer(1, EFI_TIMEOUT);
  UINT16 Length = 0xBEEF;
  EXPECT_EQ(XuGetLen(Io(), kXu, 0x0F00, &Length), EFI_TIMEOUT);
  EXPECT_EQ(Length, 0u);
  ASSERT_EQ(XuGetLen(Io(), kXu, 0x0F00, &Length), EFI_SUCCESS);
  EXPECT_EQ(Length, 64u);
}

TEST_F(ExtensionUnitTest, RegisterAccessStopsAtAWarningAndLeavesValueUnwritten) {
  UINT8 Value = 0xEE;
  Bus().FailTransfer(2, EFI_WARN_STALE_DATA);  // the SET_CUR of the address phase
  EXPECT_EQ(IspReadRegister(Io(), kXu, 0x1234, &Value), EFI_WARN_STALE_DATA);
  EXPECT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Value, 0xEE);

  ClearLogs();
  Bus().FailTransfer(4, EFI_WARN_STALE_DATA);  // the GET_CUR of the data phase
  EXPECT_EQ(IspReadRegister(Io(), kXu, 0x1234, &Value), EFI_WARN_STALE_DATA);
  EXPECT_EQ(Value, 0xEE);

  ClearLogs();
  Bus().FailTransfer(2, EFI_WARN_WRITE_FAILURE);
  EXPECT_EQ(IspWriteRegister(Io(), kXu, 0x1234, 0x77), EFI_WARN_WRITE_FAILURE);
  EXPECT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Cam->Register(0x1234), 0x00);

  ClearLogs();
  UINT8 Dword[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  Bus().FailTransfer(2, EFI_WARN_STALE_DATA);
  EXPECT_EQ(IspReadDword(Io(), kXu, 0x00806000, Dword), EFI_WARN_STALE_DATA);
  EXPECT_EQ(Transfers().size(), 2u);
  Bus().FailTransfer(4, EFI_WARN_STALE_DATA);  // the data phase
  EXPECT_EQ(IspReadDword(Io(), kXu, 0x00806000, Dword), EFI_WARN_STALE_DATA);
  EXPECT_EQ(std::vector<uint8_t>(Dword, Dword + 4), std::vector<uint8_t>(4, 0xEE));
}

TEST_F(ExtensionUnitTest, FlashWriteRepeatsAFailedDataPhaseOnceWithoutTheAddress) {
  std::vector<uint8_t> Data(64);
  for (size_t I = 0; I < Data.size(); ++I) {
    Data[I] = static_cast<uint8_t>(0x80 + I);
  }
  std::fill(Cam->Flash().begin() + 0x3000, Cam->Flash().begin() + 0x3040, 0xFF);

  Bus().FailTransfer(4, EFI_DEVICE_ERROR);  // first data phase
  ASSERT_EQ(XuFlashWrite(Io(), kXu, 0x3000, Data.size(), Data.data()), EFI_SUCCESS);
  ASSERT_EQ(Transfers().size(), 6u);
  EXPECT_EQ(Count(SetCur(0x0E, 4)), 1u);
  EXPECT_EQ(Count(SetCur(0x0F, 64)), 2u);
  EXPECT_EQ(Transfers()[1].Data, Le32(0x3000));
  EXPECT_EQ(Transfers()[5].Data, Data);
  EXPECT_EQ(FlashAt(0x3000, 64), Data);
  EXPECT_EQ(ExpectPacedTransfers(), 6u);

  // Both data phases fail: the second one's status, no third attempt.
  ClearLogs();
  Bus().FailTransfer(4, EFI_DEVICE_ERROR);
  Bus().FailTransfer(6, EFI_TIMEOUT);
  EXPECT_EQ(XuFlashWrite(Io(), kXu, 0x4000, Data.size(), Data.data()), EFI_TIMEOUT);
  EXPECT_EQ(Transfers().size(), 6u);
  EXPECT_EQ(Count(SetCur(0x0E, 4)), 1u);

  // A failed address phase sends no data.
  ClearLogs();
  Bus().FailTransfer(2, EFI_DEVICE_ERROR);
  EXPECT_EQ(XuFlashWrite(Io(), kXu, 0x4000, Data.size(), Data.data()), EFI_DEVICE_ERROR);
  EXPECT_EQ(Transfers().size(), 2u);
}

TEST_F(ExtensionUnitTest, NullAndOversizedArgumentsSendNothing) {
  EFI_USB_DEVICE_DESCRIPTOR Descriptor{};
  UINT16 Length = 0xBEEF;
  UINT8 Value = 0xEE;
  UINT8 Buffer[4096];
  std::fill(std::begin(Buffer), std::end(Buffer), 0xEE);
  const UINTN TooLong = UINTN(MAX_UINT32) + 1;

  const std::vector<std::pair<std::string, std::function<EFI_STATUS()>>> Calls = {
      {"UsbGetDeviceDescriptor", [&] { return UsbGetDeviceDescriptor(nullptr, &Descriptor); }},
      {"XuGetLen", [&] { return XuGetLen(nullptr, kXu, 0x0200, &Length); }},
      {"XuGetCur", [&] { return XuGetCur(nullptr, kXu, 0x0300, Buffer, 1); }},
      {"XuSetCur", [&] { return XuSetCur(nullptr, kXu, 0x0300, Buffer, 1); }},
      {"IspReadRegister", [&] { return IspReadRegister(nullptr, kXu, 0x20FF, &Value); }},
      {"IspWriteRegister", [&] { return IspWriteRegister(nullptr, kXu, 0x20FF, 1); }},
      {"IspReadDword", [&] { return IspReadDword(nullptr, kXu, 0x806000, Buffer); }},
      {"XuFlashRead", [&] { return XuFlashRead(nullptr, kXu, 0, 64, Buffer); }},
      {"XuFlashWrite", [&] { return XuFlashWrite(nullptr, kXu, 0, 64, Buffer); }},
      {"XuFlashEraseSector", [&] { return XuFlashEraseSector(nullptr, kXu, 1); }},
      {"XuFlashReadSector", [&] { return XuFlashReadSector(nullptr, kXu, 1, Buffer); }},
      // A live camera, but no place for the answer or data to come from.
      {"UsbGetDeviceDescriptor NULL", [&] { return UsbGetDeviceDescriptor(Io(), nullptr); }},
      {"XuGetLen NULL", [&] { return XuGetLen(Io(), kXu, 0x0200, nullptr); }},
      {"XuGetCur NULL", [&] { return XuGetCur(Io(), kXu, 0x0300, nullptr, 1); }},
      {"XuSetCur NULL", [&] { return XuSetCur(Io(), kXu, 0x0300, nullptr, 1); }},
      {"IspReadRegister NULL", [&] { return IspReadRegister(Io(), kXu, 0x20FF, nullptr); }},
      {"IspReadDword NULL", [&] { return IspReadDword(Io(), kXu, 0x806000, nullptr); }},
      {"XuFlashRead NULL", [&] { return XuFlashRead(Io(), kXu, 0, 64, nullptr); }},
      {"XuFlashWrite NULL", [&] { return XuFlashWrite(Io(), kXu, 0, 64, nullptr); }},
      {"XuFlashReadSector NULL", [&] { return XuFlashReadSector(Io(), kXu, 1, nullptr); }},
      // The data length travels as a UINT32.
      {"XuFlashRead too long", [&] { return XuFlashRead(Io(), kXu, 0, TooLong, Buffer); }},
      {"XuFlashWrite too long", [&] { return XuFlashWrite(Io(), kXu, 0, TooLong, Buffer); }},
  };
  for (const auto &Call : Calls) {
    SCOPED_TRACE(Call.first);
    EXPECT_EQ(Call.second(), EFI_INVALID_PARAMETER);
  }
  EXPECT_TRUE(Transfers().empty());
  EXPECT_EQ(P().Boot().CountCalls("Stall"), 0u);
  EXPECT_EQ(P().Boot().CountCalls("AllocatePool"), 0u);
  EXPECT_EQ(Length, 0xBEEF);
  EXPECT_EQ(Value, 0xEE);
  EXPECT_EQ(std::count(std::begin(Buffer), std::end(Buffer), 0xEE), 4096);
}

TEST_F(ExtensionUnitTest, EveryTransferHasTheThreeSecondTimeout) {
  EFI_USB_DEVICE_DESCRIPTOR Descriptor{};
  UINT8 Buffer[4096];
  EXPECT_EQ(UsbGetDeviceDescriptor(Io(), &Descriptor), EFI_SUCCESS);
  EXPECT_EQ(XuFlashWrite(Io(), kXu, 0x5000, 64, Buffer), EFI_SUCCESS);
  EXPECT_EQ(XuFlashReadSector(Io(), kXu, 5, Buffer), EFI_SUCCESS);

  ASSERT_GT(Transfers().size(), 64u);
  for (const Sim::UsbTransfer &Transfer : Transfers()) {
    EXPECT_EQ(Transfer.TimeoutMs, 3000u);
  }
}

TEST_F(ExtensionUnitTest, FlashReadOfAShortAnswerCopiesZerosNotPoolContents) {
  std::vector<uint8_t> Buffer(64, 0x11);
  Bus().ShortAnswer(4, 10);  // the GET_CUR delivers 10 of 64 bytes
  ASSERT_EQ(XuFlashRead(Io(), kXu, 0x2000, Buffer.size(), Buffer.data()), EFI_SUCCESS);
  ASSERT_EQ(Transfers().size(), 4u);
  EXPECT_EQ(SetupOf(Transfers()[1]), SetCur(0x0E, 4));
  EXPECT_EQ(Transfers()[1].Data, Le32(0x2000));
  EXPECT_EQ(SetupOf(Transfers()[3]), GetCur(0x0F, 64));
  EXPECT_EQ(Transfers()[3].Data.size(), 10u);
  EXPECT_EQ(std::vector<uint8_t>(Buffer.begin(), Buffer.begin() + 10), FlashAt(0x2000, 10));
  EXPECT_EQ(std::vector<uint8_t>(Buffer.begin() + 10, Buffer.end()), std::vector<uint8_t>(54, 0x00));

  // The buffer was taken before anything was sent.
  const auto &Calls = P().Boot().Calls();
  auto FirstAlloc = std::find_if(Calls.begin(), Calls.end(), [](auto &C) { return C.Service == "AllocatePool"; });
  auto FirstUsb = std::find_if(Calls.begin(), Calls.end(), [](auto &C) { return C.Service == "UsbControlTransfer"; });
  ASSERT_NE(FirstAlloc, Calls.end());
  EXPECT_LT(std::distance(Calls.begin(), FirstAlloc), std::distance(Calls.begin(), FirstUsb));
  EXPECT_TRUE(P().Boot().LiveAllocations().empty());
}

TEST_F(ExtensionUnitTest, FlashReadFreesItsBufferAndLeavesTheCallersOnEveryFailure) {
  struct Case {
    const char *Name;
    std::function<void()> Inject;
    EFI_STATUS Expected;
    size_t TransfersSent;
  };
  const std::vector<Case> Cases = {
      {"no pool", [&] { P().Boot().FailAllocation(1); }, EFI_OUT_OF_RESOURCES, 0},
      {"address phase", [&] { Bus().FailTransfer(2, EFI_DEVICE_ERROR); }, EFI_DEVICE_ERROR, 2},
      {"data GET_LEN", [&] { Bus().FailTransfer(3, EFI_TIMEOUT); }, EFI_INVALID_PARAMETER, 3},
      {"data GET_CUR", [&] { Bus().FailTransfer(4, EFI_TIMEOUT); }, EFI_TIMEOUT, 4},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    ClearLogs();
    std::vector<uint8_t> Buffer(64, 0x11);
    C.Inject();
    EXPECT_EQ(XuFlashRead(Io(), kXu, 0x2000, Buffer.size(), Buffer.data()), C.Expected);
    EXPECT_EQ(Transfers().size(), C.TransfersSent);
    EXPECT_EQ(Buffer, std::vector<uint8_t>(64, 0x11));
    EXPECT_TRUE(P().Boot().LiveAllocations().empty());
  }
}

TEST_F(ExtensionUnitTest, SectorReadIssuesOneFullChunkReadPerChunk) {
  std::vector<uint8_t> Buffer(4096, 0x5C);
  ASSERT_EQ(XuFlashReadSector(Io(), kXu, 3, Buffer.data()), EFI_SUCCESS);
  EXPECT_EQ(Buffer, FlashAt(3 * 4096, 4096));

  const auto &T = Transfers();
  ASSERT_EQ(T.size(), 1u + 64 * 4);
  EXPECT_EQ(SetupOf(T[0]), GetLen(0x0F));
  for (size_t Chunk = 0; Chunk < 64; ++Chunk) {
    SCOPED_TRACE(Chunk);
    const Sim::UsbTransfer &Address = T[1 + Chunk * 4 + 1];
    const Sim::UsbTransfer &Data = T[1 + Chunk * 4 + 3];
    EXPECT_EQ(SetupOf(Address), SetCur(0x0E, 4));
    EXPECT_EQ(Address.Data, Le32(uint32_t(3 * 4096 + Chunk * 64)));
    EXPECT_EQ(SetupOf(Data), GetCur(0x0F, 64));
    EXPECT_EQ(Data.DataLength, 64u);
  }
  EXPECT_EQ(ExpectPacedTransfers(), T.size());
  EXPECT_EQ(P().Boot().TotalStallUs(), T.size() * 10000);
}

TEST_F(ExtensionUnitTest, SectorReadNeverWritesPastTheSectorWhateverTheChunkSize) {
  for (uint16_t ChunkSize : {1000, 8192, 4096, 3000}) {
    SCOPED_TRACE(ChunkSize);
    ClearLogs();
    Cam->Profile().ChunkSize = ChunkSize;
    std::vector<uint8_t> Guarded(4096 + 8192, 0x5C);
    ASSERT_EQ(XuFlashReadSector(Io(), kXu, 5, Guarded.data()), EFI_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(Guarded.begin(), Guarded.begin() + 4096), FlashAt(5 * 4096, 4096));
    EXPECT_EQ(std::count(Guarded.begin() + 4096, Guarded.end(), 0x5C), 8192);
    // Every read is one whole chunk on the wire.
    const size_t Reads = (4096 + ChunkSize - 1) / ChunkSize;
    EXPECT_EQ(Count(GetCur(0x0F, ChunkSize)), Reads);
    for (const Sim::UsbTransfer &T : Transfers()) {
      if (T.Setup.Request == 0x81) {
        EXPECT_EQ(T.DataLength, ChunkSize);
      }
    }
    EXPECT_TRUE(P().Boot().LiveAllocations().empty());
  }

  // Chunk size 0: nothing is read.
  ClearLogs();
  Cam->Profile().ChunkSize = 0;
  std::vector<uint8_t> Guarded(4096, 0x5C);
  EXPECT_EQ(XuFlashReadSector(Io(), kXu, 5, Guarded.data()), EFI_DEVICE_ERROR);
  EXPECT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(std::count(Guarded.begin(), Guarded.end(), 0x5C), 4096);
}

TEST_F(ExtensionUnitTest, SectorReadStopsAtTheFirstError) {
  std::vector<uint8_t> Buffer(4096, 0x5C);
  Bus().FailTransfer(1 + 4 + 4, EFI_DEVICE_ERROR);  // the second chunk's GET_CUR
  EXPECT_EQ(XuFlashReadSector(Io(), kXu, 2, Buffer.data()), EFI_DEVICE_ERROR);
  EXPECT_EQ(Transfers().size(), 9u);
  EXPECT_EQ(std::vector<uint8_t>(Buffer.begin(), Buffer.begin() + 64), FlashAt(2 * 4096, 64));
  EXPECT_EQ(std::count(Buffer.begin() + 64, Buffer.end(), 0x5C), 4096 - 64);

  // No pool for the chunk that runs past the sector (chunk 1000: the fifth
  // allocation belongs to the fifth read).
  ClearLogs();
  Cam->Profile().ChunkSize = 1000;
  std::vector<uint8_t> Guarded(4096 + 1000, 0x5C);
  P().Boot().FailAllocation(5);
  EXPECT_EQ(XuFlashReadSector(Io(), kXu, 2, Guarded.data()), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Count(GetCur(0x0F, 1000)), 4u);
  EXPECT_EQ(std::count(Guarded.begin() + 4000, Guarded.end(), 0x5C), 1096);
}

}  // namespace
