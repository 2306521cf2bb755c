// The camera as a USB device: descriptors, a video-control interface with
// extension unit 4 and a video-streaming interface, and the image-signal
// processor behind the extension unit: its 64 KiB register file (selectors 2
// and 3) with the generation registers, the update lock, restart and boot
// control; its SPI controller (0x2C24..0x2C2C); its flash command table
// (selectors 7, 8, 0x10) through which it reaches the flash chip; its 32-bit
// address space (0x1A and 0x1B); the flash window (0x0D erase, 0x0E
// address, 0x0F data, 0x17 identification, 9 write enable); the update
// window (register 0x6000) and, on Banked builds, the digest it writes; and
// the boot's choice of what runs (bank, base image, slot, whole image or
// ROM), with the Slotted boot's check of an updated slot, and so the USB
// identity the device descriptor presents.
//
// Written from the hardware's side: it parses only the requests it is sent.
// The flash chip keeps its contents for as long as the Camera object lives
// (the machine's); the ISP's RAM starts over at every power-on; a restart
// the ISP asks for itself reloads the register file and keeps the RAM.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "Sim/Camera/FlashChip.h"
#include "Sim/UsbBus.h"

namespace Sim {

// How the ISP's firmware is laid out in flash, which fixes how the
// generation restarts and what its boot-control values do:
// - WholeImage (the older generations): restart by the 0x2030..0x2034
//   sequence; flash erase and program only after selector 9 = 1;
// - Banked (base area, bank header, bank): restart by 0xA5 to 0x20D8; 0x5A to
//   0x20D8 and 0x78 to 0x20DA re-enumerate (unless 0x20DC/0x20DD say not);
// - Slotted (header and two slots): restart by 0xA5 to 0x20D8; 0x5A and 0x78
//   to 0x20D8 are recorded only.
enum class IspLayout : uint8_t { WholeImage, Banked, Slotted };

// The USB identity a device descriptor carries.
struct UsbIdentity {
  uint16_t VendorId;
  uint16_t ProductId;
  uint16_t BcdDevice;
};

// What the ISP runs after a boot: the firmware bank the bank header names,
// the base image at flash address 0 (Banked builds, and any build that does
// not boot from flash), slot 0 or slot 1 of the slot header, the image at
// flash address 0 of a WholeImage build, or its ROM (recovery).
enum class BootImage : uint8_t { Bank, Base, Slot0, Slot1, Image, Legacy, Rom };

// The hardware of one camera build. The default is a bench camera for the
// transport tests: generation registers zero, Banked, flash kind 22
// (EF 40 14) unprotected, both identification paths present and no selector-9
// gate. ForIspKind gives the real generations.
struct CameraProfile {
  // The identity the running firmware presents on the bus when the ISP does
  // not boot from flash (BootsFromFlash off); with it, the identity the
  // factory base image carries (FactoryImage).
  uint16_t VendorId = 0x30C9;
  uint16_t ProductId = 0x004A;
  uint16_t BcdDevice = 0x0100;
  uint16_t ChunkSize = 64;        // GET_LEN answer of the flash-data selector 0x0F
  uint32_t FlashSize = 1u << 20;  // bytes; addresses wrap at the end, as NOR reads do
  uint8_t FlashKind = 22;         // the chip on the board: 1..74 (FlashChip)

  // Generation registers as the ISP's boot sets them.
  uint8_t Reg209E = 0x00;
  uint8_t Reg209F = 0x00;
  uint8_t Reg20A1 = 0x00;
  uint8_t Reg20D0 = 0x00;
  uint8_t Reg20FF = 0x00;

  IspLayout Layout = IspLayout::Banked;
  // The ISP has the SPI controller at 0x2C24..0x2C2C; without it those
  // registers are plain bytes.
  bool SpiController = true;
  // GET_CUR on selector 0x17 sends the opcode in command-table slot 13 to the
  // chip; without it the request STALLs.
  bool IdThroughUnit = true;
  // The ISP's boot sets the chip's block-protection bits (every boot, power-on
  // and restart); without it the boot clears them.
  bool FlashProtected = false;
  // Flash erase and program through the window need selector 9 = 1 first.
  bool EraseNeedsEnable = false;

