#include "Sim/UsbBus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <Protocol/DevicePath.h>

#include "Sim/DevicePathUtil.h"

namespace Sim {

namespace {

UsbBus::Interface *FromThis(EFI_USB_IO_PROTOCOL *This) {
  // The protocol is the instance's first member.
  return reinterpret_cast<UsbBus::Interface *>(This);
}

EFIAPI EFI_STATUS ThunkControlTransfer(EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_REQUEST *Request,
                                       EFI_USB_DATA_DIRECTION Direction, UINT32 Timeout, VOID *Data, UINTN DataLength,
                                       UINT32 *Status) {
  if (This == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  UsbBus::Interface *If = FromThis(This);
  return If->Bus->ControlTransfer(If, Request, Direction, Timeout, Data, DataLength, Status);
}
EFIAPI EFI_STATUS ThunkBulkTransfer(EFI_USB_IO_PROTOCOL *This, UINT8, VOID *, UINTN *, UINTN, UINT32 *) {
  return FromThis(This)->Bus->Unsupported("UsbBulkTransfer");
}
EFIAPI EFI_STATUS ThunkAsyncInterruptTransfer(EFI_USB_IO_PROTOCOL *This, UINT8, BOOLEAN, UINTN, UINTN,
                                              EFI_ASYNC_USB_TRANSFER_CALLBACK, VOID *) {
  return FromThis(This)->Bus->Unsupported("UsbAsyncInterruptTransfer");
}
EFIAPI EFI_STATUS ThunkSyncInterruptTransfer(EFI_USB_IO_PROTOCOL *This, UINT8, VOID *, UINTN *, UINTN, UINT32 *) {
  return FromThis(This)->Bus->Unsupported("UsbSyncInterruptTransfer");
}
EFIAPI EFI_STATUS ThunkIsochronousTransfer(EFI_USB_IO_PROTOCOL *This, UINT8, VOID *, UINTN, UINT32 *) {
  return FromThis(This)->Bus->Unsupported("UsbIsochronousTransfer");
}
EFIAPI EFI_STATUS ThunkAsyncIsochronousTransfer(EFI_USB_IO_PROTOCOL *This, UINT8, VOID *, UINTN,
                                                EFI_ASYNC_USB_TRANSFER_CALLBACK, VOID *) {
  return FromThis(This)->Bus->Unsupported("UsbAsyncIsochronousTransfer");
}
EFIAPI EFI_STATUS ThunkGetDeviceDescriptor(EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_DESCRIPTOR *Descriptor) {
  return FromThis(This)->Bus->GetDeviceDescriptor(FromThis(This), Descriptor);
}
EFIAPI EFI_STATUS ThunkGetConfigDescriptor(EFI_USB_IO_PROTOCOL *This, EFI_USB_CONFIG_DESCRIPTOR *Descriptor) {
  return FromThis(This)->Bus->GetConfigDescriptor(FromThis(This), Descriptor);
}
EFIAPI EFI_STATUS ThunkGetInterfaceDescriptor(EFI_USB_IO_PROTOCOL *This, EFI_USB_INTERFACE_DESCRIPTOR *Descriptor) {
  return FromThis(This)->Bus->GetInterfaceDescriptor(FromThis(This), Descriptor);
}
EFIAPI EFI_STATUS ThunkGetEndpointDescriptor(EFI_USB_IO_PROTOCOL *This, UINT8 Index,
                                             EFI_USB_ENDPOINT_DESCRIPTOR *Descriptor) {
  return FromThis(This)->Bus->GetEndpointDescriptor(FromThis(This), Index, Descriptor);
}
EFIAPI EFI_STATUS ThunkGetStringDescriptor(EFI_USB_IO_PROTOCOL *This, UINT16, UINT8, CHAR16 **) {
  return FromThis(This)->Bus->Unsupported("UsbGetStringDescriptor");
}
EFIAPI EFI_STATUS ThunkGetSupportedLanguages(EFI_USB_IO_PROTOCOL *This, UINT16 **, UINT16 *) {
  return FromThis(This)->Bus->Unsupported("UsbGetSupportedLanguages");
}
EFIAPI EFI_STATUS ThunkPortReset(EFI_USB_IO_PROTOCOL *This) {
  return FromThis(This)->Bus->Unsupported("UsbPortReset");
}

EFIAPI VOID EnumerationTimerNotify(EFI_EVENT, VOID *Context) { static_cast<UsbBus *>(Context)->Enumerate(); }

// USB I/O services are protocol member functions: callable up to TPL_NOTIFY.
constexpr EFI_TPL kUsbIoTplLimit = TPL_NOTIFY;

}  // namespace

UsbBus::UsbBus(BootServicesSim &Boot, VirtualClock &Clock, UsbPortMap &Ports)
    : Boot_(Boot), Clock_(Clock), Machine_(Ports) {
  std::vector<uint8_t> Path = DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Build();
  SetHostControllerPath(Path);
  // What the machine has plugged in is there from power-on and enumerated
  // during boot, before any driver loads.
  for (auto &Entry : Machine_) {
    Entry.second->PowerOn();
    Entry.second->PluggedInto(this, Entry.first);
    PortState &State = Ports_[Entry.first];
    State.Device = Entry.second;
    State.Attachment = 1;
  }
  Enumerate();
}

UsbBus::~UsbBus() = default;

void UsbBus::SetHostControllerPath(const std::vector<uint8_t> &Path) {
  const size_t Size = DevicePathSize(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Path.data()), Path.size());
  if (Size == 0) {
    std::fprintf(stderr, "UsbBus: malformed host controller path\n");
    std::abort();
  }
  HostControllerPath_.assign(Path.begin(), Path.begin() + static_cast<long>(Size - END_DEVICE_PATH_LENGTH));
}

void UsbBus::SetHotPlugMode(HotPlugMode Mode) {
  Mode_ = Mode;
  if (Mode == HotPlugMode::Enumerated && EnumerationTimer_ == nullptr) {
    // The root-port poll, as a bus driver arms it: a periodic TPL_CALLBACK timer.
    Boot_.CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, EnumerationTimerNotify, this, &EnumerationTimer_);
    Boot_.SetTimer(EnumerationTimer_, TimerPeriodic, kEnumerationPeriodNs / 100);
  } else if (Mode == HotPlugMode::Immediate && EnumerationTimer_ != nullptr) {
    Boot_.CloseEvent(EnumerationTimer_);
    EnumerationTimer_ = nullptr;
    Enumerate();
  }
}

