// camfw simulate: the driver's whole job on the simulated platform. A
// machine with one camera of the chosen ISP generation boots normally (the
// ESRT entry shows the camera's bcdDevice), then with the capsules in
// flash-update mode (the driver applies one and cold-resets) until a boot
// ends without a reset (the ESRT entry shows what the camera presents now).
// The report says what the simulation saw: the ESRT before and after, the
// roads the driver took, the flash ranges that changed, the "Setup" bytes
// it wrote, the transfers and the virtual time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Sim {
class Platform;
}

namespace Camfw {

struct SimulateOptions {
  char Camera = 'p';                  // the ISP generation (kCameraKinds)
  std::vector<std::string> Capsules;  // capsule files; none: the sample for the camera
  uint16_t SampleBcd = 0x0200;        // the sample image's bcdDevice
  bool Trace = false;                 // each boot's steps with the calls they made
  bool Terminal = false;              // redraw the progress bar in place
  unsigned MaxBoots = 6;              // boots in all, the first normal one included
  // The camera build: the flash-data chunk its unit moves (0: the
  // profile's) and registers its ISP's boot sets besides the profile's
  // (camera-redir's --chunk and --register make the same camera).
  uint16_t Chunk = 0;
  std::map<uint16_t, uint8_t> BootRegisters;
  // The bus re-enumerates a camera that left and came back at once
  // (Immediate), or from its root-port poll, which does not run while the
  // driver's notification does (Enumerated, as EDK II's USB bus).
  bool EnumeratedBus = false;
  // No embedded controller at its ports (reads answer 0xFF), as on QEMU.
  bool EcAbsent = false;
  // Where the camera's flash goes once the machine settled (empty: nowhere).
  std::string FlashOut;
  // Where the requests that reached the camera go, boot by boot, one line
  // each in camera-redir's words, the boot's virtual time first ("[ 1.234]
  // control 0x21 0x01 wValue 0x0F00 wIndex 0x0400 wLength 64 -> success");
  // empty: nowhere.
  std::string RequestsOut;
  // More set-up of each boot's platform, after camfw's own (tests use it to
  // put a misbehaving platform driver beside the camera).
  std::function<void(Sim::Platform &)> PrepareBoot;
};

// Runs the simulation and prints its report to Out. Returns the exit
// status: 0 when the machine settled (a boot ended without a reset) with no
// TPL rule breach, no misuse of the boot services and no embedded-controller
// protocol violation, 1 otherwise. Throws Error for an unknown camera or a capsule
// file that cannot be used (before anything boots).
int Simulate(const SimulateOptions &Options, std::FILE *Out);

}  // namespace Camfw
