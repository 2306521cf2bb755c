// camfw: the user-facing host tool around CameraUpdateDxe.
//
//   camfw simulate   boots the simulated platform with the driver and reports,
//                    step by step, what the driver did.
//   camfw simulate --capsule FILE [--capsule FILE]...
//                    hands the capsule files to the simulated machine and
//                    boots it until a boot ends without a reset, reporting
//                    what each boot did.
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Sim/Camera/Camera.h"
#include "Sim/Capsule.h"
#include "Sim/Guid.h"
#include "Sim/Platform.h"
#include "Sim/Scenario.h"

namespace {

const char *StatusText(EFI_STATUS Status) {
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
    case EFI_BUFFER_TOO_SMALL:
      return "EFI_BUFFER_TOO_SMALL";
    case EFI_DEVICE_ERROR:
      return "EFI_DEVICE_ERROR";
    case EFI_TIMEOUT:
      return "EFI_TIMEOUT";
    case EFI_NOT_STARTED:
      return "EFI_NOT_STARTED";
    default:
      return "EFI error";
  }
}

// Prints the boot-service calls logged since Mark, as the driver made them.
void PrintCalls(Sim::Platform &P, size_t Mark) {
  const auto &Calls = P.Boot().Calls();
  for (size_t I = Mark; I < Calls.size(); ++I) {
    const Sim::ServiceCall &C = Calls[I];
    std::printf("    %10.3f ms  TPL %-2llu  %s(%s) = %s\n", static_cast<double>(C.TimeNs) / 1e6,
                static_cast<unsigned long long>(C.Tpl), C.Service.c_str(), C.Detail.c_str(), StatusText(C.Status));
  }
}

// Runs one step of the boot as platform code and prints what was called.
void Step(Sim::Platform &P, const char *Title, const std::function<void()> &Action) {
  std::printf("%s\n", Title);
  const size_t Mark = P.Boot().Calls().size();
  Action();
  PrintCalls(P, Mark);
}

// The laptop's camera on root port 4, running firmware 1.23.
Sim::CameraProfile PlugCamera(Sim::Machine &Machine) {
  Sim::CameraProfile Profile;
  Profile.BcdDevice = 0x0123;
  Machine.UsbPorts[4] = std::make_shared<Sim::Camera>(Profile);
  return Profile;
}

void PrintEsrt(const std::vector<EFI_SYSTEM_RESOURCE_ENTRY> &Entries) {
  for (const EFI_SYSTEM_RESOURCE_ENTRY &Entry : Entries) {
    std::printf("   ESRT entry: FwClass %s, FwType %u, FwVersion 0x%X, last attempt 0x%X status %u\n",
                Sim::GuidToString(Entry.FwClass).c_str(), Entry.FwType, Entry.FwVersion, Entry.LastAttemptVersion,
                Entry.LastAttemptStatus);
  }
}

int Simulate() {
  Sim::Machine Machine;
  Sim::CameraProfile Profile = PlugCamera(Machine);
  Sim::Platform P(Machine);

  std::printf("Simulated boot of the platform (virtual time; nothing sleeps)\n");
  std::printf("Camera %04X:%04X, bcdDevice %04X, on USB port 4\n", Profile.VendorId, Profile.ProductId,
              Profile.BcdDevice);
  EFI_STATUS Status = EFI_LOAD_ERROR;
  Step(P, "1. The DXE dispatcher loads CameraUpdateDxe and runs its entry point:", [&] { Status = P.LoadDriver(); });
  std::printf("   entry point returned %s; port accesses: %zu\n", StatusText(Status), P.Ports().Log().size());
  if (EFI_ERROR(Status)) {
    return 1;
  }

  Step(P, "2. The platform installs the update trigger before ESRT management exists:", [&] { P.InstallTrigger(); });
  std::printf("   the check found no ESRT management and stays armed (%zu live event)\n", P.Boot().LiveEventCount());

  Step(P, "3. The platform installs ESRT management, then the trigger again:", [&] {
    P.InstallEsrtManagement();
    P.InstallTrigger();
  });
  std::printf("   the check ran to its end and closed its event (%zu live events)\n", P.Boot().LiveEventCount());
  PrintEsrt(P.Esrt().Entries());

  Step(P, "4. A further trigger does nothing:", [&] { P.InstallTrigger(); });

  std::printf("Summary: ESRT entries %zu, pool buffers held %zu, TPL rule breaches %zu, misuses %zu, reset %s\n",
              P.Esrt().Entries().size(), P.Boot().LiveAllocations().size(), P.Boot().TplViolations().size(),
              P.Boot().Misuses().size(), P.BootEnded() ? "yes" : "no");
  std::printf("(camfw simulate --capsule FILE boots the machine with capsules until it settles.)\n");
  return P.Boot().Misuses().empty() ? 0 : 1;
}