  // Update lock: the bit that 0x2041 then 0x2043 set in 0x2045 (0: none).
  uint8_t LockBit = 0x08;
  bool LockMarker = false;   // "FWPO" at 0x0700..0x0703 after boot
  bool Unlocked = false;     // the lock bit is set in 0x2045 after boot

  // Further registers the ISP's boot sets (after the ones above); 'n' sets
  // its boot state 0x20D9 = 0x80 and the hints 0x20DC = 0x20DD = 0.
  std::map<uint16_t, uint8_t> BootRegisters = {};

  // At every boot the ISP chooses what runs from the flash contents. Banked: the
  // active bank when the bank header at 0x7000 names one with a digest and
  // "DZ" at its offset + 0x100 (the header's identity), else the base image
  // when it has "CY" at 0x100 and a device-descriptor pattern (that
  // descriptor's identity). Slotted: the slot the header at 0 names, when
  // it has a digest and a device-descriptor pattern in its code (that
  // descriptor's identity); with no slot named (an update in progress) the
  // ISP first checks the updated slot against the digest of selector 0x1F
  // and makes it or the previous slot active. WholeImage: the image at 0,
  // when its first two bytes are neither FF FF (erased) nor F9 FF (the blank
  // a host programs while it rewrites the image) and it holds a
  // device-descriptor pattern within kImageCodeLimit bytes (that
  // descriptor's identity). Nothing runnable: the ROM (RecoveryIdentity).
  // Off: the firmware runs as Base under the profile's identity, whatever
  // the flash holds.
  bool BootsFromFlash = false;
  // The camera is made with the factory's firmware of the profile's
  // identity (what the factory programmed); the rest is erased. Banked:
  // Camera::BaseImage at flash address 0. Slotted: a slot header in sector
  // 0 naming slot 0 at kFactorySlots[0] (Camera::SlotImage there, with its
  // digest) and an empty slot 1 at kFactorySlots[1]. WholeImage:
  // Camera::WholeImage at flash address 0.
  bool FactoryImage = false;
  // What the ROM presents when nothing in flash runs: 0x1BCF:0x0B12 on every
  // build but the 0x3E parts ('p', 'q'), whose ROM presents 0x0B19.
  UsbIdentity RecoveryIdentity = {0x1BCF, 0x0B12, 0x0001};

  // A camera whose generation registers classify as Kind, one of
  // 'f' 'g' 'h' 'i' 'j' 'k' 'l' 'm' 'n' 'p' 'q', with that generation's
  // hardware: 'n' 0x20FF 0x02 (Banked, protected, lock 0x08, booting from
  // flash, made with a factory base image, 0x20D9 = 0x80); 'p' 0x3E/0x01/
  // 0x80 and 'q' 0x3E/0x00/0x80 (Slotted, protected, lock 0x01, booting
  // from flash, made with a factory slot header and slot 0, recovery
  // identity 0x1BCF:0x0B19); 'k' 0xC2
  // (lock 0x04, identification through the unit); 'f' 0x62, 'g' 0x92,
  // 'h' 0x82 (identification through the SPI controller); 'i' 0xA2 with
  // 0x20D0 0x00, 'l' 0xA2 with 0x20D0 0x10 (no identification path);
  // 'j' 0xB2, 'm' 0xD2 (through the unit); all of 'f'..'m' WholeImage,
  // unprotected, selector-9 gated, booting from flash, made with a factory
  // whole image. Throws std::invalid_argument for others.
  static CameraProfile ForIspKind(char Kind);
  // The same hardware reporting Value in 0x20FF, with the identification
  // paths that value brings (ignored when 0x209E is 0x3E): high nibble B, C,
  // D through the unit; A none; otherwise the SPI controller when the value
  // is even or 0x0F, else none (so 0x21 or 0xE3 have no path). For example
  // ForIspKind('k').WithGenerationByte(0xE2), or ...WithGenerationByte(0x21)
  // for an ISP that classifies as nothing.
  CameraProfile WithGenerationByte(uint8_t Value) const;
};

// Requests the extension unit accepts on a selector.
enum : uint8_t { kXuGet = 1, kXuSet = 2 };

struct XuSelector {
  uint8_t Selector;
  uint16_t Length;  // 0: the chunk size
  uint8_t Requests;
};

// The extension unit's controls and their lengths, one definition.
extern const std::vector<XuSelector> kCameraXuSelectors;

// One write to an ISP register, as the ISP received it.
struct RegisterWrite {
  uint16_t Address;
  uint8_t Value;
};

class Camera : public UsbDeviceModel {
 public:
  static constexpr uint16_t kXuIndex = 0x0400;              // unit 4, interface 0
  static constexpr uint64_t kRestartLeaveNs = 50000000;     // off the bus 50 ms after the request
  static constexpr uint64_t kRestartReturnNs = 500000000;   // back 500 ms after leaving
  static constexpr unsigned kDefaultSpiBusyPolls = 2;
  static constexpr unsigned kDefaultWindowClosePolls = 2;
  static constexpr size_t kCommandSlots = 14;               // slots 0..13 (1..12 the set, 13 read-ID)
  // The command table at power-on, slots 0..13.
  static const std::array<uint8_t, kCommandSlots> kStandardCommands;

