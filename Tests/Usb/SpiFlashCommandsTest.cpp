// The ISP's SPI controller and the flash command sets against the simulated
// camera and its flash chip: the command cycles register by register, the
// bounded busy wait, the identification path of every generation, the
// loading of each command set, and the flash-kind mappings.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "CameraUsbFixture.h"
#include "ExtensionUnit.h"
#include "SpiFlashCommands.h"
#include "XuTrace.h"

namespace {

constexpr uint8_t kPort = 1;
constexpr UINT16 kXu = 0x0400;

using Ops = std::vector<std::string>;
using Id3 = std::array<uint8_t, 3>;

Ops Repeat(const std::string &Op, size_t Count) { return Ops(Count, Op); }

// The polls of one wait on the default controller: busy twice, then idle.
const Ops kPolls = Repeat("R2C25", Sim::Camera::kDefaultSpiBusyPolls + 1);

// One identification cycle for Opcode, with its wait and the three reads.
Ops IdCycle(const char *Opcode) {
  return XuTrace::Concat({{"W2C25=10", std::string("W2C24=") + Opcode, "W2C26=03", "W2C27=00", "W2C2A=00",
                           "W2C25=01"},
                          kPolls,
                          {"R2C24", "R2C24", "R2C24"}});
}

const Ops kWriteEnableCycle =
    XuTrace::Concat({{"W2C25=10", "W2C24=06", "W2C26=00", "W2C27=00", "W2C2A=00", "W2C25=01"}, kPolls});

// The status-write cycle with one zero byte per status byte.
Ops StatusWriteCycle(unsigned StatusBytes) {
  Ops Out = {"W2C25=10", "W2C24=01"};
  for (unsigned I = 0; I < StatusBytes; ++I) {
    Out.push_back("W2C24=00");
  }
  return XuTrace::Concat(
      {Out, {"W2C24=05", "W2C26=01", "W2C27=00", "W2C2B=01", "W2C2C=00", "W2C2A=01", "W2C25=01"}, kPolls});
}

class SpiFlashCommandsTest : public CameraUsbTest {
 protected:
  void SetUp() override {
    CameraUsbTest::SetUp();
    Use(Sim::CameraProfile::ForIspKind('q'));
  }

  void Use(const Sim::CameraProfile &Profile) {
    Cam = Plug(kPort, Profile);
    ClearLogs();
  }

  // The chip answers the three identification opcodes with these bytes.
  void Answer(const Id3 &For9F, const Id3 &For90, const Id3 &ForAB) {
    Cam->Chip().OverrideId(0x9F, For9F);
    Cam->Chip().OverrideId(0x90, For90);
    Cam->Chip().OverrideId(0xAB, ForAB);
  }

  EFI_USB_IO_PROTOCOL *Io() { return Bus().UsbIo(kPort, 0); }
  Ops Trace() { return XuTrace::Ops(Transfers()); }

  // The stalls of the call log, in µs.
  std::vector<std::string> Stalls() {
    std::vector<std::string> Out;
    for (const Sim::ServiceCall &Call : P().Boot().Calls()) {
      if (Call.Service == "Stall") {
        Out.push_back(Call.Detail);
      }
    }
    return Out;
  }