void UsbBus::Attach(uint8_t Port, std::shared_ptr<UsbDeviceModel> Device) {
  Device->PowerOn();
  Machine_[Port] = Device;
  SetPresent(Port, std::move(Device));
}

void UsbBus::Detach(uint8_t Port) {
  Machine_.erase(Port);
  SetPresent(Port, nullptr);
}

void UsbBus::SetPresent(uint8_t Port, std::shared_ptr<UsbDeviceModel> Device) {
  PortState &State = Ports_[Port];
  if (Device) {
    Device->PluggedInto(this, Port);
  }
  State.Device = std::move(Device);
  ++State.Attachment;
  if (Mode_ == HotPlugMode::Immediate) {
    Enumerate();
  }
}

void UsbBus::Replug(uint8_t Port, uint64_t LeaveAfterNs, uint64_t ReturnAfterNs) {
  std::shared_ptr<UsbDeviceModel> Device = Ports_[Port].Device;
  if (!Device) {
    return;
  }
  const uint64_t LeaveAt = Clock_.NowNs() + LeaveAfterNs;
  // Without power the device neither leaves nor comes back: it stays as the
  // cut left it until the next power-on.
  Boot_.ScheduleHardwareEvent(LeaveAt, [this, Port] {
    if (!PoweredOff_) {
      SetPresent(Port, nullptr);
    }
  });
  Boot_.ScheduleHardwareEvent(LeaveAt + ReturnAfterNs, [this, Port, Device] {
    if (PoweredOff_) {
      return;
    }
    // Still the machine's device (not unplugged by hand meanwhile)?
    auto It = Machine_.find(Port);
    if (It != Machine_.end() && It->second == Device) {
      Device->Restarted();
      SetPresent(Port, Device);
    }
  });
}

void UsbBus::Enumerate() {
  for (auto &Entry : Ports_) {
    PortState &State = Entry.second;
    if (State.EnumeratedAttachment == State.Attachment) {
      continue;
    }
    RemoveHandles(State);
    if (State.Device) {
      InstallHandles(Entry.first, State);
    }
    State.EnumeratedAttachment = State.Attachment;
  }
}

