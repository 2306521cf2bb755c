#include "Tools/camfw/Figures.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace Camfw {

namespace {

namespace fs = std::filesystem;

// A text table: a header row and rows, columns padded to their widest cell,
// the first column left-aligned and the others right-aligned.
std::string Table(const std::vector<std::vector<std::string>> &Rows) {
  std::vector<size_t> Width;
  for (const auto &Row : Rows) {
    Width.resize(std::max(Width.size(), Row.size()), 0);
    for (size_t C = 0; C < Row.size(); ++C) {
      Width[C] = std::max(Width[C], Row[C].size());
    }
  }
  std::string Out;
  for (size_t R = 0; R < Rows.size(); ++R) {
    std::string Line = "  ";
    for (size_t C = 0; C < Rows[R].size(); ++C) {
      const std::string &Cell = Rows[R][C];
      const std::string Pad(Width[C] - Cell.size(), ' ');
      Line += C == 0 ? Cell + Pad : "  " + Pad + Cell;
    }
    while (!Line.empty() && Line.back() == ' ') {
      Line.pop_back();
    }
    Out += Line + "\n";
    if (R == 0) {
      size_t Total = 0;
      for (size_t W : Width) {
        Total += W + 2;
      }
      Out += "  " + std::string(Total - 2, '-') + "\n";
    }
  }
  return Out;
}

std::string Count(size_t N) { return Format("%zu", N); }

// What a cut point that did not recover left: one line's worth.
std::string CutSignature(const CutOutcome &O) {
  std::string S = "after the cut: " + BootImageText(O.RunsAfterCut) + ", " +
                  PresenceText(O.PresenceAfterCut, O.IdentityAfterCut);
  S += O.PublishedAfterCut ? Format(", version 0x%04X published", O.VersionAfterCut) : ", no version published";
  if (!O.Struck) {
    S = "the cut never struck; " + S;
  }
  S += O.RetryReached ? "; the retry reached the camera" : "; the retry never reached the camera";
  S += "; ends running " + BootImageText(O.FinalRuns) + ", " +
       PresenceText(Presence::Own, O.FinalIdentity).substr(std::string("own identity ").size());
  if (!O.DeviceDataKept) {
    S += "; device data lost";
  }
  if (O.Misuses != 0) {
    S += Format("; %zu misuse(s)", O.Misuses);
  }
  return S;
}

std::string RangeText(const std::vector<const CutOutcome *> &Run) {
  if (Run.size() == 1) {
    return CutPointText(Run.front()->Cut) + " (1 cut)";
  }
  return CutPointText(Run.front()->Cut) + " .. " + CutPointText(Run.back()->Cut) + Format(" (%zu cuts)", Run.size());
}

// The sections that read what other builds left: files under
// <BuildDir>/*/<Folder>/ whose names end in Suffix (or, with Folder empty,
// directly under <BuildDir>/*/ and starting with Prefix).
std::vector<std::pair<std::string, std::string>> FindFiles(const std::string &BuildDir, const std::string &Folder,
                                                           const std::string &Prefix, const std::string &Suffix) {
  std::vector<std::pair<std::string, std::string>> Files;
  std::error_code Ec;
  if (!fs::is_directory(BuildDir, Ec)) {
    return Files;
  }
  std::vector<fs::path> Paths;
  for (const fs::directory_entry &Build : fs::directory_iterator(BuildDir, Ec)) {
    const fs::path Where = Folder.empty() ? Build.path() : Build.path() / Folder;
    if (!fs::is_directory(Where, Ec)) {
      continue;
    }
    for (const fs::directory_entry &File : fs::directory_iterator(Where, Ec)) {
      const std::string Name = File.path().filename().string();
      if (File.is_regular_file(Ec) && Name.size() >= Suffix.size() && Name.rfind(Prefix, 0) == 0 &&
          Name.compare(Name.size() - Suffix.size(), Suffix.size(), Suffix) == 0) {
        Paths.push_back(File.path());
      }
    }
  }
  std::sort(Paths.begin(), Paths.end());
  for (const fs::path &P : Paths) {
    std::ifstream In(P);
    std::stringstream Text;
    Text << In.rdbuf();
    Files.emplace_back(P.string(), Text.str());
  }
  return Files;
}

std::vector<SweepRoad> RoadsFor(const FiguresOptions &Options) {
  if (Options.Roads.empty()) {
    return SweepRoads();
  }
  std::vector<SweepRoad> Roads;
  for (const std::string &Key : Options.Roads) {
    Roads.push_back(SweepRoadByKey(Key));
  }
  return Roads;
}

void Heading(std::FILE *Out, const std::string &Title) { std::fprintf(Out, "\n== %s ==\n\n", Title.c_str()); }

void PowerCutSection(const FiguresOptions &Options, const std::vector<SweepRoad> &Roads, std::FILE *Out) {
  Heading(Out, "Power cuts: the whole job, the power cut at one extension-unit transfer of the update");
  std::fprintf(Out,
               "  Each cut point: a normal boot, the flash-update boot cut %s, a normal boot, the\n"
               "  flash-update boot again with the same capsule, and the boots after it. Recovered: the\n"
               "  camera ends running the new firmware under its own identity with its own data.\n\n",
               Options.CutStride <= 1 ? "at that point"
                                      : Format("at that point (every %zu-th transfer and the first of "
                                               "every step)",
                                               Options.CutStride)
                                            .c_str());
  std::vector<PowerCutSweep> Sweeps;
  for (const SweepRoad &Road : Roads) {
    PowerCutOptions O;
    O.Stride = Options.CutStride;
    Sweeps.push_back(SweepPowerCuts(Road, O));
    std::fflush(Out);
  }
  std::fputs(PowerCutTable(Sweeps).c_str(), Out);
  for (const PowerCutSweep &Sweep : Sweeps) {
    std::fputs(PowerCutFindings(Sweep).c_str(), Out);
  }
}

void DoubleCutSection(const FiguresOptions &Options, std::FILE *Out) {
  Heading(Out, "Two power cuts on the two-slot road");
  const SweepRoad Road = SweepRoadByKey("p-slot");
  for (bool Unsettled : {false, true}) {
    DoubleCutOptions O;
    O.FirstCuts = Options.DoubleFirstCuts;
    O.Stride = Options.DoubleStride;
    O.Unsettled = Unsettled;
    std::fputs(DoubleCutTable(Road, SweepDoubleCuts(Road, O)).c_str(), Out);
  }
}

void TransferFaultSection(const FiguresOptions &Options, const std::vector<SweepRoad> &Roads, std::FILE *Out) {
  Heading(Out, "Transfer failures: the update dispatcher with one transfer failing (EFI_DEVICE_ERROR), or two in a row");
  std::vector<TransferFaultSweep> Single;
  std::vector<TransferFaultSweep> Double;
  for (const SweepRoad &Road : Roads) {
    TransferFaultOptions O;
    O.Stride = Options.FaultStride;
    Single.push_back(SweepTransferFaults(Road, O));
    O.InARow = 2;
    Double.push_back(SweepTransferFaults(Road, O));
  }
  std::fputs(TransferFaultTable(Single, Double).c_str(), Out);
  for (const TransferFaultSweep &S : Single) {
    std::fputs(TransferFaultFindings(S).c_str(), Out);
  }
  for (const TransferFaultSweep &S : Double) {
    std::fputs(TransferFaultFindings(S).c_str(), Out);
  }
}

void FuzzSection(const FiguresOptions &Options, std::FILE *Out) {
  Heading(Out, "Fuzzing");
  const auto Files = FindFiles(Options.BuildDir, "fuzz", "", ".stats");
  if (Files.empty()) {
    std::fprintf(Out, "  no fuzzing statistics under %s/*/fuzz/*.stats\n", Options.BuildDir.c_str());
    return;
  }
  std::fputs(FuzzStatsTable(Files).c_str(), Out);
}

void BenchmarkSection(const FiguresOptions &Options, std::FILE *Out) {
  Heading(Out, "Benchmarks");
  const auto Files = FindFiles(Options.BuildDir, "", "benchmarks", ".json");
  if (Files.empty()) {
    std::fprintf(Out, "  no benchmark results under %s/*/benchmarks*.json\n", Options.BuildDir.c_str());
    return;
  }
  std::fputs(BenchmarkTable(Files).c_str(), Out);
}

void OtherTablesSection(const FiguresOptions &Options, std::FILE *Out) {
  Heading(Out, "Other tables");
  const auto Files = FindFiles(Options.BuildDir, "figures", "", ".txt");
  if (Files.empty()) {
    std::fprintf(Out, "  none under %s/*/figures/*.txt\n", Options.BuildDir.c_str());
    return;
  }
  for (const auto &File : Files) {
    std::fprintf(Out, "  %s\n\n%s\n", File.first.c_str(), File.second.c_str());
  }
}

}  // namespace

