#include "Sim/Camera/Camera.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include <openssl/evp.h>

namespace Sim {

namespace {

// UVC class-specific requests.
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetLen = 0x85;
constexpr uint8_t kClassInterfaceOut = 0x21;
constexpr uint8_t kClassInterfaceIn = 0xA1;

// ISP registers with side effects.
constexpr uint16_t kLockMarker = 0x0700;  // 0x0700..0x0703
constexpr uint16_t kLockArm = 0x2041;
constexpr uint16_t kLockConfirm = 0x2043;
constexpr uint16_t kLockState = 0x2045;
constexpr uint16_t kBootControl = 0x20D8;
constexpr uint16_t kBootControl2 = 0x20DA;
constexpr uint16_t kResetHint = 0x20DC;
constexpr uint16_t kReconnectHint = 0x20DD;
constexpr uint16_t kSpiData = 0x2C24;
constexpr uint16_t kSpiControl = 0x2C25;
constexpr uint16_t kSpiReceiveLow = 0x2C26;
constexpr uint16_t kSpiReceiveHigh = 0x2C27;
constexpr uint16_t kSpiMode = 0x2C2A;
constexpr uint16_t kSpiSplitLow = 0x2C2B;
constexpr uint16_t kSpiSplitHigh = 0x2C2C;
constexpr uint16_t kBootState = 0x20D9;

constexpr uint8_t kRestartCommand = 0xA5;
constexpr uint8_t kReenumerate = 0x5A;
constexpr uint8_t kReenumerate2 = 0x78;
constexpr uint8_t kSpiBegin = 0x10;
constexpr uint8_t kSpiGo = 0x01;
constexpr uint8_t kSpiBusy = 0x80;
constexpr size_t kSpiQueueLimit = 4096;  // bytes the send queue holds; more are dropped

// The restart sequence of the WholeImage generations, in order.
constexpr RegisterWrite kRestartSequence[] = {{0x2034, 0x00}, {0x2030, 0xFF}, {0x2031, 0x00},
                                              {0x2032, 0x00}, {0x2033, 0x02}, {0x2034, 0x01}};

// Command-table slots.
constexpr uint8_t kSlotRead = 1;
constexpr uint8_t kSlotWriteEnable = 4;
constexpr uint8_t kSlotSectorErase = 6;
constexpr uint8_t kSlotPageProgram = 9;
constexpr uint8_t kSlotReadId = 13;
constexpr uint8_t kNoCommand = 0xFF;

// The Banked layout in flash: the base area from 0, the bank header in the
// sector at 0x7000 (big-endian fields but for the USB identity), the banks
// where the header's entries point.
constexpr uint32_t kBaseMarker = 0x100;          // "CY" in a base image
constexpr uint32_t kBaseAreaEnd = 0x7000;        // the base image's descriptor is searched below this
constexpr uint32_t kBankHeader = 0x7000;         // "CY"
constexpr uint32_t kHeaderIdentity = 0x7028;     // idVendor, idProduct, bcdDevice, little-endian
constexpr uint32_t kHeaderActiveBank = 0x7041;   // 0 and 0xFF mean 1
constexpr uint32_t kBankEntries[] = {0x7060, 0x70A0};  // entries 1 and 2, 44 bytes each
constexpr uint32_t kEntryOffset = 4;             // BE32: the bank's flash address
constexpr uint32_t kEntryDigest = 0x0C;          // 32 bytes
constexpr uint32_t kBankMarker = 0x100;          // "DZ" at the bank's offset + this
constexpr size_t kDigestSize = 32;
// A USB 2 device descriptor as the base image carries it: these bytes, any
// value in the low byte of bcdUSB, then idVendor, idProduct and bcdDevice
// (little-endian) at +8, +10, +12.
constexpr uint8_t kDescriptorPattern[] = {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40};
constexpr uint32_t kDescriptorAnyByte = 2;
// The USB 3 form a slot's code may carry instead, all eight bytes fixed.
constexpr uint8_t kUsb3DescriptorPattern[] = {0x12, 0x01, 0x00, 0x03, 0xEF, 0x02, 0x01, 0x09};
constexpr uint32_t kDescriptorMatch = 14;        // pattern and identity: a match is whole

// The Slotted layout in flash: a 100-byte header at 0 (big-endian), two
// 44-byte slot entries laid out as the bank entries are (Version, Offset,
// Flags, Digest), each slot's code at its Offset.
constexpr uint8_t kSlotSignature[] = {0x95, 0x28};
// The legacy layout: "95 27" at 0x100, the firmware from address 0.
constexpr uint32_t kLegacyMarker = 0x100;
constexpr uint8_t kLegacySignature[] = {0x95, 0x27};
constexpr uint32_t kHeaderVersion = 2;           // BE32
constexpr uint32_t kHeaderSlotCount = 6;         // 1 or 2
constexpr uint32_t kHeaderActiveSlot = 7;        // 0xFF: none (an update in progress)
constexpr uint32_t kHeaderPreviousSlot = 8;
constexpr uint32_t kSlotEntries[] = {0x0C, 0x38};
constexpr uint32_t kEntryVersion = 0;            // BE32
constexpr uint32_t kEntryFlags = 8;              // BE32
constexpr uint8_t kNoSlot = 0xFF;
constexpr uint32_t kSlotCodeLimit = 0x40000;     // a slot's descriptor is searched this far from its Offset
constexpr uint32_t kSlotHeader = 0;              // the header's sector starts the flash

// The WholeImage layout: one image from flash address 0. Its first two bytes
// tell whether a whole image stands there: erased, or the blank a host
// programs into the first chunk until the rest is written and read back.
constexpr uint8_t kErasedHead[] = {0xFF, 0xFF};
constexpr uint8_t kBlankHead[] = {0xF9, 0xFF};

// An 18-byte USB 2 device descriptor presenting Identity: class EF/02/01,
// strings 1 and 2, no serial number, one configuration.
std::vector<uint8_t> Usb2Descriptor(const UsbIdentity &Identity) {
  auto Lo = [](uint16_t Value) { return static_cast<uint8_t>(Value); };
  auto Hi = [](uint16_t Value) { return static_cast<uint8_t>(Value >> 8); };
  return {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, Lo(Identity.VendorId), Hi(Identity.VendorId),
          Lo(Identity.ProductId), Hi(Identity.ProductId), Lo(Identity.BcdDevice), Hi(Identity.BcdDevice),
          0x01, 0x02, 0x00, 0x01};
}

void PutBe32(std::vector<uint8_t> &Data, size_t At, uint32_t Value) {
  for (size_t I = 0; I < 4; ++I) {
    Data[At + I] = static_cast<uint8_t>(Value >> (24 - 8 * I));
  }
}

uint32_t Le32(const std::vector<uint8_t> &Data) {
  return Data[0] | (Data[1] << 8) | (Data[2] << 16) | (static_cast<uint32_t>(Data[3]) << 24);
}

}  // namespace

const std::array<uint8_t, Camera::kCommandSlots> Camera::kStandardCommands = {
    kNoCommand,  // slot 0: not used
    0x03, 0x0B, 0x05, 0x06, 0x04, 0x20, 0xD8, 0xC7, 0x02, 0xFF, 0xFF, 0x01,
    0x9F,  // slot 13: read identification
};

const std::vector<XuSelector> kCameraXuSelectors = {
    {0x02, 2, kXuSet},           // ISP register address
    {0x03, 1, kXuGet | kXuSet},  // ISP register data
    {0x07, 1, kXuSet},           // flash command table slot
    {0x08, 1, kXuSet},           // flash command table value
    {0x09, 1, kXuSet},           // flash write enable
    {0x0D, 4, kXuSet},           // erase the sector at this address
    {0x0E, 4, kXuSet},           // flash address
    {0x0F, 0, kXuGet | kXuSet},  // flash data, one chunk
    {0x10, 1, kXuSet},           // flash command set mode
    {0x17, 3, kXuGet},           // flash identification bytes
    {0x1A, 4, kXuSet},           // ISP address-space address
    {0x1B, 4, kXuGet},           // ISP address-space data
    {0x1F, 32, kXuSet},          // signed digest
};

// ---------------------------------------------------------------------------
// Profiles
// ---------------------------------------------------------------------------

CameraProfile CameraProfile::ForIspKind(char Kind) {
  CameraProfile P;
  P.Layout = IspLayout::WholeImage;
  P.FlashProtected = false;
  P.EraseNeedsEnable = true;
  P.LockBit = 0;
  P.SpiController = false;
  P.IdThroughUnit = false;
  // Every generation boots from its flash and leaves the factory with the
  // firmware of the profile's identity; its ROM presents the default
  // recovery identity unless the generation has its own ('p', 'q').
  P.BootsFromFlash = true;
  P.FactoryImage = true;
  switch (Kind) {
    case 'p':
    case 'q':
      P.Reg209E = 0x3E;
      P.Reg209F = Kind == 'p' ? 0x01 : 0x00;
      P.Reg20A1 = 0x80;
      P.Layout = IspLayout::Slotted;
      P.FlashProtected = true;
      P.EraseNeedsEnable = false;
      P.LockBit = 0x01;
      P.SpiController = true;
      P.RecoveryIdentity = {0x1BCF, 0x0B19, 0x0001};
      return P;
    case 'n':
      P.Reg209E = 0x15;
      P.Layout = IspLayout::Banked;
      P.FlashProtected = true;
      P.EraseNeedsEnable = false;
      P.LockBit = 0x08;
      // The bank header moves as one flash-data chunk, so this ISP's chunk
      // holds at least its 204 bytes.
      P.ChunkSize = 0x400;
      // Boot state bit 7: the banked update; hints 0: a re-enumeration leaves the bus.
      P.BootRegisters = {{kBootState, 0x80}, {kResetHint, 0x00}, {kReconnectHint, 0x00}};
      return P.WithGenerationByte(0x02);
    case 'k':
      P.LockBit = 0x04;
      return P.WithGenerationByte(0xC2);
    case 'f':
      return P.WithGenerationByte(0x62);
    case 'g':
      return P.WithGenerationByte(0x92);
    case 'h':
      return P.WithGenerationByte(0x82);
    case 'i':
    case 'l':
      P.Reg20D0 = Kind == 'l' ? 0x10 : 0x00;
      return P.WithGenerationByte(0xA2);
    case 'j':
      return P.WithGenerationByte(0xB2);
    case 'm':
      return P.WithGenerationByte(0xD2);
    default:
      throw std::invalid_argument("no ISP generation of that kind");
  }
}

CameraProfile CameraProfile::WithGenerationByte(uint8_t Value) const {
  CameraProfile P = *this;
  P.Reg20FF = Value;
  if (P.Reg209E == 0x3E) {
    return P;
  }
  const uint8_t Nibble = Value >> 4;
  const bool Unit = Nibble == 0xB || Nibble == 0xC || Nibble == 0xD;
  P.IdThroughUnit = Unit;
  P.SpiController = !Unit && Nibble != 0xA && ((Value & 1) == 0 || Value == 0x0F);
  return P;
}

// ---------------------------------------------------------------------------
// Power, boot and restart
// ---------------------------------------------------------------------------

Camera::Camera(CameraProfile Profile) : Profile_(Profile), Chip_(Profile.FlashKind, Profile.FlashSize) {
  if (Profile_.FactoryImage) {
    PlaceFactoryImage();
  }
  PowerOn();
}

std::vector<uint8_t> Camera::BaseImage(const UsbIdentity &Identity) {
  std::vector<uint8_t> Image(0x200, 0x00);
  Image[kBaseMarker] = 'C';
  Image[kBaseMarker + 1] = 'Y';
  const std::vector<uint8_t> Descriptor = Usb2Descriptor(Identity);
  std::copy(Descriptor.begin(), Descriptor.end(), Image.begin() + kBaseImageDescriptor);
  return Image;
}

std::vector<uint8_t> Camera::SlotImage(const UsbIdentity &Identity) {
  std::vector<uint8_t> Image(0x200, 0x00);
  const std::vector<uint8_t> Descriptor = Usb2Descriptor(Identity);
  std::copy(Descriptor.begin(), Descriptor.end(), Image.begin() + kSlotImageDescriptor);
  return Image;
}

std::vector<uint8_t> Camera::WholeImage(const UsbIdentity &Identity) {
  std::vector<uint8_t> Image(0x200, 0x00);
  const std::vector<uint8_t> Descriptor = Usb2Descriptor(Identity);
  std::copy(Descriptor.begin(), Descriptor.end(), Image.begin() + kWholeImageDescriptor);
  return Image;
}

// What the factory programmed, placed where it fits on the chip. Banked: the
// base image at 0. WholeImage: the whole image at 0. Slotted: the header in sector 0 (version 1, two slots,
// slot 0 active, no previous slot, attributes zero), slot 0 (version 1,
// flags 1) holding SlotImage with its SHA-256 as the digest, slot 1
// (version 0, flags 1) empty with an erased digest; the rest of sector 0 and
// slot 1's area erased.
void Camera::PlaceFactoryImage() {
  const UsbIdentity Identity = {Profile_.VendorId, Profile_.ProductId, Profile_.BcdDevice};
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Parts;
  if (Profile_.Layout == IspLayout::Slotted) {
    const std::vector<uint8_t> Slot0 = SlotImage(Identity);
    std::vector<uint8_t> Header(100, 0x00);
    Header[0] = kSlotSignature[0];
    Header[1] = kSlotSignature[1];
    PutBe32(Header, kHeaderVersion, 1);
    Header[kHeaderSlotCount] = 2;
    Header[kHeaderActiveSlot] = 0;
    Header[kHeaderPreviousSlot] = kNoSlot;
    for (size_t Slot = 0; Slot < 2; ++Slot) {
      const uint32_t Entry = kSlotEntries[Slot];
      PutBe32(Header, Entry + kEntryVersion, Slot == 0 ? 1 : 0);
      PutBe32(Header, Entry + kEntryOffset, kFactorySlots[Slot]);
      PutBe32(Header, Entry + kEntryFlags, 1);
      std::fill(Header.begin() + Entry + kEntryDigest, Header.begin() + Entry + kEntryDigest + kDigestSize, 0xFF);
    }
    unsigned int Size = 0;
    EVP_Digest(Slot0.data(), Slot0.size(), Header.data() + kSlotEntries[0] + kEntryDigest, &Size, EVP_sha256(),
               nullptr);
    Parts = {{kSlotHeader, Header}, {kFactorySlots[0], Slot0}};
  } else if (Profile_.Layout == IspLayout::WholeImage) {
    Parts = {{0, WholeImage(Identity)}};
  } else {
    Parts = {{0, BaseImage(Identity)}};
  }
  std::vector<uint8_t> &Array = Chip_.Memory();
  for (const auto &Part : Parts) {
    for (size_t I = 0; I < Part.second.size() && Part.first + I < Array.size(); ++I) {
      Array[Part.first + I] = Part.second[I];
    }
  }
}

void Camera::PowerOn() {
  Chip_.PowerCycle();
  AddressSpace_.clear();
  Commands_ = kStandardCommands;
  CommandSlot_ = 0;
  CommandMode_ = 0;
  LastSet_.clear();
  RestartPending_ = false;
  Window_ = WindowState::Closed;  // a close in progress is lost with the power
  WindowLow_ = WindowHigh_ = 0;   // and so is the range it recorded
  DigestPending_ = false;
  Boot();
}

void Camera::Restarted() {
  RestartPending_ = false;
  ++RestartsCompleted_;
  Boot();
}

void Camera::Boot() {
  Registers_.fill(0);
  Registers_[0x209E] = Profile_.Reg209E;
  Registers_[0x209F] = Profile_.Reg209F;
  Registers_[0x20A1] = Profile_.Reg20A1;
  Registers_[0x20D0] = Profile_.Reg20D0;
  Registers_[0x20FF] = Profile_.Reg20FF;
  if (Profile_.LockMarker) {
    std::memcpy(&Registers_[kLockMarker], "FWPO", 4);
  }
  Registers_[kLockState] = Profile_.Unlocked ? Profile_.LockBit : 0;
  for (const auto &Entry : Profile_.BootRegisters) {
    Registers_[Entry.first] = Entry.second;
  }
  RegisterAddress_ = 0;
  DwordAddress_ = 0;
  FlashAddress_ = 0;
  FlashEnable_ = false;
  LockArmed_ = 0;
  RestartStep_ = 0;
  SpiSend_.clear();
  SpiReceive_.clear();
  SpiPending_ = false;
  SpiBusyLeft_ = 0;
  // What runs is chosen (a Slotted boot may rewrite its header) before the
  // boot code sets or clears the chip's block protection.
  ChooseImage();
  Chip_.SetStatus(Profile_.FlashProtected ? FlashChip::kBlockProtect : 0, 0);
}

// ---------------------------------------------------------------------------
// What runs: bank, base image, slot, whole image or ROM
// ---------------------------------------------------------------------------

// The boot code reads the array as the ISP addresses it (24 bits, wrapping
// at the chip's size), not through the host's command table.
uint8_t Camera::FlashByte(uint32_t Address) const {
  return Chip_.Memory()[(Address & 0xFFFFFF) % Chip_.Size()];
}

uint16_t Camera::FlashLe16(uint32_t Address) const {
  return static_cast<uint16_t>(FlashByte(Address) | (FlashByte(Address + 1) << 8));
}

uint32_t Camera::FlashBe32(uint32_t Address) const {
  uint32_t Value = 0;
  for (uint32_t I = 0; I < 4; ++I) {
    Value = (Value << 8) | FlashByte(Address + I);
  }
  return Value;
}

bool Camera::FlashMatches(uint32_t Address, const char *Marker) const {
  for (uint32_t I = 0; Marker[I] != '\0'; ++I) {
    if (FlashByte(Address + I) != static_cast<uint8_t>(Marker[I])) {
      return false;
    }
  }
  return true;
}

void Camera::ChooseImage() {
  Running_ = BootImage::Base;
  Identity_ = {Profile_.VendorId, Profile_.ProductId, Profile_.BcdDevice};
  if (!Profile_.BootsFromFlash) {
    return;
  }
  bool Runs = false;
  switch (Profile_.Layout) {
    case IspLayout::Banked:
      if (BankRuns()) {
        Running_ = BootImage::Bank;
        Runs = true;
      } else {
        Runs = BaseRuns();  // Running_ is Base already
      }
      break;
    case IspLayout::Slotted:
      Runs = SlotRuns() || LegacyRuns();
      break;
    case IspLayout::WholeImage:
      Runs = ImageRuns();
      break;
  }
  if (!Runs) {
    Running_ = BootImage::Rom;
    Identity_ = Profile_.RecoveryIdentity;
  }
}

// The header names a bank (1 or 2; 0 and 0xFF read as 1) whose entry has a
// digest other than all 0xFF and whose data has "DZ" at offset 0x100: the
// bank runs under the identity stored in the header.
bool Camera::BankRuns() {
  if (!FlashMatches(kBankHeader, "CY")) {
    return false;
  }
  uint8_t Bank = FlashByte(kHeaderActiveBank);
  if (Bank == 0 || Bank == 0xFF) {
    Bank = 1;
  }
  if (Bank != 1 && Bank != 2) {
    return false;
  }
  const uint32_t Entry = kBankEntries[Bank - 1];
  bool Digest = false;
  for (uint32_t I = 0; I < kDigestSize; ++I) {
    Digest = Digest || FlashByte(Entry + kEntryDigest + I) != 0xFF;
  }
  if (!Digest || !FlashMatches(FlashBe32(Entry + kEntryOffset) + kBankMarker, "DZ")) {
    return false;
  }
  Identity_ = {FlashLe16(kHeaderIdentity), FlashLe16(kHeaderIdentity + 2), FlashLe16(kHeaderIdentity + 4)};
  return true;
}

// The base image runs when it has "CY" at 0x100 and a device-descriptor
// pattern inside the base area (the first whole match gives the identity);
// without one it counts as not runnable.
bool Camera::BaseRuns() {
  return FlashMatches(kBaseMarker, "CY") && FindDescriptor(0, kBaseAreaEnd, false, Identity_);
}

// The WholeImage boot: the image at 0 runs unless its head reads erased or
// blank, and only when it holds a descriptor pattern (either form) within
// kImageCodeLimit bytes or the chip, whichever ends first; the first whole
// match gives the identity. The boot only reads: nothing in flash changes.
bool Camera::ImageRuns() {
  const uint8_t Head[] = {FlashByte(0), FlashByte(1)};
  if (std::equal(std::begin(Head), std::end(Head), std::begin(kErasedHead)) ||
      std::equal(std::begin(Head), std::end(Head), std::begin(kBlankHead))) {
    return false;
  }
  const uint32_t End = static_cast<uint32_t>(std::min<uint64_t>(kImageCodeLimit, Chip_.Size()));
  UsbIdentity Identity{};
  if (!FindDescriptor(0, End, true, Identity)) {
    return false;
  }
  Running_ = BootImage::Image;
  Identity_ = Identity;
  return true;
}

// A two-slot ISP without a two-slot header still runs firmware of the
// legacy layout ("95 27" at 0x100), from address 0, as the camera's older
// firmware is laid out and as a host's whole-image programming leaves it:
// under the identity of its first descriptor pattern. It starts at address
// 0, so a head that reads erased (or blank) is no firmware: the host writes
// the first chunk last, and until then the image is not complete.
bool Camera::LegacyRuns() {
  if (FlashByte(kLegacyMarker) != kLegacySignature[0] || FlashByte(kLegacyMarker + 1) != kLegacySignature[1]) {
    return false;
  }
  const uint8_t Head[] = {FlashByte(0), FlashByte(1)};
  if (std::equal(std::begin(Head), std::end(Head), std::begin(kErasedHead)) ||
      std::equal(std::begin(Head), std::end(Head), std::begin(kBlankHead))) {
    return false;
  }
  const uint32_t End = static_cast<uint32_t>(std::min<uint64_t>(kImageCodeLimit, Chip_.Size()));
  UsbIdentity Identity{};
  if (!FindDescriptor(0, End, true, Identity)) {
    return false;
  }
  Running_ = BootImage::Legacy;
  Identity_ = Identity;
  return true;
}

// The first whole device-descriptor pattern in [Begin, End) gives the
// identity behind it: the USB 2 form, and with Usb3 the USB 3 form as well
// (a slot's code or a whole image may carry either; the base image's search
// keeps to USB 2).
bool Camera::FindDescriptor(uint32_t Begin, uint32_t End, bool Usb3, UsbIdentity &Identity) const {
  for (uint64_t At = Begin; At + kDescriptorMatch <= End; ++At) {
    const uint32_t A = static_cast<uint32_t>(At);
    bool Usb2Match = true;
    bool Usb3Match = Usb3;
    for (uint32_t I = 0; I < sizeof(kDescriptorPattern) && (Usb2Match || Usb3Match); ++I) {
      const uint8_t Byte = FlashByte(A + I);
      Usb2Match = Usb2Match && (I == kDescriptorAnyByte || Byte == kDescriptorPattern[I]);
      Usb3Match = Usb3Match && Byte == kUsb3DescriptorPattern[I];
    }
    if (Usb2Match || Usb3Match) {
      Identity = {FlashLe16(A + 8), FlashLe16(A + 10), FlashLe16(A + 12)};
      return true;
    }
  }
  return false;
}

// The Slotted boot. The header at 0 ("95 28", SlotCount 1 or 2) names the
// slot that runs; a named slot runs when its Digest is not all 0xFF and its
// code holds a descriptor pattern, under that descriptor's identity. A named
// slot that does not qualify is not replaced by the other one. ActiveSlot
// 0xFF (the host is updating a slot) first settles which slot is active.
bool Camera::SlotRuns() {
  if (FlashByte(kSlotHeader) != kSlotSignature[0] || FlashByte(kSlotHeader + 1) != kSlotSignature[1]) {
    return false;
  }
  const uint8_t SlotCount = FlashByte(kHeaderSlotCount);
  if (SlotCount < 1 || SlotCount > 2) {
    return false;
  }
  uint8_t Active = FlashByte(kHeaderActiveSlot);
  if (Active == kNoSlot) {
    Active = FinishSlotUpdate(SlotCount);
  }
  UsbIdentity Identity{};
  if (Active >= SlotCount || !SlotDigested(Active) || !SlotIdentity(Active, SlotCount, Identity)) {
    return false;
  }
  Running_ = Active == 0 ? BootImage::Slot0 : BootImage::Slot1;
  Identity_ = Identity;
  return true;
}

// An update was under way. The slot being updated is the one whose Offset
// starts the range programmed inside the update window (else the first slot
// with an erased Digest). When the SHA-256 of that range, as the flash holds
// it now, equals the digest last handed over on selector 0x1F, and the slot
// can run, the ISP writes the digest into the slot's entry and makes it
// active. Otherwise (no digest, no range, a mismatch, nothing to run) the
// previous slot becomes active again when it names one that can run. The
// header is rewritten only to name a slot that runs; returns that slot, or
// kNoSlot.
uint8_t Camera::FinishSlotUpdate(uint8_t SlotCount) {
  UsbIdentity Identity{};
  uint8_t Target = kNoSlot;
  for (uint8_t Slot = 0; Slot < SlotCount && WindowHigh_ > WindowLow_; ++Slot) {
    if (FlashBe32(kSlotEntries[Slot] + kEntryOffset) == WindowLow_) {
      Target = Slot;
      break;
    }
  }
  for (uint8_t Slot = 0; Slot < SlotCount && Target == kNoSlot; ++Slot) {
    if (!SlotDigested(Slot)) {
      Target = Slot;
    }
  }
  const std::vector<uint8_t> *Handed = LastSet(0x1F);
  if (Target != kNoSlot && Handed != nullptr && WindowHigh_ > WindowLow_ &&
      SlotIdentity(Target, SlotCount, Identity)) {
    const std::array<uint8_t, 32> Digest = RangeDigest(WindowLow_, WindowHigh_);
    if (std::equal(Digest.begin(), Digest.end(), Handed->begin(), Handed->end())) {
      RewriteHeaderSector({{kSlotEntries[Target] + kEntryDigest, *Handed}, {kHeaderActiveSlot, {Target}}});
      return Target;
    }
  }
  const uint8_t Previous = FlashByte(kHeaderPreviousSlot);
  if (Previous < SlotCount && SlotDigested(Previous) && SlotIdentity(Previous, SlotCount, Identity)) {
    if (!LeavesFailedUpdateUnsettled_) {
      RewriteHeaderSector({{kHeaderActiveSlot, {Previous}}});
    }
    return Previous;
  }
  return kNoSlot;
}

// The slot's entry holds a digest (not all 0xFF).
bool Camera::SlotDigested(uint8_t Slot) const {
  for (uint32_t I = 0; I < kDigestSize; ++I) {
    if (FlashByte(kSlotEntries[Slot] + kEntryDigest + I) != 0xFF) {
      return true;
    }
  }
  return false;
}

// The identity in the slot's code: the first descriptor pattern from its
// Offset, within kSlotCodeLimit bytes, the chip, and the other slot's
// Offset when that lies above (the next slot's code is not this one's).
bool Camera::SlotIdentity(uint8_t Slot, uint8_t SlotCount, UsbIdentity &Identity) const {
  const uint32_t Begin = FlashBe32(kSlotEntries[Slot] + kEntryOffset);
  uint64_t End = std::min<uint64_t>(static_cast<uint64_t>(Begin) + kSlotCodeLimit, Chip_.Size());
  for (uint8_t Other = 0; Other < SlotCount; ++Other) {
    const uint32_t Next = FlashBe32(kSlotEntries[Other] + kEntryOffset);
    if (Next > Begin) {
      End = std::min<uint64_t>(End, Next);
    }
  }
  return End > Begin && FindDescriptor(Begin, static_cast<uint32_t>(End), true, Identity);
}

// The boot code rewrites its header as a flash operation of its own: it
// reads sector 0, erases it and programs it back with the changes (address
// in the sector, bytes). It runs before the boot sets the chip's protection.
void Camera::RewriteHeaderSector(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &Changes) {
  std::vector<uint8_t> Sector(FlashChip::kSectorSize);
  for (uint32_t I = 0; I < Sector.size(); ++I) {
    Sector[I] = FlashByte(kSlotHeader + I);
  }
  for (const auto &Change : Changes) {
    std::copy(Change.second.begin(), Change.second.end(), Sector.begin() + Change.first);
  }
  std::vector<uint8_t> &Array = Chip_.Memory();
  for (uint32_t I = 0; I < Sector.size(); ++I) {
    uint8_t &Byte = Array[(kSlotHeader + I) % Chip_.Size()];
    Byte = 0xFF;          // erase
    Byte &= Sector[I];    // program
  }
}

std::array<uint8_t, 32> Camera::RangeDigest(uint64_t Low, uint64_t High) const {
  std::vector<uint8_t> Bytes;
  Bytes.reserve(static_cast<size_t>(High - Low));
  for (uint64_t At = Low; At < High; ++At) {
    Bytes.push_back(FlashByte(static_cast<uint32_t>(At)));
  }
  std::array<uint8_t, 32> Digest{};
  unsigned int Size = 0;
  EVP_Digest(Bytes.data(), Bytes.size(), Digest.data(), &Size, EVP_sha256(), nullptr);
  return Digest;
}

// ---------------------------------------------------------------------------
// The update window (0x6000) and the bank digest
// ---------------------------------------------------------------------------

void Camera::WindowWrite(uint8_t Value) {
  if (Value == 1) {
    if (Window_ == WindowState::Closing) {
      WindowClosed();  // the ISP finishes the close it was busy with first
    }
    Window_ = WindowState::Open;
    WindowLow_ = WindowHigh_ = 0;
  } else if (Value == 0 && Window_ == WindowState::Open && !WindowNeverCloses_) {
    Window_ = WindowState::Closing;
    WindowReadsLeft_ = WindowClosePolls_;
    // The digest is taken over the programmed range as it stands now.
    DigestPending_ = Profile_.Layout == IspLayout::Banked && WindowHigh_ > WindowLow_;
    if (DigestPending_) {
      Digest_ = RangeDigest(WindowLow_, WindowHigh_);
      DigestStart_ = static_cast<uint32_t>(WindowLow_);
    }
    if (WindowReadsLeft_ == 0) {
      WindowClosed();
    }
  }
  // Other values: recorded only.
}

uint8_t Camera::WindowRead() {
  switch (Window_) {
    case WindowState::Open:
      return 1;
    case WindowState::Closing:
      if (WindowReadsLeft_ > 0) {
        --WindowReadsLeft_;
        return 1;
      }
      WindowClosed();
      return 0;
    case WindowState::Closed:
      break;
  }
  return 0;
}

// The close completes: on Banked builds the digest is programmed (ANDed, as
// a page program does) into the Digest field of the bank entry whose Offset
// is where the range started, entry 1 when none is (an erased header). A
// protected chip refuses it, as it would any program.
void Camera::WindowClosed() {
  Window_ = WindowState::Closed;
  if (!DigestPending_) {
    return;
  }
  DigestPending_ = false;
  if (Chip_.Protected()) {
    return;
  }
  uint32_t Entry = kBankEntries[0];
  for (uint32_t Candidate : kBankEntries) {
    if (FlashBe32(Candidate + kEntryOffset) == DigestStart_) {
      Entry = Candidate;
      break;
    }
  }
  for (uint32_t I = 0; I < kDigestSize; ++I) {
    Chip_.Memory()[(Entry + kEntryDigest + I) % Chip_.Size()] &= Digest_[I];
  }
}

void Camera::RequestRestart() {
  if (RestartPending_) {
    return;  // already on its way off the bus
  }
  RestartPending_ = true;
  ++RestartsRequested_;
  if (Bus_ != nullptr) {
    Bus_->Replug(Port_, kRestartLeaveNs, kRestartReturnNs);
  } else {
    Restarted();  // on no bus: nothing to leave
  }
}

// ---------------------------------------------------------------------------
// Registers
// ---------------------------------------------------------------------------

uint8_t Camera::ReadRegister(uint16_t Address) {
  if (WindowRegister(Address)) {
    return WindowRead();
  }
  if (SpiRegister(Address)) {
    if (Address == kSpiData) {
      if (SpiPending_ || SpiReceive_.empty()) {
        return 0xFF;
      }
      const uint8_t Byte = SpiReceive_.front();
      SpiReceive_.pop_front();
      return Byte;
    }
    if (Address == kSpiControl) {
      if (!SpiPending_) {
        return 0x00;
      }
      if (SpiNeverReady_) {
        return kSpiBusy;
      }
      if (SpiBusyLeft_ > 0) {
        --SpiBusyLeft_;
        return kSpiBusy;
      }
      SpiRun();
      return 0x00;
    }
  }
  return Registers_[Address];
}

void Camera::WriteRegister(uint16_t Address, uint8_t Value) {
  Registers_[Address] = Value;
  RegisterWrites_.push_back({Address, Value});

  if (SpiRegister(Address)) {
    if (Address == kSpiData && !SpiPending_ && SpiSend_.size() < kSpiQueueLimit) {
      SpiSend_.push_back(Value);
    } else if (Address == kSpiControl && Value == kSpiBegin) {
      SpiSend_.clear();
      SpiReceive_.clear();
      SpiPending_ = false;  // a command still pending is abandoned
    } else if (Address == kSpiControl && Value == kSpiGo && !SpiPending_) {
      SpiStart();
    }
    return;
  }
  if (WindowRegister(Address)) {
    WindowWrite(Value);
    return;
  }

  // Update lock: the bit written to 0x2041 and then the same value to 0x2043.
  if (Profile_.LockBit != 0) {
    if (Address == kLockArm) {
      LockArmed_ = Value;
    } else if (Address == kLockConfirm) {
      if (Value == LockArmed_) {
        Registers_[kLockState] |= static_cast<uint8_t>(Value & Profile_.LockBit);
      }
      LockArmed_ = 0;
    }
  }

  switch (Profile_.Layout) {
    case IspLayout::WholeImage: {
      if (Address < 0x2030 || Address > 0x2034) {
        return;
      }
      const RegisterWrite &Next = kRestartSequence[RestartStep_];
      if (Address == Next.Address && Value == Next.Value) {
        if (++RestartStep_ == std::size(kRestartSequence)) {
          RestartStep_ = 0;
          RequestRestart();
        }
      } else {
        // Out of order: the sequence starts over (a write of its first step
        // starts a new one).
        const RegisterWrite &First = kRestartSequence[0];
        RestartStep_ = (Address == First.Address && Value == First.Value) ? 1 : 0;
      }
      return;
    }
    case IspLayout::Banked:
      if (Address == kBootControl && Value == kRestartCommand) {
        RequestRestart();
      } else if ((Address == kBootControl && Value == kReenumerate) ||
                 (Address == kBootControl2 && Value == kReenumerate2)) {
        const bool StayOnBus = Registers_[kResetHint] == 1 && (Registers_[kReconnectHint] & 3) != 3;
        if (!StayOnBus) {
          RequestRestart();
        }
      }
      return;
    case IspLayout::Slotted:
      if (Address == kBootControl && Value == kRestartCommand) {
        RequestRestart();
      }
      return;
  }
}

// ---------------------------------------------------------------------------
// SPI controller
// ---------------------------------------------------------------------------

void Camera::SpiStart() {
  SpiReceive_.clear();
  SpiPending_ = true;
  SpiBusyLeft_ = SpiBusyPolls_;
  if (SpiBusyLeft_ == 0 && !SpiNeverReady_) {
    SpiRun();
  }
}

void Camera::SpiRun() {
  SpiPending_ = false;
  const size_t ReceiveCount = Registers_[kSpiReceiveLow] | (Registers_[kSpiReceiveHigh] << 8);
  std::vector<uint8_t> First;
  std::vector<uint8_t> Second = SpiSend_;
  if (Registers_[kSpiMode] == 1) {
    // Two transactions: all but the last N queued bytes (N from 0x2C2B/0x2C2C)
    // without receiving, then the last N with the receive count.
    const size_t Split = Registers_[kSpiSplitLow] | (Registers_[kSpiSplitHigh] << 8);
    const size_t Keep = std::min(Split, SpiSend_.size());
    First.assign(SpiSend_.begin(), SpiSend_.end() - static_cast<std::ptrdiff_t>(Keep));
    Second.assign(SpiSend_.end() - static_cast<std::ptrdiff_t>(Keep), SpiSend_.end());
  }
  SpiSend_.clear();
  if (!First.empty()) {
    Chip_.Transaction(First, 0);
  }
  if (!Second.empty() || ReceiveCount != 0) {
    std::vector<uint8_t> In = Chip_.Transaction(Second, ReceiveCount);
    SpiReceive_.assign(In.begin(), In.end());
  }
}

// ---------------------------------------------------------------------------
// The ISP's flash operations through its command table
// ---------------------------------------------------------------------------

std::vector<uint8_t> Camera::ChipCommand(std::vector<uint8_t> Out, size_t ReceiveCount) {
  if (!Out.empty() && Out[0] == kNoCommand) {
    // 0xFF marks a command the chip does not have: the ISP sends nothing.
    return std::vector<uint8_t>(ReceiveCount, 0xFF);
  }
  return Chip_.Transaction(Out, ReceiveCount);
}

std::vector<uint8_t> Camera::AddressedCommand(uint8_t Opcode, uint32_t Address, const uint8_t *Data, size_t Length,
                                              size_t ReceiveCount) {
  std::vector<uint8_t> Out = {Opcode, static_cast<uint8_t>(Address >> 16), static_cast<uint8_t>(Address >> 8),
                              static_cast<uint8_t>(Address)};
  if (Length != 0) {
    Out.insert(Out.end(), Data, Data + Length);
  }
  return ChipCommand(std::move(Out), ReceiveCount);
}

void Camera::FlashErase(uint32_t Address) {
  if (Profile_.EraseNeedsEnable && !FlashEnable_) {
    return;
  }
  ChipCommand({Commands_[kSlotWriteEnable]}, 0);
  AddressedCommand(Commands_[kSlotSectorErase], Address, nullptr, 0, 0);
}

void Camera::FlashProgram(uint32_t Address, const std::vector<uint8_t> &Data) {
  if (Profile_.EraseNeedsEnable && !FlashEnable_) {
    return;
  }
  // One write enable and one program instruction per page the chunk touches.
  size_t Done = 0;
  while (Done < Data.size()) {
    const uint32_t At = Address + static_cast<uint32_t>(Done);
    const size_t Piece = std::min<size_t>(Data.size() - Done, FlashChip::kPageSize - At % FlashChip::kPageSize);
    ChipCommand({Commands_[kSlotWriteEnable]}, 0);
    AddressedCommand(Commands_[kSlotPageProgram], At, Data.data() + Done, Piece, 0);
    Done += Piece;
  }
}

std::vector<uint8_t> Camera::FlashReadChunk(uint32_t Address, size_t Length) {
  return AddressedCommand(Commands_[kSlotRead], Address, nullptr, 0, Length);
}

// ---------------------------------------------------------------------------
// USB
// ---------------------------------------------------------------------------

EFI_USB_DEVICE_DESCRIPTOR Camera::DeviceDescriptor() const {
  EFI_USB_DEVICE_DESCRIPTOR D{};
  D.Length = sizeof(D);
  D.DescriptorType = USB_DESC_TYPE_DEVICE;
  D.BcdUSB = 0x0200;
  D.DeviceClass = 0xEF;  // miscellaneous, with interface association
  D.DeviceSubClass = 0x02;
  D.DeviceProtocol = 0x01;
  D.MaxPacketSize0 = 0x40;
  // The identity of what the last boot chose to run.
  D.IdVendor = Identity_.VendorId;
  D.IdProduct = Identity_.ProductId;
  D.BcdDevice = Identity_.BcdDevice;
  D.StrManufacturer = 1;
  D.StrProduct = 2;
  D.StrSerialNumber = 0;
  D.NumConfigurations = 1;
  return D;
}

std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Camera::Interfaces() const {
  // Video class: interface 0 video control (holds extension unit 4),
  // interface 1 video streaming.
  EFI_USB_INTERFACE_DESCRIPTOR Control{9, USB_DESC_TYPE_INTERFACE, 0, 0, 1, 0x0E, 0x01, 0x00, 0};
  EFI_USB_INTERFACE_DESCRIPTOR Streaming{9, USB_DESC_TYPE_INTERFACE, 1, 0, 0, 0x0E, 0x02, 0x00, 0};
  return {Control, Streaming};
}

const XuSelector *Camera::Find(uint8_t Selector) const {
  for (const XuSelector &Control : kCameraXuSelectors) {
    if (Control.Selector == Selector) {
      return &Control;
    }
  }
  return nullptr;
}

uint16_t Camera::LengthOf(const XuSelector &Control) const {
  auto It = LengthOverrides_.find(Control.Selector);
  if (It != LengthOverrides_.end()) {
    return It->second;
  }
  return Control.Length == 0 ? Profile_.ChunkSize : Control.Length;
}

uint32_t Camera::Dword(uint32_t Address) const {
  uint32_t Value = 0;
  for (uint32_t I = 0; I < 4; ++I) {
    Value |= static_cast<uint32_t>(AddressByte(Address + I)) << (8 * I);
  }
  return Value;
}

void Camera::SetDword(uint32_t Address, uint32_t Value) {
  for (uint32_t I = 0; I < 4; ++I) {
    AddressSpace_[Address + I] = static_cast<uint8_t>(Value >> (8 * I));
  }
}

uint8_t Camera::AddressByte(uint32_t Address) const {
  auto It = AddressSpace_.find(Address);
  return It == AddressSpace_.end() ? 0 : It->second;
}

const std::vector<uint8_t> *Camera::LastSet(uint8_t Selector) const {
  auto It = LastSet_.find(Selector);
  return It == LastSet_.end() ? nullptr : &It->second;
}

EFI_STATUS Camera::Control(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                           std::vector<uint8_t> &Data) {
  if ((Setup.RequestType & 0x60) == 0) {
    return Standard(Setup, Direction, Data);
  }
  return ExtensionUnit(Setup, Direction, DataLength, Data);
}

EFI_STATUS Camera::Standard(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, std::vector<uint8_t> &Data) {
  // GET_DESCRIPTOR (DEVICE) is the one standard request the camera answers
  // here; the bus driver handled the rest at enumeration.
  return AnswerDeviceDescriptor(Setup, Direction, DeviceDescriptor(), Data) ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

EFI_STATUS Camera::ExtensionUnit(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                                 std::vector<uint8_t> &Data) {
  // A strict unit: anything but a well-formed request to unit 4 on
  // interface 0, for a control it has, with the control's own length, STALLs.
  const uint8_t Selector = static_cast<uint8_t>(Setup.Value >> 8);
  const XuSelector *Control = Find(Selector);
  if (Setup.Index != kXuIndex || (Setup.Value & 0xFF) != 0 || Control == nullptr) {
    return EFI_DEVICE_ERROR;
  }
  const uint16_t Length = LengthOf(*Control);

  if (Setup.RequestType == kClassInterfaceIn && Setup.Request == kGetLen) {
    if (Direction != EfiUsbDataIn || Setup.Length != 2 || DataLength != 2) {
      return EFI_DEVICE_ERROR;
    }
    Data = {static_cast<uint8_t>(Length & 0xFF), static_cast<uint8_t>(Length >> 8)};
    return EFI_SUCCESS;
  }

  if (Setup.Length != Length || DataLength != Length) {
    return EFI_DEVICE_ERROR;
  }

  if (Setup.RequestType == kClassInterfaceIn && Setup.Request == kGetCur && Direction == EfiUsbDataIn &&
      (Control->Requests & kXuGet) != 0) {
    Data.assign(Length, 0);
    switch (Selector) {
      case 0x03:
        Data[0] = ReadRegister(RegisterAddress_);
        break;
      case 0x0F:
        Data = FlashReadChunk(FlashAddress_, Length);
        break;
      case 0x17: {
        if (!Profile_.IdThroughUnit) {
          return EFI_DEVICE_ERROR;  // this generation's firmware does not serve the control
        }
        const std::vector<uint8_t> Id = ChipCommand({Commands_[kSlotReadId]}, 3);
        std::copy(Id.begin(), Id.end(), Data.begin());
        break;
      }
      case 0x1B:
        for (uint32_t I = 0; I < 4; ++I) {
          Data[I] = AddressByte(DwordAddress_ + I);
        }
        break;
      default:
        break;
    }
    return EFI_SUCCESS;
  }

  if (Setup.RequestType == kClassInterfaceOut && Setup.Request == kSetCur && Direction == EfiUsbDataOut &&
      (Control->Requests & kXuSet) != 0) {
    if (Selector == 0x07 && std::find(RefusedSlots_.begin(), RefusedSlots_.end(), Data[0]) != RefusedSlots_.end()) {
      return EFI_DEVICE_ERROR;
    }
    LastSet_[Selector] = Data;
    switch (Selector) {
      case 0x02:
        RegisterAddress_ = static_cast<uint16_t>(Data[0] | (Data[1] << 8));
        break;
      case 0x03:
        WriteRegister(RegisterAddress_, Data[0]);
        break;
      case 0x07:
        CommandSlot_ = Data[0];
        break;
      case 0x08:
        if (CommandSlot_ < kCommandSlots) {
          Commands_[CommandSlot_] = Data[0];
        }
        break;
      case 0x09:
        FlashEnable_ = Data[0] == 1;
        break;
      case 0x0D:
        FlashErase(Le32(Data));
        break;
      case 0x0E:
        FlashAddress_ = Le32(Data);
        break;
      case 0x0F:
        if (Window_ == WindowState::Open) {
          // The window records what the host asked to program, lowest address
          // to highest end, as the ISP addresses the chip (24 bits).
          const uint32_t At = FlashAddress_ & 0xFFFFFF;
          const uint64_t End = static_cast<uint64_t>(At) + Data.size();
          WindowLow_ = WindowHigh_ > WindowLow_ ? std::min<uint64_t>(WindowLow_, At) : At;
          WindowHigh_ = std::max(WindowHigh_, End);
        }
        FlashProgram(FlashAddress_, Data);
        break;
      case 0x10:
        CommandMode_ = Data[0];
        break;
      case 0x1A:
        DwordAddress_ = Le32(Data);
        break;
      default:
        break;
    }
    return EFI_SUCCESS;
  }
  return EFI_DEVICE_ERROR;
}

}  // namespace Sim
