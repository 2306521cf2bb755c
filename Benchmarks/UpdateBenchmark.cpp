// Benchmarks of the driver's update roads on the simulated platform:
//
// - WholeImageUpdate1MiB: a whole-image update of a 1 MiB image through the
//   real driver code, timed on the host; the counters give the simulated
//   extension-unit transfers per second and the virtual time it took;
// - Road/<road>: the capsule boot of each road (whole image, bank, banked
//   ISP's whole image, two-slot, two-slot fallback), once per iteration; the
//   counters give its transfers, virtual time and pool peak;
// - NormalBoot: a boot without a capsule, from the trigger's installation
//   to the driver closing its event, in virtual time.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <Library/LibraryConstructors.h>

#include "CameraContext.h"
#include "Sim/Camera/Camera.h"
#include "Sim/Capsule.h"
#include "Sim/Platform.h"
#include "Sim/Scenario.h"
#include "Tools/camfw/CapsuleFile.h"
#include "Tools/camfw/SampleImages.h"
#include "UpdateEngine.h"

namespace {

void PutDescriptor(std::vector<uint8_t> &Image, size_t At, uint16_t Bcd) {
  const uint8_t Bytes[] = {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0xC9, 0x30, 0x4A, 0x00, uint8_t(Bcd), uint8_t(Bcd >> 8)};
  std::copy(Bytes, Bytes + sizeof(Bytes), Image.begin() + At);
}

std::vector<uint8_t> Distinct(size_t Size) {
  std::vector<uint8_t> Image(Size);
  for (size_t K = 0; K < Size; ++K) {
    Image[K] = uint8_t(K * 31 + K / 509 + 1);
  }
  return Image;
}

void BM_WholeImageUpdate1MiB(benchmark::State &State) {
  uint64_t Transfers = 0;
  uint64_t VirtualNs = 0;
  for (auto _ : State) {
    State.PauseTiming();
    Sim::Platform P;
    EFI_SYSTEM_TABLE *System = P.SystemTable();
    UefiBootServicesTableLibConstructor(P.ImageHandle(), System);
    UefiRuntimeServicesTableLibConstructor(P.ImageHandle(), System);
    HobLibConstructor(P.ImageHandle(), System);
    Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('k');
    Profile.ChunkSize = 0x1000;
    Profile.FlashSize = 2u << 20;
    P.Usb().Attach(1, std::make_shared<Sim::Camera>(Profile));
    CAMERA_CONTEXT Context{};
    FindCameraDevice(&Context, 0x30C9, 0x004A);
    std::vector<uint8_t> Image = Distinct(1u << 20);
    Image[0] = 0x41;
    PutDescriptor(Image, 0x400, 0x0200);
    P.Usb().ClearTransfers();
    const uint64_t Start = P.Clock().NowNs();
    State.ResumeTiming();

    const EFI_STATUS Status = UpdateCameraFirmware(&Context, Image.data(), Image.size(), nullptr, TRUE);

    State.PauseTiming();
    if (Status != EFI_SUCCESS) {
      State.SkipWithError("the whole-image update failed");
      break;
    }
    Transfers += P.Usb().Transfers().size();
    VirtualNs += P.Clock().NowNs() - Start;
    State.ResumeTiming();
  }
  State.counters["transfers"] = benchmark::Counter(double(Transfers), benchmark::Counter::kAvgIterations);
  State.counters["transfers_per_s"] = benchmark::Counter(double(Transfers), benchmark::Counter::kIsRate);
  State.counters["virtual_s"] = benchmark::Counter(double(VirtualNs) / 1e9, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_WholeImageUpdate1MiB)->Unit(benchmark::kMillisecond);

// One road: the camera and the image it gets.
struct Road {
  const char *Name;
  Sim::CameraProfile Profile;
  std::vector<uint8_t> Firmware;  // what the camera holds from address 0 before, if anything
  std::vector<uint8_t> Image;
};

Road MakeRoad(const std::string &Name) {
  Camfw::SampleOptions Sample;
  if (Name == "G") {
    Sample.Camera = 'k';
    return {"G", Sim::CameraProfile::ForIspKind('k'), {}, Camfw::SampleImage(Sample)};
  }
  if (Name == "N-bank") {
    Sample.Camera = 'n';
    return {"N-bank", Sim::CameraProfile::ForIspKind('n'), {}, Camfw::SampleImage(Sample)};
  }
  if (Name == "N-whole") {
    Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('n');
    Profile.BootRegisters[0x20D9] = 0x00;
    std::vector<uint8_t> Base = Distinct(0x5000);
    Base[0x100] = 'C';
    Base[0x101] = 'Y';
    PutDescriptor(Base, 0x300, 0x0200);
    return {"N-whole", Profile, {}, Base};
  }
  if (Name == "P-slot") {
    const Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('p');
    Sample.Camera = 'p';
    Sample.Chunk = Profile.ChunkSize;
    return {"P-slot", Profile, {}, Camfw::SampleImage(Sample)};
  }
  // P-fallback: a two-slot camera running legacy-layout firmware gets a
  // legacy-layout image whole, with its digest record appended.
  Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('p');
  Profile.FactoryImage = false;
  auto Legacy = [](uint16_t Bcd, uint8_t TailByte) {
    std::vector<uint8_t> Image = Distinct(0x4000);
    Image[0x100] = 0x95;
    Image[0x101] = 0x27;
    std::fill(Image.begin() + 0x124, Image.begin() + 0x128, TailByte);
    std::fill(Image.begin() + 0x12C, Image.begin() + 0x130, 0x00);
    PutDescriptor(Image, 0x600, Bcd);
    return Image;
  };
  std::vector<uint8_t> Image = Legacy(0x0200, 0xFF);
  Image.insert(Image.end(), 160, 0x00);
  return {"P-fallback", Profile, Legacy(0x0100, 0x40), Image};
}

void BM_Road(benchmark::State &State, const std::string &Name) {
  const Road R = MakeRoad(Name);
  uint64_t Transfers = 0;
  uint64_t VirtualNs = 0;
  size_t PoolPeak = 0;
  for (auto _ : State) {
    State.PauseTiming();
    Sim::Machine M;
    auto Cam = std::make_shared<Sim::Camera>(R.Profile);
    std::copy(R.Firmware.begin(), R.Firmware.end(), Cam->Flash().begin());
    M.UsbPorts[4] = Cam;
    M.PendingCapsules.push_back(Sim::MakeCapsule(Camfw::kCameraFirmwareClass, CAPSULE_FLAGS_PERSIST_ACROSS_RESET, R.Image));
    Sim::Scenario S(M);
    Sim::BootOptions O;
    O.PlatformHook = true;
    O.ProgressDisplay = true;
    State.ResumeTiming();

    const Sim::BootReport Report = S.Boot(O);

    State.PauseTiming();
    if (!Report.EndedInReset()) {
      State.SkipWithError("the capsule boot did not end in a reset");
      break;
    }
    Transfers += S.Current().Usb().Transfers().size();
    VirtualNs += Report.EndTimeNs;
    PoolPeak = std::max(PoolPeak, S.Current().Boot().PeakPoolBytes());
    State.ResumeTiming();
  }
  State.counters["transfers"] = benchmark::Counter(double(Transfers), benchmark::Counter::kAvgIterations);
  State.counters["virtual_s"] = benchmark::Counter(double(VirtualNs) / 1e9, benchmark::Counter::kAvgIterations);
  State.counters["pool_peak_bytes"] = double(PoolPeak);
}
BENCHMARK_CAPTURE(BM_Road, G, std::string("G"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Road, N_bank, std::string("N-bank"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Road, N_whole, std::string("N-whole"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Road, P_slot, std::string("P-slot"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Road, P_fallback, std::string("P-fallback"))->Unit(benchmark::kMillisecond);

void BM_NormalBoot(benchmark::State &State) {
  uint64_t VirtualNs = 0;
  uint64_t Boots = 0;
  for (auto _ : State) {
    Sim::Machine M;
    M.UsbPorts[4] = std::make_shared<Sim::Camera>(Sim::CameraProfile::ForIspKind('p'));
    Sim::Scenario S(M);
    Sim::BootOptions O;
    uint64_t TriggerNs = 0;
    O.AfterStep = [&](const std::string &Step, Sim::Platform &P, size_t FirstCall) {
      if (Step == "install the trigger" && FirstCall < P.Boot().Calls().size()) {
        TriggerNs = P.Boot().Calls()[FirstCall].TimeNs;
      }
    };
    S.Boot(O);
    uint64_t ClosedNs = 0;
    for (const Sim::ServiceCall &C : S.Current().Boot().Calls()) {
      if (C.Service == "CloseEvent") {
        ClosedNs = C.TimeNs;
      }
    }
    if (ClosedNs < TriggerNs || ClosedNs == 0) {
      State.SkipWithError("the driver's event was not closed");
      break;
    }
    VirtualNs += ClosedNs - TriggerNs;
    ++Boots;
  }
  State.counters["virtual_ms"] = benchmark::Counter(Boots ? double(VirtualNs) / 1e6 / double(Boots) : 0.0);
}
BENCHMARK(BM_NormalBoot)->Unit(benchmark::kMillisecond);

}  // namespace