const std::vector<std::string> &FigureSections() {
  static const std::vector<std::string> Sections = {"power-cuts", "double-cuts", "transfer-faults",
                                                    "fuzz",       "benchmarks",  "tables"};
  return Sections;
}

std::string PowerCutTable(const std::vector<PowerCutSweep> &Sweeps) {
  std::vector<std::vector<std::string>> Rows = {{"road", "transfers", "cut points", "recovered", "own id after",
                                                 "recovery id after", "retry reached", "retry ok", "flash = clean",
                                                 "data kept", "not recovered", "time"}};
  for (const PowerCutSweep &S : Sweeps) {
    size_t Recovered = 0, Own = 0, Recovery = 0, Reached = 0, Ok = 0, Same = 0, Kept = 0;
    for (const CutOutcome &O : S.Outcomes) {
      Recovered += O.Recovered();
      Own += O.PresenceAfterCut == Presence::Own;
      Recovery += O.PresenceAfterCut == Presence::Recovery;
      Reached += O.RetryReached;
      Ok += O.RetrySucceeded;
      Same += O.FlashAsClean;
      Kept += O.DeviceDataKept;
    }
    const size_t N = S.Outcomes.size();
    Rows.push_back({S.Road.Key, Count(S.Clean.ClassTransfers.size()), Count(N), Count(Recovered), Count(Own),
                    Count(Recovery), Count(Reached), Count(Ok), Count(Same),
                    S.Road.DeviceData.empty() ? "-" : Count(Kept), Count(N - Recovered),
                    Format("%.1f s", S.Seconds)});
  }
  std::string Out = Table(Rows);
  Out += "\n  transfers: extension-unit transfers of the clean update boot; cut points: before each of\n"
         "  them, after each that restarts the ISP, after the last.\n";
  return Out;
}

