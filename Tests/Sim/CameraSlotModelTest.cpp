// The Slotted ISP ('p', 'q') booting from its flash: the factory header and
// slot 0; which slot or the ROM runs and under which USB identity; how a
// boot with no active slot settles an update (the range programmed in the
// update window hashed against the digest handed over on selector 0x1F),
// rewriting the header; and a slot update driven over the wire.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "CameraFixture.h"
#include "DigestRecovery.h"  // the driver's SHA-256, independent of the model's (OpenSSL)
#include "Sim/Camera/FlashChip.h"

namespace {

using Sim::BootImage;
using Sim::CameraProfile;
using Flash = std::vector<uint8_t>;

constexpr uint32_t kSlot0 = 0x3000, kSlot1 = 0x41000;  // the factory layout
constexpr uint32_t kDigest0 = 0x0C + 0x0C, kDigest1 = 0x38 + 0x0C;
const Sim::UsbIdentity kFactory = {0x30C9, 0x004A, 0x0100}, kNew = {0x2222, 0x3333, 0x0444},
                       kRecovery = {0x1BCF, 0x0B19, 0x0001};

void Put(Flash &F, uint32_t At, const std::vector<uint8_t> &Bytes) {
  std::copy(Bytes.begin(), Bytes.end(), F.begin() + At);
}
std::vector<uint8_t> Be32(uint32_t V) { return {uint8_t(V >> 24), uint8_t(V >> 16), uint8_t(V >> 8), uint8_t(V)}; }
std::vector<uint8_t> DescriptorBytes(Sim::UsbIdentity Id, bool Usb3 = false) {
  return {0x12, 0x01, 0x00, uint8_t(Usb3 ? 0x03 : 0x02), 0xEF, 0x02, 0x01, uint8_t(Usb3 ? 0x09 : 0x40),
          uint8_t(Id.VendorId), uint8_t(Id.VendorId >> 8), uint8_t(Id.ProductId), uint8_t(Id.ProductId >> 8),
          uint8_t(Id.BcdDevice), uint8_t(Id.BcdDevice >> 8)};
}
std::vector<uint8_t> Sha256(const std::vector<uint8_t> &Data) {
  std::vector<uint8_t> Digest(32);
  CalculateSha256(Digest.data(), Data.data(), Data.size());
  return Digest;
}

// Slot code: counting bytes with Id's descriptor at 0x80 (none when Id is null).
std::vector<uint8_t> SlotCode(const Sim::UsbIdentity *Id, size_t Size = 0x1800, bool Usb3 = false) {
  std::vector<uint8_t> Code(Size);
  for (size_t I = 0; I < Size; ++I) Code[I] = uint8_t(I * 7 + 3);
  if (Id != nullptr) Put(Code, 0x80, DescriptorBytes(*Id, Usb3));
  return Code;
}

// Header fields written over the factory header (Digested: bit 0 slot 0,
// bit 1 slot 1; the others erased).
std::function<void(Flash &)> Header(uint8_t Active, uint8_t Previous, unsigned Digested, uint8_t Count = 2) {
  return [=](Flash &F) {
    F[6] = Count;
    F[7] = Active;
    F[8] = Previous;
    Put(F, kDigest0, std::vector<uint8_t>(32, (Digested & 1) ? 0x5A : 0xFF));
    Put(F, kDigest1, std::vector<uint8_t>(32, (Digested & 2) ? 0x00 : 0xFF));
  };
}
std::function<void(Flash &)> At(uint32_t Address, std::vector<uint8_t> Bytes) {
  return [=](Flash &F) { Put(F, Address, Bytes); };
}

class CameraSlotModelTest : public CameraTest::CameraFixture {
 protected:
  void ExpectRuns(BootImage Image, Sim::UsbIdentity Id) {
    EXPECT_EQ(int(Cam->Running()), int(Image));
    const EFI_USB_DEVICE_DESCRIPTOR D = Descriptor();
    EXPECT_EQ((std::vector<unsigned>{D.IdVendor, D.IdProduct, D.BcdDevice}),
              (std::vector<unsigned>{Id.VendorId, Id.ProductId, Id.BcdDevice}));
  }
  Flash Range(uint32_t At, size_t Size) { return Flash(Cam->Flash().begin() + At, Cam->Flash().begin() + At + Size); }
  void Restart() {
    Write(0x20D8, 0xA5);
    StallUntil(P->Clock().NowNs() + 600000000);
    ASSERT_NE(Io(), nullptr);
  }
  // Erases Address's sectors for Data, hands Digest over on 0x1F (none when
  // empty), programs Data inside the update window (or outside it) and waits
  // until the window reads 0.
  void Deliver(uint32_t Address, const std::vector<uint8_t> &Data, const std::vector<uint8_t> &Digest,
               bool EraseFirst = true, bool InWindow = true) {
    ClearStatus(1);
    for (uint32_t S = 0; EraseFirst && S < Data.size(); S += 4096) Erase(Address + S);
    if (!Digest.empty()) {
      ASSERT_EQ(Set(0x1F, Digest), EFI_SUCCESS);
    }
    if (InWindow) Write(0x6000, 1);
    ProgramBytes(Address, Data);
    if (InWindow) Write(0x6000, 0);
    unsigned Polls = 0;
    while (Read(0x6000) != 0 && Polls < 10) ++Polls;
    ASSERT_LT(Polls, 10u);
  }
};

TEST_F(CameraSlotModelTest, TheFactoryHeaderNamesSlot0HoldingTheProfilesIdentityWithItsDigest) {
  for (char Kind : std::string("pq")) {
    SCOPED_TRACE(Kind);
    Plug(CameraProfile::ForIspKind(Kind));
    ExpectRuns(BootImage::Slot0, kFactory);
    // 95 28, version 1, two slots, slot 0 active, no previous slot, attributes 0.
    Flash Expected = {0x95, 0x28, 0, 0, 0, 1, 2, 0, 0xFF, 0, 0, 0};
    for (uint32_t Slot : {0u, 1u}) {
      for (auto Field : {Be32(Slot == 0 ? 1 : 0), Be32(Slot == 0 ? kSlot0 : kSlot1), Be32(1)}) {
        Expected.insert(Expected.end(), Field.begin(), Field.end());
      }
      const std::vector<uint8_t> Digest = Slot == 0 ? Sha256(Range(kSlot0, 0x200)) : Flash(32, 0xFF);
      Expected.insert(Expected.end(), Digest.begin(), Digest.end());
    }
    EXPECT_EQ(Range(0, 100), Expected);
    // Slot 0's 0x200 bytes hold the descriptor; everything else is erased.
    const Flash Slot0 = Range(kSlot0, 0x200), Pattern = DescriptorBytes(kFactory);
    EXPECT_NE(std::search(Slot0.begin(), Slot0.end(), Pattern.begin(), Pattern.end()), Slot0.end());
    Flash Rest = Cam->Flash();
    std::fill(Rest.begin(), Rest.begin() + 100, 0xFF);
    std::fill(Rest.begin() + kSlot0, Rest.begin() + kSlot0 + 0x200, 0xFF);
    EXPECT_EQ(Rest, Flash(Rest.size(), 0xFF));
  }
  // The factory image carries the profile's identity; without it the ROM runs.
  CameraProfile Other = CameraProfile::ForIspKind('p');
  Other.VendorId = 0x1111;
  Plug(Other);
  ExpectRuns(BootImage::Slot0, {0x1111, 0x004A, 0x0100});
  Other.FactoryImage = false;
  Plug(Other);
  ExpectRuns(BootImage::Rom, kRecovery);
}

TEST_F(CameraSlotModelTest, BootRunsTheNamedSlotWithADigestUnderItsDescriptorsIdentityElseTheRom) {
  const std::vector<uint8_t> NewCode = SlotCode(&kNew), NoDescriptor = SlotCode(nullptr);
  const uint32_t Limit = kSlot1 + 0x40000;
  const struct {
    std::string Name;
    std::vector<std::function<void(Flash &)>> Prepare;
    BootImage Runs;
    Sim::UsbIdentity Identity;
    uint8_t ActiveAfter;
  } Cases[] = {
      {"slot 1", {Header(1, 0, 3), At(kSlot1, NewCode)}, BootImage::Slot1, kNew, 1},
      {"slot 1, USB 3 descriptor", {Header(1, 0, 3), At(kSlot1, SlotCode(&kNew, 0x100, true))}, BootImage::Slot1,
       kNew, 1},
      {"slot 1 without a digest", {Header(1, 0, 1), At(kSlot1, NewCode)}, BootImage::Rom, kRecovery, 1},
      {"slot 1 without a descriptor", {Header(1, 0, 3), At(kSlot1, NoDescriptor)}, BootImage::Rom, kRecovery, 1},
      {"slot 0's code ends where slot 1's starts",
       {Header(0, 0xFF, 3), At(kSlot0, NoDescriptor), At(kSlot1, NewCode), At(kSlot1 - 10, DescriptorBytes(kNew))},
       BootImage::Rom, kRecovery, 0},
      {"descriptor ending at the search limit", {Header(1, 0, 3), At(Limit - 14, DescriptorBytes(kNew))},
       BootImage::Slot1, kNew, 1},
      {"descriptor past the search limit", {Header(1, 0, 3), At(Limit - 13, DescriptorBytes(kNew))}, BootImage::Rom,
       kRecovery, 1},
      {"slot 1 beyond the chip", {Header(1, 0, 3), At(0x38 + 4, Be32(0x100000))}, BootImage::Rom, kRecovery, 1},
      {"SlotCount 1 naming slot 1", {Header(1, 0, 3, 1), At(kSlot1, NewCode)}, BootImage::Rom, kRecovery, 1},
      {"SlotCount 0", {Header(0, 0xFF, 3, 0)}, BootImage::Rom, kRecovery, 0},
      {"SlotCount 3", {Header(0, 0xFF, 3, 3)}, BootImage::Rom, kRecovery, 0},
      {"ActiveSlot 2", {Header(2, 0, 3), At(kSlot1, NewCode)}, BootImage::Rom, kRecovery, 2},
      {"no header", {At(0, {0x95, 0x27})}, BootImage::Rom, kRecovery, 0},
      // Legacy-layout firmware runs from address 0, under its descriptor's
      // identity; with its first chunk still erased it is not complete.
      {"legacy-layout firmware", {At(0, {0x12, 0x34}), At(0x100, {0x95, 0x27}), At(0x600, DescriptorBytes(kNew))},
       BootImage::Legacy, kNew, 0},
      {"legacy-layout firmware, first chunk erased",
       {At(0, {0xFF, 0xFF}), At(0x100, {0x95, 0x27}), At(0x600, DescriptorBytes(kNew))}, BootImage::Rom, kRecovery, 0},
      // ActiveSlot 0xFF after a power-on: nothing was handed over, so the
      // previous slot is made active again, when there is one that runs.
      {"update pending, previous slot 1", {Header(0xFF, 1, 2), At(kSlot1, NewCode)}, BootImage::Slot1, kNew, 1},
      {"update pending, no previous slot", {Header(0xFF, 0xFF, 3)}, BootImage::Rom, kRecovery, 0xFF},
      {"update pending, previous slot without a digest", {Header(0xFF, 0, 2), At(kSlot1, NewCode)}, BootImage::Rom,
       kRecovery, 0xFF},
  };
  const Flash Factory = Sim::Camera(CameraProfile::ForIspKind('q')).Flash();
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Flash Expected = Factory;
    for (const auto &Step : C.Prepare) Step(Expected);
    Plug(CameraProfile::ForIspKind('q'), [&C](Flash &F) {
      for (const auto &Step : C.Prepare) Step(F);
    });
    ExpectRuns(C.Runs, C.Identity);
    Expected[7] = C.ActiveAfter;  // the only byte the boot may have changed
    EXPECT_EQ(Cam->Flash(), Expected);
  }
  // A camera that does not boot from flash presents its profile's identity.
  CameraProfile Bench = CameraProfile::ForIspKind('q');
  Bench.BootsFromFlash = false;
  Plug(Bench, At(0, {0xFF, 0xFF}));
  ExpectRuns(BootImage::Base, kFactory);
}

