#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "Sim/Scenario.h"
#include "Tools/camfw/CapsuleFile.h"
#include "Tools/camfw/DriverSession.h"
#include "Tools/camfw/FaultSweeps.h"

namespace Camfw {

namespace {

constexpr uint16_t kVendor = 0x30C9;
constexpr uint16_t kProduct = 0x004A;
constexpr uint32_t kSlotOffsets[2] = {0x3000, 0x41000};  // the factory layout's slots
constexpr uint32_t kActiveSlot = 7;                       // in the two-slot header at 0
constexpr unsigned kMaxBootsAfterRetry = 3;

double SecondsSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

// The machine of one job: the road's camera on its port, in the state the
// road starts from (or a copy of another job's machine).
class Rig {
 public:
  explicit Rig(const SweepRoad &Road, bool Unsettled = false) : Road_(Road) {
    Cam_ = std::make_shared<Sim::Camera>(Road.Profile);
    Cam_->Flash() = Road.Flash;
    Cam_->SetLeavesFailedUpdateUnsettled(Unsettled);
    M_.UsbPorts[kSweepPort] = Cam_;
  }
  // A machine like Other's between two boots, camera and flash included.
  // Other's last boot is ended first: one boot at a time holds the driver
  // image.
  Rig(Rig &Other) : Road_(Other.Road_) {
    Other.Park();
    M_ = Other.M_;
    Cam_ = std::make_shared<Sim::Camera>(*Other.Cam_);
    M_.UsbPorts[kSweepPort] = Cam_;
    Misuses_ = Other.Misuses_;
  }
  Rig &operator=(const Rig &) = delete;
  // Ends the last boot's platform (and unloads its driver image).
  void Park() { S_ = std::make_unique<Sim::Scenario>(M_); }

  static Sim::BootOptions Options() {
    Sim::BootOptions O;
    O.PlatformHook = true;
    O.ProgressDisplay = true;
    return O;
  }

  Sim::BootReport Boot(const CutPoint *Cut = nullptr) {
    Sim::BootOptions O = Options();
    if (Cut != nullptr) {
      const CutPoint At = *Cut;
      O.Prepare = [At](Sim::Platform &P) { P.CutPowerAt(At.ClassRequest, At.When); };
    }
    Sim::BootReport R = S_->Boot(O);
    Misuses_ += R.Misuses;
    return R;
  }
  void HandCapsule() { M_.PendingCapsules.push_back(BuildCapsule(Road_.Payload)); }
  // Boots until a boot ends without a reset; returns the last boot's report.
  Sim::BootReport BootUntilSettled() {
    Sim::BootReport R;
    for (unsigned I = 0; I < kMaxBootsAfterRetry; ++I) {
      R = Boot();
      if (!R.EndedInReset()) {
        break;
      }
    }
    return R;
  }
  const std::vector<Sim::UsbTransfer> &LastTransfers() { return S_->Current().Usb().Transfers(); }

  Sim::Camera &Cam() { return *Cam_; }
  Sim::Machine &Machine() { return M_; }
  size_t Misuses() const { return Misuses_; }