void UsbBus::RemoveHandles(PortState &State) {
  EFI_GUID PathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
  EFI_GUID UsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
  for (Interface *If : State.Enumerated) {
    if (If->Installed) {
      Boot_.UninstallMultiple(If->Handle, {{&PathGuid, If->DevicePath.data()}, {&UsbIoGuid, &If->Protocol}});
      If->Installed = false;
    }
  }
  State.Enumerated.clear();
}

void UsbBus::InstallHandles(uint8_t Port, PortState &State) {
  EFI_GUID PathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
  EFI_GUID UsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
  const EFI_USB_DEVICE_DESCRIPTOR Descriptor = State.Device->DeviceDescriptor();
  for (const EFI_USB_INTERFACE_DESCRIPTOR &InterfaceDescriptor : State.Device->Interfaces()) {
    auto If = std::make_unique<Interface>();
    std::memset(&If->Protocol, 0, sizeof(If->Protocol));
    If->Protocol.UsbControlTransfer = ThunkControlTransfer;
    If->Protocol.UsbBulkTransfer = ThunkBulkTransfer;
    If->Protocol.UsbAsyncInterruptTransfer = ThunkAsyncInterruptTransfer;
    If->Protocol.UsbSyncInterruptTransfer = ThunkSyncInterruptTransfer;
    If->Protocol.UsbIsochronousTransfer = ThunkIsochronousTransfer;
    If->Protocol.UsbAsyncIsochronousTransfer = ThunkAsyncIsochronousTransfer;
    If->Protocol.UsbGetDeviceDescriptor = ThunkGetDeviceDescriptor;
    If->Protocol.UsbGetConfigDescriptor = ThunkGetConfigDescriptor;
    If->Protocol.UsbGetInterfaceDescriptor = ThunkGetInterfaceDescriptor;
    If->Protocol.UsbGetEndpointDescriptor = ThunkGetEndpointDescriptor;
    If->Protocol.UsbGetStringDescriptor = ThunkGetStringDescriptor;
    If->Protocol.UsbGetSupportedLanguages = ThunkGetSupportedLanguages;
    If->Protocol.UsbPortReset = ThunkPortReset;
    If->Bus = this;
    If->Port = Port;
    If->Number = InterfaceDescriptor.InterfaceNumber;
    If->Attachment = State.Attachment;
    If->Device = State.Device;
    If->Descriptor = Descriptor;
    If->InterfaceDescriptor = InterfaceDescriptor;
    If->DevicePath = HostControllerPath_;
    std::vector<uint8_t> UsbNode = DevicePathBuilder().Usb(Port, If->Number).Build();
    If->DevicePath.insert(If->DevicePath.end(), UsbNode.begin(), UsbNode.end());
    // Both protocols go onto one new handle in one call, so a notification
    // for either sees the complete handle.
    EFI_STATUS Status =
        Boot_.InstallMultiple(&If->Handle, {{&PathGuid, If->DevicePath.data()}, {&UsbIoGuid, &If->Protocol}});
    If->Installed = !EFI_ERROR(Status);
    State.Enumerated.push_back(If.get());
    Interfaces_.push_back(std::move(If));
  }
}

std::vector<EFI_HANDLE> UsbBus::InterfaceHandles(uint8_t Port) const {
  std::vector<EFI_HANDLE> Handles;
  auto It = Ports_.find(Port);
  if (It != Ports_.end()) {
    for (const Interface *If : It->second.Enumerated) {
      if (If->Installed) {
        Handles.push_back(If->Handle);
      }
    }
  }
  return Handles;
}

bool AnswerDeviceDescriptor(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction,
                            const EFI_USB_DEVICE_DESCRIPTOR &Descriptor, std::vector<uint8_t> &Data) {
  if (Setup.RequestType != 0x80 || Setup.Request != USB_REQ_GET_DESCRIPTOR ||
      (Setup.Value >> 8) != USB_DESC_TYPE_DEVICE || Direction != EfiUsbDataIn) {
    return false;
  }
  const auto *Bytes = reinterpret_cast<const uint8_t *>(&Descriptor);
  Data.assign(Bytes, Bytes + std::min<size_t>(sizeof(Descriptor), Setup.Length));
  return true;
}

