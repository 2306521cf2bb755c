// Flash identification against the simulated camera: every row of the
// flash-ID table read through the wire on both identification paths (the
// extension unit and the ISP's SPI controller), the order of the opcodes and
// the number of reads, the "0dx" rule, failures and NULL arguments.
#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "FlashId.h"
#include "Usb/CameraUsbFixture.h"
#include "Usb/XuTrace.h"

namespace {

constexpr uint8_t kPort = 1;
constexpr UINT16 kXu = 0x0400;

using Id3 = std::array<uint8_t, 3>;

struct Row {
  uint8_t Opcode;
  uint32_t Bytes;  // Id[0] Id[1] Id[2] as 0xAABBCC
  uint8_t Kind;
  Id3 Id() const { return {uint8_t(Bytes >> 16), uint8_t(Bytes >> 8), uint8_t(Bytes)}; }
};

// The chips the driver knows, by opcode.
const Row kRows[] = {
    {0x9F, 0xC84010, 2}, {0x9F, 0xA13110, 3}, {0x9F, 0xA13111, 4}, {0x9F, 0x514011, 6}, {0x9F, 0xC22011, 7},
    {0x9F, 0xC4D920, 8}, {0x9F, 0xEF3010, 10}, {0x9F, 0xC22015, 13}, {0x9F, 0xC84011, 14}, {0x9F, 0xEF3011, 17},
    {0x9F, 0xBA2013, 18}, {0x9F, 0xC84013, 19}, {0x9F, 0xC22014, 20}, {0x9F, 0x856013, 21}, {0x9F, 0xEF4014, 22},
    {0x9F, 0x856010, 23}, {0x9F, 0x856011, 24}, {0x9F, 0xC22013, 25}, {0x9F, 0x7F9D54, 26}, {0x9F, 0x7F9D44, 27},
    {0x9F, 0xC86018, 28}, {0x9F, 0xC86014, 29}, {0x9F, 0xEF5014, 30}, {0x9F, 0xC84015, 31}, {0x9F, 0xC84012, 32},
    {0x9F, 0x006206, 33}, {0x9F, 0xE04013, 34}, {0x9F, 0x684013, 36}, {0x9F, 0xC22012, 38}, {0x9F, 0x854012, 40},
    {0x9F, 0xA12813, 41}, {0x9F, 0xA14013, 42}, {0x9F, 0xA12812, 43}, {0x9F, 0xC22312, 44}, {0x9F, 0xEF3013, 45},
    {0x9F, 0xEF3012, 46}, {0x9F, 0xC22536, 47}, {0x9F, 0x0B4011, 48}, {0x9F, 0x684010, 50}, {0x9F, 0x684011, 51},
    {0x9F, 0xC22314, 52}, {0x9F, 0xC22017, 53}, {0x9F, 0x5E6014, 54}, {0x9F, 0x856014, 55}, {0x9F, 0xC84014, 56},
    {0x9F, 0x1C3014, 57}, {0x9F, 0xC22313, 58}, {0x9F, 0xC22010, 59}, {0x9F, 0xC22211, 60}, {0x9F, 0xC22210, 61},
    {0x9F, 0x7F9D20, 64}, {0x9F, 0x7F9D2F, 65}, {0x9F, 0x1F6500, 67}, {0x9F, 0x1C3110, 68}, {0x9F, 0x1C3113, 69},
    {0x9F, 0x1C3111, 70}, {0x9F, 0x1C3112, 71}, {0x9F, 0x1C3013, 72},
    {0x90, 0xC205C2, 1}, {0x90, 0xC805C8, 2}, {0x90, 0xA105A1, 3}, {0x90, 0x510551, 5}, {0x90, 0x511051, 6},
    {0x90, 0xC210C2, 7}, {0x90, 0x9D05C4, 8}, {0x90, 0xEF05EF, 10}, {0x90, 0xC212C2, 11}, {0x90, 0x5E145E, 12},
    {0x90, 0xBA14BA, 13}, {0x90, 0xC810C8, 14}, {0x90, 0xE005E0, 15}, {0x90, 0xEF10EF, 17}, {0x90, 0xEF12EF, 45},
    {0x90, 0xEF11EF, 46}, {0x90, 0xBF48BF, 63}, {0x90, 0x9D057F, 64}, {0x90, 0x9D027F, 65}, {0x90, 0x1C051C, 68},
    {0x90, 0x4205C2, 73},
    {0xAB, 0x9D7B7F, 66},
};

constexpr Id3 kFF = {0xFF, 0xFF, 0xFF};
constexpr Id3 k0dx = {0x30, 0x64, 0x78};

size_t ReadsFor(uint8_t Opcode) { return Opcode == 0x9F ? 1 : Opcode == 0x90 ? 2 : 3; }

class FlashIdTest : public CameraUsbTest {
 protected:
  void SetUp() override {
    CameraUsbTest::SetUp();
    Use('k');
  }

