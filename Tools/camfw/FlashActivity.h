// What the driver did to the camera, read back from the simulation: the
// bus's transfer log folded into flash and register operations, the roads
// those operations show, and the flash ranges that differ between two
// copies of the camera's flash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Sim/UsbBus.h"
#include "Tools/camfw/FileBytes.h"

namespace Camfw {

// One operation on the camera's extension unit that changed or read its
// flash, or wrote one of its registers.
struct CameraOp {
  enum class Kind : uint8_t { Erase, Write, Read, Register, Digest, WriteEnable };
  Kind What;
  uint32_t Address = 0;  // flash address, or register number
  uint32_t Length = 0;   // bytes written or read
  uint8_t Value = 0;     // register value, or selector 9's byte
  Bytes Data;            // the bytes written, or the digest handed over (selector 0x1F)
};

// The successful extension-unit requests to the device on Port, in order:
// selector 0x0D erases, 0x0E with 0x0F writes and reads, 2 with 3 register
// writes, 0x1F the signed digest, 9 the flash write enable.
std::vector<CameraOp> FoldCameraOps(const std::vector<Sim::UsbTransfer> &Transfers, uint8_t Port);

// [First, Last] address ranges, merged where they touch or overlap.
struct AddressRange {
  uint32_t First;
  uint32_t Last;
};
std::vector<AddressRange> MergeRanges(std::vector<AddressRange> Ranges);
std::string RangesText(const std::vector<AddressRange> &Ranges);

// The roads the operations show, one sentence each, in the order taken:
// the two-slot road (the signed digest on selector 0x1F, the slot written
// inside the update window), the banked road (the window without a digest,
// the bank header at 0x7000 written after it), the whole-image road (no
// window, the first chunk written before and after the rest), plus the
// writes outside a window and the ISP restarts.
std::vector<std::string> DescribeRoads(const std::vector<CameraOp> &Ops);

// Runs of bytes that differ between Before and After (the same size),
// with runs fewer than Gap equal bytes apart merged.
struct FlashChange {
  AddressRange Range;
  size_t Differing;  // bytes inside the range that differ
};
std::vector<FlashChange> DiffFlash(const Bytes &Before, const Bytes &After, size_t Gap = 16);

}  // namespace Camfw
