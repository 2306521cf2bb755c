#include "Sim/VirtualClock.h"

namespace Sim {

void VirtualClock::AdvanceNs(uint64_t Ns) {
  if (Ns == 0) {
    return;
  }
  NowNs_ += Ns;
  if (Listener_) {
    Listener_(NowNs_);
  }
}

}  // namespace Sim
