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

  // Moves time forward. A long advance stops at every deadline on the way
  // (the next timer due), where the listener runs timer notifications that
  // may themselves move time on; then time continues to the end.
  void AdvanceNs(uint64_t Ns);
  void AdvanceUs(uint64_t Us) { AdvanceNs(Us * 1000); }

  // One listener: Deadline tells the next time something is due (UINT64_MAX
  // for nothing), Fire is called at that time.
  void SetListener(std::function<uint64_t()> Deadline, std::function<void(uint64_t)> Fire) {
    Deadline_ = std::move(Deadline);
    Fire_ = std::move(Fire);
  }

 private:
  uint64_t NowNs_ = 0;
  std::function<uint64_t()> Deadline_;
  std::function<void(uint64_t)> Fire_;
};

}  // namespace Sim