  std::shared_ptr<Sim::Camera> Cam;
};

constexpr Id3 kFF = {0xFF, 0xFF, 0xFF};
constexpr Id3 k00 = {0x00, 0x00, 0x00};

TEST_F(SpiFlashCommandsTest, ReadIdStopsAtTheFirstAnswerThatIsNotAll00OrFF) {
  struct {
    const char *Name;
    Id3 For9F, For90, ForAB;
    EFI_STATUS Status;
    Ops Trace;
    Id3 Id;
  } const Cases[] = {
      {"0x9F answers", {0xC8, 0x40, 0x10}, kFF, kFF, EFI_SUCCESS, IdCycle("9F"), {0xC8, 0x40, 0x10}},
      {"mixed FF and 00 is an answer", {0xFF, 0xFF, 0x00}, kFF, kFF, EFI_SUCCESS, IdCycle("9F"), {0xFF, 0xFF, 0x00}},
      {"FF to 0x9F, 0x90 answers", kFF, {0xC2, 0x05, 0xC2}, {0x11, 0x22, 0x33}, EFI_SUCCESS,
       XuTrace::Concat({IdCycle("9F"), IdCycle("90")}), {0xC2, 0x05, 0xC2}},
      {"00 then FF, 0xAB answers", k00, kFF, {0x9D, 0x7B, 0x7F}, EFI_SUCCESS,
       XuTrace::Concat({IdCycle("9F"), IdCycle("90"), IdCycle("AB")}), {0x9D, 0x7B, 0x7F}},
      {"no answer at all", kFF, k00, kFF, EFI_INVALID_PARAMETER,
       XuTrace::Concat({IdCycle("9F"), IdCycle("90"), IdCycle("AB")}), kFF},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Use(Sim::CameraProfile::ForIspKind('q'));
    Answer(C.For9F, C.For90, C.ForAB);
    Id3 Id = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(IspSpiReadId(Io(), kXu, Id.data()), C.Status);
    EXPECT_EQ(Trace(), C.Trace);
    EXPECT_EQ(Id, C.Id);
    EXPECT_EQ(ExpectPacedTransfers(), Transfers().size());
  }

  // The wait's status is not examined: a controller that never gets ready
  // still has its three bytes read after each bounded wait.
  Use(Sim::CameraProfile::ForIspKind('q'));
  Cam->SetSpiNeverReady(true);
  Id3 Stuck = {};
  EXPECT_EQ(IspSpiReadId(Io(), kXu, Stuck.data()), EFI_INVALID_PARAMETER);
  const Ops T = Trace();
  EXPECT_EQ(std::count(T.begin(), T.end(), "R2C25"), 3 * ISP_SPI_MAX_POLLS);
  EXPECT_EQ(std::count(T.begin(), T.end(), "R2C24"), 9);

  // A failing register access ends the identification with its error.
  Use(Sim::CameraProfile::ForIspKind('q'));
  Bus().FailTransfer(8, EFI_TIMEOUT);  // the opcode's write
  Id3 Id = {};
  EXPECT_EQ(IspSpiReadId(Io(), kXu, Id.data()), EFI_TIMEOUT);
  EXPECT_EQ(Trace(), (Ops{"W2C25=10", "W2C24=9F!"}));

  ClearLogs();
  EXPECT_EQ(IspSpiReadId(nullptr, kXu, Id.data()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(IspSpiReadId(Io(), kXu, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}

TEST_F(SpiFlashCommandsTest, WaitIdlePollsEvery20msAndIsBounded) {
  const std::vector<std::string> kRead = {"10000", "10000", "10000", "10000"};
  struct {
    const char *Name;
    unsigned BusyPolls;
    bool NeverReady;
    unsigned FailedRead;  // 0: none
    EFI_STATUS FailStatus;
    EFI_STATUS Status;
    size_t Reads;
    size_t Waits;  // 20 ms stalls
  } const Cases[] = {
      {"idle at once", 0, false, 0, EFI_SUCCESS, EFI_SUCCESS, 1, 1},
      {"busy for four polls", 4, false, 0, EFI_SUCCESS, EFI_SUCCESS, 5, 5},
      {"a failed read ends the wait", 5, false, 3, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR, 3, 2},
      {"a warning delivers no value", 5, false, 1, EFI_WARN_STALE_DATA, EFI_WARN_STALE_DATA, 1, 0},
      {"never ready", 0, true, 0, EFI_SUCCESS, EFI_TIMEOUT, ISP_SPI_MAX_POLLS, ISP_SPI_MAX_POLLS},
  };
  static_assert(ISP_SPI_MAX_POLLS == 50, "about 3 s of polling");
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Use(Sim::CameraProfile::ForIspKind('n'));
    Cam->SetSpiBusyPolls(C.BusyPolls);
    Cam->SetSpiNeverReady(C.NeverReady);
    // Start a write enable by hand, so that the controller has work.
    for (const auto &[Address, Value] : std::vector<std::pair<UINT16, UINT8>>{
             {0x2C25, 0x10}, {0x2C24, 0x06}, {0x2C26, 0}, {0x2C27, 0}, {0x2C2A, 0}, {0x2C25, 0x01}}) {
      ASSERT_EQ(IspWriteRegister(Io(), kXu, Address, Value), EFI_SUCCESS);
    }
    ClearLogs();
    if (C.FailedRead != 0) {
      Bus().FailTransfer(4 * C.FailedRead, C.FailStatus);
    }
    const uint64_t Start = P().Clock().NowNs();
    EXPECT_EQ(IspSpiWaitIdle(Io(), kXu), C.Status);

    Ops Expected = Repeat("R2C25", C.Reads);
    if (C.FailedRead != 0) {
      Expected.back() += "!";
    }
    EXPECT_EQ(Trace(), Expected);

    // Each poll is a paced read, then 20 ms; a read that failed has no wait
    // after it.
    std::vector<std::string> Stalls;
    for (size_t I = 0; I < C.Reads; ++I) {
      Stalls.insert(Stalls.end(), kRead.begin(), kRead.end());
      if (I < C.Waits) {
        Stalls.push_back("20000");
      }
    }
    EXPECT_EQ(this->Stalls(), Stalls);
    EXPECT_EQ(P().Clock().NowNs() - Start,
              C.Reads * 4 * (10000000 + Sim::UsbBus::kDefaultTransferCostNs) + C.Waits * 20000000);
  }

  EXPECT_EQ(IspSpiWaitIdle(nullptr, kXu), EFI_INVALID_PARAMETER);
}

TEST_F(SpiFlashCommandsTest, ClearStatusWritesOneOrTwoZeroBytes) {
  // Kind 28 (C8 60 18) has two status bytes, kind 5 one; both chips start
  // protected on 'q' and are left unprotected.
  struct {
    uint8_t FlashKind;
    unsigned StatusBytes;
  } const Cases[] = {{28, 2}, {5, 1}, {56, 2}};
  for (const auto &C : Cases) {
    SCOPED_TRACE(int(C.FlashKind));
    Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('q');
    Profile.FlashKind = C.FlashKind;
    Use(Profile);
    ASSERT_TRUE(Cam->Chip().Protected());
    EXPECT_EQ(IspSpiClearStatus(Io(), kXu, C.FlashKind), EFI_SUCCESS);
    EXPECT_EQ(Trace(), XuTrace::Concat({kWriteEnableCycle, StatusWriteCycle(C.StatusBytes)}));
    EXPECT_FALSE(Cam->Chip().Protected());
    EXPECT_EQ(Cam->Chip().Status() & 0x9C, 0);
  }

  // Over every kind, only the ten two-byte kinds queue a second zero.
  const std::vector<int> kTwoByte = {2, 24, 28, 29, 30, 31, 42, 43, 55, 56};
  Use(Sim::CameraProfile::ForIspKind('n'));
  for (int Kind = 0; Kind <= 255; ++Kind) {
    ClearLogs();
    ASSERT_EQ(IspSpiClearStatus(Io(), kXu, static_cast<UINT8>(Kind)), EFI_SUCCESS);
    const Ops T = Trace();
    const bool TwoByte = std::find(kTwoByte.begin(), kTwoByte.end(), Kind) != kTwoByte.end();
    EXPECT_EQ(std::count(T.begin(), T.end(), "W2C24=00"), TwoByte ? 2 : 1) << "kind " << Kind;
  }

  // A wait that never ends stops the operation before the status write.
  Use(Sim::CameraProfile::ForIspKind('p'));
  Cam->SetSpiNeverReady(true);
  EXPECT_EQ(IspSpiClearStatus(Io(), kXu, 28), EFI_TIMEOUT);
  const Ops T = Trace();
  EXPECT_EQ(std::count(T.begin(), T.end(), "R2C25"), ISP_SPI_MAX_POLLS);
  EXPECT_EQ(std::count(T.begin(), T.end(), "W2C24=01"), 0);
  EXPECT_EQ(IspSpiClearStatus(nullptr, kXu, 28), EFI_INVALID_PARAMETER);
}

TEST_F(SpiFlashCommandsTest, UnprotectOnlyThroughTheSpiController) {
  for (char Kind : std::string("nfpqghijklmd")) {
    SCOPED_TRACE(std::string("kind ") + Kind);
    ClearLogs();
    EXPECT_EQ(IspUnprotectFlash(Io(), kXu, Kind, 28), EFI_SUCCESS);
    const bool Spi = Kind == 'n' || Kind == 'p' || Kind == 'q';
    EXPECT_EQ(Trace(), Spi ? XuTrace::Concat({kWriteEnableCycle, StatusWriteCycle(2)}) : Ops{});
  }
  ClearLogs();
  EXPECT_EQ(IspUnprotectFlash(nullptr, kXu, 'q', 28), EFI_INVALID_PARAMETER);
  EXPECT_EQ(IspUnprotectFlash(nullptr, kXu, 'k', 28), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}

TEST_F(SpiFlashCommandsTest, ReadFlashIdTakesThePathOfTheGeneration) {
  const Ops kLegacy = {"R209E", "R20FF", "S07=0D"};
  const Ops kUnit = XuTrace::Concat({kLegacy, {"S07=0D", "S08=90", "G17"}});
  const Ops kSpi = XuTrace::Concat({kLegacy, IdCycle("9F")});
  struct {
    const char *Name;
    Sim::CameraProfile Profile;
    bool RefuseSlot13;
    EFI_STATUS Status;
    Ops Trace;
    uint8_t AnsweredOpcode;  // 0: Id not looked at
  } const Cases[] = {
      {"'q': SPI, its own opcodes", Sim::CameraProfile::ForIspKind('q'), false, EFI_SUCCESS,
       XuTrace::Concat({{"R209E"}, IdCycle("9F")}), 0x9F},
      {"'p' never touches slot 13", Sim::CameraProfile::ForIspKind('p'), true, EFI_SUCCESS,
       XuTrace::Concat({{"R209E"}, IdCycle("9F")}), 0x9F},
      {"0xC2: unit", Sim::CameraProfile::ForIspKind('k'), false, EFI_SUCCESS, kUnit, 0x90},
      {"0xB2: unit", Sim::CameraProfile::ForIspKind('j'), false, EFI_SUCCESS, kUnit, 0x90},
      {"0xD2: unit", Sim::CameraProfile::ForIspKind('m'), false, EFI_SUCCESS, kUnit, 0x90},
      {"0xC2, slot 13 refused", Sim::CameraProfile::ForIspKind('k'), true, EFI_UNSUPPORTED,
       {"R209E", "R20FF", "S07=0D!"}, 0},
      {"0xE2: SPI", Sim::CameraProfile::ForIspKind('k').WithGenerationByte(0xE2), false, EFI_SUCCESS, kSpi, 0x9F},
      {"0xE3: none", Sim::CameraProfile::ForIspKind('k').WithGenerationByte(0xE3), false, EFI_NOT_READY, kLegacy, 0},
      {"0xA2: none", Sim::CameraProfile::ForIspKind('i'), false, EFI_NOT_READY, kLegacy, 0},
      {"0xA4: none although even", Sim::CameraProfile::ForIspKind('i').WithGenerationByte(0xA4), false,
       EFI_NOT_READY, kLegacy, 0},
      {"0x02: SPI", Sim::CameraProfile::ForIspKind('n'), false, EFI_SUCCESS, kSpi, 0x9F},
      {"0x02, slot 13 refused: still SPI", Sim::CameraProfile::ForIspKind('n'), true, EFI_SUCCESS,
       XuTrace::Concat({{"R209E", "R20FF", "S07=0D!"}, IdCycle("9F")}), 0x9F},
      {"0x0F: SPI", Sim::CameraProfile::ForIspKind('n').WithGenerationByte(0x0F), false, EFI_SUCCESS, kSpi, 0x9F},
      {"0x0E: SPI", Sim::CameraProfile::ForIspKind('n').WithGenerationByte(0x0E), false, EFI_SUCCESS, kSpi, 0x9F},
      {"0x62: SPI", Sim::CameraProfile::ForIspKind('f'), false, EFI_SUCCESS, kSpi, 0x9F},
      {"0x21: none", Sim::CameraProfile::ForIspKind('n').WithGenerationByte(0x21), false, EFI_NOT_READY, kLegacy, 0},
      {"0x7F: none", Sim::CameraProfile::ForIspKind('n').WithGenerationByte(0x7F), false, EFI_NOT_READY, kLegacy, 0},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Use(C.Profile);
    if (C.RefuseSlot13) {
      Cam->RefuseCommandSlot(0x0D);
    }
    Answer({0xC8, 0x40, 0x10}, {0xC8, 0x05, 0xC8}, {0x9D, 0x7B, 0x7F});
    Id3 Id = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(XuReadFlashId(Io(), kXu, 0x90, Id.data()), C.Status);
    EXPECT_EQ(Trace(), C.Trace);
    if (C.AnsweredOpcode != 0) {
      EXPECT_EQ(Id, (C.AnsweredOpcode == 0x9F ? Id3{0xC8, 0x40, 0x10} : Id3{0xC8, 0x05, 0xC8}));
    }
  }

  // The generation reads end it with their errors.
  Use(Sim::CameraProfile::ForIspKind('k'));
  Id3 Id = {};
  Bus().FailTransfer(4, EFI_TIMEOUT);
  EXPECT_EQ(XuReadFlashId(Io(), kXu, 0x9F, Id.data()), EFI_TIMEOUT);
  Bus().FailTransfer(8, EFI_TIMEOUT);
  EXPECT_EQ(XuReadFlashId(Io(), kXu, 0x9F, Id.data()), EFI_TIMEOUT);
  EXPECT_EQ(Trace(), (Ops{"R209E!", "R209E", "R20FF!"}));
  ClearLogs();
  EXPECT_EQ(XuReadFlashId(nullptr, kXu, 0x9F, Id.data()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(XuReadFlashId(Io(), kXu, 0x9F, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}

// The command sets as the ISP must receive them: slots 1..12, then the mode.
const uint8_t kSets[7][13] = {
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0xFF, 0x05, 0x06, 0x04, 0x20, 0x52, 0x60, 0x02, 0xAF, 0x50, 0x01, 0x01},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0xD7, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x00},
    {0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01, 0x02},
};

Ops LoadOps(const uint8_t (&Set)[13]) {
  Ops Out;
  for (unsigned Slot = 1; Slot <= 12; ++Slot) {
    Out.push_back(XuTrace::Fmt("S07=%02X", Slot));
    Out.push_back(XuTrace::Fmt("S08=%02X", Set[Slot - 1]));
  }
  Out.push_back(XuTrace::Fmt("S10=%02X", Set[12]));
  Out.push_back("L0F");
  return Out;
}

TEST_F(SpiFlashCommandsTest, LoadCommandSetSendsTheSetAndHandsBackTheChunkLength) {
  static_assert(sizeof(FLASH_COMMAND_SET) == 13, "twelve opcodes and a mode byte");
  struct {
    UINT8 Index;
    int Set;
  } const Cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 0}, {10, 0}, {255, 0}};
  for (const auto &C : Cases) {
    SCOPED_TRACE(int(C.Index));
    Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('q');
    Profile.ChunkSize = 200;
    Use(Profile);
    UINT16 Chunk = 0xBEEF;
    EXPECT_EQ(XuLoadFlashCommandSet(Io(), kXu, C.Index, &Chunk), EFI_SUCCESS);
    EXPECT_EQ(Trace(), LoadOps(kSets[C.Set]));
    // 25 SET_CURs behind their GET_LENs and one GET_LEN: nothing more for
    // the chunk length.
    EXPECT_EQ(Transfers().size(), 51u);
    EXPECT_EQ(Chunk, 200u);
    for (uint8_t Slot = 1; Slot <= 12; ++Slot) {
      EXPECT_EQ(Cam->CommandSlot(Slot), kSets[C.Set][Slot - 1]) << "slot " << int(Slot);
    }
    EXPECT_EQ(Cam->CommandMode(), kSets[C.Set][12]);
  }

  // The SET_CUR statuses are not examined; only the GET_LEN decides, and a
  // failing GET_LEN leaves the chunk length alone.
  Use(Sim::CameraProfile::ForIspKind('n'));
  Bus().FailTransfer(2, EFI_DEVICE_ERROR);   // slot 1's number
  Bus().FailTransfer(50, EFI_DEVICE_ERROR);  // the mode byte
  UINT16 Chunk = 0xBEEF;
  EXPECT_EQ(XuLoadFlashCommandSet(Io(), kXu, 1, &Chunk), EFI_SUCCESS);
  Ops Expected = LoadOps(kSets[1]);
  Expected[0] += "!";
  Expected[24] += "!";
  EXPECT_EQ(Trace(), Expected);
  EXPECT_EQ(Chunk, Sim::CameraProfile::ForIspKind('n').ChunkSize);

  ClearLogs();
  Bus().FailTransfer(51, EFI_TIMEOUT);
  Chunk = 0xBEEF;
  EXPECT_EQ(XuLoadFlashCommandSet(Io(), kXu, 0, &Chunk), EFI_TIMEOUT);
  EXPECT_EQ(Trace().back(), "L0F!");
  EXPECT_EQ(Chunk, 0xBEEF);

  ClearLogs();
  EXPECT_EQ(XuLoadFlashCommandSet(Io(), kXu, 2, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Trace(), LoadOps(kSets[2]));
  ClearLogs();
  EXPECT_EQ(XuLoadFlashCommandSet(nullptr, kXu, 0, &Chunk), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}

TEST_F(SpiFlashCommandsTest, FlashKindToCommandSetOverEveryKind) {
  struct {
    int First, Last;
    UINT8 Set;
  } const kRanges[] = {{59, 62, 6}, {63, 63, 1}, {64, 66, 2}, {67, 67, 5},
                       {68, 72, 3}, {73, 73, 4}, {74, 74, 10}};
  for (int Kind = 0; Kind <= 255; ++Kind) {
    UINT8 Expected = 0;
    for (const auto &R : kRanges) {
      if (Kind >= R.First && Kind <= R.Last) {
        Expected = R.Set;
      }
    }
    EXPECT_EQ(FlashKindToCommandSet(static_cast<UINT8>(Kind)), Expected) << "kind " << Kind;
  }
  EXPECT_EQ(FlashKindToCommandSet(58), 0);
  EXPECT_EQ(FlashKindToCommandSet(74), FLASH_COMMAND_SET_INDEX_0DX);
}

}  // namespace
