// camfw figures: the reliability figures, one section per source.
//
//   power-cuts       the power cut at every extension-unit transfer of each road
//   double-cuts      two cuts on the two-slot road, with the ISP as modelled and
//                    with an ISP that leaves a failed update unsettled
//   transfer-faults  each transfer failed once, and twice in a row, per road
//   fuzz             fuzzing statistics other builds left (build/*/fuzz/*.stats)
//   benchmarks       Google Benchmark results other builds left (build/*/benchmarks*.json)
//   tables           any other table a tool left for the figures (build/*/figures/*.txt)
//
// The sweep sections are measured when the command runs; the others print
// what they find and say so when there is nothing.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "Tools/camfw/FaultSweeps.h"

namespace Camfw {

struct FiguresOptions {
  std::vector<std::string> Sections;  // empty: all, in the order above
  std::vector<std::string> Roads;     // empty: all (SweepRoadKeys)
  size_t CutStride = 1;               // PowerCutOptions::Stride
  size_t DoubleStride = 1;            // DoubleCutOptions::Stride
  size_t DoubleFirstCuts = 3;         // DoubleCutOptions::FirstCuts
  size_t FaultStride = 1;             // TransferFaultOptions::Stride
  std::string BuildDir = "build";     // where the fuzz, benchmark and other tables are looked for
};

// The section names, in order.
const std::vector<std::string> &FigureSections();

// Prints the sections asked for. Throws Error for an unknown section or road.
void PrintFigures(const FiguresOptions &Options, std::FILE *Out);

// The tables, as PrintFigures prints them.
std::string PowerCutTable(const std::vector<PowerCutSweep> &Sweeps);
std::string PowerCutFindings(const PowerCutSweep &Sweep);
std::string DoubleCutTable(const SweepRoad &Road, const DoubleCutSweep &Sweep);
std::string TransferFaultTable(const std::vector<TransferFaultSweep> &Single,
                               const std::vector<TransferFaultSweep> &Double);
std::string TransferFaultFindings(const TransferFaultSweep &Sweep);
// Tables of libFuzzer's final statistics ("stat::name: value" lines) and of
// Google Benchmark's JSON output, from the files' text.
std::string FuzzStatsTable(const std::vector<std::pair<std::string, std::string>> &Files);
std::string BenchmarkTable(const std::vector<std::pair<std::string, std::string>> &Files);

}  // namespace Camfw
