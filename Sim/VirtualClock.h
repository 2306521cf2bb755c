// The simulated platform's clock. Nothing in the simulator sleeps: time moves
// only when simulated hardware or a boot service says so (Stall, a port read,
// a USB transfer), and whoever is waiting for a deadline is told when it passes.
#pragma once

#include <cstdint>
#include <functional>

namespace Sim {

class VirtualClock {
 public:
  uint64_t NowNs() const { return NowNs_; }
  uint64_t NowUs() const { return NowNs_ / 1000; }

  // Moves time forward and then tells the listener (the boot services' timer
  // queue), which may run timer notifications that move time on further.
  void AdvanceNs(uint64_t Ns);
  void AdvanceUs(uint64_t Us) { AdvanceNs(Us * 1000); }

  // One listener: called after every advance with the new time.
  void SetListener(std::function<void(uint64_t)> Listener) { Listener_ = std::move(Listener); }

 private:
  uint64_t NowNs_ = 0;
  std::function<void(uint64_t)> Listener_;
};

}  // namespace Sim