// What a boot of a capsule run did that concerns the update: the platform
// hook, variables and resets from the call log, and the EC's register
// transactions.
void PrintUpdateCalls(Sim::Platform &P) {
  for (const Sim::ServiceCall &C : P.Boot().Calls()) {
    if (C.Service.rfind("HookSlot", 0) == 0 || C.Service == "GetVariable" || C.Service == "SetVariable" ||
        C.Service == "ResetSystem") {
      std::printf("    %10.3f ms  TPL %-2llu  %s(%s) = %s\n", static_cast<double>(C.TimeNs) / 1e6,
                  static_cast<unsigned long long>(C.Tpl), C.Service.c_str(), C.Detail.c_str(), StatusText(C.Status));
    }
  }
  for (const Sim::EcTransaction &T : P.Ec().Transactions()) {
    std::printf("    %10.3f ms  EC %s register 0x%02X = 0x%02X\n", static_cast<double>(T.TimeNs) / 1e6,
                T.Write ? "write" : "read ", T.Register, T.Value);
  }
  for (const Sim::EcViolation &V : P.Ec().Violations()) {
    std::printf("    %10.3f ms  EC protocol violation: %s\n", static_cast<double>(V.TimeNs) / 1e6, V.What.c_str());
  }
}

int SimulateCapsules(const std::vector<std::string> &Files) {
  Sim::Machine Machine;
  Sim::CameraProfile Profile = PlugCamera(Machine);
  for (const std::string &File : Files) {
    try {
      Machine.PendingCapsules.push_back(Sim::LoadCapsuleFile(File));
    } catch (const Sim::CapsuleFileError &Error) {
      std::fprintf(stderr, "camfw: %s\n", Error.what());
      return 2;
    }
  }
  std::printf("Simulated boots of the platform with %zu capsule(s) (virtual time; nothing sleeps)\n", Files.size());
  std::printf("Camera %04X:%04X, bcdDevice %04X, on USB port 4\n", Profile.VendorId, Profile.ProductId,
              Profile.BcdDevice);
  for (size_t I = 0; I < Files.size(); ++I) {
    EFI_CAPSULE_HEADER Header;
    std::memcpy(&Header, Machine.PendingCapsules[I].data(), sizeof(Header));
    std::printf("Capsule %s: GUID %s, flags 0x%X, %u bytes\n", Files[I].c_str(),
                Sim::GuidToString(Header.CapsuleGuid).c_str(), Header.Flags, Header.CapsuleImageSize);
  }

  Sim::Scenario Scenario(Machine);
  Sim::BootOptions Options;
  Options.ProgressDisplay = true;
  Options.PlatformHook = true;
  constexpr unsigned kMaxBoots = 4;
  bool Clean = true;
  bool Settled = false;
  for (unsigned Boot = 1; Boot <= kMaxBoots && !Settled; ++Boot) {
    Sim::BootReport Report = Scenario.Boot(Options);
    Sim::Platform &P = Scenario.Current();
    std::printf("Boot %llu: %s, %zu capsule HOB(s); the driver's entry point returned %s\n",
                static_cast<unsigned long long>(Report.BootNumber),
                Report.BootMode == BOOT_ON_FLASH_UPDATE ? "flash-update mode" : "normal boot", Report.Capsules,
                StatusText(Report.DriverStatus));
    PrintUpdateCalls(P);
    std::printf("   platform hook calls %zu, progress steps %llu, EC transactions %zu\n", Report.HookCalls,
                static_cast<unsigned long long>(Report.ProgressSteps), Report.EcTransactions);
    if (Report.EndedInReset()) {
      std::printf("   ended in a %s reset at %.3f ms\n", Report.Reset->Type == EfiResetCold ? "cold" : "other",
                  static_cast<double>(Report.Reset->TimeNs) / 1e6);
    } else {
      std::printf("   ended without a reset at %.3f ms\n", static_cast<double>(Report.EndTimeNs) / 1e6);
      Settled = true;
    }
    PrintEsrt(Report.Esrt);
    std::printf("   TPL rule breaches %zu, misuses %zu, EC protocol violations %zu\n", Report.TplViolations,
                Report.Misuses, Report.EcViolations);
    Clean = Clean && Report.Misuses == 0 && Report.EcViolations == 0;
  }
  std::printf("Summary: %s after %llu boot(s), capsules still pending %zu\n",
              Settled ? "settled" : "still resetting", static_cast<unsigned long long>(Machine.Boots),
              Machine.PendingCapsules.size());
  return Settled && Clean ? 0 : 1;
}

void Usage() { std::fprintf(stderr, "usage: camfw simulate [--capsule FILE]...\n"); }

}  // namespace

int main(int Argc, char **Argv) {
  if (Argc >= 2 && std::strcmp(Argv[1], "simulate") == 0) {
    std::vector<std::string> Capsules;
    for (int I = 2; I < Argc; ++I) {
      if (std::strcmp(Argv[I], "--capsule") == 0 && I + 1 < Argc) {
        Capsules.push_back(Argv[++I]);
      } else {
        Usage();
        return 2;
      }
    }
    return Capsules.empty() ? Simulate() : SimulateCapsules(Capsules);
  }
  Usage();
  return 2;
}
