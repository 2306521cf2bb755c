// The processor's I/O port space on the simulated platform. Devices map port
// ranges; every access is logged with the virtual time, and every access costs
// a little virtual time, so that a busy wait on a port always ends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <Guid/HostPortSpace.h>

#include "Sim/VirtualClock.h"

namespace Sim {

struct PortAccess {
  bool Write;
  uint16_t Port;
  uint8_t Width;
  uint32_t Value;  // value read or written
  uint64_t TimeNs;
};

class PortSpace {
 public:
  using ReadHandler = std::function<uint32_t(uint16_t Port, uint8_t Width)>;
  using WriteHandler = std::function<void(uint16_t Port, uint8_t Width, uint32_t Value)>;

  explicit PortSpace(VirtualClock &Clock);
  PortSpace(const PortSpace &) = delete;
  PortSpace &operator=(const PortSpace &) = delete;

  // Maps Count ports from First to a device. Later mappings win over earlier ones.
  void Map(uint16_t First, uint16_t Count, ReadHandler Read, WriteHandler Write, std::string Name);

  // Accesses as the processor makes them. Unmapped reads float high (all ones).
  uint32_t Read(uint16_t Port, uint8_t Width);
  void Write(uint16_t Port, uint8_t Width, uint32_t Value);

  // Virtual time one access takes (default 1 us, about what a legacy port read costs).
  void SetAccessCostNs(uint64_t Ns) { AccessCostNs_ = Ns; }

  const std::vector<PortAccess> &Log() const { return Log_; }
  void ClearLog() { Log_.clear(); }
  // Accesses to ports outside the given range [First, First + Count).
  size_t AccessesOutside(uint16_t First, uint16_t Count) const;

  // The table the hosted IoLib finds in the configuration table.
  HOST_PORT_SPACE *Table() { return &Table_; }

 private:
  struct Mapping {
    uint16_t First;
    uint16_t Count;
    ReadHandler Read;
    WriteHandler Write;
    std::string Name;
  };
  const Mapping *Find(uint16_t Port) const;

  VirtualClock &Clock_;
  std::vector<Mapping> Mappings_;
  std::vector<PortAccess> Log_;
  uint64_t AccessCostNs_ = 1000;
  HOST_PORT_SPACE Table_;
};

// The ACPI power-management timer: a 24-bit counter at 3.579545 MHz that
// follows the virtual clock, read as a 32-bit port.
class AcpiPmTimer {
 public:
  static constexpr uint64_t FrequencyHz = 3579545;
  static constexpr uint16_t DefaultPort = 0x1808;

  AcpiPmTimer(VirtualClock &Clock, PortSpace &Ports, uint16_t Port = DefaultPort);

  // The counter value now. StartTicks offsets the counter (to test wrap-around).
  uint32_t Value() const;
  void SetStartTicks(uint32_t StartTicks) { StartTicks_ = StartTicks & 0xFFFFFF; }

  // Whole timer ticks elapsed since time zero.
  static uint64_t TicksAt(uint64_t Ns);

 private:
  VirtualClock &Clock_;
  uint32_t StartTicks_ = 0;
};

}  // namespace Sim
