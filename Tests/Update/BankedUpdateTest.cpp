// The banked update against the simulated camera: which layouts fit, the
// erases, the update window, the bank written and read back, the header
// rewritten with the bank number and the new identity, the device data
// carried into the image, and the refusals that must come before anything
// is erased. Images are allocated with exactly their size, so the sanitizer
// build catches any access past them.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include <Library/UefiBootServicesTableLib.h>

#include "FlashStrategies.h"
#include "IspOps.h"
#include "SpiFlashCommands.h"
#include "Usb/CameraUsbFixture.h"
#include "Usb/XuTrace.h"

namespace {

constexpr uint8_t kPort = 1;
constexpr UINT16 kXu = 0x0400;
constexpr uint16_t kChunk = 0x400;

std::vector<unsigned> gReports;

EFI_STATUS EFIAPI RecordProgress(UINTN Percentage) {
  gReports.push_back(static_cast<unsigned>(Percentage));
  return EFI_SUCCESS;
}

void PutBe32(std::vector<uint8_t> &Bytes, size_t At, uint32_t Value) {
  Bytes[At] = uint8_t(Value >> 24);
  Bytes[At + 1] = uint8_t(Value >> 16);
  Bytes[At + 2] = uint8_t(Value >> 8);
  Bytes[At + 3] = uint8_t(Value);
}

// The default bank header, written out here from its published layout (not
// taken from the driver), so that a wrong byte in the driver's table shows.
std::vector<uint8_t> DefaultHeader() {
  std::vector<uint8_t> H(0xCC, 0x00);
  const uint8_t Head[] = {0x43, 0x59, 0x01, 0xA5, 0x09, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x07, 0x2F, 0x03, 0x01, 0x02, 0x00};
  std::memcpy(H.data(), Head, sizeof(Head));
  const uint8_t Descriptor[] = {0x12, 0x01, 0x01, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xCF,
                                0x1B, 0x15, 0x0B, 0x10, 0x01, 0x01, 0x02, 0x03, 0x01};
  std::memcpy(H.data() + 0x20, Descriptor, sizeof(Descriptor));
  H[0x40] = 0x01;
  PutBe32(H, 0x60, 1);
  PutBe32(H, 0x64, 0x8000);
  PutBe32(H, 0x68, 1);
  std::fill(H.begin() + 0x6C, H.begin() + 0x8C, 0xFF);
  PutBe32(H, 0xA0, 2);
  PutBe32(H, 0xA4, 0x24800);
  PutBe32(H, 0xA8, 1);
  std::fill(H.begin() + 0xAC, H.begin() + 0xCC, 0xFF);
  return H;
}

// A USB 2 device descriptor pattern with an identity, at At.
void PutDescriptor(std::vector<uint8_t> &Image, size_t At, uint16_t Vid, uint16_t Pid, uint16_t Bcd) {
  const uint8_t Bytes[] = {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, uint8_t(Vid), uint8_t(Vid >> 8),
                           uint8_t(Pid), uint8_t(Pid >> 8), uint8_t(Bcd), uint8_t(Bcd >> 8)};
  std::memcpy(Image.data() + At, Bytes, sizeof(Bytes));
}

// A bank image: distinct bytes, "DZ" at 0x100, the data placeholder x d 0 at
// 0x3C00 (when it fits) and one descriptor with 0x30C9:0x004A bcdDevice 0x0201.
std::vector<uint8_t> BankImage(size_t Size) {
  std::vector<uint8_t> Image(Size);
  for (size_t I = 0; I < Size; ++I) {
    Image[I] = uint8_t((I * 13 + I / 509) & 0xFF);
  }
  Image[0x100] = 'D';
  Image[0x101] = 'Z';
  Image[0xFA] = 1;
  if (Size >= 0x400) {
    PutDescriptor(Image, 0x200, 0x30C9, 0x004A, 0x0201);
  }
  if (Size >= 0x3C03) {
    Image[0x3C00] = 'x';
    Image[0x3C01] = 'd';
    Image[0x3C02] = '0';
  }
  return Image;
}

class BankedUpdateTest : public CameraUsbTest {
 protected:
  void SetUp() override {
    CameraUsbTest::SetUp();
    gReports.clear();
  }

  // A banked camera whose boot reports BootState in 0x20D9.
  void Use(uint8_t BootState = 0x80, uint16_t Chunk = kChunk, uint32_t FlashSize = 1u << 20) {
    Sim::CameraProfile Profile;
    Profile.ChunkSize = Chunk;
    Profile.FlashSize = FlashSize;
    Profile.BootRegisters[0x20D9] = BootState;
    Cam = Plug(kPort, Profile);
    Context = CAMERA_CONTEXT{};
    Context.UsbIo = Bus().UsbIo(kPort, 0);
    Context.XuIndex = kXu;
    ClearLogs();
  }

  // Puts a header in the camera's sector 7.
  void CameraHeader(const std::vector<uint8_t> &Header) {
    std::copy(Header.begin(), Header.end(), Cam->Flash().begin() + 0x7000);
  }

