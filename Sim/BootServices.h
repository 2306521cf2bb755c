// The simulated boot services: a real handle and protocol database with
// protocol-notify registrations, events and timers on the virtual clock, TPL
// with notification dispatch, pool memory with leak and double-free detection,
// device-path lookup, ConnectController with registered drivers, Stall.
//
// The UEFI TPL restrictions are checked on every service and recorded, not
// enforced: real firmware tolerates some breaches, and tests assert on them.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <Uefi.h>

#include "Sim/Guid.h"
#include "Sim/VirtualClock.h"

namespace Sim {

// One boot-service call as the log records it.
struct ServiceCall {
  std::string Service;  // "LocateProtocol", "Stall", ...
  EFI_TPL Tpl;          // the TPL the caller was at
  std::string Detail;   // protocol name, stall length, ...
  EFI_STATUS Status;    // what the service answered
  uint64_t TimeNs;
};

// A service called above the TPL the UEFI specification allows for it, or a
// TPL change the UEFI rules forbid.
struct TplViolation {
  std::string Service;
  EFI_TPL Tpl;    // the caller's TPL
  EFI_TPL Limit;  // the highest TPL allowed
};

// Misuse of the pool or of events: double frees, unknown pointers, stale events.
struct MisuseReport {
  std::string Service;
  std::string What;
};

struct PoolAllocation {
  void *Buffer;
  size_t Size;
  EFI_MEMORY_TYPE Type;
  uint64_t Sequence;  // 1 for the first allocation of the boot
};

// A driver that ConnectController can start on a controller.
struct SimDriver {
  std::string Name;
  std::function<bool(EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *Remaining)> Supported;
  std::function<EFI_STATUS(EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *Remaining)> Start;
};

class BootServicesSim {
 public:
  explicit BootServicesSim(VirtualClock &Clock);
  ~BootServicesSim();
  BootServicesSim(const BootServicesSim &) = delete;
  BootServicesSim &operator=(const BootServicesSim &) = delete;

  // The table handed to images. Its functions reach the active instance.
  EFI_BOOT_SERVICES *Table() { return &Table_; }
  // Makes this instance the one the table's functions reach (one boot at a time).
  void Activate();

  // --- Observation -------------------------------------------------------
  const std::vector<ServiceCall> &Calls() const { return Calls_; }
  size_t CountCalls(const std::string &Service) const;
  size_t CountCalls(const std::string &Service, const std::string &Detail) const;
  void ClearCalls() { Calls_.clear(); }
  const std::vector<TplViolation> &TplViolations() const { return TplViolations_; }
  const std::vector<MisuseReport> &Misuses() const { return Misuses_; }
  std::vector<PoolAllocation> LiveAllocations() const;
  uint64_t AllocationCount() const { return AllocationSequence_; }
  // Bytes of pool in use now, and the most in use at once since the peak
  // was last reset (at the boot's start, or by ResetPoolPeak).
  size_t LivePoolBytes() const { return LivePoolBytes_; }
  size_t PeakPoolBytes() const { return PeakPoolBytes_; }
  void ResetPoolPeak() { PeakPoolBytes_ = LivePoolBytes_; }
  EFI_TPL CurrentTpl() const { return CurrentTpl_; }
  size_t LiveEventCount() const { return Events_.size(); }
  uint64_t TotalStallUs() const { return TotalStallUs_; }

  // --- The platform's one call log --------------------------------------
  // Every simulated service (boot, runtime, protocols) records its calls
  // here. Begin records the call and checks the service's TPL rule; End
  // stores the answer and returns it.
  size_t Begin(const char *Service, EFI_TPL Limit, std::string Detail = std::string());
  EFI_STATUS End(size_t Index, EFI_STATUS Status);
  void Misuse(const char *Service, const std::string &What);

