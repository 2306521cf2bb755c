#include <algorithm>
#include <array>
#include <chrono>
#include <memory>

#include "Sim/Platform.h"
#include "Tools/camfw/DriverSession.h"
#include "Tools/camfw/FaultSweeps.h"
#include "Tools/camfw/FlashActivity.h"

namespace Camfw {

namespace {

constexpr uint16_t kVendor = 0x30C9;
constexpr uint16_t kProduct = 0x004A;

// The ISP's command-table slots 1..12, as the command sets lay them out.
const char *const kCommandSlotNames[13] = {"",          "read",         "fast read",    "read status",
                                           "write enable", "write disable", "sector erase", "block erase",
                                           "chip erase",  "page program", "auto-increment program",
                                           "enable write status", "write status"};

struct Bench {
  Sim::Machine M;
  std::shared_ptr<Sim::Camera> Cam;
  explicit Bench(const SweepRoad &Road) {
    Cam = std::make_shared<Sim::Camera>(Road.Profile);
    Cam->Flash() = Road.Flash;
    M.UsbPorts[kSweepPort] = Cam;
  }
  // The camera's identity at the next power-on.
  Sim::UsbIdentity IdentityAtPowerOn() {
    Sim::Platform P(M);
    const EFI_USB_DEVICE_DESCRIPTOR D = Cam->DeviceDescriptor();
    return {D.IdVendor, D.IdProduct, D.BcdDevice};
  }
};

// Whether the driver repeats a failed request of this step on its own: the
// data phase of every chunk write; on the whole-image roads every erase,
// write and read of the image; on the bank road the bank's and the bank
// header's erases and the bank's writes and reads; on the slot roads the
// slot's erases and its read-back.
bool RetryOwned(RoadShape Shape, const TransferStep &Step) {
  if (Step.DataPhase) {
    return true;
  }
  auto Is = [&](const char *Name) { return Step.Step.rfind(Name, 0) == 0; };
  if (Step.OperationKind == TransferStep::Kind::Other) {
    return false;
  }
  switch (Shape) {
    case RoadShape::WholeImage:
      return Is("image erase") || Is("image write") || Is("blank first chunk") || Is("first chunk, last") ||
             Is("image read-back");
    case RoadShape::Bank:
      return Is("bank erase") || Is("bank header erase") || Is("bank write") || Is("bank read-back");
    case RoadShape::Slot:
      return Is("slot erase") || Is("slot read-back");
  }
  return false;
}

}  // namespace

std::string StatusName(EFI_STATUS Status) {
  switch (Status) {
    case EFI_SUCCESS:
      return "EFI_SUCCESS";
    case EFI_INVALID_PARAMETER:
      return "EFI_INVALID_PARAMETER";
    case EFI_UNSUPPORTED:
      return "EFI_UNSUPPORTED";
    case EFI_BAD_BUFFER_SIZE:
      return "EFI_BAD_BUFFER_SIZE";
    case EFI_DEVICE_ERROR:
      return "EFI_DEVICE_ERROR";
    case EFI_OUT_OF_RESOURCES:
      return "EFI_OUT_OF_RESOURCES";
    case EFI_VOLUME_CORRUPTED:
      return "EFI_VOLUME_CORRUPTED";
    case EFI_NOT_FOUND:
      return "EFI_NOT_FOUND";
    case EFI_ACCESS_DENIED:
      return "EFI_ACCESS_DENIED";
    case EFI_TIMEOUT:
      return "EFI_TIMEOUT";
    case EFI_LOAD_ERROR:
      return "EFI_LOAD_ERROR";
    case EFI_SECURITY_VIOLATION:
      return "EFI_SECURITY_VIOLATION";
    case EFI_NOT_READY:
      return "EFI_NOT_READY";
    default:
      return Format("0x%llX", static_cast<unsigned long long>(Status));
  }
}

TransferFaultSweep SweepTransferFaults(const SweepRoad &Road, const TransferFaultOptions &Options) {
  const auto Start = std::chrono::steady_clock::now();
  TransferFaultSweep Sweep;
  Sweep.Road = Road;

  // A clean update: its transfers and what it leaves.
  std::vector<Sim::UsbTransfer> Clean;
  Bytes CleanFlash;
  std::array<uint8_t, 13> CleanCommands{};
  {
    Bench B(Road);
    DriverSession D(B.M);
    CAMERA_CONTEXT Context;
    if (!D.Find(Context, kVendor, kProduct)) {
      throw Error("discovery does not find the camera of the road '" + Road.Key + "'");
    }
    D.P().Usb().ClearTransfers();
    const EFI_STATUS Status = D.Update(Context, Road.Payload);
    if (Status != EFI_SUCCESS) {
      throw Error("a clean update on the road '" + Road.Key + "' returns " + StatusName(Status));
    }
    Clean = D.P().Usb().Transfers();
    CleanFlash = B.Cam->Flash();
    for (uint8_t Slot = 0; Slot < CleanCommands.size(); ++Slot) {
      CleanCommands[Slot] = B.Cam->CommandSlot(Slot);
    }
  }
  const std::vector<TransferStep> Steps = NameDriverSteps(Clean, kSweepPort, Road.Shape);
  Sweep.Transfers = Clean.size();
  // Where the dispatcher's own generation read ends: the first one after the
  // first flash identification.
  size_t KindReadBegin = Clean.size();
  size_t KindReadEnd = Clean.size();
  {
    bool Identified = false;
    bool InRead = false;
    for (size_t I = 0; I < Steps.size(); ++I) {
      const bool Read = Steps[I].Step.rfind("generation read", 0) == 0;
      if (Steps[I].Step.rfind("flash identification", 0) == 0) {
        Identified = true;
      } else if (Identified && Read) {
        KindReadBegin = InRead ? KindReadBegin : I;
        InRead = true;
        KindReadEnd = I;
      } else if (InRead) {
        break;
      }
    }
  }

  const size_t Stride = std::max<size_t>(Options.Stride, 1);
  const size_t InARow = std::max<size_t>(Options.InARow, 1);
  for (size_t N = 1; N + InARow - 1 <= Clean.size(); ++N) {
    const bool FirstOfStep = N == 1 || Steps[N - 1].Step != Steps[N - 2].Step;
    if (Options.Only.empty() ? ((N - 1) % Stride != 0 && !FirstOfStep)
                             : std::find(Options.Only.begin(), Options.Only.end(), N) == Options.Only.end()) {
      continue;
    }
    TransferFault F;
    F.First = N;
    F.Count = InARow;
    F.Step = Steps[N - 1].Step;
    F.Operation = Steps[N - 1].Operation;
    F.RetryOwned = RetryOwned(Road.Shape, Steps[N - 1]);

    Bench B(Road);
    {
      DriverSession D(B.M);
      CAMERA_CONTEXT Context;
      D.Find(Context, kVendor, kProduct);
      D.P().Usb().ClearTransfers();
      for (size_t K = 0; K < InARow; ++K) {
        D.P().Usb().FailTransfer(N + K, Options.Injected);
      }
      F.Status = D.Update(Context, Road.Payload);
      F.Leaked = D.P().Boot().LiveAllocations().size();
      F.Misuses = D.P().Boot().Misuses().size();

      // The run is the clean one up to the failure: the failed transfers
      // are named from the clean log, what followed from this run's own.
      const std::vector<Sim::UsbTransfer> &Log = D.P().Usb().Transfers();
      const std::vector<TransferStep> Seen = NameDriverSteps(Log, kSweepPort, Road.Shape);
      auto IsRestart = [](const TransferStep &S) { return S.Step.rfind("ISP restart", 0) == 0; };
      for (size_t I = N - 1; I < N - 1 + InARow; ++I) {
        F.RestartSent = F.RestartSent || IsRestart(Steps[I]);
      }
      // The dispatcher knows the generation once its own read of it (the
      // one after the flash identification) has gone through: before the
      // failure, or after it, when nothing failed any more.
      size_t LastInjected = 0;
      size_t Injected = 0;
      for (size_t I = 0; I < Log.size(); ++I) {
        if (Log[I].Injected) {
          LastInjected = I;
          ++Injected;
        }
      }
      bool Identified = false;
      F.KindKnown = N - 1 > KindReadEnd;
      for (size_t I = 0; I < Seen.size(); ++I) {
        if (I >= N - 1 + InARow && IsRestart(Seen[I])) {
          F.RestartSent = true;
        }
        if (Seen[I].Step.rfind("flash identification", 0) == 0) {
          Identified = true;
        } else if (Identified && I > LastInjected && Seen[I].Step.rfind("generation read", 0) == 0) {
          F.KindKnown = true;
        }
      }
      F.KindKnown = F.KindKnown || F.Status == EFI_SUCCESS;
      F.KindPartlyRead = N - 1 >= KindReadBegin && N - 1 <= KindReadEnd && F.Status != EFI_SUCCESS;
      F.RestartExpected = F.Status != EFI_DEVICE_ERROR;
      // Two in a row: when the road ended at the first failure, the second
      // strikes the first request the exit sequence sends, the restart's
      // register address (a length read of selector 2), and the restart
      // stops there. The log then ends with that failed request.
      const Sim::UsbTransfer *Last = Log.empty() ? nullptr : &Log.back();
      if (Injected > 1 && Last->Injected && F.RestartExpected && F.KindKnown && Last->Setup.Request == 0x85 &&
          (Last->Setup.Value >> 8) == 0x02) {
        F.RestartSent = true;
      }
      // What the ISP's command table holds now (its RAM outlives the
      // restart), against what a clean update leaves there.
      for (uint8_t Slot = 1; Slot <= 12; ++Slot) {
        if (B.Cam->CommandSlot(Slot) != CleanCommands[Slot]) {
          F.Note += Format("%scommand slot %u (%s) holds 0x%02X, not 0x%02X", F.Note.empty() ? "" : ", ", Slot,
                           kCommandSlotNames[Slot], B.Cam->CommandSlot(Slot), CleanCommands[Slot]);
        }
      }
    }
    const Bytes After = B.Cam->Flash();
    F.Absorbed = F.Status == EFI_SUCCESS && After == CleanFlash;
    F.WrongSuccess = F.Status == EFI_SUCCESS && After != CleanFlash;
    if (F.WrongSuccess) {
      // What runs at the next power-on, and where the flash is not what a
      // clean update leaves.
      const Sim::UsbIdentity Id = B.IdentityAtPowerOn();
      F.Left = Format("at the next power-on it runs %s as %04X:%04X bcd %04X; the flash differs at ",
                      BootImageText(B.Cam->Running()).c_str(), Id.VendorId, Id.ProductId, Id.BcdDevice);
      std::vector<AddressRange> Ranges;
      for (const FlashChange &C : DiffFlash(CleanFlash, After, 0x100)) {
        Ranges.push_back(C.Range);
      }
      F.Left += RangesText(Ranges);
    }

    if (Options.CheckLater) {
      {
        DriverSession Later(B.M);
        CAMERA_CONTEXT Context;
        F.LaterReached = Later.Find(Context, kVendor, kProduct);
        if (F.LaterReached) {
          F.LaterSucceeds = Later.Update(Context, Road.Payload) == EFI_SUCCESS;
        }
      }
      const Sim::UsbIdentity Id = B.IdentityAtPowerOn();
      F.LaterSucceeds = F.LaterSucceeds && Id.VendorId == kVendor && Id.ProductId == kProduct &&
                        Id.BcdDevice == Road.NewBcd;
    }
    Sweep.Faults.push_back(F);
  }
  Sweep.Clean = Clean;
  Sweep.Steps = Steps;
  const auto End = std::chrono::steady_clock::now();
  Sweep.Seconds = std::chrono::duration<double>(End - Start).count();
  return Sweep;
}

}  // namespace Camfw