 private:
  const SweepRoad &Road_;
  Sim::Machine M_;
  std::shared_ptr<Sim::Camera> Cam_;
  std::unique_ptr<Sim::Scenario> S_ = std::make_unique<Sim::Scenario>(M_);
  size_t Misuses_ = 0;
};

// The camera's entry in what a boot published, if any.
bool CameraVersion(const Sim::BootReport &R, uint32_t &Version) {
  for (const EFI_SYSTEM_RESOURCE_ENTRY &E : R.Esrt) {
    if (std::memcmp(&E.FwClass, &kCameraFirmwareClass, sizeof(EFI_GUID)) == 0) {
      Version = E.FwVersion;
      return true;
    }
  }
  return false;
}

Presence PresenceOf(const SweepRoad &Road, const Sim::UsbIdentity &Id) {
  if (Id.VendorId == kVendor && Id.ProductId == kProduct) {
    return Presence::Own;
  }
  const Sim::UsbIdentity &Recovery = Road.Profile.RecoveryIdentity;
  if (Id.VendorId == Recovery.VendorId && Id.ProductId == Recovery.ProductId) {
    return Presence::Recovery;
  }
  return Presence::Other;
}

Sim::UsbIdentity IdentityOf(const Sim::Camera &Cam) {
  const EFI_USB_DEVICE_DESCRIPTOR D = Cam.DeviceDescriptor();
  return {D.IdVendor, D.IdProduct, D.BcdDevice};
}

// The driver sent the camera more than discovery does (which only reads
// lengths): any SET_CUR.
bool Reached(const std::vector<Sim::UsbTransfer> &Transfers) {
  return std::any_of(Transfers.begin(), Transfers.end(), [](const Sim::UsbTransfer &T) {
    return T.Port == kSweepPort && IsClassRequest(T) && T.Setup.Request == 0x01;
  });
}

bool DeviceDataKept(const SweepRoad &Road, const Bytes &Flash) {
  if (Road.DeviceData.empty()) {
    return true;
  }
  return std::equal(Road.DeviceData.begin(), Road.DeviceData.end(), Flash.begin() + Road.DeviceDataAt) &&
         std::equal(Road.DeviceTag.begin(), Road.DeviceTag.end(), Flash.begin() + Road.DeviceTagAt);
}

CleanJob CleanJobFrom(Rig &R, const SweepRoad &Road) {
  CleanJob Clean;
  R.Boot();
  R.HandCapsule();
  R.Boot();
  Clean.UpdateBoot = R.LastTransfers();
  Clean.Steps = NameDriverSteps(Clean.UpdateBoot, kSweepPort, Road.Shape);
  for (size_t I = 0; I < Clean.UpdateBoot.size(); ++I) {
    if (IsClassRequest(Clean.UpdateBoot[I])) {
      Clean.ClassTransfers.push_back(I);
    }
  }
  const Sim::BootReport Last = R.BootUntilSettled();
  Clean.FinalFlash = R.Cam().Flash();
  Clean.Runs = R.Cam().Running();
  CameraVersion(Last, Clean.Published);
  return Clean;
}

// The slot a stretch of erases on the two-slot road belongs to.
uint8_t SlotOf(uint32_t Address) { return Address >= kSlotOffsets[1] ? 1 : Address >= kSlotOffsets[0] ? 0 : 0xFF; }

}  // namespace

CleanJob RunCleanJob(const SweepRoad &Road) {
  Rig R(Road);
  CleanJob Clean = CleanJobFrom(R, Road);
  const Sim::UsbIdentity Id = IdentityOf(R.Cam());
  if (R.Misuses() != 0 || Id.VendorId != kVendor || Id.ProductId != kProduct || Id.BcdDevice != Road.NewBcd ||
      Clean.Published != Road.NewBcd || !DeviceDataKept(Road, Clean.FinalFlash)) {
    throw Error("a clean update on the road '" + Road.Key + "' does not leave the camera running the new firmware");
  }
  return Clean;
}

std::vector<CutPoint> CutPoints(const CleanJob &Clean, const PowerCutOptions &Options) {
  std::vector<CutPoint> Points;
  const size_t Count = Clean.ClassTransfers.size();
  const size_t Stride = std::max<size_t>(Options.Stride, 1);
  for (size_t K = 1; K <= Count; ++K) {
    const TransferStep &Step = Clean.Steps[Clean.ClassTransfers[K - 1]];
    const bool FirstOfStep = K == 1 || Step.Step != Clean.Steps[Clean.ClassTransfers[K - 2]].Step;
    if ((K - 1) % Stride == 0 || FirstOfStep || K == Count) {
      Points.push_back({K, Sim::PowerCutMoment::BeforeTransfer});
    }
    if (Step.Restart || K == Count) {
      Points.push_back({K, Sim::PowerCutMoment::AfterTransfer});
    }
  }
  return Points;
}

CutOutcome RunCutJob(const SweepRoad &Road, const CleanJob &Clean, const CutPoint &Cut) {
  CutOutcome O;
  O.Cut = Cut;
  if (Cut.ClassRequest >= 1 && Cut.ClassRequest <= Clean.ClassTransfers.size()) {
    const TransferStep &Step = Clean.Steps[Clean.ClassTransfers[Cut.ClassRequest - 1]];
    O.Step = Step.Step;
    O.Operation = Step.Operation;
  }
  Rig R(Road);
  R.Boot();
  R.HandCapsule();
  const Sim::BootReport CutBoot = R.Boot(&Cut);
  O.Struck = CutBoot.EndedInReset() && CutBoot.Reset->PowerCut;

  const Sim::BootReport AfterCut = R.Boot();
  O.RunsAfterCut = R.Cam().Running();
  O.IdentityAfterCut = IdentityOf(R.Cam());
  O.PresenceAfterCut = PresenceOf(Road, O.IdentityAfterCut);
  O.PublishedAfterCut = CameraVersion(AfterCut, O.VersionAfterCut) && O.VersionAfterCut != 0;

  // A camera under its recovery identity is beyond discovery. Would an
  // update reach and mend it if discovery looked for that identity too?
  // The driver's own dispatcher, on a copy of the machine, with the camera
  // found under the recovery IDs; then a boot to see what it runs.
  if (O.PresenceAfterCut == Presence::Recovery) {
    Rig Probe(R);
    O.RecoveryIdTried = true;
    {
      DriverSession D(Probe.Machine());
      CAMERA_CONTEXT Context;
      const Sim::UsbIdentity &Recovery = Road.Profile.RecoveryIdentity;
      if (D.Find(Context, Recovery.VendorId, Recovery.ProductId)) {
        D.Update(Context, Road.Payload);
      }
    }
    Probe.Boot();
    const Sim::UsbIdentity Id = IdentityOf(Probe.Cam());
    O.RecoveryIdRecovers = PresenceOf(Road, Id) == Presence::Own && Id.BcdDevice == Road.NewBcd &&
                           DeviceDataKept(Road, Probe.Cam().Flash());
    Probe.Park();
  }

  R.HandCapsule();
  const Sim::BootReport Retry = R.Boot();
  O.RetryReached = Reached(R.LastTransfers());
  if (Retry.EndedInReset()) {
    CameraVersion(R.BootUntilSettled(), O.FinalVersion);
  } else {
    CameraVersion(Retry, O.FinalVersion);
  }
  O.FinalRuns = R.Cam().Running();
  O.FinalIdentity = IdentityOf(R.Cam());
  O.RetrySucceeded = PresenceOf(Road, O.FinalIdentity) == Presence::Own && O.FinalIdentity.BcdDevice == Road.NewBcd &&
                     O.FinalVersion == Road.NewBcd;
  O.FlashAsClean = R.Cam().Flash() == Clean.FinalFlash;
  if (!O.FlashAsClean) {
    for (const FlashChange &C : DiffFlash(Clean.FinalFlash, R.Cam().Flash(), 0x100)) {
      O.Differs.push_back(C.Range);
    }
  }
  O.DeviceDataKept = DeviceDataKept(Road, R.Cam().Flash());
  O.Misuses = R.Misuses();
  return O;
}

PowerCutSweep SweepPowerCuts(const SweepRoad &Road, const PowerCutOptions &Options) {
  const auto Start = std::chrono::steady_clock::now();
  PowerCutSweep Sweep;
  Sweep.Road = Road;
  Sweep.Clean = RunCleanJob(Road);
  for (const CutPoint &Cut : CutPoints(Sweep.Clean, Options)) {
    Sweep.Outcomes.push_back(RunCutJob(Road, Sweep.Clean, Cut));
  }
  Sweep.Seconds = SecondsSince(Start);
  return Sweep;
}

DoubleCutSweep SweepDoubleCuts(const SweepRoad &Road, const DoubleCutOptions &Options) {
  const auto Start = std::chrono::steady_clock::now();
  DoubleCutSweep Sweep;
  Sweep.Unsettled = Options.Unsettled;
  const CleanJob Clean = RunCleanJob(Road);

  // The first cuts: spread over the slot write of the first attempt.
  std::vector<size_t> SlotWrite;
  for (size_t K = 1; K <= Clean.ClassTransfers.size(); ++K) {
    if (Clean.Steps[Clean.ClassTransfers[K - 1]].Step.rfind("slot write", 0) == 0) {
      SlotWrite.push_back(K);
    }
  }
  if (SlotWrite.empty()) {
    throw Error("the road '" + Road.Key + "' has no slot write to cut");
  }
  std::vector<size_t> Firsts;
  const size_t Wanted = std::max<size_t>(Options.FirstCuts, 1);
  for (size_t I = 0; I < Wanted; ++I) {
    const size_t At = Wanted == 1 ? SlotWrite.size() / 2 : I * (SlotWrite.size() - 1) / (Wanted - 1);
    if (Firsts.empty() || Firsts.back() != SlotWrite[At]) {
      Firsts.push_back(SlotWrite[At]);
    }
  }

  for (size_t First : Firsts) {
    const CutPoint FirstCut{First, Sim::PowerCutMoment::BeforeTransfer};
    // The camera after the first cut and the boot after it: where every
    // retry of this first cut starts.
    Rig Base(Road, Options.Unsettled);
    Base.Boot();
    Base.HandCapsule();
    Base.Boot(&FirstCut);
    Base.Boot();
    const Sim::BootImage RunsAfterFirst = Base.Cam().Running();
    const uint8_t ActiveAtRetry = Base.Cam().Flash()[kActiveSlot];
    const uint8_t GoodSlot =
        RunsAfterFirst == Sim::BootImage::Slot0 ? 0 : RunsAfterFirst == Sim::BootImage::Slot1 ? 1 : 0xFF;

    // The retry uncut, for its steps and the slot it writes.
    CleanJob Retry;
    {
      Rig Uncut(Base);
      Uncut.HandCapsule();
      Uncut.Boot();
      Retry.UpdateBoot = Uncut.LastTransfers();
      Retry.Steps = NameDriverSteps(Retry.UpdateBoot, kSweepPort, Road.Shape);
      for (size_t I = 0; I < Retry.UpdateBoot.size(); ++I) {
        if (IsClassRequest(Retry.UpdateBoot[I])) {
          Retry.ClassTransfers.push_back(I);
        }
      }
    }
    uint8_t Target = 0xFF;
    for (size_t I = 0; I < Retry.Steps.size() && Target == 0xFF; ++I) {
      if (Retry.Steps[I].Step.rfind("slot erase", 0) == 0 && Retry.UpdateBoot[I].Setup.Request == 0x01 &&
          (Retry.UpdateBoot[I].Setup.Value >> 8) == 0x0D && Retry.UpdateBoot[I].Data.size() == 4) {
        const std::vector<uint8_t> &D = Retry.UpdateBoot[I].Data;
        Target = SlotOf(uint32_t(D[0]) | uint32_t(D[1]) << 8 | uint32_t(D[2]) << 16 | uint32_t(D[3]) << 24);
      }
    }

    PowerCutOptions Points;
    Points.Stride = Options.Stride;
    for (const CutPoint &Second : CutPoints(Retry, Points)) {
      DoubleCutOutcome O;
      O.First = FirstCut;
      O.Second = Second;
      O.FirstStep = Clean.Steps[Clean.ClassTransfers[First - 1]].Step;
      O.SecondStep = Retry.Steps[Retry.ClassTransfers[Second.ClassRequest - 1]].Step;
      O.RunsAfterFirst = RunsAfterFirst;
      O.ActiveSlotAtRetry = ActiveAtRetry;
      O.RetryTarget = Target;
      O.RetryOverwritesGoodSlot = GoodSlot != 0xFF && Target == GoodSlot;

      Rig R(Base);
      R.HandCapsule();
      R.Boot(&Second);
      R.Boot();
      O.RunsAfterSecond = R.Cam().Running();
      O.PresenceAfterSecond = PresenceOf(Road, IdentityOf(R.Cam()));
      R.HandCapsule();
      R.BootUntilSettled();
      const Sim::UsbIdentity Final = IdentityOf(R.Cam());
      O.ThirdAttemptSucceeds = PresenceOf(Road, Final) == Presence::Own && Final.BcdDevice == Road.NewBcd;
      Sweep.Outcomes.push_back(O);
    }
  }
  Sweep.Seconds = SecondsSince(Start);
  return Sweep;
}

std::string PresenceText(Presence P, const Sim::UsbIdentity &Id) {
  const char *What = P == Presence::Own ? "own identity" : P == Presence::Recovery ? "recovery identity" : "identity";
  return Format("%s %04X:%04X bcd %04X", What, Id.VendorId, Id.ProductId, Id.BcdDevice);
}

std::string BootImageText(Sim::BootImage Image) {
  switch (Image) {
    case Sim::BootImage::Bank:
      return "bank";
    case Sim::BootImage::Base:
      return "base image";
    case Sim::BootImage::Slot0:
      return "slot 0";
    case Sim::BootImage::Slot1:
      return "slot 1";
    case Sim::BootImage::Image:
      return "whole image";
    case Sim::BootImage::Legacy:
      return "legacy image";
    case Sim::BootImage::Rom:
      break;
  }
  return "ROM";
}

std::string CutPointText(const CutPoint &Cut) {
  return Format("%s #%llu", Cut.When == Sim::PowerCutMoment::BeforeTransfer ? "before" : "after",
                static_cast<unsigned long long>(Cut.ClassRequest));
}

}  // namespace Camfw