  // --- Fault injection ---------------------------------------------------
  // The Nth allocation from now (1 = the next one) fails with EFI_OUT_OF_RESOURCES.
  void FailAllocation(uint64_t Nth);
  // The Nth call from now (1 = the next one) of Service fails with Status and
  // does nothing else; with Times, so do the Times - 1 calls after it.
  void FailCall(const std::string &Service, uint64_t Nth, EFI_STATUS Status, uint64_t Times = 1);

  // --- Platform side -----------------------------------------------------
  // Hardware that acts on its own after a delay (a device leaving the bus):
  // Action runs when the virtual clock reaches AtNs, whatever the TPL, before
  // the timer notifications due at that time.
  void ScheduleHardwareEvent(uint64_t AtNs, std::function<void()> Action);
  void RegisterDriver(SimDriver Driver) { Drivers_.push_back(std::move(Driver)); }
  bool IsValidHandle(EFI_HANDLE Handle) const;
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID &Protocol) const;

  // The boot services themselves, in table order (EFIAPI thunks call these).
  EFI_TPL RaiseTpl(EFI_TPL NewTpl);
  void RestoreTpl(EFI_TPL OldTpl);
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
  EFI_STATUS FreePool(VOID *Buffer);
  EFI_STATUS CreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, VOID *NotifyContext,
                         EFI_EVENT *Event);
  EFI_STATUS SetTimer(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
  EFI_STATUS SignalEvent(EFI_EVENT Event);
  EFI_STATUS CloseEvent(EFI_EVENT Event);
  EFI_STATUS CheckEvent(EFI_EVENT Event);
  EFI_STATUS InstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE Type,
                                      VOID *Interface);
  EFI_STATUS ReinstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *OldInterface,
                                        VOID *NewInterface);
  EFI_STATUS UninstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface);
  EFI_STATUS HandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface);
  EFI_STATUS RegisterProtocolNotify(EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration);
  EFI_STATUS LocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                          UINTN *BufferSize, EFI_HANDLE *Buffer);
  EFI_STATUS LocateDevicePath(EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath, EFI_HANDLE *Device);
  EFI_STATUS InstallConfigurationTable(EFI_GUID *Guid, VOID *Table);
  EFI_STATUS Stall(UINTN Microseconds);
  EFI_STATUS ConnectController(EFI_HANDLE Controller, EFI_HANDLE *DriverImageHandle,
                               EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath, BOOLEAN Recursive);
  EFI_STATUS OpenProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface, EFI_HANDLE AgentHandle,
                          EFI_HANDLE ControllerHandle, UINT32 Attributes);
  EFI_STATUS CloseProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                           EFI_HANDLE ControllerHandle);
  EFI_STATUS ProtocolsPerHandle(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer, UINTN *ProtocolBufferCount);
  EFI_STATUS LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol, VOID *SearchKey,
                                UINTN *NoHandles, EFI_HANDLE **Buffer);
  EFI_STATUS LocateProtocol(EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
  EFI_STATUS GetNextMonotonicCount(UINT64 *Count);
  EFI_STATUS CalculateCrc32(VOID *Data, UINTN DataSize, UINT32 *Crc32);
  // Services the simulated platform does not offer: logged and refused.
  EFI_STATUS Unsupported(const char *Service);
  EFI_STATUS InstallMultiple(EFI_HANDLE *Handle, const std::vector<std::pair<EFI_GUID *, VOID *>> &Pairs);
  EFI_STATUS UninstallMultiple(EFI_HANDLE Handle, const std::vector<std::pair<EFI_GUID *, VOID *>> &Pairs);
  void CopyMem(VOID *Destination, VOID *Source, UINTN Length);
  void SetMem(VOID *Buffer, UINTN Size, UINT8 Value);

  // Configuration tables that InstallConfigurationTable maintains; the platform
  // points the system table at them.
  std::function<EFI_STATUS(const EFI_GUID &, void *)> OnConfigurationTable;

  // Protocol interfaces installed since a notify registration was made, in
  // install order, that LocateProtocol hands out one by one.
  struct NotifyRegistration;

 private:
  // Answers a fault a test injected for this call of Service.
  bool TakeFault(const char *Service, EFI_STATUS *Status);
  void CheckTpl(const char *Service, EFI_TPL Limit);

  struct ProtocolEntry {
    EFI_GUID Guid;
    void *Interface;
    uint64_t InstallSequence;
  };
  struct HandleRecord {
    uint64_t Id;
    std::vector<ProtocolEntry> Protocols;
  };
  struct EventRecord {
    UINT32 Type;
    EFI_TPL NotifyTpl;
    EFI_EVENT_NOTIFY Notify;
    VOID *Context;
    bool Signaled = false;
    bool Queued = false;
    // Timer state, in virtual nanoseconds.
    bool TimerArmed = false;
    uint64_t TimerDueNs = 0;
    uint64_t TimerPeriodNs = 0;
  };

  HandleRecord *FindHandle(EFI_HANDLE Handle) const;
  EventRecord *FindEvent(EFI_EVENT Event) const;
  ProtocolEntry *FindProtocol(HandleRecord *Handle, const EFI_GUID &Guid) const;
  void NotifyInstall(const EFI_GUID &Guid, HandleRecord *Handle);
  void QueueNotify(EventRecord *Event);
  void SignalInternal(EventRecord *Event);
  EFI_STATUS InstallOne(EFI_HANDLE *Handle, const EFI_GUID &Protocol, VOID *Interface);
  EFI_STATUS UninstallOne(EFI_HANDLE Handle, const EFI_GUID &Protocol, VOID *Interface);
  std::string HandleName(EFI_HANDLE Handle) const;
  const EFI_GUID *InternGuid(const EFI_GUID &Guid);
  void DispatchAbove(EFI_TPL Level);
  void FireDueTimers(uint64_t NowNs);
  uint64_t NextTimerDeadline() const;
  void SetTpl(EFI_TPL Tpl) { CurrentTpl_ = Tpl; }
  EFI_STATUS AllocateFromPool(const char *Service, size_t Size, void **Buffer);
  std::vector<HandleRecord *> OrderedHandlesWith(const EFI_GUID &Guid) const;

  VirtualClock &Clock_;
  EFI_BOOT_SERVICES Table_;
  EFI_TPL CurrentTpl_ = TPL_APPLICATION;

  std::list<std::unique_ptr<HandleRecord>> Handles_;  // in creation order
  std::vector<std::unique_ptr<HandleRecord>> RetiredHandles_;  // removed handles, never reused
  uint64_t NextHandleId_ = 1;
  uint64_t InstallSequence_ = 0;
  std::map<EventRecord *, std::unique_ptr<EventRecord>> Events_;
  std::list<EventRecord *> NotifyQueue_;  // signalled, waiting for the TPL to drop
  std::list<std::unique_ptr<NotifyRegistration>> Registrations_;
  std::map<void *, PoolAllocation> Pool_;
  uint64_t AllocationSequence_ = 0;
  uint64_t FailAllocationAt_ = 0;
  size_t LivePoolBytes_ = 0;
  size_t PeakPoolBytes_ = 0;
  struct InjectedFault {
    uint64_t Remaining;
    EFI_STATUS Status;
    uint64_t Times;
  };
  std::map<std::string, InjectedFault> Faults_;
  std::vector<SimDriver> Drivers_;
  std::vector<ServiceCall> Calls_;
  std::vector<TplViolation> TplViolations_;
  std::vector<MisuseReport> Misuses_;
  uint64_t TotalStallUs_ = 0;
  uint64_t MonotonicCount_ = 0;
  std::map<EFI_GUID, std::unique_ptr<EFI_GUID>, GuidLessFn> GuidStore_;
  std::multimap<uint64_t, std::function<void()>> HardwareEvents_;
};

struct BootServicesSim::NotifyRegistration {
  EFI_GUID Guid;
  EventRecord *Event;
  std::list<EFI_HANDLE> Pending;  // handles with new interfaces not yet handed out
};

}  // namespace Sim
