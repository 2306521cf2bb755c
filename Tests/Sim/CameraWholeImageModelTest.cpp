// The whole-image ISPs ('f' to 'm') booting from their flash: the factory
// image; whether the image at flash address 0 or the ROM runs, by its head
// and its device descriptor, and under which USB identity; and a whole-image
// update driven over the wire (blank first chunk, the rest, the first chunk
// last, restart by the six writes), finished or cut off before its first
// chunk.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "CameraFixture.h"

namespace {

using Sim::BootImage;
using Sim::CameraProfile;
using Flash = std::vector<uint8_t>;

const Sim::UsbIdentity kFactory = {0x30C9, 0x004A, 0x0100}, kNew = {0x2222, 0x3333, 0x0444},
                       kOther = {0x5555, 0x6666, 0x0777}, kRecovery = {0x1BCF, 0x0B12, 0x0001};
constexpr uint32_t kLimit = 0x40000;  // how far the boot looks for a descriptor

void Put(Flash &F, uint32_t At, const std::vector<uint8_t> &Bytes) {
  std::copy(Bytes.begin(), Bytes.end(), F.begin() + At);
}
std::vector<uint8_t> DescriptorBytes(Sim::UsbIdentity Id, bool Usb3 = false, uint8_t UsbLow = 0x00) {
  return {0x12, 0x01, UsbLow, uint8_t(Usb3 ? 0x03 : 0x02), 0xEF, 0x02, 0x01, uint8_t(Usb3 ? 0x09 : 0x40),
          uint8_t(Id.VendorId), uint8_t(Id.VendorId >> 8), uint8_t(Id.ProductId), uint8_t(Id.ProductId >> 8),
          uint8_t(Id.BcdDevice), uint8_t(Id.BcdDevice >> 8)};
}

// A whole image: counting bytes (head 03 0A) with Id's descriptor at 0x1040,
// well past the first chunk (none when Id is null).
std::vector<uint8_t> ImageCode(const Sim::UsbIdentity *Id, bool Usb3 = false) {
  std::vector<uint8_t> Code(0x3000);
  for (size_t I = 0; I < Code.size(); ++I) Code[I] = uint8_t(I * 7 + 3);
  if (Id != nullptr) Put(Code, 0x1040, DescriptorBytes(*Id, Usb3));
  return Code;
}
std::function<void(Flash &)> At(uint32_t Address, std::vector<uint8_t> Bytes) {
  return [=](Flash &F) { Put(F, Address, Bytes); };
}

class CameraWholeImageModelTest : public CameraTest::CameraFixture {
 protected:
  void ExpectRuns(BootImage Image, Sim::UsbIdentity Id) {
    EXPECT_EQ(int(Cam->Running()), int(Image));
    const EFI_USB_DEVICE_DESCRIPTOR D = Descriptor();
    EXPECT_EQ((std::vector<unsigned>{D.IdVendor, D.IdProduct, D.BcdDevice}),
              (std::vector<unsigned>{Id.VendorId, Id.ProductId, Id.BcdDevice}));
  }
  uint16_t ChunkLength() {
    const CameraTest::Answer A = CameraTest::Xu(Io(), 0x85, 0x0F, 2, {});
    EXPECT_EQ(A.Status, EFI_SUCCESS);
    return uint16_t(A.Data[0] | (A.Data[1] << 8));
  }
  // What a host sends before the first chunk: selector 9 = 1, the image's
  // sectors erased, the first chunk blanked (F9 FF then 0xFF, when Blank;
  // left erased otherwise), the rest written and read back.
  void WriteAllButTheFirstChunk(const std::vector<uint8_t> &Image, bool Blank) {
    const uint16_t Chunk = ChunkLength();
    ASSERT_EQ(Set(0x09, {1}), EFI_SUCCESS);
    for (uint32_t S = 0; S < Image.size(); S += 4096) Erase(S);
    if (Blank) {
      std::vector<uint8_t> First(Chunk, 0xFF);
      First[0] = 0xF9;
      ProgramBytes(0, First);
    }
    const std::vector<uint8_t> Rest(Image.begin() + Chunk, Image.end());
    ProgramBytes(Chunk, Rest);
    EXPECT_EQ(ReadBytes(Chunk, Rest.size()), Rest);
  }
  void WriteTheFirstChunk(const std::vector<uint8_t> &Image) {
    ASSERT_EQ(Set(0x09, {1}), EFI_SUCCESS);  // a no-op unless a boot closed the gate
    ProgramBytes(0, std::vector<uint8_t>(Image.begin(), Image.begin() + ChunkLength()));
  }
  void RestartBySixWrites() {
    for (auto Step : std::vector<std::pair<uint16_t, uint8_t>>{
             {0x2034, 0}, {0x2030, 0xFF}, {0x2031, 0}, {0x2032, 0}, {0x2033, 2}, {0x2034, 1}}) {
      Write(Step.first, Step.second);
    }
    StallUntil(P->Clock().NowNs() + 600000000);
    ASSERT_NE(Io(), nullptr);
  }
  // The machine loses power and boots again: the camera powers on and is
  // enumerated anew.
  void PowerCycle() {
    P.reset();
    P = std::make_unique<Sim::Platform>(Machine);
    ASSERT_NE(Io(), nullptr);
  }
};

TEST_F(CameraWholeImageModelTest, EveryWholeImageGenerationIsMadeWithAnImageOfItsProfilesIdentityAndRunsIt) {
  Flash Expected(1u << 20, 0xFF);
  Put(Expected, 0, Sim::Camera::WholeImage(kFactory));
  for (char Kind : std::string("fghijklm")) {
    SCOPED_TRACE(Kind);
    Plug(CameraProfile::ForIspKind(Kind));
    ExpectRuns(BootImage::Image, kFactory);
    EXPECT_EQ(Cam->Flash(), Expected);
  }
  // The factory image carries the profile's identity; without it the ROM runs.
  CameraProfile Other = CameraProfile::ForIspKind('h');
  Other.ProductId = 0x1111;
  Plug(Other);
  ExpectRuns(BootImage::Image, {0x30C9, 0x1111, 0x0100});
  Other.FactoryImage = false;
  Plug(Other);
  ExpectRuns(BootImage::Rom, kRecovery);
  EXPECT_EQ(Cam->Flash(), Flash(1u << 20, 0xFF));
}

TEST_F(CameraWholeImageModelTest, BootRunsTheImageAtZeroWithADescriptorUnlessItsHeadReadsErasedOrBlankElseTheRom) {
  const std::vector<uint8_t> NewCode = ImageCode(&kNew), NoDescriptor = ImageCode(nullptr);
  std::vector<uint8_t> Usb3Ep64 = DescriptorBytes(kNew, true);
  Usb3Ep64[7] = 0x40;  // neither form
  const struct {
    std::string Name;
    std::vector<std::function<void(Flash &)>> Prepare;
    BootImage Runs;
    Sim::UsbIdentity Identity;
  } Cases[] = {
      {"image with a USB 2 descriptor", {At(0, NewCode)}, BootImage::Image, kNew},
      {"image with a USB 3 descriptor", {At(0, ImageCode(&kNew, true))}, BootImage::Image, kNew},
      {"first of two descriptors (bcdUSB 2.10)", {At(0, NewCode), At(0x800, DescriptorBytes(kOther, false, 0x10))},
       BootImage::Image, kOther},
      {"head FF FF", {At(0, NewCode), At(0, {0xFF, 0xFF})}, BootImage::Rom, kRecovery},
      {"head F9 FF", {At(0, NewCode), At(0, {0xF9, 0xFF})}, BootImage::Rom, kRecovery},
      {"head F9 FE", {At(0, NewCode), At(0, {0xF9, 0xFE})}, BootImage::Image, kNew},
      {"head FF 00", {At(0, NewCode), At(0, {0xFF, 0x00})}, BootImage::Image, kNew},
      {"no descriptor", {At(0, NoDescriptor)}, BootImage::Rom, kRecovery},
      {"USB 3 pattern with a 64-byte endpoint 0", {At(0, NoDescriptor), At(0x800, Usb3Ep64)}, BootImage::Rom,
       kRecovery},
      {"descriptor ending at the search limit", {At(0, NoDescriptor), At(kLimit - 14, DescriptorBytes(kNew))},
       BootImage::Image, kNew},
      {"descriptor past the search limit", {At(0, NoDescriptor), At(kLimit - 13, DescriptorBytes(kNew))},
       BootImage::Rom, kRecovery},
  };
  const Flash Factory = Sim::Camera(CameraProfile::ForIspKind('k')).Flash();
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Flash Expected = Factory;
    for (const auto &Step : C.Prepare) Step(Expected);
    Plug(CameraProfile::ForIspKind('k'), [&C](Flash &F) {
      for (const auto &Step : C.Prepare) Step(F);
    });
    ExpectRuns(C.Runs, C.Identity);
    EXPECT_EQ(Cam->Flash(), Expected);  // the boot only reads
  }
  // On a chip below the limit the search ends with the chip: a descriptor
  // at its end counts, one that would wrap round to address 0 does not.
  CameraProfile Small = CameraProfile::ForIspKind('j');
  Small.FlashSize = 0x20000;
  for (uint32_t Start : {0x20000u - 14, 0x20000u - 7}) {
    Plug(Small, [Start](Flash &F) {
      const std::vector<uint8_t> D = DescriptorBytes(kNew);
      F[Sim::Camera::kWholeImageDescriptor] = 0;  // the factory image's descriptor
      for (uint32_t I = 0; I < D.size(); ++I) F[(Start + I) % F.size()] = D[I];
    });
    ExpectRuns(Start == 0x20000 - 14 ? BootImage::Image : BootImage::Rom,
               Start == 0x20000 - 14 ? kNew : kRecovery);
  }
}

