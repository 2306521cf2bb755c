#include "Fuzz/Harness/FuzzedCamera.h"

#include <algorithm>
#include <cstdint>

#include "Fuzz/Harness/FuzzInput.h"

namespace Fuzz {

namespace {

enum Action : uint8_t { kStall, kTimeOut, kLost, kShort, kWrite, kFlip, kSwitch, kFlash, kNothing, kActions };

constexpr uint8_t kFlashDataSelector = 0x0F;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kSetCur = 0x01;

}  // namespace

FuzzedCamera::FuzzedCamera(std::shared_ptr<Sim::Camera> Inner, const std::vector<uint8_t> &Script)
    : Inner_(std::move(Inner)), SmallestChunk_(Inner_->Profile().ChunkSize) {
  ByteReader In(Script.data(), Script.size());
  uint64_t At = 0;
  while (!In.Empty()) {
    Event E;
    At += In.Le16();
    E.At = At;
    E.Action = In.U8() % kActions;
    switch (E.Action) {
      case kLost:
      case kShort:
        E.Args = In.Bytes(1);
        break;
      case kWrite: {
        E.Args = In.Bytes(2);
        const size_t Count = E.Args.size() == 2 ? E.Args[1] : 0;
        const std::vector<uint8_t> Bytes = In.Bytes(Count);
        E.Args.insert(E.Args.end(), Bytes.begin(), Bytes.end());
        break;
      }
      case kFlip:
        E.Args = In.Bytes(2);
        break;
      case kSwitch:
        E.Args = In.Bytes(4);
        break;
      case kFlash: {
        E.Args = In.Bytes(4);
        const size_t Count = E.Args.size() == 4 ? E.Args[3] : 0;
        const std::vector<uint8_t> Bytes = In.Bytes(Count);
        E.Args.insert(E.Args.end(), Bytes.begin(), Bytes.end());
        break;
      }
      default:
        break;
    }
    E.Args.resize(std::max<size_t>(E.Args.size(), 4), 0);  // missing arguments read as zero
    Events_.push_back(std::move(E));
  }
}

void FuzzedCamera::PowerOn() {
  Inner_->PluggedInto(Bus_, Port_);
  Inner_->PowerOn();
}

void FuzzedCamera::Restarted() {
  Inner_->PluggedInto(Bus_, Port_);
  Inner_->Restarted();
}

void FuzzedCamera::ApplyHardware(const Event &E) {
  const std::vector<uint8_t> &A = E.Args;
  if (E.Action == kSwitch) {
    const uint16_t B = static_cast<uint16_t>(A[2] | A[3] << 8);
    switch (A[0] % 7) {
      case 0:
        Inner_->OverrideLength(A[1], B);
        break;
      case 1:
        Inner_->SetSpiBusyPolls(B);
        break;
      case 2:
        Inner_->SetSpiNeverReady((A[1] & 1) != 0);
        break;
      case 3:
        Inner_->SetWindowClosePolls(B);
        break;
      case 4:
        Inner_->SetWindowNeverCloses((A[1] & 1) != 0);
        break;
      case 5:
        Inner_->RefuseCommandSlot(A[1]);
        break;
      default:
        Inner_->SetRegister(B, A[1]);
        break;
    }
  } else if (E.Action == kFlash) {
    std::vector<uint8_t> &Memory = Inner_->Flash();
    if (!Memory.empty()) {
      const size_t Address = (A[0] | A[1] << 8 | A[2] << 16) % Memory.size();
      const size_t Count = std::min<size_t>(A[3], Memory.size() - Address);
      std::copy(A.begin() + 4, A.begin() + 4 + static_cast<std::ptrdiff_t>(std::min(Count, A.size() - 4)),
                Memory.begin() + static_cast<std::ptrdiff_t>(Address));
    }
  }
}

EFI_STATUS FuzzedCamera::Control(const Sim::UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                                 std::vector<uint8_t> &Data) {
  Inner_->PluggedInto(Bus_, Port_);
  const uint64_t Number = ++Requests_;

  // The events of this request (and any left from request 0).
  bool Fail = false;
  EFI_STATUS FailStatus = EFI_SUCCESS;
  bool Reach = true;
  size_t Cut = SIZE_MAX;
  std::vector<const Event *> Edits;
  while (Next_ < Events_.size() && Events_[Next_].At <= Number) {
    const Event &E = Events_[Next_++];
    switch (E.Action) {
      case kStall:
        Fail = true;
        Reach = false;
        FailStatus = EFI_DEVICE_ERROR;
        break;
      case kTimeOut:
        Fail = true;
        Reach = false;
        FailStatus = EFI_TIMEOUT;
        break;
      case kLost:
        Fail = true;
        FailStatus = (E.Args[0] & 1) ? EFI_TIMEOUT : EFI_DEVICE_ERROR;
        break;
      case kShort:
        Cut = std::min<size_t>(Cut, E.Args[0]);
        break;
      case kWrite:
      case kFlip:
        Edits.push_back(&E);
        break;
      case kSwitch:
      case kFlash:
        ApplyHardware(E);
        break;
      default:
        break;
    }
  }

  auto Edit = [&](std::vector<uint8_t> &Bytes, size_t Limit) {
    for (const Event *E : Edits) {
      const size_t At = E->Args[0];
      if (E->Action == kFlip) {
        if (At < Bytes.size()) {
          Bytes[At] ^= E->Args[1];
        }
        continue;
      }
      const size_t Count = std::min<size_t>(E->Args[1], E->Args.size() - 2);
      for (size_t K = 0; K < Count && At + K < Limit; ++K) {
        if (At + K >= Bytes.size()) {
          Bytes.resize(At + K + 1, 0);
        }
        Bytes[At + K] = E->Args[2 + K];
      }
    }
  };

  EFI_STATUS Status = FailStatus;
  if (Reach) {
    if (Direction == EfiUsbDataOut) {
      Edit(Data, Data.size());
    }
    if (Setup.RequestType != 0 && (Setup.Request == kGetCur || Setup.Request == kSetCur) &&
        (Setup.Value >> 8) == kFlashDataSelector && DataLength != 0) {
      SmallestChunk_ = std::min(SmallestChunk_, DataLength);
    }
    const EFI_STATUS Answered = Inner_->Control(Setup, Direction, DataLength, Data);
    Status = Fail ? FailStatus : Answered;
    if (Direction == EfiUsbDataIn && !EFI_ERROR(Status)) {
      Edit(Data, DataLength);
      if (Data.size() > Cut) {
        Data.resize(Cut);
      }
    }
  }
  if (Listener_) {
    Listener_();
  }
  return Status;
}

}  // namespace Fuzz