std::string PowerCutFindings(const PowerCutSweep &Sweep) {
  std::string Out = "\n  " + Sweep.Road.Key + ": " + Sweep.Road.Title + "\n";
  size_t NotRecovered = 0;
  for (const CutOutcome &O : Sweep.Outcomes) {
    NotRecovered += !O.Recovered();
  }
  if (NotRecovered == 0) {
    Out += "    every cut point recovered\n";
  } else {
    Out += Format("    %zu cut point(s) did not recover:\n", NotRecovered);
    std::vector<const CutOutcome *> Run;
    auto Flush = [&] {
      if (!Run.empty()) {
        Out += "    " + RangeText(Run) + " in '" + Run.front()->Step + "': " + CutSignature(*Run.front()) + "\n";
        Run.clear();
      }
    };
    for (const CutOutcome &O : Sweep.Outcomes) {
      if (O.Recovered()) {
        Flush();
        continue;
      }
      if (!Run.empty() && (Run.front()->Step != O.Step || CutSignature(*Run.front()) != CutSignature(O))) {
        Flush();
      }
      Run.push_back(&O);
    }
    Flush();
  }
  size_t Tried = 0, Mended = 0;
  for (const CutOutcome &O : Sweep.Outcomes) {
    Tried += O.RecoveryIdTried;
    Mended += O.RecoveryIdRecovers;
  }
  if (Tried != 0) {
    Out += Format("    left under the recovery identity: %zu; the update through the driver's dispatcher with the camera\n"
                  "    found by its recovery IDs mends %zu of them\n",
                  Tried, Mended);
  }
  // Recovered, but the flash differs from a clean update's: where.
  std::map<std::pair<std::string, std::string>, size_t> Differs;
  for (const CutOutcome &O : Sweep.Outcomes) {
    if (O.Recovered() && !O.FlashAsClean) {
      ++Differs[{O.Step, RangesText(O.Differs)}];
    }
  }
  for (const auto &D : Differs) {
    Out += Format("    recovered, but the flash differs from a clean update's at %s: %zu cut(s) in '%s'\n",
                  D.first.second.c_str(), D.second, D.first.first.c_str());
  }
  return Out;
}