  // A fresh camera of ISP kind Kind: 'k' identifies through the extension
  // unit, 'q' through the SPI controller.
  void Use(char Kind) {
    Cam = Plug(kPort, Sim::CameraProfile::ForIspKind(Kind));
    Context = CAMERA_CONTEXT{};
    Context.UsbIo = Bus().UsbIo(kPort, 0);
    Context.XuIndex = kXu;
    ClearLogs();
  }

  void Answer(const Id3 &For9F, const Id3 &For90, const Id3 &ForAB) {
    Cam->Chip().OverrideId(0x9F, For9F);
    Cam->Chip().OverrideId(0x90, For90);
    Cam->Chip().OverrideId(0xAB, ForAB);
  }

  // Every identification read starts with the generation register.
  size_t IdentificationReads() {
    const std::vector<std::string> Ops = XuTrace::Ops(Transfers());
    return static_cast<size_t>(
        std::count_if(Ops.begin(), Ops.end(), [](const std::string &Op) { return Op.rfind("R209E", 0) == 0; }));
  }

  std::shared_ptr<Sim::Camera> Cam;
  CAMERA_CONTEXT Context{};
};

TEST_F(FlashIdTest, TableHoldsExactlyTheKnownChips) {
  std::set<std::tuple<uint8_t, uint32_t, uint8_t>> Expected, Actual;
  for (const Row &R : kRows) {
    Expected.insert({R.Opcode, R.Bytes, R.Kind});
  }
  std::set<std::tuple<uint8_t, uint32_t>> Keys;
  for (UINTN I = 0; I < mFlashIdTableCount; ++I) {
    const FLASH_ID_ENTRY &E = mFlashIdTable[I];
    Actual.insert({E.ReadIdOpcode, uint32_t(E.Id[0] << 16 | E.Id[1] << 8 | E.Id[2]), E.FlashKind});
    Keys.insert({E.ReadIdOpcode, uint32_t(E.Id[0] << 16 | E.Id[1] << 8 | E.Id[2])});
  }
  EXPECT_EQ(mFlashIdTableCount, 80u);
  EXPECT_EQ(Actual, Expected);
  EXPECT_EQ(Keys.size(), mFlashIdTableCount) << "two rows share opcode and bytes";

  // A pure lookup: each row by its own opcode, nothing under another one.
  for (const Row &R : kRows) {
    const Id3 Id = R.Id();
    EXPECT_EQ(DecodeFlashId(Id.data(), R.Opcode), R.Kind) << std::hex << R.Bytes;
    EXPECT_EQ(DecodeFlashId(Id.data(), 0x05), 0) << std::hex << R.Bytes;
  }
  const Id3 Gd = {0xC8, 0x40, 0x10};
  EXPECT_EQ(DecodeFlashId(Gd.data(), 0x05), 0);
  EXPECT_EQ(DecodeFlashId(Gd.data(), 0x90), 0);
  for (uint8_t Opcode : {0x05, 0x9F, 0x90, 0xAB, 0x00, 0xFF}) {
    EXPECT_EQ(DecodeFlashId(k0dx.data(), Opcode), 74) << int(Opcode);
  }
  EXPECT_EQ(DecodeFlashId(nullptr, 0x9F), 0);
}

TEST_F(FlashIdTest, EveryRowThroughTheWireOnBothPaths) {
  // On the SPI path a read asked with 0x9F returns whatever opcode answered
  // first; the 0x90 and 0xAB answers must then decode to nothing under 0x9F
  // (and 0xAB's under 0x90) for the later reads to happen at all.
  for (const Row &R : kRows) {
    for (const Row &Other : kRows) {
      EXPECT_FALSE(Other.Opcode < R.Opcode && Other.Bytes == R.Bytes) << std::hex << R.Bytes;
    }
  }
  for (char Path : {'k', 'q'}) {
    for (const Row &R : kRows) {
      SCOPED_TRACE(std::string("path ") + Path + ", kind " + std::to_string(R.Kind) + ", opcode " +
                   std::to_string(R.Opcode));
      Use(Path);
      Answer(R.Opcode == 0x9F ? R.Id() : kFF, R.Opcode == 0x90 ? R.Id() : kFF, R.Opcode == 0xAB ? R.Id() : kFF);
      UINT8 Kind = 0xEE;
      EXPECT_EQ(IdentifyFlash(&Context, &Kind), EFI_SUCCESS);
      EXPECT_EQ(Kind, R.Kind);
      EXPECT_EQ(IdentificationReads(), ReadsFor(R.Opcode));
    }
  }
}

TEST_F(FlashIdTest, EveryChipOnTheBoardIdentifiesAsItsKind) {
  // The camera's own chips, answering as their datasheets do (no overrides);
  // the kinds no row names identify as 0.
  const std::set<int> kNeverProduced = {9, 16, 35, 37, 39, 49, 62};
  for (char Path : {'k', 'q'}) {
    for (int Chip = 1; Chip <= 74; ++Chip) {
      SCOPED_TRACE(std::string("path ") + Path + ", chip " + std::to_string(Chip));
      Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind(Path);
      Profile.FlashKind = static_cast<uint8_t>(Chip);
      Cam = Plug(kPort, Profile);
      Context.UsbIo = Bus().UsbIo(kPort, 0);
      UINT8 Kind = 0xEE;
      EXPECT_EQ(IdentifyFlash(&Context, &Kind), EFI_SUCCESS);
      EXPECT_EQ(Kind, kNeverProduced.count(Chip) != 0 ? 0 : Chip);
    }
  }
}

TEST_F(FlashIdTest, AnswersOutsideTheTableAndFailures) {
  struct {
    const char *Name;
    char Path;
    Id3 For9F, For90, ForAB;
    unsigned FailedTransfer;  // 0: none
    EFI_STATUS Status;
    UINT8 Kind;
    size_t Reads;
  } const Cases[] = {
      {"no match anywhere", 'k', {0x11, 0x22, 0x33}, {0x11, 0x22, 0x33}, {0x11, 0x22, 0x33}, 0, EFI_SUCCESS, 0, 3},
      {"no match, SPI path", 'q', {0x11, 0x22, 0x33}, kFF, kFF, 0, EFI_SUCCESS, 0, 3},
      {"0dx to 0x9F", 'k', k0dx, kFF, kFF, 0, EFI_SUCCESS, 74, 1},
      {"0dx to 0xAB only", 'k', kFF, kFF, k0dx, 0, EFI_SUCCESS, 74, 3},
      {"FF, then C2 05 C2 to 0x90", 'k', kFF, {0xC2, 0x05, 0xC2}, kFF, 0, EFI_SUCCESS, 1, 2},
      {"9D 05 7F to 0x90", 'k', kFF, {0x9D, 0x05, 0x7F}, kFF, 0, EFI_SUCCESS, 64, 2},
      {"C2 20 10 to 0x9F", 'q', {0xC2, 0x20, 0x10}, kFF, kFF, 0, EFI_SUCCESS, 59, 1},
      {"a 0x90 answer given to 0x9F is not decoded as 0x90", 'k', {0xC2, 0x05, 0xC2}, kFF, kFF, 0, EFI_SUCCESS, 0,
       3},
      // Transfer 4 is the data phase of the first read's 0x209E read.
      {"the first read fails", 'k', {0xC8, 0x40, 0x10}, kFF, kFF, 4, EFI_TIMEOUT, 0, 1},
      // One unit-path read is 16 transfers; 32 is the second read's 0x17.
      {"the second read fails", 'k', kFF, {0xC2, 0x05, 0xC2}, kFF, 32, EFI_TIMEOUT, 0, 2},
      {"a generation without a path", 'i', {0xC8, 0x40, 0x10}, kFF, kFF, 0, EFI_NOT_READY, 0, 1},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Use(C.Path);
    Answer(C.For9F, C.For90, C.ForAB);
    if (C.FailedTransfer != 0) {
      Bus().FailTransfer(C.FailedTransfer, EFI_TIMEOUT);
    }
    UINT8 Kind = 0xEE;
    EXPECT_EQ(IdentifyFlash(&Context, &Kind), C.Status);
    EXPECT_EQ(Kind, C.Kind);
    EXPECT_EQ(IdentificationReads(), C.Reads);
  }
}

TEST_F(FlashIdTest, NullArgumentsSendNothingAndLeaveTheKind) {
  UINT8 Kind = 0xEE;
  CAMERA_CONTEXT NoIo = Context;
  NoIo.UsbIo = nullptr;
  EXPECT_EQ(IdentifyFlash(&NoIo, &Kind), EFI_INVALID_PARAMETER);
  EXPECT_EQ(IdentifyFlash(nullptr, &Kind), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Kind, 0xEE);
  EXPECT_EQ(IdentifyFlash(&Context, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}

}  // namespace