TEST_F(CameraSlotModelTest, AnUpdatedSlotBecomesActiveOnlyWhenTheWindowsRangeHashesToTheHandedDigest) {
  const std::vector<uint8_t> Code = SlotCode(&kNew), Blank = SlotCode(nullptr);
  std::vector<uint8_t> Other = Code;
  Other[0x1000] ^= 1;
  const struct {
    std::string Name;
    std::function<void(Flash &)> Prepare;  // after the boot
    std::function<void()> Host;
    bool PowerCut;  // the camera boots again at a power-on, not at a restart
    BootImage Runs;
    uint8_t ActiveAfter;
    std::vector<uint8_t> Digest1After;  // empty: stays erased
  } Cases[] = {
      {"matching digest", Header(0xFF, 0, 1), [&] { Deliver(kSlot1, Code, Sha256(Code)); },
       false, BootImage::Slot1, 1, Sha256(Code)},
      {"digest of other data", Header(0xFF, 0, 1),
       [&] { Deliver(kSlot1, Code, Sha256(Other)); }, false, BootImage::Slot0, 0, {}},
      {"programmed over unerased bytes",
       [&](Flash &F) {
         Header(0xFF, 0, 1)(F);
         Put(F, kSlot1, Flash(0x1800, 0xFF));
         F[kSlot1 + 0x1000] = 0xFE;  // the flash holds Other
       },
       [&] { Deliver(kSlot1, Code, Sha256(Code), false); }, false, BootImage::Slot0, 0, {}},
      {"no digest handed over", Header(0xFF, 0, 1), [&] { Deliver(kSlot1, Code, {}); },
       false, BootImage::Slot0, 0, {}},
      {"programmed outside the window", Header(0xFF, 0, 1),
       [&] { Deliver(kSlot1, Code, Sha256(Code), true, false); }, false, BootImage::Slot0, 0, {}},
      {"power-on after the close (and a protected chip)", Header(0xFF, 0, 1),
       [&] {
         Deliver(kSlot1, Code, Sha256(Code));
         Cam->Chip().SetStatus(Sim::FlashChip::kBlockProtect);
       },
       true, BootImage::Slot0, 0, {}},
      // The range is lost with the power too: a digest handed over again
      // after the power-on has nothing to be compared with.
      {"digest handed over again after a power-on", Header(0xFF, 0, 1),
       [&] {
         Deliver(kSlot1, Code, Sha256(Code));
         Cam->PowerOn();
         Cam->Flash()[7] = 0xFF;
         ASSERT_EQ(Set(0x1F, Sha256(Code)), EFI_SUCCESS);
       },
       false, BootImage::Slot0, 0, {}},
      {"no previous slot", Header(0xFF, 0xFF, 1),
       [&] { Deliver(kSlot1, Code, Sha256(Other)); }, false, BootImage::Rom, 0xFF, {}},
      {"matching digest, code without a descriptor", Header(0xFF, 0, 1),
       [&] { Deliver(kSlot1, Blank, Sha256(Blank)); }, false, BootImage::Slot0, 0, {}},
      // The slot whose Offset starts the range is the one updated, even with
      // slot 0's digest erased as well.
      {"both digests erased", Header(0xFF, 0xFF, 0),
       [&] { Deliver(kSlot1, Code, Sha256(Code)); }, false, BootImage::Slot1, 1, Sha256(Code)},
      // The header sector is erased before it is programmed back: an old
      // digest left in the entry is replaced, not ANDed with.
      {"old digest left in slot 1's entry", Header(0xFF, 0, 3), [&] { Deliver(kSlot1, Code, Sha256(Code)); }, false,
       BootImage::Slot1, 1, Sha256(Code)},
      // A range that starts at no slot's Offset: the slot with the erased digest.
      {"range inside slot 1", Header(0xFF, 0, 1),
       [&] {
         const std::vector<uint8_t> Tail(Code.begin() + 0x40, Code.end());
         Deliver(kSlot1 + 0x40, Tail, Sha256(Tail));
       },
       false, BootImage::Slot1, 1, Sha256({Code.begin() + 0x40, Code.end()})},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Plug(CameraProfile::ForIspKind('q'));
    C.Prepare(Cam->Flash());  // what the host wrote to the running camera's header
    C.Host();
    Flash Expected = Range(0, 0x1000);  // the header as the host left it
    if (C.PowerCut) {
      Cam->PowerOn();
    } else {
      Restart();
    }
    ExpectRuns(C.Runs, C.Runs == BootImage::Slot1 ? kNew : C.Runs == BootImage::Slot0 ? kFactory : kRecovery);
    Expected[7] = C.ActiveAfter;
    if (!C.Digest1After.empty()) Put(Expected, kDigest1, C.Digest1After);
    EXPECT_EQ(Range(0, 0x1000), Expected);
    EXPECT_TRUE(Cam->Chip().Protected());  // the boot protected the chip after its rewrite
  }
}

