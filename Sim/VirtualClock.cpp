#include "Sim/VirtualClock.h"

namespace Sim {

void VirtualClock::AdvanceNs(uint64_t Ns) {
  if (Ns == 0) {
    return;
  }
  const uint64_t Target = NowNs_ + Ns;
  // Stop at each deadline before the target; what fires there may move the
  // clock itself (a notify function that stalls), possibly past the target.
  while (Deadline_ && Fire_) {
    const uint64_t Next = Deadline_();
    if (Next > Target || Next <= NowNs_) {
      break;
    }
    NowNs_ = Next;
    Fire_(NowNs_);
  }
  if (NowNs_ < Target) {
    NowNs_ = Target;
  }
  if (Fire_) {
    Fire_(NowNs_);
  }
}

}  // namespace Sim
