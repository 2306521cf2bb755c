#include "Sim/EmbeddedController.h"

#include <cstdio>

namespace Sim {

namespace {

std::string Hex2(uint32_t Value) {
  char Text[8];
  std::snprintf(Text, sizeof(Text), "0x%02X", Value & 0xFFu);
  return Text;
}

}  // namespace

EmbeddedController::EmbeddedController(VirtualClock &Clock, PortSpace &Ports, EcStore &Store)
    : Clock_(Clock), Store_(Store) {
  auto Read = [this](uint16_t Port, uint8_t Width) { return ReadPort(Port, Width); };
  auto Write = [this](uint16_t Port, uint8_t Width, uint32_t Value) { WritePort(Port, Width, Value); };
  Ports.Map(kDataPort, 1, Read, Write, "EmbeddedController");
  Ports.Map(kCommandPort, 1, Read, Write, "EmbeddedController");
}

EmbeddedController::~EmbeddedController() {
  if (InputFull_ && Store_.Fault != EcFault::InputNeverDrains && Store_.Fault != EcFault::Absent) {
    Consume();
  }
}

uint8_t EmbeddedController::PeekStatus() {
  Settle();
  return Status();
}

uint8_t EmbeddedController::Status() const {
  if (Store_.Fault == EcFault::Absent) {
    return 0xFF;
  }
  return static_cast<uint8_t>((OutputFull_ ? kStatusOutputFull : 0) | (InputFull_ ? kStatusInputFull : 0) |
                              (LastWasCommand_ ? kStatusCommand : 0));
}

void EmbeddedController::Violation(std::string What, uint16_t Port, uint32_t Value) {
  Violations_.push_back({std::move(What), Port, Value, Clock_.NowNs()});
}

uint32_t EmbeddedController::ReadPort(uint16_t Port, uint8_t Width) {
  if (Store_.Fault == EcFault::Absent) {
    return 0xFFFFFFFFu;
  }
  if (Width != 1) {
    // The interface is byte-wide; a wider access reaches the next ports,
    // where nothing answers.
    Violation(std::to_string(8 * Width) + "-bit read", Port, 0xFFFFFFFFu);
    return 0xFFFFFFFFu;
  }
  return Port == kCommandPort ? ReadStatus() : ReadData();
}

void EmbeddedController::WritePort(uint16_t Port, uint8_t Width, uint32_t Value) {
  if (Store_.Fault == EcFault::Absent) {
    return;
  }
  if (Width != 1) {
    Violation(std::to_string(8 * Width) + "-bit write", Port, Value);
    return;
  }
  Settle();
  if (InputFull_) {
    Violation(std::string(Port == kCommandPort ? "command " : "data ") + Hex2(Value) +
                  " written while the input buffer is full (dropped)",
              Port, Value);
    return;
  }
  Accept(Port == kCommandPort, static_cast<uint8_t>(Value));
}

uint8_t EmbeddedController::ReadStatus() {
  ++StatusReads_;
  Settle();
  if (InputFull_ && Store_.Fault != EcFault::InputNeverDrains) {
    // Each status read while busy counts down the EC's work on the byte.
    if (BusyReadsLeft_ == 0) {
      Consume();
    } else {
      --BusyReadsLeft_;
    }
  }
  return Status();
}

uint8_t EmbeddedController::ReadData() {
  Settle();
  if (!OutputFull_) {
    Violation("data read while the output buffer is empty", kDataPort, OutputByte_);
    return OutputByte_;
  }
  OutputFull_ = false;
  return OutputByte_;
}

void EmbeddedController::Accept(bool Command, uint8_t Byte) {
  InputFull_ = true;
  LastWasCommand_ = Command;
  InputByte_ = Byte;
  BusyReadsLeft_ = BusyStatusReads_;
  WrittenAtNs_ = Clock_.NowNs();
}

void EmbeddedController::Settle() {
  if (InputFull_ && Store_.Fault != EcFault::InputNeverDrains && Clock_.NowNs() - WrittenAtNs_ >= BusyTimeNs_) {
    Consume();
  }
}

void EmbeddedController::Consume() {
  InputFull_ = false;
  const uint8_t Byte = InputByte_;
  if (LastWasCommand_) {
    if (Phase_ != Phase::Idle) {
      Violation("command " + Hex2(Byte) + " cuts command " + Hex2(Command_) + " short", kCommandPort, Byte);
    }
    Command_ = Byte;
    switch (Byte) {
      case kReadCommand:
        Phase_ = Phase::ReadAddress;
        break;
      case kWriteCommand:
        Phase_ = Phase::WriteAddress;
        break;
      default:
        Violation("unknown command " + Hex2(Byte) + " (ignored)", kCommandPort, Byte);
        Phase_ = Phase::Idle;
        break;
    }
    return;
  }
  switch (Phase_) {
    case Phase::Idle:
      Violation("data " + Hex2(Byte) + " without a command (ignored)", kDataPort, Byte);
      break;
    case Phase::ReadAddress:
      Register_ = Byte;
      Phase_ = Phase::Idle;
      if (Store_.Fault != EcFault::OutputNeverFills) {
        OutputByte_ = Store_.Registers[Register_];
        OutputFull_ = true;
        Transactions_.push_back({false, Register_, OutputByte_, Clock_.NowNs()});
      }
      break;
    case Phase::WriteAddress:
      Register_ = Byte;
      Phase_ = Phase::WriteValue;
      break;
    case Phase::WriteValue:
      Store_.Registers[Register_] = Byte;
      Phase_ = Phase::Idle;
      Transactions_.push_back({true, Register_, Byte, Clock_.NowNs()});
      break;
  }
}

}  // namespace Sim