std::string DoubleCutTable(const SweepRoad &Road, const DoubleCutSweep &Sweep) {
  std::string Out = Format("  road %s; %s\n\n", Road.Key.c_str(),
                           Sweep.Unsettled ? "an ISP that leaves a failed update unsettled (ActiveSlot stays 0xFF)"
                                           : "the ISP as modelled (a failed update falls back to the previous slot, "
                                             "written into the header)");
  std::vector<std::vector<std::string>> Rows = {{"first cut", "runs after", "ActiveSlot at retry", "retry writes",
                                                 "overwrites the good slot", "second cuts", "slot 0", "slot 1", "ROM",
                                                 "3rd attempt ok"}};
  std::vector<const DoubleCutOutcome *> Rom;
  for (size_t I = 0; I < Sweep.Outcomes.size();) {
    const DoubleCutOutcome &F = Sweep.Outcomes[I];
    size_t Slot0 = 0, Slot1 = 0, InRom = 0, Third = 0, N = 0;
    for (; I < Sweep.Outcomes.size() && Sweep.Outcomes[I].First.ClassRequest == F.First.ClassRequest; ++I, ++N) {
      const DoubleCutOutcome &O = Sweep.Outcomes[I];
      Slot0 += O.RunsAfterSecond == Sim::BootImage::Slot0;
      Slot1 += O.RunsAfterSecond == Sim::BootImage::Slot1;
      InRom += O.RunsAfterSecond == Sim::BootImage::Rom;
      Third += O.ThirdAttemptSucceeds;
      if (O.RunsAfterSecond == Sim::BootImage::Rom || !O.ThirdAttemptSucceeds) {
        Rom.push_back(&O);
      }
    }
    Rows.push_back({CutPointText(F.First) + " (" + F.FirstStep + ")", BootImageText(F.RunsAfterFirst),
                    Format("0x%02X", F.ActiveSlotAtRetry),
                    F.RetryTarget == 0xFF ? "-" : Format("slot %u", F.RetryTarget),
                    F.RetryOverwritesGoodSlot ? "yes" : "no", Count(N), Count(Slot0), Count(Slot1), Count(InRom),
                    Count(Third)});
  }
  Out += Table(Rows);
  if (!Rom.empty()) {
    Out += "\n  second cuts after which the camera boots its ROM or a third attempt fails:\n";
    std::vector<const DoubleCutOutcome *> Run;
    auto Flush = [&] {
      if (Run.empty()) {
        return;
      }
      const DoubleCutOutcome &A = *Run.front();
      Out += "    first " + CutPointText(A.First) + ", second " + CutPointText(A.Second);
      if (Run.size() > 1) {
        Out += " .. " + CutPointText(Run.back()->Second);
      }
      Out += Format(" (%zu) in '%s': boots %s (%s); third attempt %s\n", Run.size(), A.SecondStep.c_str(),
                    BootImageText(A.RunsAfterSecond).c_str(),
                    A.PresenceAfterSecond == Presence::Own        ? "own identity"
                    : A.PresenceAfterSecond == Presence::Recovery ? "recovery identity, not found by discovery"
                                                                  : "other identity",
                    A.ThirdAttemptSucceeds ? "succeeds" : "fails");
      Run.clear();
    };
    for (const DoubleCutOutcome *O : Rom) {
      if (!Run.empty() && (Run.front()->First.ClassRequest != O->First.ClassRequest ||
                           Run.front()->SecondStep != O->SecondStep ||
                           Run.front()->RunsAfterSecond != O->RunsAfterSecond ||
                           Run.front()->ThirdAttemptSucceeds != O->ThirdAttemptSucceeds ||
                           Run.back() + 1 != O)) {
        Flush();
      }
      Run.push_back(O);
    }
    Flush();
  }
  Out += Format("\n  %zu double cuts in %.1f s\n\n", Sweep.Outcomes.size(), Sweep.Seconds);
  return Out;
}

