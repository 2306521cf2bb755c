// camfw: the user-facing host tool around CameraUpdateDxe.
//
//   camfw simulate   boots the simulated platform with the driver and reports,
//                    step by step, what the driver did.
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "Sim/Camera/Camera.h"
#include "Sim/Guid.h"
#include "Sim/Platform.h"

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

int Simulate() {
  Sim::Machine Machine;
  // The laptop's camera on root port 4, running firmware 1.23.
  Sim::CameraProfile Profile;
  Profile.BcdDevice = 0x0123;
  Machine.UsbPorts[4] = std::make_shared<Sim::Camera>(Profile);
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
  for (const EFI_SYSTEM_RESOURCE_ENTRY &Entry : P.Esrt().Entries()) {
    std::printf("   ESRT entry: FwClass %s, FwType %u, FwVersion 0x%X\n", Sim::GuidToString(Entry.FwClass).c_str(),
                Entry.FwType, Entry.FwVersion);
  }

  Step(P, "4. A further trigger does nothing:", [&] { P.InstallTrigger(); });

  std::printf("Summary: ESRT entries %zu, pool buffers held %zu, TPL rule breaches %zu, misuses %zu, reset %s\n",
              P.Esrt().Entries().size(), P.Boot().LiveAllocations().size(), P.Boot().TplViolations().size(),
              P.Boot().Misuses().size(), P.BootEnded() ? "yes" : "no");
  std::printf("(The capsule update joins this run as the driver grows.)\n");
  return P.Boot().Misuses().empty() ? 0 : 1;
}

void Usage() { std::fprintf(stderr, "usage: camfw simulate\n"); }

}  // namespace

int main(int Argc, char **Argv) {
  if (Argc >= 2 && std::strcmp(Argv[1], "simulate") == 0) {
    return Simulate();
  }
  Usage();
  return 2;
}
