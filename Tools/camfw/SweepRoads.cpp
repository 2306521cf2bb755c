#include "Tools/camfw/SweepRoads.h"

#include <algorithm>
#include <memory>

#include "Sim/Capsule.h"
#include "Sim/Scenario.h"
#include "Tools/camfw/CapsuleFile.h"
#include "Tools/camfw/SampleImages.h"

namespace Camfw {

namespace {

constexpr uint16_t kVendor = 0x30C9;
constexpr uint16_t kProduct = 0x004A;

// A filler without the markers or descriptor patterns anyone looks for.
void Fill(Bytes &Image, unsigned Seed) {
  for (size_t I = 0; I < Image.size(); ++I) {
    Image[I] = static_cast<uint8_t>(((I * 41 + Seed) ^ (I >> 6)) & 0x7F);
  }
}

void PutDescriptor(Bytes &Image, size_t At, uint16_t Bcd) {
  const uint8_t D[] = {0x12, 0x01, 0x00, 0x02, 0xEF,          0x02, 0x01,      0x40,
                       uint8_t(kVendor), uint8_t(kVendor >> 8), uint8_t(kProduct), uint8_t(kProduct >> 8),
                       uint8_t(Bcd), uint8_t(Bcd >> 8)};
  std::copy(std::begin(D), std::end(D), Image.begin() + static_cast<long>(At));
}

// An image for the older whole-image generations: a head that is neither
// erased nor the blank mark, its identity at 0x400.
Bytes WholeImage(uint16_t Bcd) {
  Bytes Image(0x2000);
  Fill(Image, 7);
  Image[0] = 0x41;
  Image[1] = 0x42;
  PutDescriptor(Image, 0x400, Bcd);
  return Image;
}

// A base-area image for the banked generation's whole-image road.
Bytes BaseImage(uint16_t Bcd) {
  Bytes Image(0x2000);
  Fill(Image, 5);
  Image[0x100] = 'C';
  Image[0x101] = 'Y';
  PutDescriptor(Image, 0x300, Bcd);
  return Image;
}

// A bank image: "DZ" at 0x100, the first descriptor names it (0xFA = 1),
// and the placeholder for the camera's data block at 0x3000 + 0xC00.
Bytes BankImage(uint16_t Bcd) {
  Bytes Image(0x4000);
  Fill(Image, 3);
  Image[0x100] = 'D';
  Image[0x101] = 'Z';
  Image[0xFA] = 1;
  PutDescriptor(Image, 0x200, Bcd);
  Image[0x3C00] = 0x78;
  Image[0x3C01] = 0x64;
  Image[0x3C02] = 0x30;
  return Image;
}

// Firmware of the two-slot ISPs' legacy layout: "95 27" at 0x100, the
// length bound, the tail-record word and the hashed length, its identity
// at 0x600.
Bytes LegacyImage(uint16_t Bcd, uint32_t TailWord) {
  Bytes Image(0x2000);
  Fill(Image, 9);
  Image[0x100] = 0x95;
  Image[0x101] = 0x27;
  PutBe32(Image, 0x120, 0x10000);
  PutBe32(Image, 0x124, TailWord);
  PutBe32(Image, 0x12C, 0);
  PutDescriptor(Image, 0x600, Bcd);
  return Image;
}

// The two-slot sample signed for the camera's chunk, its header version
// set to HeaderVersion (the factory header's is 1).
Bytes TwoSlotImage(uint16_t Bcd, size_t Chunk, uint32_t HeaderVersion) {
  SampleOptions Options;
  Options.Camera = 'p';
  Options.BcdDevice = Bcd;
  Options.Chunk = Chunk;
  Options.Sign = false;
  Bytes Image = SampleImage(Options);
  PutBe32(Image, 2, HeaderVersion);
  return SignImage(Image, Chunk);
}

Bytes FlashOf(const Sim::CameraProfile &Profile, const Bytes &AtZero = Bytes()) {
  Sim::Camera Camera(Profile);
  std::copy(AtZero.begin(), AtZero.end(), Camera.Flash().begin());
  return Camera.Flash();
}

// The flash a camera is left with after a whole job: a boot, a boot with
// the capsule, boots until the machine settles. Throws Error when the camera
// does not end up running Expected under Bcd.
Bytes FlashAfterUpdate(const Sim::CameraProfile &Profile, const Bytes &Flash, const Bytes &Payload, uint16_t Bcd,
                       Sim::BootImage Expected) {
  Sim::Machine M;
  auto Camera = std::make_shared<Sim::Camera>(Profile);
  Camera->Flash() = Flash;
  M.UsbPorts[kSweepPort] = Camera;
  Sim::Scenario S(M);
  S.Boot();
  M.PendingCapsules.push_back(BuildCapsule(Payload));
  S.BootUntilSettled();
  if (Camera->Running() != Expected || Camera->DeviceDescriptor().BcdDevice != Bcd) {
    throw Error(Format("the sweeps' banked camera did not take its first bank (bcdDevice 0x%04X)", Bcd));
  }
  return Camera->Flash();
}

SweepRoad WholeImageRoad() {
  SweepRoad R;
  R.Key = "g";
  R.Title = "G whole image ('k')";
  R.Shape = RoadShape::WholeImage;
  R.Profile = Sim::CameraProfile::ForIspKind('k');
  R.Profile.ChunkSize = 256;
  R.Flash = FlashOf(R.Profile);
  R.Payload = WholeImage(R.NewBcd);
  return R;
}

SweepRoad BankedWholeImageRoad() {
  SweepRoad R;
  R.Key = "n-whole";
  R.Title = "N whole image ('n', 0x20D9 bit 7 clear)";
  R.Shape = RoadShape::WholeImage;
  R.Profile = Sim::CameraProfile::ForIspKind('n');
  R.Profile.BootRegisters[0x20D9] = 0x00;
  R.Flash = FlashOf(R.Profile);
  R.Payload = BaseImage(R.NewBcd);
  return R;
}

// A camera that runs bank 1 (installed by an earlier update, bcdDevice
// 0x0150) with its calibration block at bank offset 0x3000, tagged at
// +0xC00, as the factory left it.
SweepRoad BankRoad() {
  SweepRoad R;
  R.Key = "n-bank";
  R.Title = "N bank ('n')";
  R.Shape = RoadShape::Bank;
  R.Profile = Sim::CameraProfile::ForIspKind('n');
  R.OldBcd = 0x0150;
  R.Flash = FlashAfterUpdate(R.Profile, FlashOf(R.Profile), BankImage(R.OldBcd), R.OldBcd, Sim::BootImage::Bank);
  R.DeviceDataAt = 0xB000;
  R.DeviceData.resize(0x900);
  for (size_t I = 0; I < R.DeviceData.size(); ++I) {
    R.DeviceData[I] = static_cast<uint8_t>(0xC0 ^ (I * 13) ^ (I >> 8));
  }
  R.DeviceTagAt = 0xBC00;
  R.DeviceTag = {0x30, 0x64, 0x78};
  std::copy(R.DeviceData.begin(), R.DeviceData.end(), R.Flash.begin() + R.DeviceDataAt);
  std::copy(R.DeviceTag.begin(), R.DeviceTag.end(), R.Flash.begin() + R.DeviceTagAt);
  R.Payload = BankImage(R.NewBcd);
  return R;
}

SweepRoad SlotRoad() {
  SweepRoad R;
  R.Key = "p-slot";
  R.Title = "P slot ('p', header version not above the camera's)";
  R.Shape = RoadShape::Slot;
  R.Profile = Sim::CameraProfile::ForIspKind('p');
  R.Profile.ChunkSize = 256;
  R.Flash = FlashOf(R.Profile);
  R.Payload = TwoSlotImage(R.NewBcd, R.Profile.ChunkSize, 1);
  return R;
}

SweepRoad SlotFallbackRoad() {
  SweepRoad R;
  R.Key = "p-fallback";
  R.Title = "P whole-image fallback ('p' running legacy-layout firmware)";
  R.Shape = RoadShape::WholeImage;
  R.Profile = Sim::CameraProfile::ForIspKind('p');
  R.Profile.ChunkSize = 256;
  R.Profile.FactoryImage = false;
  R.Flash = FlashOf(R.Profile, LegacyImage(R.OldBcd, 0x00804006));
  // Two-slot payloads end with a 160-byte trailer; this one signs nothing.
  R.Payload = LegacyImage(R.NewBcd, 0xFFFFFFFF);
  R.Payload.insert(R.Payload.end(), 160, 0x00);
  return R;
}

SweepRoad SlotHeaderRoad() {
  SweepRoad R;
  R.Key = "p-header";
  R.Title = "P header-block write ('p', header version above the camera's)";
  R.Shape = RoadShape::Slot;
  R.Profile = Sim::CameraProfile::ForIspKind('p');
  R.Profile.ChunkSize = 256;
  R.Flash = FlashOf(R.Profile);
  R.Payload = TwoSlotImage(R.NewBcd, R.Profile.ChunkSize, 2);
  return R;
}

}  // namespace

std::vector<SweepRoad> SweepRoads() {
  return {WholeImageRoad(), BankedWholeImageRoad(), BankRoad(), SlotRoad(), SlotFallbackRoad(), SlotHeaderRoad()};
}

std::vector<std::string> SweepRoadKeys() { return {"g", "n-whole", "n-bank", "p-slot", "p-fallback", "p-header"}; }

SweepRoad SweepRoadByKey(const std::string &Key) {
  if (Key == "g") return WholeImageRoad();
  if (Key == "n-whole") return BankedWholeImageRoad();
  if (Key == "n-bank") return BankRoad();
  if (Key == "p-slot") return SlotRoad();
  if (Key == "p-fallback") return SlotFallbackRoad();
  if (Key == "p-header") return SlotHeaderRoad();
  std::string Known;
  for (const std::string &K : SweepRoadKeys()) {
    Known += (Known.empty() ? "" : ", ") + K;
  }
  throw Error("unknown road '" + Key + "' (known: " + Known + ")");
}

}  // namespace Camfw