  explicit Camera(CameraProfile Profile = CameraProfile());

  // A small base image presenting Identity: 0x200 bytes, zero but for "CY"
  // at 0x100 and a USB 2 device descriptor (12 01 00 02 EF 02 01 40 ...) at
  // kBaseImageDescriptor. The factory image of Banked FactoryImage builds.
  static std::vector<uint8_t> BaseImage(const UsbIdentity &Identity);
  static constexpr uint32_t kBaseImageDescriptor = 0x180;
  // A small slot firmware presenting Identity: 0x200 bytes, zero but for a
  // USB 2 device descriptor at kSlotImageDescriptor. What slot 0 of a
  // Slotted FactoryImage build holds.
  static std::vector<uint8_t> SlotImage(const UsbIdentity &Identity);
  static constexpr uint32_t kSlotImageDescriptor = 0x40;
  // A small whole image presenting Identity: 0x200 bytes, zero but for a USB
  // 2 device descriptor at kWholeImageDescriptor (past a 64-byte first
  // chunk, so the head and the descriptor are separate matters). What
  // flash address 0 of a WholeImage FactoryImage build holds.
  static std::vector<uint8_t> WholeImage(const UsbIdentity &Identity);
  static constexpr uint32_t kWholeImageDescriptor = 0x100;
  // How far from flash address 0 a WholeImage boot looks for the image's
  // device descriptor (or to the end of a smaller chip).
  static constexpr uint32_t kImageCodeLimit = 0x40000;
  // Where a Slotted FactoryImage build's header places slot 0 and slot 1.
  static constexpr uint32_t kFactorySlots[2] = {0x3000, 0x41000};

  EFI_USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override;
  std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Interfaces() const override;
  EFI_STATUS Control(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                     std::vector<uint8_t> &Data) override;
  void PowerOn() override;
  void Restarted() override;

  CameraProfile &Profile() { return Profile_; }
  // What the last boot chose to run. Its identity is what DeviceDescriptor()
  // presents until the next boot, whatever Profile() says meanwhile.
  BootImage Running() const { return Running_; }

