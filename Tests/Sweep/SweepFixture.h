// What the sweep tests share: the roads (built once per test program), the
// clean job of each, and the places in a clean job's extension-unit
// transfers where a road's guarantees begin or end (an erase carried out,
// the data phase of a chunk write), counted as Sim::Platform::CutPowerAt
// counts them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/camfw/FaultSweeps.h"

namespace SweepTest {

inline const Camfw::SweepRoad &Road(const std::string &Key) {
  static std::map<std::string, Camfw::SweepRoad> Roads;
  auto It = Roads.find(Key);
  if (It == Roads.end()) {
    It = Roads.emplace(Key, Camfw::SweepRoadByKey(Key)).first;
  }
  return It->second;
}

inline const Camfw::CleanJob &Clean(const std::string &Key) {
  static std::map<std::string, Camfw::CleanJob> Jobs;
  auto It = Jobs.find(Key);
  if (It == Jobs.end()) {
    It = Jobs.emplace(Key, Camfw::RunCleanJob(Road(Key))).first;
  }
  return It->second;
}

inline uint32_t Le32(const std::vector<uint8_t> &Data) {
  uint32_t Value = 0;
  for (size_t I = 0; I < Data.size() && I < 4; ++I) {
    Value |= uint32_t(Data[I]) << (8 * I);
  }
  return Value;
}

// One extension-unit request of a clean job, as the predicates see it.
struct Request {
  uint64_t Number;       // 1-based, as CutPowerAt counts
  uint8_t Selector;
  bool Set;              // SET_CUR (not GET_LEN or GET_CUR)
  uint32_t Address;      // the request's data as a number (erase address, flash address, ...)
  uint32_t FlashAddress; // the flash address last latched on selector 0x0E
};

// The requests of a clean job's update boot that match, in order.
inline std::vector<uint64_t> Requests(const Camfw::CleanJob &Job, const std::function<bool(const Request &)> &Match) {
  std::vector<uint64_t> Found;
  uint32_t Latched = 0;
  for (size_t K = 0; K < Job.ClassTransfers.size(); ++K) {
    const Sim::UsbTransfer &T = Job.UpdateBoot[Job.ClassTransfers[K]];
    Request R{K + 1, uint8_t(T.Setup.Value >> 8), T.Setup.Request == 0x01, Le32(T.Data), Latched};
    if (R.Set && R.Selector == 0x0E) {
      Latched = R.Address;
      R.FlashAddress = Latched;
    }
    if (Match(R)) {
      Found.push_back(R.Number);
    }
  }
  return Found;
}

inline bool EraseAt(const Request &R, uint32_t Address) { return R.Set && R.Selector == 0x0D && R.Address == Address; }
inline bool DataPhaseAt(const Request &R, uint32_t Address) {
  return R.Set && R.Selector == 0x0F && R.FlashAddress == Address;
}

// How many of the update boot's requests had been carried out when the cut
// struck.
inline uint64_t CarriedOut(const Camfw::CutPoint &Cut) {
  return Cut.When == Sim::PowerCutMoment::BeforeTransfer ? Cut.ClassRequest - 1 : Cut.ClassRequest;
}

// Every Stride-th cut point (with the first of every step, each restart and
// the last), plus the cuts right around each boundary: before the request
// numbered Boundary - 1 .. Boundary + 2.
inline std::vector<Camfw::CutPoint> Sample(const Camfw::CleanJob &Job, size_t Stride,
                                           const std::vector<uint64_t> &Boundaries) {
  Camfw::PowerCutOptions Options;
  Options.Stride = Stride;
  std::vector<Camfw::CutPoint> Points = Camfw::CutPoints(Job, Options);
  for (uint64_t B : Boundaries) {
    for (uint64_t K = B > 1 ? B - 1 : 1; K <= B + 2 && K <= Job.ClassTransfers.size(); ++K) {
      Points.push_back({K, Sim::PowerCutMoment::BeforeTransfer});
    }
  }
  auto Key = [](const Camfw::CutPoint &P) { return P.ClassRequest * 2 + (P.When == Sim::PowerCutMoment::AfterTransfer); };
  std::sort(Points.begin(), Points.end(), [&](const auto &A, const auto &B) { return Key(A) < Key(B); });
  Points.erase(std::unique(Points.begin(), Points.end(), [&](const auto &A, const auto &B) { return Key(A) == Key(B); }),
               Points.end());
  return Points;
}

inline std::string Where(const Camfw::CutOutcome &O) {
  return Camfw::CutPointText(O.Cut) + " in '" + O.Step + "'";
}

}  // namespace SweepTest