TEST_F(CameraWholeImageModelTest, AWholeImageUpdateOverTheWireRestartsUnderTheNewImagesIdentity) {
  Plug(CameraProfile::ForIspKind('k'));
  ExpectRuns(BootImage::Image, kFactory);
  const std::vector<uint8_t> Image = ImageCode(&kNew);
  WriteAllButTheFirstChunk(Image, true);
  WriteTheFirstChunk(Image);
  // The first chunk went over the blank without an erase: the head keeps
  // only the bits F9 FF leaves (03 becomes 01), and still runs.
  std::vector<uint8_t> Expected = Image;
  Expected[0] &= 0xF9;
  EXPECT_EQ(ReadBytes(0, Image.size()), Expected);
  RestartBySixWrites();
  ExpectRuns(BootImage::Image, kNew);
  EXPECT_EQ(Cam->RestartsCompleted(), 1u);
}

TEST_F(CameraWholeImageModelTest, AnUpdateCutOffBeforeTheFirstChunkComesBackInTheRomWhichStillTakesTheFirstChunk) {
  const std::vector<uint8_t> Image = ImageCode(&kNew);
  const struct {
    std::string Name;
    char Kind;
    bool Blank;      // 'j', 'k', 'm': F9 FF; 'h': the first chunk stays erased
    bool PowerCut;   // else the host restarts the camera
    Flash Head;
  } Cases[] = {
      {"'k', restarted", 'k', true, false, {0xF9, 0xFF}},
      {"'k', power cut", 'k', true, true, {0xF9, 0xFF}},
      {"'h', restarted", 'h', false, false, {0xFF, 0xFF}},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Plug(CameraProfile::ForIspKind(C.Kind));
    WriteAllButTheFirstChunk(Image, C.Blank);
    if (C.PowerCut) {
      PowerCycle();
    } else {
      RestartBySixWrites();
    }
    ExpectRuns(BootImage::Rom, kRecovery);
    const uint16_t Chunk = ChunkLength();
    EXPECT_EQ(ReadBytes(0, 2), C.Head);
    EXPECT_EQ(ReadBytes(Chunk, Image.size() - Chunk), Flash(Image.begin() + Chunk, Image.end()));
    // The ROM answers the extension unit: the first chunk written from
    // there, the next restart runs the image.
    WriteTheFirstChunk(Image);
    RestartBySixWrites();
    ExpectRuns(BootImage::Image, kNew);
  }
}

}  // namespace