  // A camera header with a bank in use.
  static std::vector<uint8_t> BankHeader(uint8_t ActiveBank, uint32_t Offset1 = 0x8000) {
    std::vector<uint8_t> H = DefaultHeader();
    H[0x41] = ActiveBank;
    PutBe32(H, 0x64, Offset1);
    std::fill(H.begin() + 0x6C, H.begin() + 0x8C, 0x11);
    PutDescriptor(H, 0x20, 0x30C9, 0x004A, 0x0100);
    return H;
  }

  // The camera's tagged data block in the given sector.
  void CameraDataBlock(uint32_t Sector) {
    for (size_t I = 0; I < 0x900; ++I) {
      Cam->Flash()[Sector * 0x1000 + I] = uint8_t(0xA0 ^ (I & 0x3F));
    }
    Cam->Flash()[Sector * 0x1000 + 0xC00] = '0';
    Cam->Flash()[Sector * 0x1000 + 0xC01] = 'd';
    Cam->Flash()[Sector * 0x1000 + 0xC02] = 'x';
  }

  EFI_STATUS Update(std::vector<uint8_t> &Image) {
    // A heap copy of exactly the image's size.
    std::unique_ptr<uint8_t[]> Exact(new uint8_t[Image.size()]);
    std::memcpy(Exact.get(), Image.data(), Image.size());
    EFI_STATUS Status = UpdateBankedFirmware(&Context, Exact.get(), Image.size(), RecordProgress);
    std::memcpy(Image.data(), Exact.get(), Image.size());
    return Status;
  }

  std::vector<uint8_t> Flash(size_t At, size_t Size) {
    return std::vector<uint8_t>(Cam->Flash().begin() + At, Cam->Flash().begin() + At + Size);
  }

  std::vector<std::string> Ops() { return XuTrace::Ops(Transfers()); }

  // The erased sectors, in order.
  std::vector<unsigned> Erased() {
    std::vector<unsigned> Out;
    for (const std::string &Op : Ops()) {
      if (Op.compare(0, 4, "S0D=") == 0 && Op.back() != '!') {
        const unsigned Address = std::stoul(Op.substr(4, 2), nullptr, 16) | std::stoul(Op.substr(6, 2), nullptr, 16) << 8 |
                                 std::stoul(Op.substr(8, 2), nullptr, 16) << 16;
        Out.push_back(Address / 0x1000);
      }
    }
    return Out;
  }

  size_t IndexOf(const std::string &Op, size_t From = 0) {
    const std::vector<std::string> All = Ops();
    return std::find(All.begin() + std::min(From, All.size()), All.end(), Op) - All.begin();
  }

  // The number (1-based) of the first flash-data read after the window
  // closed (the register write of 0) in the transfer log: the read-back's.
  size_t FirstReadBack() {
    bool Closed = false;
    for (size_t I = 0; I < Transfers().size(); ++I) {
      const Sim::UsbTransfer &T = Transfers()[I];
      Closed = Closed || (T.Setup.Request == 0x01 && (T.Setup.Value >> 8) == 0x03 && T.Data == std::vector<uint8_t>{0});
      if (Closed && T.Setup.Request == 0x81 && (T.Setup.Value >> 8) == 0x0F) {
        return I + 1;
      }
    }
    return 0;
  }

