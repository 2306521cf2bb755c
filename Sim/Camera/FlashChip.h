// A serial NOR flash chip as it sits on the ISP's SPI bus: one model per
// flash kind 1..74 of the hardware catalogue (FlashChip.cpp). The only way in
// is a transaction: chip select goes low, bytes are clocked out, a number of
// bytes are clocked back, chip select goes high. The chip decodes the first
// byte as its instruction and ignores instructions it does not have.
//
// What the model keeps:
// - the memory array: erase sets bytes to 0xFF (4 KiB sector, 32/64 KiB
//   block, whole chip), page program ANDs bytes in within one 256-byte page;
// - the status register (one byte, or two on the kinds with a second status
//   byte): bit 0 busy (always 0: every operation finishes at once), bit 1
//   the write-enable latch, bits 2..4 block protection, bit 7 status-register
//   protect;
// - the write-enable latch: set by 0x06, cleared by 0x04 and by every
//   erase, program and write-status instruction the chip has, whether it
//   executed it or refused it.
// Any non-zero block-protection field protects the whole array.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace Sim {

// What the chip did with one transaction (for tests to look at).
struct FlashCommand {
  enum class Outcome : uint8_t {
    Executed,  // the chip carried it out (reads and identification included)
    Unknown,   // an instruction this chip does not have: ignored
    Refused,   // known, but not carried out: no write enable, protected, wrong length
  };
  uint8_t Opcode;
  uint32_t Address;  // erase/program/read address, 0 when the instruction has none
  size_t Sent;       // bytes clocked out, the opcode included
  size_t Received;   // bytes clocked back
  Outcome Result;
};

class FlashChip {
 public:
  static constexpr uint32_t kSectorSize = 4096;
  static constexpr uint32_t kPageSize = 256;
  static constexpr uint8_t kWriteInProgress = 0x01;
  static constexpr uint8_t kWriteEnableLatch = 0x02;
  static constexpr uint8_t kBlockProtect = 0x1C;   // BP0..BP2: all set protects everything
  static constexpr uint8_t kStatusProtect = 0x80;  // SRP: with the WP# pin asserted, WRSR is refused
  static constexpr uint8_t kFirstKind = 1;
  static constexpr uint8_t kLastKind = 74;

  // A chip of flash kind Kind (1..74) holding Size bytes, erased.
  explicit FlashChip(uint8_t Kind = 22, uint32_t Size = 1u << 20);

  uint8_t Kind() const { return Kind_; }
  uint32_t Size() const { return static_cast<uint32_t>(Memory_.size()); }

  // One chip-select cycle: Out is clocked out (instruction, address, data),
  // then ReceiveCount bytes are clocked in and returned. An instruction the
  // chip does not have leaves the data line to the chip's idle level (see
  // IdleByte()) for every byte clocked in.
  std::vector<uint8_t> Transaction(const std::vector<uint8_t> &Out, size_t ReceiveCount);

  // The chip's catalogue entry.
  // Its answer to identification opcode 0x9F, 0x90 or 0xAB (bytes clocked in
  // right after the opcode). A kind with no catalogue answer for that opcode
  // answers three idle bytes.
  std::array<uint8_t, 3> IdAnswer(uint8_t Opcode) const;
  // The level of the data line when the chip does not drive it: 0x00 for the
  // PMC family (kinds 64..66), 0xFF (pull-up) for every other chip.
  uint8_t IdleByte() const;
  // 1, or 2 on the kinds with a second status byte (2, 24, 28..31, 42, 43,
  // 55, 56): their write-status instruction takes exactly two bytes.
  unsigned StatusBytes() const;
  // Whether the chip decodes this instruction.
  bool HasOpcode(uint8_t Opcode) const;

  // State as a test sees it.
  std::vector<uint8_t> &Memory() { return Memory_; }
  const std::vector<uint8_t> &Memory() const { return Memory_; }
  uint8_t Status() const;  // first status byte, as 0x05 reads it
  uint8_t Status2() const { return Status2_; }
  bool WriteEnabled() const { return WriteEnable_; }
  bool Protected() const { return (Status_ & kBlockProtect) != 0; }
  // Sets the status bytes directly (what the ISP's boot code does on the
  // generations that protect their flash); the latch and busy bits are
  // not part of it.
  void SetStatus(uint8_t Status, uint8_t Status2 = 0);
  // Power removed and applied again: the latch and auto-increment mode are
  // lost; the array and the status register are non-volatile.
  void PowerCycle();

  const std::vector<FlashCommand> &Commands() const { return Commands_; }
  void ClearCommands() { Commands_.clear(); }

  // Fault switches.
  // The chip answers Opcode with these bytes instead of its catalogue's.
  void OverrideId(uint8_t Opcode, std::array<uint8_t, 3> Bytes) { IdOverrides_[Opcode] = Bytes; }
  // The WP# pin is held asserted: with SRP set, write-status is refused;
  // without SRP, it still works (as on real chips).
  void SetWriteProtectPin(bool Asserted) { WriteProtectPin_ = Asserted; }
  // The chip is not on the bus: nothing executes, every byte reads 0xFF.
  void SetDisconnected(bool Disconnected) { Disconnected_ = Disconnected; }

 private:
  FlashCommand::Outcome Execute(const std::vector<uint8_t> &Out, size_t Want, std::vector<uint8_t> &In,
                                uint32_t &Address);
  bool EraseAllowed();
  void Erase(uint32_t Address, uint32_t Length);
  void Program(uint32_t Address, const uint8_t *Data, size_t Length);
  uint32_t Wrap(uint32_t Address) const { return Address % static_cast<uint32_t>(Memory_.size()); }

  uint8_t Kind_;
  std::vector<uint8_t> Memory_;
  uint8_t Status_ = 0;  // protection and SRP bits; the latch lives in WriteEnable_
  uint8_t Status2_ = 0;
  bool WriteEnable_ = false;
  bool WriteStatusEnable_ = false;  // 0x50 on the kinds that have it
  bool AutoIncrement_ = false;      // 0xAF mode on the kinds that have it
  uint32_t AutoAddress_ = 0;
  bool WriteProtectPin_ = false;
  bool Disconnected_ = false;
  std::map<uint8_t, std::array<uint8_t, 3>> IdOverrides_;
  std::vector<FlashCommand> Commands_;
};

}  // namespace Sim
