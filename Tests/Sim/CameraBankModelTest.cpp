// The Banked ISP ('n') booting from its flash, and its update window: which
// of bank, base image and ROM runs and under which USB identity; register
// 0x6000 after a close; the digest the close programs into the bank header;
// and a bank update driven over the wire that ends in a restart under the
// header's identity.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "CameraFixture.h"
#include "DigestRecovery.h"  // the driver's SHA-256, independent of the model's (OpenSSL)

namespace {

using Sim::BootImage;
using Sim::CameraProfile;
using Flash = std::vector<uint8_t>;

constexpr uint32_t kHeader = 0x7000, kBank1 = 0x8000, kBank2 = 0x24800;
constexpr uint32_t kDigest1 = 0x706C, kDigest2 = 0x70AC;
const Sim::UsbIdentity kFactory = {0x30C9, 0x004A, 0x0100}, kBanked = {0x2222, 0x3333, 0x0444},
                       kRecovery = {0x1BCF, 0x0B12, 0x0001};

void Put(Flash &F, uint32_t At, const std::vector<uint8_t> &Bytes) {
  std::copy(Bytes.begin(), Bytes.end(), F.begin() + At);
}
std::vector<uint8_t> Be32(uint32_t V) { return {uint8_t(V >> 24), uint8_t(V >> 16), uint8_t(V >> 8), uint8_t(V)}; }
std::vector<uint8_t> Le16(uint16_t V) { return {uint8_t(V), uint8_t(V >> 8)}; }

// The 204-byte bank header the driver writes at 0x7000, both digests erased,
// presenting Identity.
std::vector<uint8_t> BankHeader(uint8_t ActiveBank, Sim::UsbIdentity Identity = {0x1BCF, 0x0B15, 0x0110}) {
  std::vector<uint8_t> H(0xCC, 0x00);
  Put(H, 0, {'C', 'Y', 0x01, 0xA5, 0x09, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x07, 0x2F, 0x03, 0x01, 0x02, 0x00});
  Put(H, 0x20, {0x12, 0x01, 0x01, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xCF, 0x1B,  // USB 2.01, class EF/02/01
                0x15, 0x0B, 0x10, 0x01, 0x01, 0x02, 0x03, 0x01});
  Put(H, 0x28, Le16(Identity.VendorId));
  Put(H, 0x2A, Le16(Identity.ProductId));
  Put(H, 0x2C, Le16(Identity.BcdDevice));
  H[0x40] = 0x01;
  H[0x41] = ActiveBank;
  for (uint32_t Bank : {1u, 2u}) {
    const uint32_t Entry = Bank == 1 ? 0x60 : 0xA0;
    Put(H, Entry, Be32(Bank));
    Put(H, Entry + 4, Be32(Bank == 1 ? kBank1 : kBank2));
    Put(H, Entry + 8, Be32(1));
    Put(H, Entry + 0x0C, std::vector<uint8_t>(32, 0xFF));
  }
  return H;
}

// A bank image: counting bytes with "DZ" at 0x100.
std::vector<uint8_t> BankImage(size_t Size) {
  std::vector<uint8_t> Image(Size);
  for (size_t I = 0; I < Size; ++I) Image[I] = uint8_t(I * 7 + 3);
  Image[0x100] = 'D';
  Image[0x101] = 'Z';
  return Image;
}

// A header naming ActiveBank, a digest in the entries of Digested (bit 0:
// entry 1, bit 1: entry 2), "DZ" at 0x100 after each of DzAt.
std::function<void(Flash &)> Banks(uint8_t ActiveBank, unsigned Digested, std::vector<uint32_t> DzAt) {
  return [=](Flash &F) {
    Put(F, kHeader, BankHeader(ActiveBank, kBanked));
    if (Digested & 1) F[kDigest1 + 5] = 0x42;
    if (Digested & 2) F[kDigest2] = 0x00;
    for (uint32_t At : DzAt) Put(F, At + 0x100, {'D', 'Z'});
  };
}

std::vector<uint8_t> Sha256(const uint8_t *Data, size_t Size) {
  std::vector<uint8_t> Digest(32);
  CalculateSha256(Digest.data(), Data, Size);
  return Digest;
}

class CameraBankModelTest : public CameraTest::CameraFixture {
 protected:
  void ExpectRuns(BootImage Image, Sim::UsbIdentity Id) {
    EXPECT_EQ(int(Cam->Running()), int(Image));
    const EFI_USB_DEVICE_DESCRIPTOR D = Descriptor();
    EXPECT_EQ((std::vector<unsigned>{D.IdVendor, D.IdProduct, D.BcdDevice}),
              (std::vector<unsigned>{Id.VendorId, Id.ProductId, Id.BcdDevice}));
  }
  Flash Range(uint32_t At, size_t Size) { return Flash(Cam->Flash().begin() + At, Cam->Flash().begin() + At + Size); }
  std::vector<uint8_t> Reads(uint16_t Address, size_t Count) {
    std::vector<uint8_t> Values;
    for (size_t I = 0; I < Count; ++I) Values.push_back(Read(Address));
    return Values;
  }
};

TEST_F(CameraBankModelTest, BootRunsTheActiveBankElseTheBaseImageElseTheRom) {
  auto UsbDescriptor = [](uint32_t At, uint8_t UsbLow, Sim::UsbIdentity Id) {
    return [=](Flash &F) {
      Put(F, At, {0x12, 0x01, UsbLow, 0x02, 0xEF, 0x02, 0x01, 0x40});
      Put(F, At + 8, Le16(Id.VendorId));
      Put(F, At + 10, Le16(Id.ProductId));
      Put(F, At + 12, Le16(Id.BcdDevice));
    };
  };
  auto NoFactoryDescriptor = [](Flash &F) { F[Sim::Camera::kBaseImageDescriptor] = 0; };
  const struct {
    std::string Name;
    std::vector<std::function<void(Flash &)>> Prepare;
    BootImage Runs;
    Sim::UsbIdentity Identity;
  } Cases[] = {
      {"factory base image", {}, BootImage::Base, kFactory},
      {"bank 1 (ActiveBank 0)", {Banks(0, 1, {kBank1})}, BootImage::Bank, kBanked},
      {"ActiveBank 0xFF is bank 1", {Banks(0xFF, 1, {kBank1})}, BootImage::Bank, kBanked},
      {"bank 2 at its own offset", {Banks(2, 2, {kBank2})}, BootImage::Bank, kBanked},
      {"bank 2 without a digest", {Banks(2, 1, {kBank1, kBank2})}, BootImage::Base, kFactory},
      {"digest all 0xFF", {Banks(1, 0, {kBank1})}, BootImage::Base, kFactory},
      {"no DZ in the bank", {Banks(1, 3, {kBank2})}, BootImage::Base, kFactory},
      {"bank 5", {Banks(5, 3, {kBank1, kBank2})}, BootImage::Base, kFactory},
      {"header without CY", {Banks(1, 1, {kBank1}), [](Flash &F) { F[kHeader] = 'X'; }}, BootImage::Base, kFactory},
      {"first of two descriptors", {UsbDescriptor(0x40, 0x01, kBanked)}, BootImage::Base, kBanked},
      {"no CY at 0x100", {[](Flash &F) { F[0x101] = 0xFF; }}, BootImage::Rom, kRecovery},
      {"CY without a descriptor", {NoFactoryDescriptor}, BootImage::Rom, kRecovery},
      {"descriptor ending at 0x7000", {NoFactoryDescriptor, UsbDescriptor(0x7000 - 14, 0, kBanked)}, BootImage::Base,
       kBanked},
      {"descriptor past 0x7000", {NoFactoryDescriptor, UsbDescriptor(0x7000 - 13, 0, kBanked)}, BootImage::Rom,
       kRecovery},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Plug(CameraProfile::ForIspKind('n'), [&C](Flash &F) {
      for (const auto &Step : C.Prepare) Step(F);
    });
    ExpectRuns(C.Runs, C.Identity);
  }
  // The recovery identity is the profile's; a camera that does not boot
  // from flash (the bench camera) presents its profile's identity whatever
  // the flash holds.
  CameraProfile Other = CameraProfile::ForIspKind('n');
  Other.RecoveryIdentity.ProductId = 0x0B19;
  Plug(Other, [](Flash &F) { F[0x100] = 0; });
  ExpectRuns(BootImage::Rom, {0x1BCF, 0x0B19, 0x0001});
  Plug(CameraProfile(), Banks(0, 1, {kBank1}));
  ExpectRuns(BootImage::Base, kFactory);
}

TEST_F(CameraBankModelTest, ClosingTheWindowWritesTheDigestOfTheProgrammedRangeIntoItsBankEntryOnBankedIsps) {
  Plug(CameraProfile());  // Banked, unprotected, header sector erased
  const std::vector<uint8_t> Image = BankImage(0x300);
  Cam->Flash()[kBank1 + 0x205] = 0x0F;  // not erased: the digest is of what the flash holds
  EXPECT_EQ(Read(0x6000), 0);
  Write(0x6000, 1);
  EXPECT_EQ(Read(0x6000), 1);
  ProgramBytes(kBank1 + 0x100, {Image.begin() + 0x100, Image.end()});  // the range is lowest to highest end
  ProgramBytes(kBank1, {Image.begin(), Image.begin() + 0x100});
  Write(0x6000, 0);
  EXPECT_EQ(Range(kHeader, 0x1000), Flash(0x1000, 0xFF));  // not before the window reads 0
  EXPECT_EQ(Reads(0x6000, 4), (std::vector<uint8_t>{1, 1, 0, 0}));
  ASSERT_EQ(Cam->Flash()[kBank1 + 0x205], Image[0x205] & 0x0F);
  Flash Expected(0x1000, 0xFF);
  Put(Expected, kDigest1 - kHeader, Sha256(&Cam->Flash()[kBank1], 0x300));  // entry 1 of an erased header
  EXPECT_EQ(Range(kHeader, 0x1000), Expected);

  // With a header whose entry 2 starts the range, its digest is written
  // there; no reads while closing: done at the write.
  Cam->SetWindowClosePolls(0);
  Put(Cam->Flash(), kHeader, BankHeader(2));
  Write(0x6000, 1);
  ProgramBytes(kBank2, Image);
  Write(0x6000, 0);
  EXPECT_EQ(Read(0x6000), 0);
  EXPECT_EQ(Range(kDigest2, 32), Sha256(Image.data(), Image.size()));
  EXPECT_EQ(Range(kDigest1, 32), Flash(32, 0xFF));

  // Nothing programmed: no digest; a window that never closes: none either.
  Plug(CameraProfile());
  Cam->SetWindowClosePolls(4);
  Write(0x6000, 1);
  Write(0x6000, 0);
  EXPECT_EQ(Reads(0x6000, 5), (std::vector<uint8_t>{1, 1, 1, 1, 0}));
  Cam->SetWindowNeverCloses(true);
  Write(0x6000, 1);
  ProgramBytes(kBank1, BankImage(0x200));
  Write(0x6000, 0);
  EXPECT_EQ(Reads(0x6000, 20), std::vector<uint8_t>(20, 1));
  EXPECT_EQ(Range(kHeader, 0x1000), Flash(0x1000, 0xFF));
  // A Slotted ISP has the window but writes no digest.
  Plug(CameraProfile::ForIspKind('q'));
  ClearStatus(1);
  Write(0x6000, 1);
  ProgramBytes(kBank1, BankImage(0x200));
  Write(0x6000, 0);
  EXPECT_EQ(Reads(0x6000, 3), (std::vector<uint8_t>{1, 1, 0}));
  EXPECT_EQ(Range(kHeader, 0x1000), Flash(0x1000, 0xFF));
}

TEST_F(CameraBankModelTest, ABankUpdateOverTheWireRestartsUnderTheHeadersIdentity) {
  Plug(CameraProfile::ForIspKind('n'));
  EXPECT_EQ((std::vector<uint8_t>{Read(0x20D9), Read(0x20DC), Read(0x20DD)}), (std::vector<uint8_t>{0x80, 0, 0}));
  ClearStatus(1);  // the boot protected the chip
  const std::vector<uint8_t> Image = BankImage(0x2000);
  Dirty(kHeader / 4096);
  for (uint32_t At : {kHeader, kBank1, kBank1 + 0x1000}) Erase(At);
  Write(0x6000, 1);
  ProgramBytes(kBank1, Image);
  Write(0x6000, 0);
  unsigned Polls = 0;
  while (Read(0x6000) != 0 && Polls < 10) ++Polls;
  EXPECT_EQ(Polls, 2u);
  // The header rewritten with the digest fields read back, the bank and the
  // new identity.
  const std::vector<uint8_t> Sector = ReadBytes(kHeader, 0xCC);
  EXPECT_EQ(std::vector<uint8_t>(Sector.begin() + 0x6C, Sector.begin() + 0x8C), Sha256(Image.data(), Image.size()));
  std::vector<uint8_t> Header = BankHeader(1, kBanked);
  std::copy(Sector.begin() + 0x6C, Sector.begin() + 0x8C, Header.begin() + 0x6C);
  std::copy(Sector.begin() + 0xAC, Sector.begin() + 0xCC, Header.begin() + 0xAC);
  Erase(kHeader);
  ProgramBytes(kHeader, Header);
  Write(0x20D8, 0xA5);
  StallUntil(P->Clock().NowNs() + 600000000);
  ASSERT_NE(Io(), nullptr);
  ExpectRuns(BootImage::Bank, kBanked);

  // A re-enumeration boots through the same choice: without the header, the
  // base image runs again.
  ClearStatus(1);
  Erase(kHeader);
  Write(0x20D8, 0x5A);
  StallUntil(P->Clock().NowNs() + 600000000);
  ASSERT_NE(Io(), nullptr);
  ExpectRuns(BootImage::Base, kFactory);
  EXPECT_EQ(Cam->RestartsCompleted(), 2u);
}

}  // namespace
