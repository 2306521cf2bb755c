#include "Sim/PortSpace.h"

namespace Sim {

namespace {

uint32_t WidthMask(uint8_t Width) { return Width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * Width)) - 1); }

EFIAPI UINT32 TableRead(VOID *Context, UINT16 Port, UINT8 Width) {
  return static_cast<PortSpace *>(Context)->Read(Port, Width);
}

EFIAPI VOID TableWrite(VOID *Context, UINT16 Port, UINT8 Width, UINT32 Value) {
  static_cast<PortSpace *>(Context)->Write(Port, Width, Value);
}

}  // namespace

PortSpace::PortSpace(VirtualClock &Clock) : Clock_(Clock) {
  Table_.Revision = HOST_PORT_SPACE_REVISION;
  Table_.Context = this;
  Table_.Read = TableRead;
  Table_.Write = TableWrite;
}

void PortSpace::Map(uint16_t First, uint16_t Count, ReadHandler Read, WriteHandler Write, std::string Name) {
  Mappings_.push_back({First, Count, std::move(Read), std::move(Write), std::move(Name)});
}

const PortSpace::Mapping *PortSpace::Find(uint16_t Port) const {
  for (auto It = Mappings_.rbegin(); It != Mappings_.rend(); ++It) {
    if (Port >= It->First && static_cast<uint32_t>(Port) < static_cast<uint32_t>(It->First) + It->Count) {
      return &*It;
    }
  }
  return nullptr;
}

uint32_t PortSpace::Read(uint16_t Port, uint8_t Width) {
  // The access itself takes time; the device answers at the end of it.
  Clock_.AdvanceNs(AccessCostNs_);
  const Mapping *Device = Find(Port);
  uint32_t Value = Device && Device->Read ? Device->Read(Port, Width) : 0xFFFFFFFFu;
  Value &= WidthMask(Width);
  Log_.push_back({false, Port, Width, Value, Clock_.NowNs()});
  return Value;
}

void PortSpace::Write(uint16_t Port, uint8_t Width, uint32_t Value) {
  Value &= WidthMask(Width);
  Clock_.AdvanceNs(AccessCostNs_);
  Log_.push_back({true, Port, Width, Value, Clock_.NowNs()});
  const Mapping *Device = Find(Port);
  if (Device && Device->Write) {
    Device->Write(Port, Width, Value);
  }
}

size_t PortSpace::AccessesOutside(uint16_t First, uint16_t Count) const {
  size_t N = 0;
  for (const PortAccess &A : Log_) {
    if (A.Port < First || static_cast<uint32_t>(A.Port) >= static_cast<uint32_t>(First) + Count) {
      ++N;
    }
  }
  return N;
}

AcpiPmTimer::AcpiPmTimer(VirtualClock &Clock, PortSpace &Ports, uint16_t Port) : Clock_(Clock) {
  Ports.Map(
      Port, 4, [this](uint16_t, uint8_t) { return Value(); }, nullptr, "AcpiPmTimer");
}

uint64_t AcpiPmTimer::TicksAt(uint64_t Ns) {
  // Split the product so that it cannot overflow for any clock value.
  const uint64_t Seconds = Ns / 1000000000u;
  const uint64_t Rest = Ns % 1000000000u;
  return Seconds * FrequencyHz + (Rest * FrequencyHz) / 1000000000u;
}

uint32_t AcpiPmTimer::Value() const {
  return static_cast<uint32_t>((StartTicks_ + TicksAt(Clock_.NowNs())) & 0xFFFFFF);
}

}  // namespace Sim
