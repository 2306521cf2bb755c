#include "Sim/AgentStack.h"

#include <sys/mman.h>
#include <ucontext.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ASAN 1
#endif
#endif

#if defined(SIM_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace Sim {

namespace {

constexpr size_t kStackSize = 8u << 20;

struct AgentState {
  ucontext_t Caller;
  ucontext_t Agent;
  const std::function<void()> *Action = nullptr;
  bool Abandoned = false;
  std::exception_ptr Error;
  void *Stack = nullptr;
  // The caller's stack, as the address sanitizer needs it for the way back.
  const void *CallerBottom = nullptr;
  size_t CallerSize = 0;
};

AgentState *gCurrent = nullptr;

// The address sanitizer must be told about every switch between stacks.
void StartSwitch(void **FakeStack, const void *Bottom, size_t Size) {
#if defined(SIM_ASAN)
  __sanitizer_start_switch_fiber(FakeStack, Bottom, Size);
#else
  (void)FakeStack;
  (void)Bottom;
  (void)Size;
#endif
}

void FinishSwitch(void *FakeStack, const void **OldBottom, size_t *OldSize) {
#if defined(SIM_ASAN)
  __sanitizer_finish_switch_fiber(FakeStack, OldBottom, OldSize);
#else
  (void)FakeStack;
  (void)OldBottom;
  (void)OldSize;
#endif
}

[[noreturn]] void LeaveAgent(AgentState *State) {
  // The agent stack is finished with: no fake stack to keep.
  StartSwitch(nullptr, State->CallerBottom, State->CallerSize);
  setcontext(&State->Caller);
  std::abort();
}

void Trampoline() {
  AgentState *State = gCurrent;
  FinishSwitch(nullptr, &State->CallerBottom, &State->CallerSize);
  try {
    (*State->Action)();
  } catch (...) {
    State->Error = std::current_exception();
  }
  LeaveAgent(State);
}

}  // namespace

bool AgentStack::OnAgentStack() { return gCurrent != nullptr; }

bool AgentStack::Run(const std::function<void()> &Action) {
  if (gCurrent != nullptr) {
    Action();
    return true;
  }
  AgentState State;
  State.Action = &Action;
  State.Stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (State.Stack == MAP_FAILED) {
    std::perror("agent stack");
    std::abort();
  }
  getcontext(&State.Agent);
  State.Agent.uc_stack.ss_sp = State.Stack;
  State.Agent.uc_stack.ss_size = kStackSize;
  State.Agent.uc_link = nullptr;
  makecontext(&State.Agent, Trampoline, 0);

  gCurrent = &State;
  void *FakeStack = nullptr;
  StartSwitch(&FakeStack, State.Stack, kStackSize);
  swapcontext(&State.Caller, &State.Agent);
  FinishSwitch(FakeStack, nullptr, nullptr);
  gCurrent = nullptr;

#if defined(SIM_ASAN)
  // Frames left behind by a reset keep their poisoned shadow; clear it
  // before the memory goes back.
  __asan_unpoison_memory_region(State.Stack, kStackSize);
#endif
  munmap(State.Stack, kStackSize);
  if (State.Error) {
    std::rethrow_exception(State.Error);
  }
  return !State.Abandoned;
}

void AgentStack::Abandon() {
  if (gCurrent == nullptr) {
    std::fprintf(stderr, "a reset was requested outside platform code run by Sim::AgentStack\n");
    std::abort();
  }
  gCurrent->Abandoned = true;
  LeaveAgent(gCurrent);
}

}  // namespace Sim