  // The ISP as a test sees it (no side effects: Register reads the file,
  // not the SPI controller's queues).
  uint8_t Register(uint16_t Address) const { return Registers_[Address]; }
  void SetRegister(uint16_t Address, uint8_t Value) { Registers_[Address] = Value; }
  uint32_t Dword(uint32_t Address) const;
  void SetDword(uint32_t Address, uint32_t Value);
  std::vector<uint8_t> &Flash() { return Chip_.Memory(); }
  FlashChip &Chip() { return Chip_; }
  // The last value written to a selector (every SET_CUR is kept here).
  const std::vector<uint8_t> *LastSet(uint8_t Selector) const;
  // The ISP's flash command table (slot 0..13) and mode byte (selector 0x10).
  uint8_t CommandSlot(uint8_t Slot) const { return Slot < kCommandSlots ? Commands_[Slot] : 0xFF; }
  uint8_t CommandMode() const { return CommandMode_; }
  bool FlashWriteEnabled() const { return FlashEnable_; }  // selector 9
  // Every register write through selector 3, in order, since the camera was
  // made (kept across restarts and power-ons: it is the test's record).
  const std::vector<RegisterWrite> &RegisterWrites() const { return RegisterWrites_; }
  void ClearRegisterWrites() { RegisterWrites_.clear(); }
  // Restarts and re-enumerations the ISP asked the bus for, and how many of
  // them completed (the camera came back).
  unsigned RestartsRequested() const { return RestartsRequested_; }
  unsigned RestartsCompleted() const { return RestartsCompleted_; }
  bool RestartPending() const { return RestartPending_; }

  // Fault switches.
  // The unit reports Length for Selector's GET_LEN (and then expects that
  // length), as a unit with another layout would.
  void OverrideLength(uint8_t Selector, uint16_t Length) { LengthOverrides_[Selector] = Length; }
  // The SPI controller reads busy for this many polls of 0x2C25 after a
  // start (default 2); the command runs on the poll that reads idle.
  void SetSpiBusyPolls(unsigned Polls) { SpiBusyPolls_ = Polls; }
  // The SPI controller never finishes: bit 7 of 0x2C25 reads 1 forever and
  // nothing reaches the chip.
  void SetSpiNeverReady(bool NeverReady) { SpiNeverReady_ = NeverReady; }
  // SET_CUR on selector 7 with this slot number STALLs (a unit that refuses
  // command-table slot 13, say).
  void RefuseCommandSlot(uint8_t Slot) { RefusedSlots_.push_back(Slot); }
  // After a write of 0, register 0x6000 reads 1 for this many reads
  // (default 2) before the window is closed and reads 0.
  void SetWindowClosePolls(unsigned Polls) { WindowClosePolls_ = Polls; }
  // A write of 0 to 0x6000 never closes the window: it reads 1 forever and
  // no digest is written.
  void SetWindowNeverCloses(bool NeverCloses) { WindowNeverCloses_ = NeverCloses; }
  // A Slotted boot that cannot finish an update runs the previous slot
  // without naming it in the header: ActiveSlot stays 0xFF, as on an ISP
  // that writes its header only for an update that passed its check.
  void SetLeavesFailedUpdateUnsettled(bool Unsettled) { LeavesFailedUpdateUnsettled_ = Unsettled; }

 private:
  EFI_STATUS ExtensionUnit(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                           std::vector<uint8_t> &Data);
  EFI_STATUS Standard(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, std::vector<uint8_t> &Data);
  const XuSelector *Find(uint8_t Selector) const;
  uint16_t LengthOf(const XuSelector &Control) const;
  uint8_t AddressByte(uint32_t Address) const;

