// Platform code runs on a stack of its own, so that a system reset can leave
// the driver's frames behind without unwinding them: a reset does not return,
// and the driver's frames (Microsoft x64 convention, built without exceptions)
// are not frames a C++ unwinder may walk back through. What the abandoned
// frames held in pool is released with the boot, as a real reset discards
// memory.
#pragma once

#include <functional>

namespace Sim {

class AgentStack {
 public:
  // Runs Action on an agent stack; Action runs in place when the caller is
  // already on one. Returns false when Action was abandoned by Abandon().
  // An exception that leaves Action is rethrown here.
  static bool Run(const std::function<void()> &Action);

  // Leaves the current agent stack for good, returning false from the
  // outermost Run. Aborts when called outside an agent.
  [[noreturn]] static void Abandon();

  static bool OnAgentStack();
};

}  // namespace Sim