TEST_F(CameraSlotModelTest, AnIspThatLeavesAFailedUpdateUnsettledRunsThePreviousSlotUnderAnUnchangedHeader) {
  const std::vector<uint8_t> Code = SlotCode(&kNew);
  std::vector<uint8_t> Other = Code;
  Other[0x10] ^= 1;
  for (bool Matches : {false, true}) {
    SCOPED_TRACE(Matches);
    Plug(CameraProfile::ForIspKind('p'));
    Cam->SetLeavesFailedUpdateUnsettled(true);
    Header(0xFF, 0, 1)(Cam->Flash());
    Deliver(kSlot1, Code, Sha256(Matches ? Code : Other));
    const Flash Left = Range(0, 0x1000);
    Restart();
    if (Matches) {
      // An update that passed its check is still written into the header.
      ExpectRuns(BootImage::Slot1, kNew);
      EXPECT_EQ(Cam->Flash()[7], 1);
      EXPECT_EQ(Range(kDigest1, 32), Sha256(Code));
    } else {
      ExpectRuns(BootImage::Slot0, kFactory);
      EXPECT_EQ(Range(0, 0x1000), Left);
      EXPECT_EQ(Cam->Flash()[7], 0xFF);
      Cam->PowerOn();  // and again at every boot
      ExpectRuns(BootImage::Slot0, kFactory);
      EXPECT_EQ(Range(0, 0x1000), Left);
    }
  }
}

