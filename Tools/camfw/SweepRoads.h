// The roads the fault sweeps drive: for each, a camera as it stands before
// the update (its build and its whole flash), the capsule's image, the
// versions before and after, and the camera's own data the update must keep.
// Images are small and the chunk lengths short enough that every road has a
// few hundred extension-unit transfers, each stretch several chunks long.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Sim/Camera/Camera.h"
#include "Tools/camfw/DriverSteps.h"
#include "Tools/camfw/FileBytes.h"

namespace Camfw {

struct SweepRoad {
  std::string Key;    // "g", "n-whole", "n-bank", "p-slot", "p-fallback", "p-header"
  std::string Title;  // what the tables print
  RoadShape Shape = RoadShape::WholeImage;
  Sim::CameraProfile Profile;
  Bytes Flash;    // the camera's whole flash before the update
  Bytes Payload;  // the capsule's image
  uint16_t OldBcd = 0x0100;
  uint16_t NewBcd = 0x0200;
  // The camera's device-specific data that must survive (the bank road's
  // tagged block): where it lies in flash and its bytes; empty: none.
  uint32_t DeviceDataAt = 0;
  Bytes DeviceData;
  uint32_t DeviceTagAt = 0;  // where its tag lies
  Bytes DeviceTag;
};

// The camera's port on the sweeps' machines.
constexpr uint8_t kSweepPort = 4;

// Every road, in the tables' order. Building them runs the driver once (the
// bank road's camera starts from a bank an earlier update installed).
std::vector<SweepRoad> SweepRoads();
// One road by its key. Throws Error for an unknown key.
SweepRoad SweepRoadByKey(const std::string &Key);
// The keys, for messages.
std::vector<std::string> SweepRoadKeys();

}  // namespace Camfw
