#include "Sim/PlatformHook.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "Sim/Guid.h"

namespace Sim {

const EFI_GUID kPlatformHookProtocolGuid = PLATFORM_HOOK_PROTOCOL_GUID;
const EFI_GUID kPlatformHookRequestGuid = PLATFORM_HOOK_REQUEST_GUID;

namespace {

PlatformHook *gActive = nullptr;

PlatformHook &Active() {
  if (gActive == nullptr) {
    std::fprintf(stderr, "platform hook called with no active hook\n");
    std::abort();
  }
  return *gActive;
}

EFIAPI EFI_STATUS ThunkSlot0(UINT64 *Output1, UINT64 *Output2) { return Active().Slot0(Output1, Output2); }

EFIAPI EFI_STATUS ThunkSlot1(EFI_GUID *Request, UINT64 *A, UINT64 *B) { return Active().Slot1(Request, A, B); }

EFIAPI EFI_STATUS ThunkSlot2(UINT64 A, UINT64 B, UINT32 Value1, UINT32 Value2, UINT64 Value3, BOOLEAN Flag,
                             UINT64 *Output1, UINT64 *Output2) {
  return Active().Slot2(A, B, Value1, Value2, Value3, Flag, Output1, Output2);
}

// The hook's slots are services like any other: callers stay at or below
// TPL_NOTIFY.
constexpr EFI_TPL kHookTplLimit = TPL_NOTIFY;

const char *const kSlotNames[PlatformHook::kSlots] = {"HookSlot0", "HookSlot1", "HookSlot2"};

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%" PRIX64, Value);
  return Text;
}

void CheckSlot(unsigned Slot) {
  if (Slot >= PlatformHook::kSlots) {
    throw std::out_of_range("the platform hook has slots 0 to 2");
  }
}

}  // namespace

PlatformHook::PlatformHook(BootServicesSim &Boot, VirtualClock &Clock) : Boot_(Boot), Clock_(Clock) {
  Protocol_.Slot0 = ThunkSlot0;
  Protocol_.Slot1 = ThunkSlot1;
  Protocol_.Slot2 = ThunkSlot2;
  for (unsigned Slot = 0; Slot < kSlots; ++Slot) {
    Outputs_[Slot][0] = kDefaultOutputs[Slot][0];
    Outputs_[Slot][1] = kDefaultOutputs[Slot][1];
  }
  Activate();
}

PlatformHook::~PlatformHook() {
  if (gActive == this) {
    gActive = nullptr;
  }
}

void PlatformHook::Activate() { gActive = this; }

void PlatformHook::SetStatus(unsigned Slot, EFI_STATUS Status) {
  CheckSlot(Slot);
  Statuses_[Slot] = Status;
}

void PlatformHook::SetOutputs(unsigned Slot, uint64_t Output1, uint64_t Output2) {
  CheckSlot(Slot);
  Outputs_[Slot][0] = Output1;
  Outputs_[Slot][1] = Output2;
}

size_t PlatformHook::CallCount(unsigned Slot) const {
  size_t Count = 0;
  for (const HookCall &Call : Calls_) {
    Count += Call.Slot == Slot ? 1 : 0;
  }
  return Count;
}

EFI_STATUS PlatformHook::Finish(size_t LogIndex, HookCall Call, UINT64 *Output1, UINT64 *Output2) {
  const char *Service = kSlotNames[Call.Slot];
  Call.Status = Statuses_[Call.Slot];
  if (Output1 == nullptr || Output2 == nullptr) {
    // A platform would write through whatever it was given; the simulator
    // refuses instead of crashing the test.
    Boot_.Misuse(Service, "output pointer is NULL");
    Call.Status = EFI_INVALID_PARAMETER;
  } else {
    Call.Output1Before = *Output1;
    Call.Output2Before = *Output2;
    if (!EFI_ERROR(Call.Status)) {
      *Output1 = Outputs_[Call.Slot][0];
      *Output2 = Outputs_[Call.Slot][1];
    }
    Call.Output1 = *Output1;
    Call.Output2 = *Output2;
  }
  Calls_.push_back(Call);
  return Boot_.End(LogIndex, Call.Status);
}

EFI_STATUS PlatformHook::Slot0(UINT64 *Output1, UINT64 *Output2) {
  HookCall Call{};
  Call.Slot = 0;
  Call.Tpl = Boot_.CurrentTpl();
  Call.TimeNs = Clock_.NowNs();
  size_t Index = Boot_.Begin(kSlotNames[0], kHookTplLimit);
  return Finish(Index, Call, Output1, Output2);
}

EFI_STATUS PlatformHook::Slot1(EFI_GUID *Request, UINT64 *A, UINT64 *B) {
  HookCall Call{};
  Call.Slot = 1;
  Call.Tpl = Boot_.CurrentTpl();
  Call.TimeNs = Clock_.NowNs();
  if (Request != nullptr) {
    Call.HasRequest = true;
    Call.Request = *Request;
  }
  size_t Index = Boot_.Begin(kSlotNames[1], kHookTplLimit, Request != nullptr ? GuidName(*Request) : "NULL");
  return Finish(Index, Call, A, B);
}

EFI_STATUS PlatformHook::Slot2(UINT64 A, UINT64 B, UINT32 Value1, UINT32 Value2, UINT64 Value3, BOOLEAN Flag,
                               UINT64 *Output1, UINT64 *Output2) {
  HookCall Call{};
  Call.Slot = 2;
  Call.Tpl = Boot_.CurrentTpl();
  Call.TimeNs = Clock_.NowNs();
  Call.A = A;
  Call.B = B;
  Call.Value1 = Value1;
  Call.Value2 = Value2;
  Call.Value3 = Value3;
  Call.Flag = Flag;
  size_t Index = Boot_.Begin(kSlotNames[2], kHookTplLimit,
                             "a=" + Hex(A) + " b=" + Hex(B) + " v1=" + Hex(Value1) + " v2=" + Hex(Value2) +
                                 " v3=" + Hex(Value3) + " flag=" + Hex(Flag));
  return Finish(Index, Call, Output1, Output2);
}

}  // namespace Sim
