#include "Sim/Camera/FlashChip.h"

#include <algorithm>
#include <stdexcept>

namespace Sim {

namespace {

// The catalogue: what each chip answers to an identification opcode, right
// after the opcode byte. One row per (kind, opcode) the chip answers.
struct IdRow {
  uint8_t Kind;
  uint8_t Opcode;
  uint8_t Id[3];
};

constexpr IdRow kIdRows[] = {
    // JEDEC read identification (manufacturer, memory type, capacity).
    {2, 0x9F, {0xC8, 0x40, 0x10}},
    {3, 0x9F, {0xA1, 0x31, 0x10}},
    {4, 0x9F, {0xA1, 0x31, 0x11}},
    {6, 0x9F, {0x51, 0x40, 0x11}},
    {7, 0x9F, {0xC2, 0x20, 0x11}},
    {8, 0x9F, {0xC4, 0xD9, 0x20}},
    {10, 0x9F, {0xEF, 0x30, 0x10}},
    {13, 0x9F, {0xC2, 0x20, 0x15}},
    {14, 0x9F, {0xC8, 0x40, 0x11}},
    {17, 0x9F, {0xEF, 0x30, 0x11}},
    {18, 0x9F, {0xBA, 0x20, 0x13}},
    {19, 0x9F, {0xC8, 0x40, 0x13}},
    {20, 0x9F, {0xC2, 0x20, 0x14}},
    {21, 0x9F, {0x85, 0x60, 0x13}},
    {22, 0x9F, {0xEF, 0x40, 0x14}},
    {23, 0x9F, {0x85, 0x60, 0x10}},
    {24, 0x9F, {0x85, 0x60, 0x11}},
    {25, 0x9F, {0xC2, 0x20, 0x13}},
    {26, 0x9F, {0x7F, 0x9D, 0x54}},
    {27, 0x9F, {0x7F, 0x9D, 0x44}},
    {28, 0x9F, {0xC8, 0x60, 0x18}},
    {29, 0x9F, {0xC8, 0x60, 0x14}},
    {30, 0x9F, {0xEF, 0x50, 0x14}},
    {31, 0x9F, {0xC8, 0x40, 0x15}},
    {32, 0x9F, {0xC8, 0x40, 0x12}},
    {33, 0x9F, {0x00, 0x62, 0x06}},
    {34, 0x9F, {0xE0, 0x40, 0x13}},
    {36, 0x9F, {0x68, 0x40, 0x13}},
    {38, 0x9F, {0xC2, 0x20, 0x12}},
    {40, 0x9F, {0x85, 0x40, 0x12}},
    {41, 0x9F, {0xA1, 0x28, 0x13}},
    {42, 0x9F, {0xA1, 0x40, 0x13}},
    {43, 0x9F, {0xA1, 0x28, 0x12}},
    {44, 0x9F, {0xC2, 0x23, 0x12}},
    {45, 0x9F, {0xEF, 0x30, 0x13}},
    {46, 0x9F, {0xEF, 0x30, 0x12}},
    {47, 0x9F, {0xC2, 0x25, 0x36}},
    {48, 0x9F, {0x0B, 0x40, 0x11}},
    {50, 0x9F, {0x68, 0x40, 0x10}},
    {51, 0x9F, {0x68, 0x40, 0x11}},
    {52, 0x9F, {0xC2, 0x23, 0x14}},
    {53, 0x9F, {0xC2, 0x20, 0x17}},
    {54, 0x9F, {0x5E, 0x60, 0x14}},
    {55, 0x9F, {0x85, 0x60, 0x14}},
    {56, 0x9F, {0xC8, 0x40, 0x14}},
    {57, 0x9F, {0x1C, 0x30, 0x14}},
    {58, 0x9F, {0xC2, 0x23, 0x13}},
    {59, 0x9F, {0xC2, 0x20, 0x10}},
    {60, 0x9F, {0xC2, 0x22, 0x11}},
    {61, 0x9F, {0xC2, 0x22, 0x10}},
    {64, 0x9F, {0x7F, 0x9D, 0x20}},
    {65, 0x9F, {0x7F, 0x9D, 0x2F}},
    {67, 0x9F, {0x1F, 0x65, 0x00}},
    {68, 0x9F, {0x1C, 0x31, 0x10}},
    {69, 0x9F, {0x1C, 0x31, 0x13}},
    {70, 0x9F, {0x1C, 0x31, 0x11}},
    {71, 0x9F, {0x1C, 0x31, 0x12}},
    {72, 0x9F, {0x1C, 0x30, 0x13}},
    {74, 0x9F, {0x30, 0x64, 0x78}},
    // Chips that the decoding tables never name: their own identifications.
    {9, 0x9F, {0xC2, 0x20, 0x16}},
    {16, 0x9F, {0xEF, 0x40, 0x15}},
    {35, 0x9F, {0xC8, 0x40, 0x16}},
    {37, 0x9F, {0xEF, 0x30, 0x14}},
    {39, 0x9F, {0x1C, 0x31, 0x14}},
    {49, 0x9F, {0xBF, 0x25, 0x8E}},
    {62, 0x9F, {0xC2, 0x22, 0x12}},
    // Read manufacturer and device ID.
    {1, 0x90, {0xC2, 0x05, 0xC2}},
    {2, 0x90, {0xC8, 0x05, 0xC8}},
    {3, 0x90, {0xA1, 0x05, 0xA1}},
    {5, 0x90, {0x51, 0x05, 0x51}},
    {6, 0x90, {0x51, 0x10, 0x51}},
    {7, 0x90, {0xC2, 0x10, 0xC2}},
    {8, 0x90, {0x9D, 0x05, 0xC4}},
    {10, 0x90, {0xEF, 0x05, 0xEF}},
    {11, 0x90, {0xC2, 0x12, 0xC2}},
    {12, 0x90, {0x5E, 0x14, 0x5E}},
    {13, 0x90, {0xBA, 0x14, 0xBA}},
    {14, 0x90, {0xC8, 0x10, 0xC8}},
    {15, 0x90, {0xE0, 0x05, 0xE0}},
    {17, 0x90, {0xEF, 0x10, 0xEF}},
    {45, 0x90, {0xEF, 0x12, 0xEF}},
    {46, 0x90, {0xEF, 0x11, 0xEF}},
    {63, 0x90, {0xBF, 0x48, 0xBF}},
    {64, 0x90, {0x9D, 0x05, 0x7F}},
    {65, 0x90, {0x9D, 0x02, 0x7F}},
    {68, 0x90, {0x1C, 0x05, 0x1C}},
    {73, 0x90, {0x42, 0x05, 0xC2}},
    // Release from deep power-down and read the electronic signature.
    {66, 0xAB, {0x9D, 0x7B, 0x7F}},
};

// SPI-flash instructions (JEDEC command codes).
enum : uint8_t {
  kWriteStatus = 0x01,
  kPageProgram = 0x02,
  kRead = 0x03,
  kWriteDisable = 0x04,
  kReadStatus = 0x05,
  kWriteEnable = 0x06,
  kFastRead = 0x0B,
  kSectorErase = 0x20,
  kReadStatus2 = 0x35,
  kEnableWriteStatus = 0x50,
  kBlockErase32 = 0x52,
  kChipErase60 = 0x60,
  kReadManufacturerDevice = 0x90,
  kReadJedecId = 0x9F,
  kReleaseReadSignature = 0xAB,
  kAutoIncrementProgram = 0xAF,
  kChipEraseC7 = 0xC7,
  kSectorEraseD7 = 0xD7,
  kBlockErase64 = 0xD8,
};

bool TwoStatusBytes(uint8_t Kind) {
  static constexpr uint8_t kKinds[] = {2, 24, 28, 29, 30, 31, 42, 43, 55, 56};
  return std::find(std::begin(kKinds), std::end(kKinds), Kind) != std::end(kKinds);
}

bool PmcFamily(uint8_t Kind) { return Kind >= 64 && Kind <= 66; }
bool SstFamily(uint8_t Kind) { return Kind == 63; }

uint32_t Address24(const std::vector<uint8_t> &Out) {
  return (static_cast<uint32_t>(Out[1]) << 16) | (static_cast<uint32_t>(Out[2]) << 8) | Out[3];
}

}  // namespace

FlashChip::FlashChip(uint8_t Kind, uint32_t Size) : Kind_(Kind), Memory_(Size, 0xFF) {
  if (Kind < kFirstKind || Kind > kLastKind) {
    throw std::invalid_argument("flash kind out of 1..74");
  }
  if (Size == 0) {
    throw std::invalid_argument("flash size 0");
  }
}

std::array<uint8_t, 3> FlashChip::IdAnswer(uint8_t Opcode) const {
  auto Override = IdOverrides_.find(Opcode);
  if (Override != IdOverrides_.end()) {
    return Override->second;
  }
  for (const IdRow &Row : kIdRows) {
    if (Row.Kind == Kind_ && Row.Opcode == Opcode) {
      return {Row.Id[0], Row.Id[1], Row.Id[2]};
    }
  }
  const uint8_t Idle = IdleByte();
  return {Idle, Idle, Idle};
}

uint8_t FlashChip::IdleByte() const { return PmcFamily(Kind_) ? 0x00 : 0xFF; }

unsigned FlashChip::StatusBytes() const { return TwoStatusBytes(Kind_) ? 2 : 1; }

bool FlashChip::HasOpcode(uint8_t Opcode) const {
  switch (Opcode) {
    case kWriteStatus:
    case kPageProgram:
    case kRead:
    case kWriteDisable:
    case kReadStatus:
    case kWriteEnable:
    case kReadManufacturerDevice:
    case kReadJedecId:
    case kReleaseReadSignature:
      return true;
    case kFastRead:
      return !SstFamily(Kind_);
    case kSectorErase:
      return !PmcFamily(Kind_);
    case kSectorEraseD7:
      return PmcFamily(Kind_);
    case kBlockErase64:
    case kChipEraseC7:
      return !SstFamily(Kind_);
    case kBlockErase32:
    case kChipErase60:
    case kAutoIncrementProgram:
    case kEnableWriteStatus:
      return SstFamily(Kind_);
    case kReadStatus2:
      return TwoStatusBytes(Kind_);
    default:
      return false;
  }
}

uint8_t FlashChip::Status() const { return static_cast<uint8_t>(Status_ | (WriteEnable_ ? kWriteEnableLatch : 0)); }

void FlashChip::SetStatus(uint8_t Status, uint8_t Status2) {
  Status_ = static_cast<uint8_t>(Status & ~(kWriteInProgress | kWriteEnableLatch));
  Status2_ = Status2;
}

void FlashChip::PowerCycle() {
  WriteEnable_ = false;
  WriteStatusEnable_ = false;
  AutoIncrement_ = false;
}

std::vector<uint8_t> FlashChip::Transaction(const std::vector<uint8_t> &Out, size_t ReceiveCount) {
  if (Out.empty()) {
    return std::vector<uint8_t>(ReceiveCount, Disconnected_ ? 0xFF : IdleByte());
  }
  FlashCommand Record{Out[0], 0, Out.size(), ReceiveCount, FlashCommand::Outcome::Unknown};
  std::vector<uint8_t> In;
  if (Disconnected_) {
    In.assign(ReceiveCount, 0xFF);
  } else if (!HasOpcode(Out[0])) {
    In.assign(ReceiveCount, IdleByte());
  } else {
    Record.Result = Execute(Out, ReceiveCount, In, Record.Address);
    // Whatever the instruction did not drive reads as the idle level.
    In.resize(ReceiveCount, IdleByte());
  }
  Commands_.push_back(Record);
  return In;
}

bool FlashChip::EraseAllowed() {
  // Every erase and program instruction uses up the latch, executed or not.
  const bool Allowed = WriteEnable_ && !Protected();
  WriteEnable_ = false;
  return Allowed;
}

void FlashChip::Erase(uint32_t Address, uint32_t Length) {
  const uint32_t Start = Wrap(Address) & ~(Length - 1);
  const uint32_t End = std::min<uint32_t>(Start + Length, Size());
  std::fill(Memory_.begin() + Start, Memory_.begin() + End, 0xFF);
}

void FlashChip::Program(uint32_t Address, const uint8_t *Data, size_t Length) {
  // Within one page: the address wraps to the page's start, and of more than
  // a page's bytes only the last page's worth stays.
  if (Length > kPageSize) {
    Data += Length - kPageSize;
    Address += static_cast<uint32_t>(Length - kPageSize);
    Length = kPageSize;
  }
  const uint32_t Page = Wrap(Address) & ~(kPageSize - 1);
  for (size_t I = 0; I < Length; ++I) {
    const uint32_t Offset = Page + ((Wrap(Address) + I) % kPageSize);
    if (Offset < Size()) {
      Memory_[Offset] &= Data[I];
    }
  }
}

FlashCommand::Outcome FlashChip::Execute(const std::vector<uint8_t> &Out, size_t Want, std::vector<uint8_t> &In,
                                         uint32_t &Address) {
  using Outcome = FlashCommand::Outcome;
  const uint8_t Opcode = Out[0];
  const bool HasAddress = Out.size() >= 4;
  if (HasAddress) {
    Address = Address24(Out);
  }
  if (Opcode != kAutoIncrementProgram && Opcode != kReadStatus && Opcode != kWriteDisable) {
    // Any other instruction ends an auto-address-increment sequence.
    AutoIncrement_ = false;
  }
  switch (Opcode) {
    case kReadJedecId:
    case kReadManufacturerDevice:
    case kReleaseReadSignature: {
      const std::array<uint8_t, 3> Id = IdAnswer(Opcode);
      for (size_t I = 0; I < Want; ++I) {
        In.push_back(Id[I % 3]);
      }
      return Outcome::Executed;
    }
    case kReadStatus:
      In.assign(Want, Status());
      return Outcome::Executed;
    case kReadStatus2:
      In.assign(Want, Status2_);
      return Outcome::Executed;
    case kWriteEnable:
      WriteEnable_ = true;
      return Outcome::Executed;
    case kWriteDisable:
      WriteEnable_ = false;
      AutoIncrement_ = false;
      return Outcome::Executed;
    case kEnableWriteStatus:
      WriteStatusEnable_ = true;
      return Outcome::Executed;
    case kWriteStatus: {
      const bool Enabled = WriteEnable_ || WriteStatusEnable_;
      WriteEnable_ = false;
      WriteStatusEnable_ = false;
      const size_t Bytes = Out.size() - 1;
      // A two-byte chip latches its status only at the sixteenth clock; a
      // one-byte chip at the eighth, and ignores what follows.
      const bool LengthOk = StatusBytes() == 2 ? Bytes == 2 : Bytes >= 1;
      const bool Locked = (Status_ & kStatusProtect) != 0 && WriteProtectPin_;
      if (!Enabled || !LengthOk || Locked) {
        return Outcome::Refused;
      }
      SetStatus(Out[1], StatusBytes() == 2 ? Out[2] : Status2_);
      return Outcome::Executed;
    }
    case kRead:
    case kFastRead: {
      if (!HasAddress) {
        return Outcome::Refused;
      }
      // Fast read clocks one dummy byte after the address: sent by the
      // master, or else the first byte clocked in.
      size_t Dummy = 0;
      if (Opcode == kFastRead && Out.size() < 5) {
        Dummy = std::min<size_t>(1, Want);
        In.assign(Dummy, IdleByte());
      }
      for (size_t I = Dummy; I < Want; ++I) {
        In.push_back(Memory_[Wrap(Address + static_cast<uint32_t>(I - Dummy))]);
      }
      return Outcome::Executed;
    }
    case kSectorErase:
    case kSectorEraseD7:
    case kBlockErase32:
    case kBlockErase64: {
      if (!EraseAllowed() || !HasAddress) {
        return Outcome::Refused;
      }
      const uint32_t Length = Opcode == kBlockErase64 ? 0x10000 : Opcode == kBlockErase32 ? 0x8000 : kSectorSize;
      Erase(Address, Length);
      return Outcome::Executed;
    }
    case kChipErase60:
    case kChipEraseC7:
      if (!EraseAllowed()) {
        return Outcome::Refused;
      }
      std::fill(Memory_.begin(), Memory_.end(), 0xFF);
      return Outcome::Executed;
    case kPageProgram:
      if (!EraseAllowed() || !HasAddress) {
        return Outcome::Refused;
      }
      Program(Address, Out.data() + 4, Out.size() - 4);
      return Outcome::Executed;
    case kAutoIncrementProgram: {
      // The first 0xAF carries an address and one byte; each following 0xAF
      // carries one byte for the next address; 0x04 ends the sequence. The
      // latch stays set throughout.
      const uint8_t *Byte = nullptr;
      if (!AutoIncrement_) {
        if (!WriteEnable_ || Protected() || Out.size() < 5) {
          WriteEnable_ = false;
          return Outcome::Refused;
        }
        AutoAddress_ = Address;
        AutoIncrement_ = true;
        Byte = &Out[4];
      } else {
        if (Out.size() < 2) {
          return Outcome::Refused;
        }
        Address = AutoAddress_;
        Byte = &Out[1];
      }
      Memory_[Wrap(AutoAddress_)] &= *Byte;
      AutoAddress_ = Wrap(AutoAddress_ + 1);
      return Outcome::Executed;
    }
    default:
      return Outcome::Unknown;
  }
}

}  // namespace Sim