const EFI_USB_INTERFACE_DESCRIPTOR *UsbBus::InterfaceDescriptorOf(EFI_HANDLE Handle) const {
  for (const auto &Entry : Ports_) {
    for (const Interface *If : Entry.second.Enumerated) {
      if (If->Installed && If->Handle == Handle) {
        return &If->InterfaceDescriptor;
      }
    }
  }
  return nullptr;
}

EFI_USB_IO_PROTOCOL *UsbBus::UsbIo(uint8_t Port, uint8_t Number) const {
  auto It = Ports_.find(Port);
  if (It != Ports_.end()) {
    for (Interface *If : It->second.Enumerated) {
      if (If->Installed && If->Number == Number) {
        return &If->Protocol;
      }
    }
  }
  return nullptr;
}

void UsbBus::FailTransfer(uint64_t Nth, EFI_STATUS Status) { FailAt_[TransferCount_ + Nth] = Status; }

void UsbBus::ShortAnswer(uint64_t Nth, size_t Bytes) { ShortAt_[TransferCount_ + Nth] = Bytes; }

void UsbBus::CutPowerAt(uint64_t Nth, PowerCutMoment When, std::function<void()> Cut) {
  CutAt_ = Nth == 0 ? 0 : ClassRequests_ + Nth;
  CutMoment_ = When;
  Cut_ = std::move(Cut);
}

void UsbBus::PowerOff() {
  PoweredOff_ = true;
  CutAt_ = 0;
  Cut_ = nullptr;
}

void UsbBus::PowerGoesOff() {
  std::function<void()> Cut = std::move(Cut_);
  PowerOff();
  if (Cut) {
    Cut();
  }
}

std::string UsbBus::Describe(const Interface *If, const EFI_USB_DEVICE_REQUEST *Request) const {
  char Text[96];
  std::snprintf(Text, sizeof(Text), "port %u if %u: %02X %02X %04X %04X %u", If->Port, If->Number,
                Request ? Request->RequestType : 0, Request ? Request->Request : 0, Request ? Request->Value : 0,
                Request ? Request->Index : 0, Request ? Request->Length : 0);
  return Text;
}

EFI_STATUS UsbBus::ControlTransfer(Interface *If, EFI_USB_DEVICE_REQUEST *Request, EFI_USB_DATA_DIRECTION Direction,
                                   UINT32 Timeout, VOID *Data, UINTN DataLength, UINT32 *UsbStatus) {
  const size_t Index = Boot_.Begin("UsbControlTransfer", kUsbIoTplLimit, Describe(If, Request));
  if (Request == nullptr || UsbStatus == nullptr || Direction > EfiUsbNoData ||
      (DataLength != 0 && Data == nullptr)) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  *UsbStatus = EFI_USB_NOERROR;
  if (!If->Installed) {
    Boot_.Misuse("UsbControlTransfer", "transfer through a USB I/O instance whose handle was removed");
    *UsbStatus = EFI_USB_ERR_SYSTEM;
    return Boot_.End(Index, EFI_DEVICE_ERROR);
  }

  if (PoweredOff_) {
    return Boot_.End(Index, EFI_ABORTED);
  }
  // A class-specific request to an interface: the kind a power cut is tied to.
  bool CutAfter = false;
  if ((Request->RequestType & 0x7F) == 0x21) {
    const uint64_t Class = ++ClassRequests_;
    if (Class == CutAt_) {
      if (CutMoment_ == PowerCutMoment::BeforeTransfer) {
        // The call log shows the request the power cut struck.
        Boot_.End(Index, EFI_ABORTED);
        PowerGoesOff();
        return EFI_ABORTED;
      }
      CutAfter = true;
    }
  }

  UsbTransfer Record{};
  Record.TimeNs = Clock_.NowNs();
  Record.Port = If->Port;
  Record.Interface = If->Number;
  Record.Setup = {Request->RequestType, Request->Request, Request->Value, Request->Index, Request->Length};
  Record.Direction = Direction;
  Record.DataLength = DataLength;
  Record.TimeoutMs = Timeout;
  if (Direction == EfiUsbDataOut && DataLength != 0) {
    const auto *Bytes = static_cast<const uint8_t *>(Data);
    Record.Data.assign(Bytes, Bytes + DataLength);
  }
  const uint64_t Number = ++TransferCount_;
  Clock_.AdvanceNs(TransferCostNs_);

  EFI_STATUS Status;
  auto Fail = FailAt_.find(Number);
  const PortState &State = Ports_[If->Port];
  if (Fail != FailAt_.end()) {
    Status = Fail->second;
    Record.Injected = true;
    FailAt_.erase(Fail);
    if (Direction == EfiUsbDataIn) {
      Record.Data.clear();
    }
  } else if (!State.Device || State.Attachment != If->Attachment) {
    // The device this instance belongs to has left the port. As measured in
    // OVMF under QEMU, nothing answers: the host controller gives up after the
    // caller's whole time-out and reports EFI_TIMEOUT with a zero USB status.
    Status = EFI_TIMEOUT;
    Clock_.AdvanceNs(static_cast<uint64_t>(Timeout) * 1000000u);
    Record.Data.clear();
  } else {
    std::vector<uint8_t> Answer = Record.Data;
    Status = If->Device->Control(Record.Setup, Direction, DataLength, Answer);
    if (Status == EFI_DEVICE_ERROR) {
      *UsbStatus = EFI_USB_ERR_STALL;
    }
    if (Direction == EfiUsbDataIn) {
      size_t Count = std::min(Answer.size(), static_cast<size_t>(DataLength));
      auto Short = ShortAt_.find(Number);
      if (Short != ShortAt_.end()) {
        Count = std::min(Count, Short->second);
        ShortAt_.erase(Short);
      }
      Answer.resize(Count);
      if (!EFI_ERROR(Status) && Count != 0) {
        std::memcpy(Data, Answer.data(), Count);
      }
      Record.Data = EFI_ERROR(Status) ? std::vector<uint8_t>() : Answer;
    }
  }
  Record.Status = Status;
  Transfers_.push_back(std::move(Record));
  if (CutAfter) {
    Boot_.End(Index, EFI_ABORTED);
    PowerGoesOff();
    return EFI_ABORTED;
  }
  return Boot_.End(Index, Status);
}