TEST_F(CameraSlotModelTest, ASlotUpdateOverTheWireRestartsIntoTheNewSlotAndABadOneFallsBack) {
  Plug(CameraProfile::ForIspKind('p'));
  ClearStatus(1);
  // The host's new header: no active slot, slot 0 as the previous one, slot
  // 1 at version 2 with an erased digest; the rest of the sector kept.
  Flash Sector = ReadBytes(0, 0x1000);
  Sector[7] = 0xFF;
  Sector[8] = 0;
  Put(Sector, 0x38, Be32(2));
  Put(Sector, kDigest1, Flash(32, 0xFF));
  Erase(0);
  ProgramBytes(0, Sector);
  // The slot data as a host writes it: the code padded with 0xFF to the
  // next whole KiB, every byte of it inside the window and under the digest.
  std::vector<uint8_t> Code = SlotCode(&kNew, 0x2345);
  Code.resize((Code.size() / 1024 + 1) * 1024, 0xFF);
  for (uint32_t At = kSlot1; At < kSlot1 + Code.size(); At += 4096) Erase(At);
  ASSERT_EQ(Set(0x1F, Sha256(Code)), EFI_SUCCESS);
  Write(0x6000, 1);
  ProgramBytes(kSlot1, Code);
  Write(0x6000, 0);
  unsigned Polls = 0;
  while (Read(0x6000) != 0 && Polls < 10) ++Polls;
  EXPECT_EQ(Polls, 2u);
  EXPECT_EQ(ReadBytes(0, 0x1000), Sector);  // the close writes nothing on this ISP
  Restart();
  ExpectRuns(BootImage::Slot1, kNew);
  Flash After = Sector;
  After[7] = 1;
  Put(After, kDigest1, Sha256(Code));
  EXPECT_EQ(ReadBytes(0, 0x1000), After);

  // The next update targets slot 0; its data does not match the digest
  // handed over, so slot 1 runs again.
  ClearStatus(1);
  After[7] = 0xFF;
  After[8] = 1;
  Put(After, kDigest0, Flash(32, 0xFF));
  Erase(0);
  ProgramBytes(0, After);
  Deliver(kSlot0, SlotCode(&kFactory), Sha256(Code));
  Restart();
  ExpectRuns(BootImage::Slot1, kNew);
  After[7] = 1;
  EXPECT_EQ(Range(0, 0x1000), After);
  EXPECT_EQ(Cam->RestartsCompleted(), 2u);
}

}  // namespace