  // The ISP's boot: the register file from the profile, what runs
  // (ChooseImage) and the chip's protection.
  void Boot();
  void ChooseImage();
  bool BankRuns();
  bool BaseRuns();
  bool SlotRuns();
  bool ImageRuns();
  uint8_t FinishSlotUpdate(uint8_t SlotCount);
  bool SlotIdentity(uint8_t Slot, uint8_t SlotCount, UsbIdentity &Identity) const;
  bool SlotDigested(uint8_t Slot) const;
  void RewriteHeaderSector(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &Changes);
  bool FindDescriptor(uint32_t Begin, uint32_t End, bool Usb3, UsbIdentity &Identity) const;
  bool LegacyRuns();
  std::array<uint8_t, 32> RangeDigest(uint64_t Low, uint64_t High) const;
  void PlaceFactoryImage();
  uint8_t FlashByte(uint32_t Address) const;
  uint16_t FlashLe16(uint32_t Address) const;
  uint32_t FlashBe32(uint32_t Address) const;
  bool FlashMatches(uint32_t Address, const char *Marker) const;
  uint8_t ReadRegister(uint16_t Address);
  void WriteRegister(uint16_t Address, uint8_t Value);
  void RequestRestart();
  bool SpiRegister(uint16_t Address) const { return Profile_.SpiController && Address >= 0x2C24 && Address <= 0x2C2C; }
  void SpiStart();
  void SpiRun();
  // The update window (0x6000): Banked and Slotted builds.
  bool WindowRegister(uint16_t Address) const {
    return Address == 0x6000 && Profile_.Layout != IspLayout::WholeImage;
  }
  void WindowWrite(uint8_t Value);
  uint8_t WindowRead();
  void WindowClosed();

  // The ISP's own flash operations through its command table.
  std::vector<uint8_t> ChipCommand(std::vector<uint8_t> Out, size_t ReceiveCount);
  std::vector<uint8_t> AddressedCommand(uint8_t Opcode, uint32_t Address, const uint8_t *Data, size_t Length,
                                        size_t ReceiveCount);
  void FlashErase(uint32_t Address);
  void FlashProgram(uint32_t Address, const std::vector<uint8_t> &Data);
  std::vector<uint8_t> FlashReadChunk(uint32_t Address, size_t Length);

  CameraProfile Profile_;
  FlashChip Chip_;
  // The register file and latches: reloaded at every boot.
  std::array<uint8_t, 65536> Registers_{};
  uint16_t RegisterAddress_ = 0;
  uint32_t DwordAddress_ = 0;
  uint32_t FlashAddress_ = 0;
  bool FlashEnable_ = false;
  uint8_t LockArmed_ = 0;          // value written to 0x2041, waiting for 0x2043
  size_t RestartStep_ = 0;         // steps of the 0x2030..0x2034 sequence done
  std::vector<uint8_t> SpiSend_;
  std::deque<uint8_t> SpiReceive_;
  bool SpiPending_ = false;
  unsigned SpiBusyLeft_ = 0;
  // The ISP's RAM: kept across restarts, lost at power-off.
  std::map<uint32_t, uint8_t> AddressSpace_;
  std::array<uint8_t, kCommandSlots> Commands_{};
  uint8_t CommandSlot_ = 0;
  uint8_t CommandMode_ = 0;
  std::map<uint8_t, std::vector<uint8_t>> LastSet_;
  bool RestartPending_ = false;
  // The update window: Open records the range programmed through 0x0F
  // ([WindowLow_, WindowHigh_), none while WindowLow_ == WindowHigh_; kept
  // after the close, for the Slotted boot's check); Closing counts the reads
  // that still read 1 and holds the digest taken when it was closed.
  enum class WindowState : uint8_t { Closed, Open, Closing };
  WindowState Window_ = WindowState::Closed;
  uint64_t WindowLow_ = 0;
  uint64_t WindowHigh_ = 0;
  unsigned WindowReadsLeft_ = 0;
  bool DigestPending_ = false;
  uint32_t DigestStart_ = 0;
  std::array<uint8_t, 32> Digest_{};
  // What the last boot chose.
  BootImage Running_ = BootImage::Base;
  UsbIdentity Identity_{};
  // The test's record and switches.
  std::vector<RegisterWrite> RegisterWrites_;
  unsigned RestartsRequested_ = 0;
  unsigned RestartsCompleted_ = 0;
  unsigned SpiBusyPolls_ = kDefaultSpiBusyPolls;
  bool SpiNeverReady_ = false;
  unsigned WindowClosePolls_ = kDefaultWindowClosePolls;
  bool WindowNeverCloses_ = false;
  bool LeavesFailedUpdateUnsettled_ = false;
  std::vector<uint8_t> RefusedSlots_;
  std::map<uint8_t, uint16_t> LengthOverrides_;
};

}  // namespace Sim