std::string TransferFaultTable(const std::vector<TransferFaultSweep> &Single,
                               const std::vector<TransferFaultSweep> &Double) {
  std::vector<std::vector<std::string>> Rows = {{"road", "failing", "transfers", "tried", "absorbed",
                                                 "driver retries", "of them absorbed", "failed with an error",
                                                 "wrong success", "leaks", "misuses", "restart unlike exit",
                                                 "later unreached", "later fails", "time"}};
  std::map<std::string, std::map<std::string, size_t>> Statuses;
  auto Add = [&](const TransferFaultSweep &S, const char *Failing) {
    size_t Absorbed = 0, Owned = 0, OwnedAbsorbed = 0, Failed = 0, Wrong = 0, Leaks = 0, Misuses = 0,
           RestartOff = 0, Unreached = 0, LaterFails = 0;
    for (const TransferFault &F : S.Faults) {
      Absorbed += F.Absorbed;
      Owned += F.RetryOwned;
      OwnedAbsorbed += F.RetryOwned && F.Absorbed;
      Failed += EFI_ERROR(F.Status) != 0;
      Wrong += F.WrongSuccess;
      Leaks += F.Leaked != 0;
      Misuses += F.Misuses != 0;
      RestartOff += !F.RestartAsExitSays();
      Unreached += !F.LaterReached;
      LaterFails += F.LaterReached && !F.LaterSucceeds;
      ++Statuses[S.Road.Key + " (" + Failing + ")"][StatusName(F.Status)];
    }
    Rows.push_back({S.Road.Key, Failing, Count(S.Transfers), Count(S.Faults.size()), Count(Absorbed), Count(Owned),
                    Count(OwnedAbsorbed), Count(Failed), Count(Wrong), Count(Leaks), Count(Misuses),
                    Count(RestartOff), Count(Unreached), Count(LaterFails), Format("%.1f s", S.Seconds)});
  };
  for (const TransferFaultSweep &S : Single) {
    Add(S, "one");
  }
  for (const TransferFaultSweep &S : Double) {
    Add(S, "two in a row");
  }
  std::string Out = Table(Rows);
  Out += "\n  statuses returned:\n";
  for (const auto &Road : Statuses) {
    Out += "    " + Road.first + ":";
    for (const auto &S : Road.second) {
      Out += Format(" %s %zu;", S.first.c_str(), S.second);
    }
    Out.back() = '\n';
  }
  return Out;
}

std::string TransferFaultFindings(const TransferFaultSweep &Sweep) {
  std::string Out;
  std::vector<std::pair<const TransferFault *, std::string>> Issues;
  for (const TransferFault &F : Sweep.Faults) {
    std::string Why;
    if (F.Count == 1 && F.RetryOwned && !F.Absorbed) {
      Why += "; the driver's repeat did not absorb it";
    }
    if (F.WrongSuccess) {
      Why += "; EFI_SUCCESS over a camera unlike a clean update's";
    }
    if (F.Leaked != 0) {
      Why += Format("; %zu pool buffer(s) leaked", F.Leaked);
    }
    if (F.Misuses != 0) {
      Why += Format("; %zu misuse(s)", F.Misuses);
    }
    if (!F.RestartAsExitSays()) {
      Why += F.RestartSent ? "; a restart went out though the exit sequence says none"
                           : F.KindKnown ? "; no restart went out though the exit sequence says one"
                                         : "; no restart: the generation was not known";
    }
    if (!F.LaterReached) {
      Why += "; a later update no longer finds the camera";
    } else if (!F.LaterSucceeds) {
      Why += "; a later update fails";
    }
    if (!Why.empty()) {
      if (!F.Left.empty()) {
        Why += "; " + F.Left;
      }
      if (!F.Note.empty()) {
        Why += " (" + F.Note + ")";
      }
      Issues.emplace_back(&F, "returns " + StatusName(F.Status) + Why);
    }
  }
  if (Issues.empty()) {
    return Out;
  }
  Out += Format("\n  %s, %s: %zu failure point(s) to look at:\n", Sweep.Road.Key.c_str(),
                Sweep.Faults.empty() || Sweep.Faults.front().Count == 1 ? "one transfer failing" : "two in a row",
                Issues.size());
  for (size_t I = 0; I < Issues.size();) {
    size_t J = I;
    while (J + 1 < Issues.size() && Issues[J + 1].first->Step == Issues[I].first->Step &&
           Issues[J + 1].second == Issues[I].second) {
      ++J;
    }
    const TransferFault &A = *Issues[I].first;
    const TransferFault &B = *Issues[J].first;
    std::string Which = Format("transfer %zu", A.First);
    if (J > I && B.First - A.First == J - I) {
      Which = Format("transfers %zu..%zu", A.First, B.First);
    } else if (J > I) {
      Which = "transfers ";
      for (size_t K = I; K <= J; ++K) {
        Which += Format("%s%zu", K == I ? "" : ", ", Issues[K].first->First);
      }
    }
    Out += Format("    %s in '%s' (%s): %s\n", Which.c_str(), A.Step.c_str(), A.Operation.c_str(),
                  Issues[I].second.c_str());
    I = J + 1;
  }
  return Out;
}

