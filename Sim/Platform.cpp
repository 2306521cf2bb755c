#include "Sim/Platform.h"

#include "Sim/AgentStack.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

#include <Guid/HobList.h>
#include <Guid/HostPortSpace.h>
#include <Protocol/EsrtManagement.h>
#include <Protocol/GraphicsOutput.h>

namespace Sim {

const EFI_GUID kUpdateTriggerProtocolGuid = {
    0xDBC9FD21, 0xFAD8, 0x45B0, {0x9E, 0x78, 0x27, 0x15, 0x88, 0x67, 0xCC, 0x93}};

namespace {

// Marks the handle of the loaded driver image (the simulator does not model
// the loaded-image protocol's contents).
const EFI_GUID kSimImageHandleGuid = {0x3d1c9b54, 0x0d3a, 0x4f57, {0x9a, 0x11, 0x52, 0x6e, 0x0f, 0x4b, 0x8c, 0x21}};

const char16_t kFirmwareVendor[] = u"CameraUpdate simulated platform";

struct NameRegistrar {
  NameRegistrar() {
    RegisterGuidName(kUpdateTriggerProtocolGuid, "UpdateTrigger");
    RegisterGuidName(kSimImageHandleGuid, "SimImage");
  }
};

}  // namespace

Platform::Platform() : Platform(*new Machine()) { OwnMachine_.reset(&Machine_); }

Platform::Platform(Machine &OnMachine, PlatformOptions Options)
    : Machine_(OnMachine),
      Options_(std::move(Options)),
      Ports_(Clock_),
      PmTimer_(Clock_, Ports_, Options_.PmTimerPort),
      Ec_(Clock_, Ports_, Machine_.Ec),
      Boot_(Clock_),
      Runtime_(Clock_, Boot_, Machine_.Variables, Machine_.Resets),
      Esrt_(Boot_, Machine_.Esrt),
      Usb_(Boot_, Clock_, Machine_.UsbPorts),
      ClassDrivers_(Boot_, Usb_),
      Display_(Boot_, Clock_),
      Hook_(Boot_, Clock_) {
  static NameRegistrar Names;
  ++Machine_.Boots;
  // A new boot: volatile variables are gone; the platform's own variables
  // are there before any driver runs.
  Machine_.Variables.DropVolatile();
  EnsureSetupVariable(Machine_.Variables, Machine_.SetupVariableSize);

  std::memset(&SystemTable_, 0, sizeof(SystemTable_));
  SystemTable_.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  SystemTable_.Hdr.Revision = EFI_2_70_SYSTEM_TABLE_REVISION;
  SystemTable_.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  SystemTable_.FirmwareVendor = const_cast<CHAR16 *>(kFirmwareVendor);
  SystemTable_.FirmwareRevision = 0x00010000;
  SystemTable_.BootServices = Boot_.Table();
  SystemTable_.RuntimeServices = Runtime_.Table();
  Boot_.OnConfigurationTable = [this](const EFI_GUID &Guid, void *Table) {
    return SetConfigurationTable(Guid, Table);
  };

  EFI_GUID HobListGuid = HOB_LIST_GUID;
  EFI_GUID PortSpaceGuid = HOST_PORT_SPACE_GUID;
  SetConfigurationTable(HobListGuid, Hobs_.Address());
  SetConfigurationTable(PortSpaceGuid, Ports_.Table());
  Hobs_.SetListener([this](void *Address) {
    EFI_GUID Guid = HOB_LIST_GUID;
    SetConfigurationTable(Guid, Address);
  });

  // Capsules handed to the firmware before this boot: PEI found them in
  // memory and says so with the boot mode and a HOB for each.
  if (!Machine_.PendingCapsules.empty()) {
    Hobs_.SetBootMode(BOOT_ON_FLASH_UPDATE);
    for (const std::vector<uint8_t> &Capsule : Machine_.PendingCapsules) {
      CapsuleAddresses_.push_back(Hobs_.AddCapsule(Capsule));
    }
  }
}

Platform::~Platform() = default;

void Platform::Activate() {
  Boot_.Activate();
  Runtime_.Activate();
  Esrt_.Activate();
  Display_.Activate();
  Hook_.Activate();
}

EFI_STATUS Platform::SetConfigurationTable(const EFI_GUID &Guid, void *Table) {
  for (auto It = ConfigurationTables_.begin(); It != ConfigurationTables_.end(); ++It) {
    if (It->VendorGuid == Guid) {
      if (Table == nullptr) {
        ConfigurationTables_.erase(It);
      } else {
        It->VendorTable = Table;
      }
      RefreshSystemTable();
      return EFI_SUCCESS;
    }
  }
  if (Table == nullptr) {
    return EFI_NOT_FOUND;
  }
  ConfigurationTables_.push_back({Guid, Table});
  RefreshSystemTable();
  return EFI_SUCCESS;
}

void Platform::RefreshSystemTable() {
  SystemTable_.NumberOfTableEntries = ConfigurationTables_.size();
  SystemTable_.ConfigurationTable = ConfigurationTables_.empty() ? nullptr : ConfigurationTables_.data();
}

bool Platform::RunAgent(const std::function<void()> &Action) {
  if (BootEnded()) {
    return false;
  }
  Activate();
  const size_t ResetsBefore = Machine_.Resets.size();
  const bool Completed = AgentStack::Run(Action);
  if (Machine_.Resets.size() > ResetsBefore && !BootEnded()) {
    NoteReset(Machine_.Resets.back());
  }
  return Completed && !BootEnded();
}

void Platform::NoteReset(const ResetRecord &Record) {
  Reset_ = Record;
  // The capsules this boot was handed are gone; any a test added since
  // stay for the next boot.
  auto &Pending = Machine_.PendingCapsules;
  Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(CapsuleAddresses_.size(), Pending.size())));
}