EFI_STATUS UsbBus::GetDeviceDescriptor(Interface *If, EFI_USB_DEVICE_DESCRIPTOR *Descriptor) {
  const size_t Index = Boot_.Begin("UsbGetDeviceDescriptor", kUsbIoTplLimit);
  if (Descriptor == nullptr) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  *Descriptor = If->Descriptor;
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS UsbBus::GetConfigDescriptor(Interface *If, EFI_USB_CONFIG_DESCRIPTOR *Descriptor) {
  const size_t Index = Boot_.Begin("UsbGetConfigDescriptor", kUsbIoTplLimit);
  if (Descriptor == nullptr) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  const size_t Count = If->Device->Interfaces().size();
  EFI_USB_CONFIG_DESCRIPTOR Config{};
  Config.Length = sizeof(Config);
  Config.DescriptorType = USB_DESC_TYPE_CONFIG;
  Config.TotalLength = static_cast<UINT16>(sizeof(Config) + Count * sizeof(EFI_USB_INTERFACE_DESCRIPTOR));
  Config.NumInterfaces = static_cast<UINT8>(Count);
  Config.ConfigurationValue = 1;
  Config.Attributes = 0x80;
  Config.MaxPower = 250;
  *Descriptor = Config;
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS UsbBus::GetInterfaceDescriptor(Interface *If, EFI_USB_INTERFACE_DESCRIPTOR *Descriptor) {
  const size_t Index = Boot_.Begin("UsbGetInterfaceDescriptor", kUsbIoTplLimit);
  if (Descriptor == nullptr) {
    return Boot_.End(Index, EFI_INVALID_PARAMETER);
  }
  *Descriptor = If->InterfaceDescriptor;
  return Boot_.End(Index, EFI_SUCCESS);
}

EFI_STATUS UsbBus::GetEndpointDescriptor(Interface *, UINT8, EFI_USB_ENDPOINT_DESCRIPTOR *Descriptor) {
  // The simulated interfaces model no endpoints besides the default pipe.
  const size_t Index = Boot_.Begin("UsbGetEndpointDescriptor", kUsbIoTplLimit);
  return Boot_.End(Index, Descriptor == nullptr ? EFI_INVALID_PARAMETER : EFI_NOT_FOUND);
}

EFI_STATUS UsbBus::Unsupported(const char *Service) {
  const size_t Index = Boot_.Begin(Service, kUsbIoTplLimit);
  Boot_.Misuse(Service, "USB I/O service not offered by the simulated bus");
  return Boot_.End(Index, EFI_UNSUPPORTED);
}

}  // namespace Sim