std::string FuzzStatsTable(const std::vector<std::pair<std::string, std::string>> &Files) {
  std::vector<std::string> Keys;
  std::vector<std::pair<std::string, std::map<std::string, std::string>>> Targets;
  const std::regex Stat(R"(stat::([A-Za-z0-9_]+):\s*(\S+))");
  for (const auto &File : Files) {
    std::map<std::string, std::string> Values;
    std::istringstream Lines(File.second);
    std::string Line;
    while (std::getline(Lines, Line)) {
      std::smatch M;
      if (std::regex_search(Line, M, Stat)) {
        if (std::find(Keys.begin(), Keys.end(), M[1].str()) == Keys.end()) {
          Keys.push_back(M[1].str());
        }
        Values[M[1].str()] = M[2].str();
      }
    }
    Targets.emplace_back(fs::path(File.first).stem().string(), Values);
  }
  std::vector<std::vector<std::string>> Rows(1, std::vector<std::string>{"target"});
  Rows[0].insert(Rows[0].end(), Keys.begin(), Keys.end());
  for (const auto &T : Targets) {
    std::vector<std::string> Row = {T.first};
    for (const std::string &K : Keys) {
      auto It = T.second.find(K);
      Row.push_back(It == T.second.end() ? "-" : It->second);
    }
    Rows.push_back(Row);
  }
  std::string Out = Table(Rows);
  for (const auto &File : Files) {
    Out += "  from " + File.first + "\n";
  }
  return Out;
}

std::string BenchmarkTable(const std::vector<std::pair<std::string, std::string>> &Files) {
  std::vector<std::vector<std::string>> Rows = {{"benchmark", "real time", "cpu time", "unit", "iterations"}};
  const std::regex Name(R"re("name"\s*:\s*"([^"]*)")re");
  const std::regex Real(R"re("real_time"\s*:\s*([-0-9.eE+]+))re");
  const std::regex Cpu(R"re("cpu_time"\s*:\s*([-0-9.eE+]+))re");
  const std::regex Unit(R"re("time_unit"\s*:\s*"([^"]*)")re");
  const std::regex Iterations(R"re("iterations"\s*:\s*([0-9]+))re");
  for (const auto &File : Files) {
    const std::string &Text = File.second;
    const size_t List = Text.find("\"benchmarks\"");
    if (List == std::string::npos) {
      continue;
    }
    // Each result is one flat object inside the list.
    for (size_t Open = Text.find('{', List); Open != std::string::npos; Open = Text.find('{', Open + 1)) {
      const size_t Close = Text.find('}', Open);
      if (Close == std::string::npos) {
        break;
      }
      const std::string Object = Text.substr(Open, Close - Open);
      std::smatch N, R, C, U, I;
      if (std::regex_search(Object, N, Name) && std::regex_search(Object, R, Real) &&
          std::regex_search(Object, C, Cpu)) {
        Rows.push_back({N[1].str(), R[1].str(), C[1].str(),
                        std::regex_search(Object, U, Unit) ? U[1].str() : "-",
                        std::regex_search(Object, I, Iterations) ? I[1].str() : "-"});
      }
      Open = Close;
    }
  }
  std::string Out = Table(Rows);
  for (const auto &File : Files) {
    Out += "  from " + File.first + "\n";
  }
  return Out;
}

void PrintFigures(const FiguresOptions &Options, std::FILE *Out) {
  std::vector<std::string> Sections = Options.Sections.empty() ? FigureSections() : Options.Sections;
  for (const std::string &S : Sections) {
    if (std::find(FigureSections().begin(), FigureSections().end(), S) == FigureSections().end()) {
      std::string Known;
      for (const std::string &K : FigureSections()) {
        Known += (Known.empty() ? "" : ", ") + K;
      }
      throw Error("unknown section '" + S + "' (known: " + Known + ")");
    }
  }
  const bool Sweeps = std::any_of(Sections.begin(), Sections.end(), [](const std::string &S) {
    return S == "power-cuts" || S == "transfer-faults";
  });
  const std::vector<SweepRoad> Roads = Sweeps ? RoadsFor(Options) : std::vector<SweepRoad>();
  for (const std::string &S : Sections) {
    if (S == "power-cuts") {
      PowerCutSection(Options, Roads, Out);
    } else if (S == "double-cuts") {
      DoubleCutSection(Options, Out);
    } else if (S == "transfer-faults") {
      TransferFaultSection(Options, Roads, Out);
    } else if (S == "fuzz") {
      FuzzSection(Options, Out);
    } else if (S == "benchmarks") {
      BenchmarkSection(Options, Out);
    } else if (S == "tables") {
      OtherTablesSection(Options, Out);
    }
    std::fflush(Out);
  }
}

}  // namespace Camfw