void Platform::ArmWatchdog(uint64_t TimeoutNs) {
  Boot_.ScheduleHardwareEvent(Clock_.NowNs() + TimeoutNs, [this] {
    if (BootEnded()) {
      return;
    }
    Machine_.Resets.push_back({EfiResetCold, EFI_TIMEOUT, Clock_.NowNs(), true});
    NoteReset(Machine_.Resets.back());
    // Whatever was running is left where it stands, as with ResetSystem.
    if (AgentStack::OnAgentStack()) {
      AgentStack::Abandon();
    }
  });
}

void Platform::CutPowerAt(uint64_t NthClassRequest, PowerCutMoment When) {
  Usb_.CutPowerAt(NthClassRequest, When, [this] { CutPower(); });
}

void Platform::CutPower() {
  if (BootEnded()) {
    return;
  }
  Usb_.PowerOff();
  ResetRecord Record{EfiResetCold, EFI_ABORTED, Clock_.NowNs()};
  Record.PowerCut = true;
  Machine_.Resets.push_back(Record);
  Reset_ = Record;
  // Capsules wait in memory for the boot after a reset; a power cut loses
  // them all.
  Machine_.PendingCapsules.clear();
  if (AgentStack::OnAgentStack()) {
    AgentStack::Abandon();
  }
}

EFI_STATUS Platform::LoadDriver() {
  if (Image_ != nullptr) {
    throw std::logic_error("the driver image is already loaded in this boot");
  }
  Image_ = std::make_unique<DriverImage>(Options_.DriverImagePath);
  EFI_STATUS Status = EFI_LOAD_ERROR;
  RunAgent([&] {
    EFI_GUID ImageGuid = kSimImageHandleGuid;
    Boot_.InstallProtocolInterface(&ImageHandle_, &ImageGuid, EFI_NATIVE_INTERFACE, &ImageToken_);
    Status = Image_->EntryPoint()(ImageHandle_, &SystemTable_);
  });
  return Status;
}

EFI_HANDLE Platform::InstallProtocol(const EFI_GUID &Guid, void *Interface, EFI_HANDLE Handle) {
  EFI_GUID Copy = Guid;
  RunAgent([&] {
    if (EFI_ERROR(Boot_.InstallProtocolInterface(&Handle, &Copy, EFI_NATIVE_INTERFACE, Interface))) {
      throw std::logic_error("platform could not install " + GuidName(Guid));
    }
  });
  return Handle;
}

EFI_STATUS Platform::UninstallProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid, void *Interface) {
  EFI_GUID Copy = Guid;
  EFI_STATUS Status = EFI_ABORTED;
  RunAgent([&] { Status = Boot_.UninstallProtocolInterface(Handle, &Copy, Interface); });
  return Status;
}

EFI_HANDLE Platform::InstallEsrtManagement() {
  return InstallProtocol(gEsrtManagementProtocolGuid, Esrt_.Protocol());
}

EFI_HANDLE Platform::InstallTrigger() {
  // The trigger's interface is never used; the platform installs a fresh
  // handle each time, as a platform's ready-to-update signal would.
  static int TriggerToken = 0;
  return InstallProtocol(kUpdateTriggerProtocolGuid, &TriggerToken);
}

EFI_HANDLE Platform::InstallPlatformProgress() {
  ProgressHandle_ = InstallProtocol(kPlatformProgressProtocolGuid, Display_.Progress(), ProgressHandle_);
  return ProgressHandle_;
}

EFI_HANDLE Platform::InstallGraphicsOutput() {
  GraphicsHandle_ = InstallProtocol(gEfiGraphicsOutputProtocolGuid, Display_.Graphics(), GraphicsHandle_);
  return GraphicsHandle_;
}

EFI_STATUS Platform::RemovePlatformProgress() {
  if (ProgressHandle_ == nullptr) {
    return EFI_NOT_FOUND;
  }
  EFI_STATUS Status = UninstallProtocol(ProgressHandle_, kPlatformProgressProtocolGuid, Display_.Progress());
  if (!EFI_ERROR(Status)) {
    ProgressHandle_ = nullptr;
  }
  return Status;
}

EFI_STATUS Platform::RemoveGraphicsOutput() {
  if (GraphicsHandle_ == nullptr) {
    return EFI_NOT_FOUND;
  }
  EFI_STATUS Status = UninstallProtocol(GraphicsHandle_, gEfiGraphicsOutputProtocolGuid, Display_.Graphics());
  if (!EFI_ERROR(Status)) {
    GraphicsHandle_ = nullptr;
  }
  return Status;
}

EFI_HANDLE Platform::InstallPlatformHook() {
  HookHandle_ = InstallProtocol(kPlatformHookProtocolGuid, Hook_.Protocol(), HookHandle_);
  return HookHandle_;
}

EFI_STATUS Platform::RemovePlatformHook() {
  if (HookHandle_ == nullptr) {
    return EFI_NOT_FOUND;
  }
  EFI_STATUS Status = UninstallProtocol(HookHandle_, kPlatformHookProtocolGuid, Hook_.Protocol());
  if (!EFI_ERROR(Status)) {
    HookHandle_ = nullptr;
  }
  return Status;
}

}  // namespace Sim
