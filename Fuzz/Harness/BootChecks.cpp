#include "Fuzz/Harness/BootChecks.h"

#include <string>

namespace Fuzz {

void CheckServices(Sim::Platform &Boot, Findings &Out) {
  for (const Sim::MisuseReport &Misuse : Boot.Boot().Misuses()) {
    Out.Add("misuse in " + Misuse.Service + ": " + Misuse.What);
  }
  for (const Sim::TplViolation &Breach : Boot.Boot().TplViolations()) {
    if (Breach.Service == "ConnectController" && Breach.Tpl == TPL_NOTIFY) {
      continue;
    }
    Out.Add(Breach.Service + " called at TPL " + std::to_string(Breach.Tpl) + ", above " +
            std::to_string(Breach.Limit));
  }
}

void CheckPoolReturned(Sim::Platform &Boot, uint64_t AllocationsBefore, const void *Kept, Findings &Out) {
  for (const Sim::PoolAllocation &Left : Boot.Boot().LiveAllocations()) {
    if (Left.Sequence > AllocationsBefore && Left.Buffer != Kept) {
      Out.Add("pool left behind: " + std::to_string(Left.Size) + " bytes (allocation " +
              std::to_string(Left.Sequence - AllocationsBefore) + " of the run)");
    }
  }
}

}  // namespace Fuzz
