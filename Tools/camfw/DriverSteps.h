// The driver's steps read off a transfer log: every transfer to the camera
// is named by the operation it belongs to (a register access, a chunk write,
// a sector erase, ...) and by the step of the road that operation serves
// ("header sector erase", "slot write at 0x41000", "bank header rewrite").
// The fault sweeps name their cut points and failed transfers this way, from
// the log of a clean run of the same update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Sim/UsbBus.h"

namespace Camfw {

// How a road lays the flash out, which decides what an erase, a write or a
// read at an address is for.
enum class RoadShape : uint8_t {
  WholeImage,  // the image from address 0, its first chunk written last
  Bank,        // a bank inside the update window, the bank header at 0x7000
  Slot,        // the header sector at 0, a slot inside the update window
};

struct TransferStep {
  std::string Step;       // the road's step, e.g. "slot write at 0x41000"
  std::string Operation;  // the operation, e.g. "chunk write 0x41240, data phase"
  enum class Kind : uint8_t { Other, Erase, Write, Read };
  Kind OperationKind = Kind::Other;
  bool DataPhase = false;  // a chunk write's data request (or the length read before it)
  bool Restart = false;    // the request that makes the ISP restart or re-enumerate
};

// One entry per transfer of Transfers (every port; transfers to other ports
// are "other device"), in order.
std::vector<TransferStep> NameDriverSteps(const std::vector<Sim::UsbTransfer> &Transfers, uint8_t Port,
                                          RoadShape Shape);

// Whether a transfer is a class-specific request (what a power cut is tied
// to, Sim::UsbBus::ClassRequests).
bool IsClassRequest(const Sim::UsbTransfer &Transfer);

}  // namespace Camfw
