#include "Fuzz/Harness/Budget.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "Fuzz/Harness/Targets.h"
#include "Sim/AgentStack.h"

#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_HAVE_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_HAVE_SANITIZER 1
#endif
#endif
#if defined(FUZZ_HAVE_SANITIZER)
#include <sanitizer/common_interface_defs.h>
#endif

namespace Fuzz {

namespace {

bool gAbortOnBudget = false;
bool gVerbose = false;

constexpr uint64_t kChunkWithoutCamera = 64;

}  // namespace

void SetAbortOnBudget(bool Abort) { gAbortOnBudget = Abort; }
void SetVerbose(bool Verbose) { gVerbose = Verbose; }
bool Verbose() { return gVerbose; }

UpdateBudget::UpdateBudget(Sim::Platform &Boot, FuzzedCamera *Camera, uint64_t WorkBytes, Findings &Out)
    : Boot_(Boot), Camera_(Camera), WorkBytes_(WorkBytes), Out_(Out), StartNs_(Boot.Clock().NowNs()) {
  if (Camera_ != nullptr) {
    Camera_->SetRequestListener([this] {
      if (!StopScheduled_ && Camera_->Requests() > TransferLimit()) {
        // Stopped at the next tick of the clock, outside the bus's transfer.
        StopScheduled_ = true;
        Boot_.Boot().ScheduleHardwareEvent(Boot_.Clock().NowNs(), [this] {
          Overrun("more than " + std::to_string(TransferLimit()) + " transfers");
        });
      }
    });
  }
  Boot_.Boot().ScheduleHardwareEvent(StartNs_ + TimeLimitNs(), [this] { CheckTime(); });
}

uint64_t UpdateBudget::Chunks() const {
  const uint64_t Chunk = Camera_ != nullptr ? std::max<uint64_t>(1, Camera_->SmallestChunk()) : kChunkWithoutCamera;
  return (WorkBytes_ + Chunk - 1) / Chunk;
}

uint64_t UpdateBudget::TransferLimit() const { return kBaseTransfers + kTransfersPerChunk * Chunks(); }

uint64_t UpdateBudget::TimeLimitNs() const { return kBaseTimeNs + kTimePerChunkNs * Chunks(); }

void UpdateBudget::CheckTime() {
  // The limit grows when the camera turns out to use a smaller chunk.
  if (Boot_.Clock().NowNs() - StartNs_ < TimeLimitNs()) {
    Boot_.Boot().ScheduleHardwareEvent(StartNs_ + TimeLimitNs(), [this] { CheckTime(); });
    return;
  }
  Overrun("more than " + std::to_string(TimeLimitNs() / 1000000000) + " s of virtual time");
}

void UpdateBudget::Overrun(const std::string &What) {
  if (Exceeded_) {
    return;
  }
  Exceeded_ = true;
  const uint64_t Requests = Camera_ != nullptr ? Camera_->Requests() : 0;
  char Detail[160];
  std::snprintf(Detail, sizeof(Detail), " (at %" PRIu64 " ms of virtual time, %" PRIu64 " requests)",
                (Boot_.Clock().NowNs() - StartNs_) / 1000000, Requests);
  Out_.Add("the run did not end within its budget: " + What + Detail);
  if (gAbortOnBudget) {
    std::fprintf(stderr, "==fuzz== %s\n==fuzz== where the driver was waiting:\n", Out_.Problems.back().c_str());
#if defined(FUZZ_HAVE_SANITIZER)
    __sanitizer_print_stack_trace();
#endif
    std::abort();
  }
  // Leave the driver's frames where they stand, as a watchdog reset would.
  Sim::AgentStack::Abandon();
}

}  // namespace Fuzz
