#include "Tools/camfw/Simulation.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "Sim/Camera/Camera.h"
#include "Sim/Capsule.h"
#include "Sim/Guid.h"
#include "Sim/Scenario.h"
#include "Sim/SetupVariable.h"
#include "Tools/camfw/CapsuleFile.h"
#include "Tools/camfw/FlashActivity.h"
#include "Tools/camfw/ProgressBar.h"
#include "Tools/camfw/SampleImages.h"

namespace Camfw {

namespace {

constexpr uint8_t kCameraPort = 4;

// The "Setup" fields the driver writes: offset, length, name.
const struct {
  size_t Offset;
  size_t Length;
  const char *Name;
} kSetupFields[] = {{1979, 2, "device version"},
                    {1981, 2, "device version, copy"},
                    {1999, 32, "version data"},
                    {2031, 32, "version data, copy"}};

std::string StatusText(EFI_STATUS Status) {
  switch (Status) {
    case EFI_SUCCESS:
      return "EFI_SUCCESS";
    case EFI_NOT_FOUND:
      return "EFI_NOT_FOUND";
    case EFI_OUT_OF_RESOURCES:
      return "EFI_OUT_OF_RESOURCES";
    case EFI_INVALID_PARAMETER:
      return "EFI_INVALID_PARAMETER";
    case EFI_UNSUPPORTED:
      return "EFI_UNSUPPORTED";
    case EFI_DEVICE_ERROR:
      return "EFI_DEVICE_ERROR";
    case EFI_TIMEOUT:
      return "EFI_TIMEOUT";
    case EFI_NOT_STARTED:
      return "EFI_NOT_STARTED";
    default:
      return Format("0x%llX", static_cast<unsigned long long>(Status));
  }
}

// Printable bytes as text, others as dots; trailing zeros dropped.
std::string Printable(const uint8_t *Data, size_t Count) {
  while (Count > 0 && Data[Count - 1] == 0) {
    --Count;
  }
  std::string Out;
  for (size_t I = 0; I < Count; ++I) {
    Out += (Data[I] >= 0x20 && Data[I] < 0x7F) ? static_cast<char>(Data[I]) : '.';
  }
  return Out;
}

std::string Seconds(uint64_t Ns) { return Format("%.3f s", static_cast<double>(Ns) / 1e9); }

const char *LayoutName(Sim::IspLayout Layout) {
  switch (Layout) {
    case Sim::IspLayout::Slotted:
      return "two-slot layout";
    case Sim::IspLayout::Banked:
      return "banked layout";
    default:
      return "whole-image layout";
  }
}

const char *RunningName(Sim::BootImage Image) {
  switch (Image) {
    case Sim::BootImage::Bank:
      return "its firmware bank";
    case Sim::BootImage::Base:
      return "its base image";
    case Sim::BootImage::Slot0:
      return "slot 0";
    case Sim::BootImage::Slot1:
      return "slot 1";
    case Sim::BootImage::Image:
      return "its whole image";
    case Sim::BootImage::Legacy:
      return "its legacy-layout image";
    case Sim::BootImage::Rom:
      break;
  }
  return "its ROM (nothing in flash runs)";
}

std::string EsrtText(const std::vector<EFI_SYSTEM_RESOURCE_ENTRY> &Entries) {
  if (Entries.empty()) {
    return "    (no entries)\n";
  }
  std::string Out;
  for (const EFI_SYSTEM_RESOURCE_ENTRY &E : Entries) {
    Out += Format("    FwClass %s  FwType %u  FwVersion 0x%04X  LowestSupported 0x%X  LastAttempt 0x%X status %u\n",
                  Sim::GuidToString(E.FwClass).c_str(), E.FwType, E.FwVersion, E.LowestSupportedFwVersion,
                  E.LastAttemptVersion, E.LastAttemptStatus);
  }
  return Out;
}

// The camera's ESRT entry's version, if the boot published one.
std::optional<uint32_t> CameraVersion(const std::vector<EFI_SYSTEM_RESOURCE_ENTRY> &Entries) {
  for (const EFI_SYSTEM_RESOURCE_ENTRY &E : Entries) {
    if (std::memcmp(&E.FwClass, &kCameraFirmwareClass, sizeof(EFI_GUID)) == 0) {
      return E.FwVersion;
    }
  }
  return std::nullopt;
}

Bytes SetupBytes(const Sim::Machine &M) {
  const Sim::Variable *V = M.Variables.Find(Sim::kSetupVariableName, Sim::kSetupVariableGuid);
  return V == nullptr ? Bytes() : V->Data;
}

// The calls of one boot step, with the long runs of transfers, stalls and
// TPL changes folded into counts.
void TraceStep(std::FILE *Out, const std::string &Step, Sim::Platform &P, size_t First) {
  static const char *const kFolded[] = {"UsbControlTransfer", "UsbGetDeviceDescriptor", "Stall", "RaiseTPL",
                                        "RestoreTPL", "AllocatePool", "FreePool", "ProgressAdvance",
                                        "ProgressGetState", "CopyMem", "SetMem"};
  std::fprintf(Out, "  step: %s\n", Step.c_str());
  const auto &Calls = P.Boot().Calls();
  std::map<std::string, size_t> Folded;
  size_t FoldedCount = 0;
  auto Flush = [&] {
    if (FoldedCount == 0) {
      return;
    }
    std::string Counts;
    for (const auto &F : Folded) {
      Counts += (Counts.empty() ? "" : ", ") + F.first + Format(" x%zu", F.second);
    }
    std::fprintf(Out, "      ... %zu call%s: %s\n", FoldedCount, FoldedCount == 1 ? "" : "s", Counts.c_str());
    Folded.clear();
    FoldedCount = 0;
  };
  for (size_t I = First; I < Calls.size(); ++I) {
    const Sim::ServiceCall &C = Calls[I];
    const bool Fold = std::any_of(std::begin(kFolded), std::end(kFolded),
                                  [&](const char *Name) { return C.Service == Name; });
    if (Fold) {
      ++Folded[C.Service];
      ++FoldedCount;
      continue;
    }
    Flush();
    std::fprintf(Out, "    %12.3f ms  TPL %-2llu  %s(%s) = %s\n", static_cast<double>(C.TimeNs) / 1e6,
                 static_cast<unsigned long long>(C.Tpl), C.Service.c_str(), C.Detail.c_str(),
                 StatusText(C.Status).c_str());
  }
  Flush();
}

// The requests of one boot that reached the camera (not failed on the way,
// nor sent while it was off the bus), as camera-redir logs them: the time
// in brackets (here the boot's virtual seconds), then the request.
std::string RequestLines(const std::vector<Sim::UsbTransfer> &Transfers) {
  std::string Out;
  for (const Sim::UsbTransfer &T : Transfers) {
    if (T.Port != kCameraPort || T.Injected || (T.Status != EFI_SUCCESS && T.Status != EFI_DEVICE_ERROR)) {
      continue;
    }
    const bool In = (T.Setup.RequestType & 0x80) != 0;
    const bool Stall = T.Status == EFI_DEVICE_ERROR;
    Out += Format("[%10.3f] control 0x%02X 0x%02X wValue 0x%04X wIndex 0x%04X wLength %u -> %s",
                  static_cast<double>(T.TimeNs) / 1e9, T.Setup.RequestType,
                  T.Setup.Request, T.Setup.Value, T.Setup.Index, T.Setup.Length, Stall ? "stall" : "success");
    if (In) {
      Out += Format(", %zu bytes", Stall ? size_t{0} : T.Data.size());
    }
    Out += "\n";
  }
  return Out;
}

struct CapsuleInput {
  std::string Name;
  Bytes Capsule;
};

std::vector<CapsuleInput> LoadCapsules(const SimulateOptions &Options, const Sim::CameraProfile &Profile,
                                       std::string &Description) {
  std::vector<CapsuleInput> Inputs;
  if (Options.Capsules.empty()) {
    SampleOptions Sample;
    Sample.Camera = Options.Camera;
    Sample.BcdDevice = Options.SampleBcd;
    Sample.Chunk = Profile.ChunkSize;  // signed for what the camera's unit moves
    Inputs.push_back({"built-in sample", BuildCapsule(SampleImage(Sample))});
    Description = Format("the built-in sample for '%c' (image bcdDevice 0x%04X%s)", Options.Camera, Options.SampleBcd,
                         Options.Camera == 'p' || Options.Camera == 'q' ? ", signed" : "");
    return Inputs;
  }
  for (const std::string &File : Options.Capsules) {
    try {
      Inputs.push_back({File, Sim::LoadCapsuleFile(File)});
    } catch (const Sim::CapsuleFileError &E) {
      throw Error(std::string(E.what()) + "; camfw simulate takes capsule files (camfw capsule IMAGE -o FILE makes one)");
    }
  }
  Description = Format("%zu capsule file(s)", Inputs.size());
  return Inputs;
}

void PrintSetup(std::FILE *Out, const Bytes &Before, const Bytes &After) {
  std::fprintf(Out, "\"Setup\" bytes the driver writes (variable of %zu bytes):\n", After.size());
  if (After.empty()) {
    std::fprintf(Out, "  (the machine has no \"Setup\" variable)\n");
    return;
  }
  std::vector<bool> Field(After.size(), false);
  for (const auto &F : kSetupFields) {
    if (F.Offset + F.Length > After.size()) {
      std::fprintf(Out, "  %4zu..%4zu  %-20s beyond the variable's end\n", F.Offset, F.Offset + F.Length - 1, F.Name);
      continue;
    }
    const uint8_t *Now = After.data() + F.Offset;
    const bool Changed = Before.size() < F.Offset + F.Length || std::memcmp(Before.data() + F.Offset, Now, F.Length) != 0;
    std::string Value;
    if (F.Length == 2) {
      Value = Format("0x%04X", Now[0] | Now[1] << 8);
      if (Changed && Before.size() >= F.Offset + 2) {
        Value += Format(" (was 0x%04X)", Before[F.Offset] | Before[F.Offset + 1] << 8);
      }
    } else if (std::all_of(Now, Now + F.Length, [](uint8_t B) { return B == 0; })) {
      Value = Format("%zu zero bytes", F.Length);
    } else {
      Value = Hex(Now, F.Length) + " \"" + Printable(Now, F.Length) + "\"";
    }
    std::fprintf(Out, "  %4zu..%4zu  %-20s %s%s\n", F.Offset, F.Offset + F.Length - 1, F.Name, Value.c_str(),
                 Changed ? "" : "  (unchanged)");
    std::fill(Field.begin() + F.Offset, Field.begin() + F.Offset + F.Length, true);
  }
  size_t Others = 0;
  for (size_t I = 0; I < After.size(); ++I) {
    Others += !Field[I] && (I >= Before.size() || Before[I] != After[I]);
  }
  std::fprintf(Out, "  every other byte: %s\n",
               Before.size() != After.size()
                   ? Format("the size changed from %zu bytes", Before.size()).c_str()
                   : (Others == 0 ? "unchanged" : Format("%zu byte(s) changed", Others).c_str()));
}

}  // namespace

int Simulate(const SimulateOptions &Options, std::FILE *Out) {
  CheckCameraKind(Options.Camera);
  Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind(Options.Camera);
  if (Options.Chunk != 0) {
    Profile.ChunkSize = Options.Chunk;
  }
  for (const auto &Register : Options.BootRegisters) {
    Profile.BootRegisters[Register.first] = Register.second;
  }
  std::string CapsuleDescription;
  const std::vector<CapsuleInput> Capsules = LoadCapsules(Options, Profile, CapsuleDescription);

  Sim::Machine Machine;
  if (Options.EcAbsent) {
    Machine.Ec.Fault = Sim::EcFault::Absent;
  }
  auto Camera = std::make_shared<Sim::Camera>(Profile);
  Machine.UsbPorts[kCameraPort] = Camera;

  std::fprintf(Out, "camfw simulate: CameraUpdateDxe on the simulated platform (virtual time; nothing sleeps)\n");
  std::fprintf(Out, "Camera   ISP '%c' (%s), %04X:%04X bcdDevice 0x%04X, flash %u KiB (kind %u), chunk %u bytes, USB port %u\n",
               Options.Camera, LayoutName(Profile.Layout), Profile.VendorId, Profile.ProductId, Profile.BcdDevice,
               Profile.FlashSize / 1024, Profile.FlashKind, Profile.ChunkSize, kCameraPort);
  for (const auto &Register : Options.BootRegisters) {
    std::fprintf(Out, "         its boot sets register 0x%04X = 0x%02X\n", Register.first, Register.second);
  }
  std::fprintf(Out, "Bus      %s\n", Options.EnumeratedBus
                                        ? "enumerates from its root-port poll (a camera that restarts while the driver's notification runs is seen after it)"
                                        : "enumerates a camera that restarts at once");
  if (Options.EcAbsent) {
    std::fprintf(Out, "EC       absent: its ports read 0xFF\n");
  }
  std::fprintf(Out, "Capsules %s\n", CapsuleDescription.c_str());
  for (const CapsuleInput &C : Capsules) {
    EFI_CAPSULE_HEADER H;
    std::memcpy(&H, C.Capsule.data(), sizeof(H));
    std::fprintf(Out, "  %s: %u bytes, GUID %s, flags %s\n", C.Name.c_str(), H.CapsuleImageSize,
                 Sim::GuidToString(H.CapsuleGuid).c_str(), DescribeCapsuleFlags(H.Flags).c_str());
  }

  ProgressBar Bar(Out, Options.Terminal);  // outlives the boots that draw on it
  Sim::Scenario Scenario(Machine);
  Sim::BootOptions Boot;
  Boot.ProgressDisplay = true;
  Boot.PlatformHook = true;
  Boot.Prepare = [&](Sim::Platform &P) {
    P.Display().SetDrawListener([&](const Sim::PlatformDisplay &D) { Bar.Draw(D); });
    if (Options.EnumeratedBus) {
      P.Usb().SetHotPlugMode(Sim::UsbBus::HotPlugMode::Enumerated);
    }
    if (Options.PrepareBoot) {
      Options.PrepareBoot(P);
    }
  };
  if (Options.Trace) {
    Boot.AfterStep = [&](const std::string &Step, Sim::Platform &P, size_t First) {
      Bar.Finish();
      TraceStep(Out, Step, P, First);
    };
  }

  std::vector<Sim::BootReport> Reports;
  std::vector<CameraOp> UpdateOps;  // what the flash-update boots sent the camera
  size_t Transfers = 0;
  bool Settled = false;
  Bytes FlashBefore, SetupBefore;
  unsigned RestartsBefore = 0;
  std::map<std::string, size_t> Breaches;  // TPL rule breaches of all boots, by kind
  std::string Requests;
  for (unsigned Number = 1; Number <= Options.MaxBoots && !Settled; ++Number) {
    if (Number == 2) {
      // The update: the capsules wait for the next boot.
      FlashBefore = Camera->Flash();
      SetupBefore = SetupBytes(Machine);
      RestartsBefore = Camera->RestartsRequested();
      for (const CapsuleInput &C : Capsules) {
        Machine.PendingCapsules.push_back(C.Capsule);
      }
    }
    std::fprintf(Out, "\nBoot %u: %s\n", Number,
                 Machine.PendingCapsules.empty() ? "normal boot"
                                                 : Format("flash-update mode, %zu capsule(s) pending",
                                                          Machine.PendingCapsules.size()).c_str());
    const Sim::BootReport Report = Scenario.Boot(Boot);
    Bar.Finish();
    Sim::Platform &P = Scenario.Current();
    for (const Sim::TplViolation &V : P.Boot().TplViolations()) {
      ++Breaches[Format("%s at TPL %llu (limit %llu)", V.Service.c_str(), static_cast<unsigned long long>(V.Tpl),
                        static_cast<unsigned long long>(V.Limit))];
    }
    Requests += Format("boot %u\n", Number) + RequestLines(P.Usb().Transfers());
    const size_t BootTransfers = P.Usb().Transfers().size();
    Transfers += BootTransfers;
    if (Report.Capsules > 0) {
      const std::vector<CameraOp> Ops = FoldCameraOps(P.Usb().Transfers(), kCameraPort);
      UpdateOps.insert(UpdateOps.end(), Ops.begin(), Ops.end());
    }
    std::fprintf(Out, "  entry point %s; platform hook calls %zu; EC transactions %zu; progress steps %llu; USB transfers %zu\n",
                 StatusText(Report.DriverStatus).c_str(), Report.HookCalls, Report.EcTransactions,
                 static_cast<unsigned long long>(Report.ProgressSteps), BootTransfers);
    if (Report.EndedInReset()) {
      std::fprintf(Out, "  ended in a %s reset (%s) at %s%s\n", Report.Reset->Type == EfiResetCold ? "cold" : "warm",
                   StatusText(Report.Reset->Status).c_str(), Seconds(Report.Reset->TimeNs).c_str(),
                   Report.Reset->ByWatchdog ? ", by the watchdog" : "");
    } else {
      std::fprintf(Out, "  ended without a reset at %s\n", Seconds(Report.EndTimeNs).c_str());
      Settled = Number > 1;
    }
    if (Options.Trace) {
      for (const Sim::EcTransaction &T : P.Ec().Transactions()) {
        std::fprintf(Out, "  %12.3f ms  EC %s register 0x%02X = 0x%02X\n", static_cast<double>(T.TimeNs) / 1e6,
                     T.Write ? "write" : "read ", T.Register, T.Value);
      }
    }
    std::fprintf(Out, "  ESRT:\n%s", EsrtText(Report.Esrt).c_str());
    Reports.push_back(Report);
  }

  const std::vector<FlashChange> Changes = DiffFlash(FlashBefore, Camera->Flash());
  if (!Options.FlashOut.empty()) {
    WriteFile(Options.FlashOut, Camera->Flash());
  }
  if (!Options.RequestsOut.empty()) {
    WriteFile(Options.RequestsOut, Bytes(Requests.begin(), Requests.end()));
  }
  const Sim::BootReport &First = Reports.front();
  const Sim::BootReport &Last = Reports.back();
  std::fprintf(Out, "\nESRT before the update (boot 1):\n%s", EsrtText(First.Esrt).c_str());
  std::fprintf(Out, "ESRT after the update (boot %llu):\n%s", static_cast<unsigned long long>(Last.BootNumber),
               EsrtText(Last.Esrt).c_str());
  const std::optional<uint32_t> Old = CameraVersion(First.Esrt);
  const std::optional<uint32_t> New = CameraVersion(Last.Esrt);
  if (!Old || !New) {
    std::fprintf(Out, "Result: the camera's ESRT entry is missing %s\n", Old ? "after the update" : "before the update");
  } else if (*New != *Old) {
    std::fprintf(Out, "Result: the new bcdDevice 0x%04X is published (it was 0x%04X)\n", *New, *Old);
  } else if (Changes.empty()) {
    std::fprintf(Out, "Result: the ESRT entry still shows bcdDevice 0x%04X: the camera's flash is unchanged%s\n", *New,
                 Machine.PendingCapsules.empty() ? "" : " and no capsule was taken (still pending)");
  } else {
    std::fprintf(Out, "Result: the ESRT entry still shows bcdDevice 0x%04X although the camera's flash changed%s\n", *New,
                 Profile.Layout == Sim::IspLayout::WholeImage
                     ? " (the simulated whole-image ISP presents its profile's identity whatever its flash holds)"
                     : "");
  }

  std::fprintf(Out, "\nRoads taken (from the driver's requests to the camera in the flash-update boots):\n");
  for (const std::string &Line : DescribeRoads(UpdateOps)) {
    std::fprintf(Out, "  %s\n", Line.c_str());
  }
  const EFI_USB_DEVICE_DESCRIPTOR Now = Camera->DeviceDescriptor();
  std::fprintf(Out, "Camera now runs %s and presents %04X:%04X bcdDevice 0x%04X (it asked the bus for %u restart(s) or re-enumeration(s) since boot 1)\n",
               RunningName(Camera->Running()), Now.IdVendor, Now.IdProduct, Now.BcdDevice,
               Camera->RestartsRequested() - RestartsBefore);
  // Each update ends with one restart of the ISP; any more came while the
  // driver's notification ran, which only a bus that enumerates at once
  // follows.
  const size_t UpdateBoots = static_cast<size_t>(
      std::count_if(Reports.begin(), Reports.end(), [](const Sim::BootReport &R) { return R.Capsules > 0; }));
  const unsigned Restarts = Camera->RestartsRequested() - RestartsBefore;
  if (!Options.EnumeratedBus && Restarts > UpdateBoots) {
    std::fprintf(Out, "Note: the camera restarted %zu time(s) in the middle of an update, while the driver's "
                      "notification ran; this bus saw it back at once, EDK II's USB bus does not until the "
                      "notification returns (--bus enumerated shows what happens then)\n",
                 Restarts - UpdateBoots);
  }

  std::fprintf(Out, "\nFlash ranges changed (the camera's flash before boot 2 and now):\n");
  if (Changes.empty()) {
    std::fprintf(Out, "  none\n");
  }
  for (const FlashChange &C : Changes) {
    std::fprintf(Out, "  0x%05X..0x%05X  %6zu of %6u bytes differ\n", C.Range.First, C.Range.Last, C.Differing,
                 C.Range.Last - C.Range.First + 1);
  }

  std::fprintf(Out, "\n");
  PrintSetup(Out, SetupBefore, SetupBytes(Machine));

  uint64_t VirtualNs = 0;
  size_t Misuses = 0, EcViolations = 0, TplBreaches = 0;
  for (const Sim::BootReport &R : Reports) {
    VirtualNs += R.EndedInReset() ? R.Reset->TimeNs : R.EndTimeNs;
    Misuses += R.Misuses;
    EcViolations += R.EcViolations;
    TplBreaches += R.TplViolations;
  }
  std::fprintf(Out, "\nTotals: %zu boot(s), %zu USB transfers, virtual time %s; capsules still pending %zu\n",
               Reports.size(), Transfers, Seconds(VirtualNs).c_str(), Machine.PendingCapsules.size());
  std::fprintf(Out, "Checks: TPL rule breaches %zu, boot-service misuses %zu, EC protocol violations %zu%s\n",
               TplBreaches, Misuses, EcViolations, Settled ? "" : "; the machine did not settle");
  for (const auto &B : Breaches) {
    std::fprintf(Out, "  TPL rule breach: %s x%zu\n", B.first.c_str(), B.second);
  }
  return Settled && TplBreaches == 0 && Misuses == 0 && EcViolations == 0 ? 0 : 1;
}

}  // namespace Camfw