  std::shared_ptr<Sim::Camera> Cam;
  CAMERA_CONTEXT Context{};
};

std::vector<unsigned> Range(unsigned First, unsigned Last) {
  std::vector<unsigned> Out;
  for (unsigned S = First; S <= Last; ++S) {
    Out.push_back(S);
  }
  return Out;
}

TEST_F(BankedUpdateTest, ErasedHeaderSectorTakesTheDefaultHeaderAndBankOne) {
  Use(0x80);
  std::vector<uint8_t> Image = BankImage(0x1C000);

  ASSERT_EQ(Update(Image), EFI_SUCCESS);

  // Sectors 8..35 for the bank, then the header sector; later the header
  // sector once more for the rewrite.
  std::vector<unsigned> Expected = Range(8, 35);
  Expected.push_back(7);
  Expected.push_back(7);
  EXPECT_EQ(Erased(), Expected);
  EXPECT_EQ(Flash(0x8000, 0x1C000), Image);

  // The window opens after the header sector's erase and closes after the
  // last bank write, before the first read-back.
  const size_t Open = IndexOf("W6000=01");
  const size_t Close = IndexOf("W6000=00");
  ASSERT_LT(Open, Close);
  EXPECT_EQ(Ops()[Open - 1], "S0D=00700000");
  EXPECT_EQ(Ops()[Close + 1], "R6000");
  EXPECT_EQ(IndexOf("S0E=00800000", Open), Open + 1);

  // The header: the default one with bank 1 and the image's identity.
  std::vector<uint8_t> Header = DefaultHeader();
  Header[0x41] = 1;
  Header[0x28] = 0xC9;
  Header[0x29] = 0x30;
  Header[0x2A] = 0x4A;
  Header[0x2B] = 0x00;
  Header[0x2C] = 0x01;
  Header[0x2D] = 0x02;
  std::vector<uint8_t> Written = Flash(0x7000, 0xCC);
  // The digest fields are what the ISP left in the header sector.
  std::copy(Written.begin() + 0x6C, Written.begin() + 0x8C, Header.begin() + 0x6C);
  std::copy(Written.begin() + 0xAC, Written.begin() + 0xCC, Header.begin() + 0xAC);
  EXPECT_EQ(Written, Header);

  // Progress: 0 first, never backwards while writing, then 98.
  ASSERT_EQ(gReports.size(), 0x1C000u / kChunk + 1);
  EXPECT_EQ(gReports.front(), 0u);
  EXPECT_TRUE(std::is_sorted(gReports.begin(), gReports.end() - 1));
  EXPECT_EQ(gReports.back(), 98u);
  ExpectPacedTransfers();
}

TEST_F(BankedUpdateTest, ActiveBankTwoIsStillWrittenAtEntryOnesOffset) {
  Use(0x80);
  std::vector<uint8_t> Header = BankHeader(2);
  Header[0xAB] = 1;
  CameraHeader(Header);
  Cam->Flash()[0x24800] = 0x77;
  std::vector<uint8_t> Image = BankImage(0x2000);

  ASSERT_EQ(Update(Image), EFI_SUCCESS);
  EXPECT_EQ(Flash(0x8000, 0x2000), Image);
  EXPECT_EQ(Cam->Flash()[0x24800], 0x77);
  EXPECT_EQ(Cam->Flash()[0x7041], 2);
  // The header keeps what the driver does not own.
  EXPECT_EQ(Flash(0x7002, 0x1E), std::vector<uint8_t>(Header.begin() + 2, Header.begin() + 0x20));
  EXPECT_EQ(Flash(0x70A0, 0x0C), std::vector<uint8_t>(Header.begin() + 0xA0, Header.begin() + 0xAC));
}

TEST_F(BankedUpdateTest, BankNumberAndFlagsAreCheckedBeforeAnythingIsErased) {
  struct Case {
    uint8_t ActiveBank;
    uint8_t Flag1;
    uint8_t Flag2;
    EFI_STATUS Expected;
  } Cases[] = {
      {5, 1, 1, EFI_LOAD_ERROR},    {3, 1, 1, EFI_LOAD_ERROR},  {1, 0, 1, EFI_LOAD_ERROR},
      {2, 1, 0, EFI_LOAD_ERROR},    {2, 0, 1, EFI_SUCCESS},     {0xFF, 1, 0, EFI_SUCCESS},
  };
  for (const Case &C : Cases) {
    Use(0x80);
    std::vector<uint8_t> Header = BankHeader(C.ActiveBank);
    Header[0x6B] = C.Flag1;
    Header[0xAB] = C.Flag2;
    CameraHeader(Header);
    std::vector<uint8_t> Image = BankImage(0x1000);
    EXPECT_EQ(Update(Image), C.Expected) << int(C.ActiveBank);
    if (C.Expected != EFI_SUCCESS) {
      EXPECT_TRUE(Erased().empty()) << int(C.ActiveBank);
      EXPECT_EQ(Flash(0x7000, 0xCC), Header);
    }
  }
}

TEST_F(BankedUpdateTest, OnlyFittingLayoutsAreAccepted) {
  std::vector<uint8_t> Base(0x2000, 0x33);
  Base[0x100] = 'C';
  Base[0x101] = 'Y';
  std::vector<uint8_t> BaseWithHeader = Base;
  BaseWithHeader.resize(0x8000, 0x33);
  BaseWithHeader[0x7000] = 'C';
  BaseWithHeader[0x7001] = 'Y';

  struct Case {
    const char *Name;
    uint8_t BootState;
    int CameraHeader;  // -1 erased, 0 "CY" with ActiveBank 0, 1 "CY" with bank 1, 2 garbage
    const std::vector<uint8_t> *Image;
    EFI_STATUS Expected;
  };
  std::vector<uint8_t> Bank = BankImage(0x1000);
  std::vector<uint8_t> Nothing(0x1000, 0x00);
  const Case Cases[] = {
      {"U camera, base image", 0x00, 1, &Base, EFI_SUCCESS},
      {"U camera, base image with header", 0x00, 1, &BaseWithHeader, EFI_SUCCESS},
      {"U camera, bank image", 0x00, 1, &Bank, EFI_INVALID_PARAMETER},
      {"U camera whose sector 7 names no usable bank", 0x00, -1, &Base, EFI_LOAD_ERROR},
      {"garbage header is U", 0x80, 2, &Base, EFI_SUCCESS},
      {"V camera, bank image", 0x80, 0, &Bank, EFI_SUCCESS},
      {"V camera (erased), base image", 0x80, -1, &Base, EFI_INVALID_PARAMETER},
      {"V camera, base image with header", 0x80, 0, &BaseWithHeader, EFI_INVALID_PARAMETER},
      {"W camera, bank image", 0x80, 1, &Bank, EFI_SUCCESS},
      {"W camera, header image without DZ at 0x8100", 0x80, 1, &BaseWithHeader, EFI_INVALID_PARAMETER},
      {"W camera, base image", 0x80, 1, &Base, EFI_INVALID_PARAMETER},
      {"unknown image", 0x80, 1, &Nothing, EFI_INVALID_PARAMETER},
  };
  for (const Case &C : Cases) {
    Use(C.BootState);
    if (C.CameraHeader == 2) {
      // Neither "CY" nor erased, yet naming bank 1 at 0x8000.
      std::vector<uint8_t> Garbage(0xCC, 0x5C);
      Garbage[0x41] = 1;
      PutBe32(Garbage, 0x64, 0x8000);
      Garbage[0x6B] = 1;
      CameraHeader(Garbage);
    } else if (C.CameraHeader >= 0) {
      CameraHeader(BankHeader(uint8_t(C.CameraHeader)));
    }
    std::vector<uint8_t> Image = *C.Image;
    const EFI_STATUS Status = Update(Image);
    EXPECT_EQ(Status, C.Expected) << C.Name;
    if (C.Expected == EFI_SUCCESS) {
      EXPECT_EQ(Flash(0x8000, Image.size()), Image) << C.Name;
    } else {
      EXPECT_TRUE(Erased().empty()) << C.Name;
    }
  }
}

TEST_F(BankedUpdateTest, FullFlashImageBringsItsBankAndTheCamerasData) {
  Use(0x80);
  CameraHeader(BankHeader(1));
  CameraDataBlock(0xB);  // 0x3000 past the bank at 0x8000
  std::vector<uint8_t> Image = BankImage(0x30000);
  Image[0x100] = 'C';
  Image[0x101] = 'Y';
  Image[0x7000] = 'C';
  Image[0x7001] = 'Y';
  Image[0x8100] = 'D';
  Image[0x8101] = 'Z';
  Image[0x80FA] = 1;
  PutDescriptor(Image, 0x8200, 0x30C9, 0x004A, 0x0305);
  Image[0xBC00] = 'x';
  Image[0xBC01] = 'd';
  Image[0xBC02] = '0';
  const std::vector<uint8_t> CameraBlock = Flash(0xB000, 0x900);

  ASSERT_EQ(Update(Image), EFI_SUCCESS);

  // The image received the camera's block and tag at 0xB000, and its bytes
  // 0x8000..0x2FFFF went to the same flash addresses.
  EXPECT_EQ(std::vector<uint8_t>(Image.begin() + 0xB000, Image.begin() + 0xB900), CameraBlock);
  EXPECT_EQ(Image[0xBC00], '0');
  EXPECT_EQ(Flash(0x8000, 0x28000), std::vector<uint8_t>(Image.begin() + 0x8000, Image.end()));
  std::vector<unsigned> Expected = Range(8, 0x2F);
  Expected.push_back(7);
  Expected.push_back(7);
  EXPECT_EQ(Erased(), Expected);
  // The identity comes from the bank part.
  EXPECT_EQ(Flash(0x702C, 2), (std::vector<uint8_t>{0x05, 0x03}));
}

TEST_F(BankedUpdateTest, DeviceDataIsCarriedOnlyIntoAPlaceholder) {
  // A bank image with the placeholder receives the camera's 2,304 bytes.
  Use(0x80);
  CameraHeader(BankHeader(1));
  CameraDataBlock(0xB);
  std::vector<uint8_t> Image = BankImage(0x5000);
  const std::vector<uint8_t> CameraBlock = Flash(0xB000, 0x900);
  const std::vector<uint8_t> Between(Image.begin() + 0x3900, Image.begin() + 0x3C00);
  ASSERT_EQ(Update(Image), EFI_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(Image.begin() + 0x3000, Image.begin() + 0x3900), CameraBlock);
  EXPECT_EQ(std::vector<uint8_t>(Image.begin() + 0x3900, Image.begin() + 0x3C00), Between);
  EXPECT_EQ(std::vector<uint8_t>(Image.begin() + 0x3C00, Image.begin() + 0x3C03), (std::vector<uint8_t>{'0', 'd', 'x'}));
  EXPECT_EQ(Flash(0x8000, 0x5000), Image);

  // Without the placeholder, or without the camera's tag, nothing moves.
  Use(0x80);
  CameraHeader(BankHeader(1));
  CameraDataBlock(0xB);
  std::vector<uint8_t> NoPlaceholder = BankImage(0x5000);
  NoPlaceholder[0x3C02] = '1';
  const std::vector<uint8_t> Before = NoPlaceholder;
  ASSERT_EQ(Update(NoPlaceholder), EFI_SUCCESS);
  EXPECT_EQ(NoPlaceholder, Before);

  Use(0x80);
  CameraHeader(BankHeader(1));
  std::vector<uint8_t> Untagged = BankImage(0x5000);
  const std::vector<uint8_t> Original = Untagged;
  ASSERT_EQ(Update(Untagged), EFI_SUCCESS);
  EXPECT_EQ(Untagged, Original);

  // A camera that does not run from a bank keeps its block in sector 3.
  Use(0x00);
  CameraDataBlock(3);
  std::vector<uint8_t> Base(0x5000, 0x44);
  Base[0x100] = 'C';
  Base[0x101] = 'Y';
  Base[0x3C00] = 'x';
  Base[0x3C01] = 'd';
  Base[0x3C02] = '0';
  const std::vector<uint8_t> Sector3 = Flash(0x3000, 0x900);
  std::vector<uint8_t> Header = BankHeader(1);
  CameraHeader(Header);
  ASSERT_EQ(Update(Base), EFI_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(Base.begin() + 0x3000, Base.begin() + 0x3900), Sector3);
  // No header rewrite and no window on a camera without a bank.
  EXPECT_EQ(Flash(0x7000, 0xCC), Header);
  EXPECT_EQ(IndexOf("W6000=01"), Ops().size());
}

TEST_F(BankedUpdateTest, CarryOverNeverLeavesTheImageOrReadsAnotherSector) {
  // An image too short to hold the block: nothing copied, nothing outside
  // the image touched (exact-size buffer).
  Use(0x80);
  CameraHeader(BankHeader(1));
  CameraDataBlock(0xB);
  std::vector<uint8_t> Short = BankImage(0x3A00);
  const std::vector<uint8_t> ShortBefore = Short;
  ASSERT_EQ(Update(Short), EFI_SUCCESS);
  EXPECT_EQ(Short, ShortBefore);

  // A bank so far up that its data sector does not fit the 8-bit sector
  // read: the carry-over is skipped rather than reading sector 3 (259 mod
  // 256), which holds a tagged block too.
  Use(0x80, kChunk, 2u << 20);
  CameraHeader(BankHeader(1, 0x100000));
  CameraDataBlock(3);
  std::vector<uint8_t> Far = BankImage(0x5000);
  const std::vector<uint8_t> FarBefore = Far;
  ASSERT_EQ(Update(Far), EFI_SUCCESS);
  EXPECT_EQ(Far, FarBefore);
  EXPECT_EQ(Flash(0x100000, 0x5000), Far);
}

TEST_F(BankedUpdateTest, IdentityComesFromTheDescriptorThatByteFaChooses) {
  for (uint8_t Selector : {uint8_t(1), uint8_t(0), uint8_t(2)}) {
    Use(0x80);
    CameraHeader(BankHeader(1));
    std::vector<uint8_t> Image = BankImage(0x2000);
    PutDescriptor(Image, 0x1000, 0x04F2, 0xB6D2, 0x0999);
    Image[0xFA] = Selector;
    ASSERT_EQ(Update(Image), EFI_SUCCESS);
    const std::vector<uint8_t> Expected = Selector == 1 ? std::vector<uint8_t>{0xC9, 0x30, 0x4A, 0x00, 0x01, 0x02}
                                                        : std::vector<uint8_t>{0xF2, 0x04, 0xD2, 0xB6, 0x99, 0x09};
    EXPECT_EQ(Flash(0x7028, 6), Expected) << int(Selector);
  }

  // One descriptor: taken whatever byte 0xFA says. None, or one with a zero
  // word: the header keeps its identity.
  Use(0x80);
  CameraHeader(BankHeader(1));
  std::vector<uint8_t> One = BankImage(0x2000);
  One[0xFA] = 0;
  ASSERT_EQ(Update(One), EFI_SUCCESS);
  EXPECT_EQ(Flash(0x7028, 6), (std::vector<uint8_t>{0xC9, 0x30, 0x4A, 0x00, 0x01, 0x02}));

  for (bool ZeroWord : {false, true}) {
    Use(0x80);
    CameraHeader(BankHeader(1));
    std::vector<uint8_t> Image = BankImage(0x2000);
    if (ZeroWord) {
      PutDescriptor(Image, 0x200, 0x30C9, 0x0000, 0x0201);
    } else {
      Image[0x200] = 0x13;
    }
    ASSERT_EQ(Update(Image), EFI_SUCCESS);
    EXPECT_EQ(Flash(0x7028, 6), (std::vector<uint8_t>{0xC9, 0x30, 0x4A, 0x00, 0x00, 0x01})) << ZeroWord;
  }
}

TEST_F(BankedUpdateTest, UnusableBankOffsetsAndChunkLengthsAreRefusedBeforeErasing) {
  // Bank offsets from the camera's header that would erase the base area or
  // the header itself.
  for (uint32_t Offset : {0x0u, 0x7000u, 0x7FFFu}) {
    Use(0x80);
    CameraHeader(BankHeader(1, Offset));
    std::vector<uint8_t> Image = BankImage(0x2000);
    EXPECT_EQ(Update(Image), EFI_LOAD_ERROR) << Offset;
    EXPECT_TRUE(Erased().empty()) << Offset;
  }

  // A full-flash image whose bank would start at or beyond its end.
  for (uint32_t Offset : {0x9000u, 0xA000u}) {
    Use(0x80);
    CameraHeader(BankHeader(1, Offset));
    std::vector<uint8_t> Image = BankImage(0x9000);
    Image[0x100] = 'C';
    Image[0x101] = 'Y';
    Image[0x7000] = 'C';
    Image[0x7001] = 'Y';
    Image[0x8100] = 'D';
    Image[0x8101] = 'Z';
    EXPECT_EQ(Update(Image), EFI_LOAD_ERROR) << Offset;
    EXPECT_TRUE(Erased().empty()) << Offset;
  }

  // A bank beyond the sectors the unit can address.
  Use(0x80);
  CameraHeader(BankHeader(1, 0xFFFFF000u));
  std::vector<uint8_t> Image = BankImage(0x2000);
  EXPECT_EQ(Update(Image), EFI_LOAD_ERROR);
  EXPECT_TRUE(Erased().empty());

  // Chunk lengths of 0 and above a sector, and below the header's 204 bytes
  // when the header moves.
  for (uint16_t Length : {uint16_t(0), uint16_t(0x1001), uint16_t(0xCB)}) {
    Use(0x80);
    Cam->OverrideLength(0x0F, Length);
    CameraHeader(BankHeader(1));
    std::vector<uint8_t> Bank = BankImage(0x2000);
    EXPECT_EQ(Update(Bank), EFI_UNSUPPORTED) << Length;
    EXPECT_TRUE(Erased().empty()) << Length;
  }

  // 0xCC bytes is enough; and a camera without a header needs no minimum.
  Use(0x80, 0xCC);
  CameraHeader(BankHeader(1));
  std::vector<uint8_t> Bank = BankImage(0x2000);
  EXPECT_EQ(Update(Bank), EFI_SUCCESS);
  EXPECT_EQ(Flash(0x8000, 0x2000), Bank);

  Use(0x00, 0x40);
  std::vector<uint8_t> Base(0x1000, 0x21);
  Base[0x100] = 'C';
  Base[0x101] = 'Y';
  CameraHeader(BankHeader(1));
  EXPECT_EQ(Update(Base), EFI_SUCCESS);
  EXPECT_EQ(Flash(0x8000, 0x1000), Base);
}

TEST_F(BankedUpdateTest, APartialLastChunkIsPaddedAndTheFlashBeyondKeepsItsBytes) {
  Use(0x80, 0x300);
  CameraHeader(BankHeader(1));
  std::vector<uint8_t> Image = BankImage(0x2123);
  // The bytes after the bank's last sector must survive the padded chunk.
  for (size_t A = 0x8000 + 0x3000; A < 0x8000 + 0x3400; ++A) {
    Cam->Flash()[A] = 0x5A;
  }
  ASSERT_EQ(Update(Image), EFI_SUCCESS);
  EXPECT_EQ(Flash(0x8000, 0x2123), Image);
  EXPECT_EQ(Flash(0x8000 + 0x2123, 0x1000 - 0x123), std::vector<uint8_t>(0x1000 - 0x123, 0xFF));
  EXPECT_EQ(Cam->Flash()[0xB000], 0x5A);
  for (const Sim::UsbTransfer &T : Transfers()) {
    if ((T.Setup.Value >> 8) == 0x0F && T.Setup.Request != 0x85) {
      EXPECT_EQ(T.Data.size(), 0x300u);
    }
  }
}

TEST_F(BankedUpdateTest, AFailedCompareRestoresTheDefaultHeader) {
  // A dry run finds the first read-back data transfer; on a fresh camera a
  // short answer there makes the read-back differ.
  std::vector<uint8_t> Image = BankImage(0x2000);
  Use(0x80);
  CameraHeader(BankHeader(1));
  std::vector<uint8_t> Dry = Image;
  ASSERT_EQ(Update(Dry), EFI_SUCCESS);
  const size_t FirstRead = FirstReadBack();
  ASSERT_NE(FirstRead, 0u);

  Use(0x80);
  CameraHeader(BankHeader(1));
  Bus().ShortAnswer(FirstRead, 0);
  EXPECT_EQ(Update(Image), EFI_INVALID_PARAMETER);
  std::vector<uint8_t> Expected = DefaultHeader();
  EXPECT_EQ(Flash(0x7000, 0xCC), Expected);
  // The rest of the header's chunk is left erased.
  EXPECT_EQ(Flash(0x70CC, kChunk - 0xCC), std::vector<uint8_t>(kChunk - 0xCC, 0xFF));
  EXPECT_EQ(gReports.back(), (0x2000u - kChunk) * 100 / 0x2000);
}

// The flash address a transfer of the flash window works on: the address
// latched by the nearest SET_CUR of selector 0x0E at or before it (for the
// GET_LEN of that SET_CUR, the SET_CUR right after it).
uint32_t FlashAddressOf(const std::vector<Sim::UsbTransfer> &T, size_t I) {
  auto IsAddressSet = [&](size_t J) { return T[J].Setup.Request == 0x01 && (T[J].Setup.Value >> 8) == 0x0E; };
  size_t J = I;
  if ((T[I].Setup.Value >> 8) == 0x0E && !IsAddressSet(I) && I + 1 < T.size()) {
    J = I + 1;
  }
  while (!IsAddressSet(J)) {
    if (J == 0) {
      return 0;
    }
    --J;
  }
  const std::vector<uint8_t> &D = T[J].Data;
  return D[0] | D[1] << 8 | D[2] << 16 | uint32_t(D[3]) << 24;
}

TEST_F(BankedUpdateTest, ErasesBankWritesAndBankReadsAbsorbOneFailure) {
  // Every transfer of a clean run fails once in turn. A failure inside an
  // erase, or inside a write or read of the bank, is absorbed by the repeat;
  // the chunk length, the camera's header read and the window register are
  // not repeated and end the update with the failure.
  std::vector<uint8_t> Image = BankImage(0x1000);
  Use(0x80);
  CameraHeader(BankHeader(1));
  std::vector<uint8_t> Dry = Image;
  ASSERT_EQ(Update(Dry), EFI_SUCCESS);
  const std::vector<Sim::UsbTransfer> Clean = Transfers();

  size_t Repeated = 0;
  for (size_t N = 1; N <= Clean.size(); ++N) {
    Use(0x80);
    CameraHeader(BankHeader(1));
    std::vector<uint8_t> Copy = Image;
    Bus().FailTransfer(N, EFI_DEVICE_ERROR);
    const EFI_STATUS Status = UpdateBankedFirmware(&Context, Copy.data(), Copy.size(), nullptr);
    EXPECT_TRUE(P().Boot().LiveAllocations().empty()) << N;

    const Sim::UsbTransfer &T = Clean[N - 1];
    const unsigned Selector = T.Setup.Value >> 8;
    const bool BankTransfer = (Selector == 0x0E || Selector == 0x0F) && FlashAddressOf(Clean, N - 1) >= 0x8000;
    if (Selector == 0x0D || BankTransfer) {
      ++Repeated;
      EXPECT_EQ(Status, EFI_SUCCESS) << "transfer " << N;
      EXPECT_EQ(Flash(0x8000, 0x1000), Image) << N;
    }
    if (N <= 2) {
      EXPECT_TRUE(EFI_ERROR(Status)) << "transfer " << N;  // the chunk length
      EXPECT_TRUE(Erased().empty()) << N;
    }
  }
  // 1 + 2 erases of two transfers each, and the bank's write and read.
  EXPECT_GE(Repeated, 6u + 8u);

  // The window's opening write fails: the update stops there.
  size_t TransferOfOpen = 0;
  for (size_t I = 2; I < Clean.size(); ++I) {
    if (Clean[I].Setup.Request == 0x01 && (Clean[I].Setup.Value >> 8) == 0x03 && Clean[I].Data == std::vector<uint8_t>{1} &&
        Clean[I - 2].Data == std::vector<uint8_t>{0x00, 0x60}) {
      TransferOfOpen = I;
      break;
    }
  }
  ASSERT_NE(TransferOfOpen, 0u);
  Use(0x80);
  CameraHeader(BankHeader(1));
  std::vector<uint8_t> Copy = Image;
  Bus().FailTransfer(TransferOfOpen + 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(UpdateBankedFirmware(&Context, Copy.data(), Copy.size(), nullptr), EFI_DEVICE_ERROR);
  EXPECT_EQ(Cam->Flash()[0x8000], 0xFF);
}

TEST_F(BankedUpdateTest, AllocationFailuresLeakNothing) {
  std::vector<uint8_t> Image = BankImage(0x1000);
  Use(0x80);
  CameraHeader(BankHeader(1));
  std::vector<uint8_t> Dry = Image;
  const uint64_t Before = P().Boot().AllocationCount();
  ASSERT_EQ(Update(Dry), EFI_SUCCESS);
  const uint64_t Allocations = P().Boot().AllocationCount() - Before;
  ASSERT_GT(Allocations, 3u);

  size_t OutOfResources = 0;
  for (uint64_t N = 1; N <= Allocations; ++N) {
    Use(0x80);
    CameraHeader(BankHeader(1));
    std::vector<uint8_t> Copy = Image;
    P().Boot().FailAllocation(N);
    const EFI_STATUS Status = UpdateBankedFirmware(&Context, Copy.data(), Copy.size(), nullptr);
    // A failing allocation inside a retried read is absorbed by the retry;
    // every other one ends the update with EFI_OUT_OF_RESOURCES.
    EXPECT_TRUE(Status == EFI_SUCCESS || Status == EFI_OUT_OF_RESOURCES) << N << " " << Status;
    OutOfResources += Status == EFI_OUT_OF_RESOURCES;
    EXPECT_TRUE(P().Boot().LiveAllocations().empty()) << N;
  }
  // The working buffers themselves: the header copy, the data block, the
  // read-back buffer and the header scratch buffer.
  EXPECT_GE(OutOfResources, 4u);
}

TEST_F(BankedUpdateTest, BadArgumentsSendNothing) {
  Use(0x80);
  std::vector<uint8_t> Image = BankImage(0x1000);
  EXPECT_EQ(UpdateBankedFirmware(nullptr, Image.data(), Image.size(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(UpdateBankedFirmware(&Context, nullptr, Image.size(), nullptr), EFI_INVALID_PARAMETER);
  CAMERA_CONTEXT NoCamera = Context;
  NoCamera.UsbIo = nullptr;
  EXPECT_EQ(UpdateBankedFirmware(&NoCamera, Image.data(), Image.size(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}


// The banked ISP as it ships: it boots from its flash, its flash is
// write-protected until the host clears it, and its update window makes the
// ISP write a digest into the header sector. These tests follow the update
// through the camera's restart.
class BankedUpdateBootTest : public BankedUpdateTest {
 protected:
  void UseKindN() {
    Cam = Plug(kPort, Sim::CameraProfile::ForIspKind('n'));
    Context = CAMERA_CONTEXT{};
    ASSERT_EQ(FindCameraDevice(&Context, 0x30C9, 0x004A), EFI_SUCCESS);
    // What the dispatcher does before it hands over: the command set for
    // the chip and the protection cleared.
    const UINT8 FlashKind = Cam->Profile().FlashKind;
    ASSERT_EQ(XuLoadFlashCommandSet(Context.UsbIo, Context.XuIndex, FlashKindToCommandSet(FlashKind), nullptr),
              EFI_SUCCESS);
    ASSERT_EQ(IspUnprotectFlash(Context.UsbIo, Context.XuIndex, 'n', FlashKind), EFI_SUCCESS);
    ClearLogs();
  }

  // Restarts the ISP and waits until it is back on the bus.
  void Restart() {
    ASSERT_EQ(IspRestart(&Context, 'n'), EFI_SUCCESS);
    gBS->Stall(Sim::Camera::kRestartLeaveNs / 1000 + Sim::Camera::kRestartReturnNs / 1000 + 1000);
    ASSERT_EQ(Cam->RestartsCompleted(), 1u);
  }

  static std::vector<uint8_t> Sha256(const std::vector<uint8_t> &Data) {
    std::vector<uint8_t> Digest(32);
    unsigned Length = 0;
    EXPECT_EQ(EVP_Digest(Data.data(), Data.size(), Digest.data(), &Length, EVP_sha256(), nullptr), 1);
    return Digest;
  }
};

TEST_F(BankedUpdateBootTest, AfterTheUpdateTheCameraBootsItsBankUnderTheNewIdentity) {
  UseKindN();
  ASSERT_EQ(Cam->Running(), Sim::BootImage::Base);
  std::vector<uint8_t> Image = BankImage(0x1C000);

  ASSERT_EQ(Update(Image), EFI_SUCCESS);

  // The ISP's digest of the bank, left in the header sector when the window
  // closed, is in the header the driver wrote back; bank 2 has none.
  EXPECT_EQ(Flash(0x706C, 32), Sha256(Image));
  EXPECT_EQ(Flash(0x70AC, 32), std::vector<uint8_t>(32, 0xFF));
  EXPECT_EQ(Cam->Flash()[0x7041], 1);

  // The window was polled until it read 0, 20 ms apart.
  const std::vector<std::string> All = Ops();
  const size_t Close = IndexOf("W6000=00");
  size_t Polls = 0;
  while (Close + 1 + Polls < All.size() && All[Close + 1 + Polls] == "R6000") {
    ++Polls;
  }
  EXPECT_EQ(Polls, 3u);
  EXPECT_EQ(P().Boot().CountCalls("Stall", "20000"), 2u);

  Restart();
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Bank);
  CAMERA_CONTEXT Again{};
  ASSERT_EQ(FindCameraDevice(&Again, 0x30C9, 0x004A), EFI_SUCCESS);
  EXPECT_EQ(Again.DeviceDescriptor.BcdDevice, 0x0201);
}

TEST_F(BankedUpdateBootTest, AfterAFailedCompareTheCameraStillBootsItsBaseImage) {
  // A first update puts a bank in; a second one whose read-back is spoilt
  // must leave a camera that boots, from its base image.
  UseKindN();
  std::vector<uint8_t> First = BankImage(0x2000);
  ASSERT_EQ(Update(First), EFI_SUCCESS);
  ClearLogs();

  std::vector<uint8_t> Second = BankImage(0x2000);
  PutDescriptor(Second, 0x200, 0x30C9, 0x004A, 0x0302);
  // A dry run of the second update finds its first read-back data
  // transfer; a fresh camera in the same state gets a short answer there.
  std::vector<uint8_t> Dry = Second;
  ASSERT_EQ(Update(Dry), EFI_SUCCESS);
  const size_t FirstRead = FirstReadBack();
  ASSERT_NE(FirstRead, 0u);
  P().Usb().Detach(kPort);

  UseKindN();
  std::vector<uint8_t> Again1 = BankImage(0x2000);
  ASSERT_EQ(Update(Again1), EFI_SUCCESS);
  ClearLogs();
  Bus().ShortAnswer(FirstRead, 0);
  EXPECT_EQ(Update(Second), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Flash(0x7000, 0xCC), DefaultHeader());

  Restart();
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Base);
  CAMERA_CONTEXT Again{};
  ASSERT_EQ(FindCameraDevice(&Again, 0x30C9, 0x004A), EFI_SUCCESS);
  EXPECT_EQ(Again.DeviceDescriptor.BcdDevice, 0x0100);
}

TEST_F(BankedUpdateBootTest, AWindowThatNeverClosesEndsTheUpdateWithATimeout) {
  UseKindN();
  Cam->SetWindowNeverCloses(true);
  std::vector<uint8_t> Image = BankImage(0x2000);
  const uint64_t Start = P().Clock().NowNs();

  EXPECT_EQ(Update(Image), EFI_TIMEOUT);

  // 250 reads, 249 waits of 20 ms between them; no read-back, no header.
  EXPECT_EQ(P().Boot().CountCalls("Stall", "20000"), 249u);
  EXPECT_GE(P().Clock().NowNs() - Start, 249u * 20000000ull);
  EXPECT_EQ(IndexOf("S0D=00700000", IndexOf("W6000=00")), Ops().size());
  EXPECT_EQ(Flash(0x7000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

}  // namespace
