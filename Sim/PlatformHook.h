// The platform hook protocol as the platform offers it to a driver that is
// about to update a device: three slots, called in order, whose functions
// take no instance argument (so they are thunks onto the active hook, as the
// other simulated tables are).
//
// Every call is recorded with its arguments, with what the caller had left in
// the output locations, and with the outputs the slot wrote. Slot 1 hands out
// recognisable A and B values, which a caller is expected to pass on to
// slot 2 unchanged. Each slot answers EFI_SUCCESS unless a test sets another
// status; a slot that fails writes no outputs. Calls also go into the boot
// services' call log ("HookSlot0", "HookSlot1", "HookSlot2"). Nothing here
// moves the virtual clock.
#pragma once

#include <cstdint>
#include <vector>

#include <Protocol/PlatformHook.h>

#include "Sim/BootServices.h"
#include "Sim/VirtualClock.h"

namespace Sim {

// The protocol's GUID and the request GUID slot 1 expects (the simulator
// never links the driver's definitions of these).
extern const EFI_GUID kPlatformHookProtocolGuid;
extern const EFI_GUID kPlatformHookRequestGuid;

// One call of a hook slot.
struct HookCall {
  unsigned Slot;
  EFI_TPL Tpl;  // the caller's TPL
  uint64_t TimeNs;
  EFI_STATUS Status;  // what the slot answered
  // Slot 1: the request GUID the caller passed (zero when it passed NULL).
  bool HasRequest = false;
  EFI_GUID Request{};
  // Slot 2: the arguments as passed (Flag is the BOOLEAN's raw byte).
  uint64_t A = 0, B = 0;
  uint32_t Value1 = 0, Value2 = 0;
  uint64_t Value3 = 0;
  uint8_t Flag = 0;
  // The two output locations: what they held when the slot was called, and
  // what they held when it returned (unchanged when the slot failed).
  uint64_t Output1Before = 0, Output2Before = 0;
  uint64_t Output1 = 0, Output2 = 0;
};

class PlatformHook {
 public:
  static constexpr unsigned kSlots = 3;
  // The outputs each slot writes unless a test sets others: slot 1's are the
  // A and B a caller passes on to slot 2.
  static constexpr uint64_t kDefaultOutputs[kSlots][2] = {
      {0x0A0A0A0A0A0A0A0Aull, 0x0B0B0B0B0B0B0B0Bull},
      {0x1111111111111111ull, 0x2222222222222222ull},
      {0x2A2A2A2A2A2A2A2Aull, 0x2B2B2B2B2B2B2B2Bull},
  };

  PlatformHook(BootServicesSim &Boot, VirtualClock &Clock);
  ~PlatformHook();
  PlatformHook(const PlatformHook &) = delete;
  PlatformHook &operator=(const PlatformHook &) = delete;

  // Makes this hook the one the protocol's slots reach.
  void Activate();

  // The interface the platform installs.
  PLATFORM_HOOK_PROTOCOL *Protocol() { return &Protocol_; }

  // --- Settings ----------------------------------------------------------
  // The status Slot answers from now on (EFI_SUCCESS unless set).
  void SetStatus(unsigned Slot, EFI_STATUS Status);
  // The two outputs Slot writes when it succeeds.
  void SetOutputs(unsigned Slot, uint64_t Output1, uint64_t Output2);

  // --- Observation -------------------------------------------------------
  const std::vector<HookCall> &Calls() const { return Calls_; }
  size_t CallCount(unsigned Slot) const;

  // --- The protocol functions (the EFIAPI thunks call these) -------------
  EFI_STATUS Slot0(UINT64 *Output1, UINT64 *Output2);
  EFI_STATUS Slot1(EFI_GUID *Request, UINT64 *A, UINT64 *B);
  EFI_STATUS Slot2(UINT64 A, UINT64 B, UINT32 Value1, UINT32 Value2, UINT64 Value3, BOOLEAN Flag, UINT64 *Output1,
                   UINT64 *Output2);

 private:
  // Records the call, answers the slot's status and, on success, writes the
  // slot's outputs where the caller asked.
  EFI_STATUS Finish(size_t LogIndex, HookCall Call, UINT64 *Output1, UINT64 *Output2);

  BootServicesSim &Boot_;
  VirtualClock &Clock_;
  PLATFORM_HOOK_PROTOCOL Protocol_;
  EFI_STATUS Statuses_[kSlots] = {EFI_SUCCESS, EFI_SUCCESS, EFI_SUCCESS};
  uint64_t Outputs_[kSlots][2];
  std::vector<HookCall> Calls_;
};

}  // namespace Sim
