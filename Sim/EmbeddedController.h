// The platform's embedded controller as the host reaches it: an ACPI-style
// interface on two I/O ports, 0x66 (command when written, status when read)
// and 0x62 (data), in front of a 256-byte register file.
//
// Status bits: 0x01 output buffer full (OBF: a byte waits in the data port),
// 0x02 input buffer full (IBF: the EC has not yet taken the last byte
// written), 0x08 CMD (the last byte written was a command). Commands:
//   0x90 read a register:  register number to 0x62; once OBF is set the value
//                          is read from 0x62 (the read clears OBF);
//   0x91 write a register: register number, then the value, both to 0x62.
// The host waits for IBF clear before each write and for OBF set before the
// read. After every write the EC is busy: IBF stays set for the next
// BusyStatusReads status reads (2 unless set), or until BusyTime has passed
// on the virtual clock, whichever comes first; only then does the EC act on
// the byte (and, for a read, fill the output buffer). A write while IBF is
// set, a data read while OBF is clear, a data byte without a command, a
// command that cuts another short and an unknown command are recorded as
// protocol violations; the byte written is dropped or ignored, a data read
// answers the stale output byte.
//
// Every access costs the port space's access time (1 us), so a wait on the
// status always moves the virtual clock. Faults: the EC takes a byte and
// never drains its input buffer (IBF stays set), takes bytes but never fills
// its output buffer (OBF never set), or is absent (every read answers 0xFF,
// writes vanish; on QEMU's q35 nothing decodes these ports). A status of 0xFF
// reads as IBF set, so a host that waits without a limit waits for ever.
//
// The register file and the fault belong to the machine (EcStore): the EC
// runs on standby power and keeps its RAM across a reset of the host, so a
// value written in one boot is read in the next. The host interface
// (buffers, a half-finished command) starts clean with every boot.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Sim/PortSpace.h"
#include "Sim/VirtualClock.h"

namespace Sim {

enum class EcFault {
  None,
  InputNeverDrains,  // a byte written is never taken: IBF stays set
  OutputNeverFills,  // bytes are taken, but a read never sets OBF
  Absent,            // nothing at the ports: reads 0xFF, writes vanish
};

// What the machine keeps of its EC across boots.
struct EcStore {
  std::array<uint8_t, 256> Registers{};
  EcFault Fault = EcFault::None;
};

// A register read or write as the EC carried it out.
struct EcTransaction {
  bool Write;
  uint8_t Register;
  uint8_t Value;
  uint64_t TimeNs;
};

// A breach of the host-interface protocol.
struct EcViolation {
  std::string What;
  uint16_t Port;
  uint32_t Value;  // the byte written, or the byte a read answered
  uint64_t TimeNs;
};

class EmbeddedController {
 public:
  static constexpr uint16_t kDataPort = 0x62;
  static constexpr uint16_t kCommandPort = 0x66;
  static constexpr uint8_t kStatusOutputFull = 0x01;
  static constexpr uint8_t kStatusInputFull = 0x02;
  static constexpr uint8_t kStatusCommand = 0x08;
  static constexpr uint8_t kReadCommand = 0x90;
  static constexpr uint8_t kWriteCommand = 0x91;
  static constexpr unsigned kDefaultBusyStatusReads = 2;
  static constexpr uint64_t kDefaultBusyTimeNs = 50000;

  // Maps the two ports on Ports.
  EmbeddedController(VirtualClock &Clock, PortSpace &Ports, EcStore &Store);
  // The EC goes on when the host resets: a byte it was still busy with is
  // carried out.
  ~EmbeddedController();
  EmbeddedController(const EmbeddedController &) = delete;
  EmbeddedController &operator=(const EmbeddedController &) = delete;

  // --- The machine's side -------------------------------------------------
  // A register as the EC holds it now: a write the EC is still busy with
  // lands once its busy time has passed on the virtual clock.
  uint8_t Register(uint8_t Index) {
    Settle();
    return Store_.Registers[Index];
  }
  void SetRegister(uint8_t Index, uint8_t Value) { Store_.Registers[Index] = Value; }
  EcFault Fault() const { return Store_.Fault; }
  void SetFault(EcFault Fault) { Store_.Fault = Fault; }
  // How long the EC stays busy after a write.
  void SetBusyStatusReads(unsigned Reads) { BusyStatusReads_ = Reads; }
  void SetBusyTimeNs(uint64_t Ns) { BusyTimeNs_ = Ns; }

  // --- Observation -------------------------------------------------------
  const std::vector<EcTransaction> &Transactions() {
    Settle();
    return Transactions_;
  }
  const std::vector<EcViolation> &Violations() const { return Violations_; }
  uint64_t StatusReads() const { return StatusReads_; }
  // The status byte as the host would read it now, without counting as a
  // read (absent: 0xFF).
  uint8_t PeekStatus();

 private:
  enum class Phase { Idle, ReadAddress, WriteAddress, WriteValue };

  uint32_t ReadPort(uint16_t Port, uint8_t Width);
  void WritePort(uint16_t Port, uint8_t Width, uint32_t Value);
  uint8_t Status() const;
  uint8_t ReadStatus();
  uint8_t ReadData();
  void Accept(bool Command, uint8_t Byte);
  // Takes the byte in the input buffer once the busy time has passed.
  void Settle();
  // The EC acts on the byte in its input buffer.
  void Consume();
  void Violation(std::string What, uint16_t Port, uint32_t Value);

  VirtualClock &Clock_;
  EcStore &Store_;
  unsigned BusyStatusReads_ = kDefaultBusyStatusReads;
  uint64_t BusyTimeNs_ = kDefaultBusyTimeNs;

  bool InputFull_ = false;
  bool LastWasCommand_ = false;
  uint8_t InputByte_ = 0;
  unsigned BusyReadsLeft_ = 0;
  uint64_t WrittenAtNs_ = 0;
  bool OutputFull_ = false;
  uint8_t OutputByte_ = 0;
  Phase Phase_ = Phase::Idle;
  uint8_t Command_ = 0;
  uint8_t Register_ = 0;

  uint64_t StatusReads_ = 0;
  std::vector<EcTransaction> Transactions_;
  std::vector<EcViolation> Violations_;
};

}  // namespace Sim
