// How long an update may take before the harness calls it a wait that does
// not end. The legitimate work grows with the bytes of flash a run may move
// and shrinks with the chunk the camera moves them in, so the budget is
// counted in chunks of the smallest chunk seen:
//
//   chunks    = ceil(WorkBytes / smallest chunk)
//   transfers = 20,000 + 20 per chunk
//   time      = 10 minutes + 250 ms per chunk (virtual)
//
// A clean update of a 32 KiB image in 64-byte chunks takes about 4,300
// transfers and 45 s; the driver's own waits are bounded far below 10
// minutes. A run over either limit is stopped where it stands (abandoned, or
// aborted when SetAbortOnBudget asks for it) and reported.
#pragma once

#include <cstdint>
#include <string>

#include "Fuzz/Harness/FuzzInput.h"
#include "Fuzz/Harness/FuzzedCamera.h"
#include "Sim/Platform.h"

namespace Fuzz {

class UpdateBudget {
 public:
  static constexpr uint64_t kBaseTransfers = 20000;
  static constexpr uint64_t kTransfersPerChunk = 20;
  static constexpr uint64_t kBaseTimeNs = 600ull * 1000000000ull;
  static constexpr uint64_t kTimePerChunkNs = 250ull * 1000000ull;

  // Camera may be null (no camera on the bus: the chunk is taken as 64).
  UpdateBudget(Sim::Platform &Boot, FuzzedCamera *Camera, uint64_t WorkBytes, Findings &Out);
  UpdateBudget(const UpdateBudget &) = delete;
  UpdateBudget &operator=(const UpdateBudget &) = delete;

  bool Exceeded() const { return Exceeded_; }
  uint64_t TransferLimit() const;
  uint64_t TimeLimitNs() const;

 private:
  uint64_t Chunks() const;
  void CheckTime();
  void Overrun(const std::string &What);

  Sim::Platform &Boot_;
  FuzzedCamera *Camera_;
  uint64_t WorkBytes_;
  Findings &Out_;
  uint64_t StartNs_;
  bool Exceeded_ = false;
  bool StopScheduled_ = false;
};

}  // namespace Fuzz
