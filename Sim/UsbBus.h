// The platform's USB host controller and bus: devices on root ports, one
// handle per interface carrying a device path (host controller path +
// USB(port, interface)) and an EFI_USB_IO_PROTOCOL, a log of every control
// transfer, and transfer faults.
//
// Hot-plug has two modes. Immediate: a device plugged or unplugged has its
// handles installed or removed at once. Enumerated (as EDK II's USB bus
// does it): a periodic timer notification at TPL_CALLBACK brings the handles
// in line with the ports, so a change made while code runs at TPL_CALLBACK
// or above (a driver's notification) is seen only after the TPL drops.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <Protocol/UsbIo.h>

#include "Sim/BootServices.h"
#include "Sim/VirtualClock.h"

namespace Sim {

struct UsbSetup {
  uint8_t RequestType;
  uint8_t Request;
  uint16_t Value;
  uint16_t Index;
  uint16_t Length;
};

// What a device model needs from the bus it is plugged into: a way to leave
// it and come back (a restart the device asks for). UsbBus is the simulated
// platform's; a bus outside the simulated platform (Sim/UsbRedir) implements
// the same.
class UsbHub {
 public:
  virtual ~UsbHub() = default;
  // The device on Port leaves LeaveAfterNs from now and is back, with
  // Restarted() called, ReturnAfterNs after that.
  virtual void Replug(uint8_t Port, uint64_t LeaveAfterNs, uint64_t ReturnAfterNs) = 0;
};

// One control transfer as the bus saw it.
struct UsbTransfer {
  uint64_t TimeNs;  // when it started
  uint8_t Port;
  uint8_t Interface;  // of the USB I/O instance it was sent through
  UsbSetup Setup;
  EFI_USB_DATA_DIRECTION Direction;
  size_t DataLength;          // the data length the caller gave
  uint32_t TimeoutMs;         // the time-out the caller gave
  std::vector<uint8_t> Data;  // OUT: the bytes sent; IN: the bytes the device returned
  EFI_STATUS Status;
  bool Injected;  // failed by FailTransfer, never reached the device
};

// What a device on the bus implements. The device answers requests on its
// default control pipe, whichever interface's USB I/O they were sent through.
class UsbDeviceModel {
 public:
  virtual ~UsbDeviceModel() = default;
  virtual EFI_USB_DEVICE_DESCRIPTOR DeviceDescriptor() const = 0;
  virtual std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Interfaces() const = 0;
  // Answers one control request. For OUT, Data holds the DataLength bytes
  // sent; for IN, the device puts its answer in Data (at most DataLength
  // bytes). EFI_DEVICE_ERROR means the device STALLed.
  virtual EFI_STATUS Control(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                             std::vector<uint8_t> &Data) = 0;
  // Power is applied (a new boot of the machine): volatile state starts over.
  virtual void PowerOn() {}
  // The device is back on the bus after a restart it asked for (Replug);
  // unlike PowerOn, RAM it keeps across restarts stays.
  virtual void Restarted() {}
  // The bus tells the device where it sits, so that it can ask for a replug.
  void PluggedInto(UsbHub *Bus, uint8_t Port) {
    Bus_ = Bus;
    Port_ = Port;
  }

 protected:
  UsbHub *Bus_ = nullptr;
  uint8_t Port_ = 0;
};

// Answers GET_DESCRIPTOR (DEVICE), the one standard request a device model
// answers itself (the bus driver handled the rest at enumeration): true and
// Data filled when Setup is that request, false otherwise.
bool AnswerDeviceDescriptor(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction,
                            const EFI_USB_DEVICE_DESCRIPTOR &Descriptor, std::vector<uint8_t> &Data);

// Root-port devices of a machine: what is plugged in survives a reset.
using UsbPortMap = std::map<uint8_t, std::shared_ptr<UsbDeviceModel>>;

// Where a power cut tied to a transfer strikes: before the device gets the
// request, or once the device has carried it out (the host never sees the
// answer).
enum class PowerCutMoment : uint8_t { BeforeTransfer, AfterTransfer };

class UsbBus : public UsbHub {
 public:
  enum class HotPlugMode { Immediate, Enumerated };
  static constexpr uint64_t kEnumerationPeriodNs = 50000000;  // 50 ms root-port poll
  static constexpr uint64_t kDefaultTransferCostNs = 100000;  // 100 us per control transfer

  UsbBus(BootServicesSim &Boot, VirtualClock &Clock, UsbPortMap &Ports);
  ~UsbBus() override;
  UsbBus(const UsbBus &) = delete;
  UsbBus &operator=(const UsbBus &) = delete;

  // The host controller's own device path (ending in an end node); default
  // PciRoot(0x0)/Pci(0x14,0x0). Takes effect for handles installed later.
  void SetHostControllerPath(const std::vector<uint8_t> &Path);
  void SetHotPlugMode(HotPlugMode Mode);
  HotPlugMode Mode() const { return Mode_; }
  void SetTransferCostNs(uint64_t Ns) { TransferCostNs_ = Ns; }

  // Plugs a device into a root port (replacing what was there) or unplugs it.
  void Attach(uint8_t Port, std::shared_ptr<UsbDeviceModel> Device);
  void Detach(uint8_t Port);
  // A device restarting: it leaves the port LeaveAfterNs from now and is back,
  // with Restarted() called, ReturnAfterNs after that. The machine keeps it
  // plugged in throughout (a reset in between finds it there at power-on).
  void Replug(uint8_t Port, uint64_t LeaveAfterNs, uint64_t ReturnAfterNs) override;
  // Brings the interface handles in line with the ports, as the bus driver's
  // enumeration does.
  void Enumerate();

  // Handles currently installed for the device on Port, by interface number.
  std::vector<EFI_HANDLE> InterfaceHandles(uint8_t Port) const;
  // The interface descriptor behind an installed interface handle, as the
  // bus read it at enumeration; nullptr for any other handle. What a class
  // driver's Supported() looks at.
  const EFI_USB_INTERFACE_DESCRIPTOR *InterfaceDescriptorOf(EFI_HANDLE Handle) const;
  EFI_USB_IO_PROTOCOL *UsbIo(uint8_t Port, uint8_t Interface) const;

  const std::vector<UsbTransfer> &Transfers() const { return Transfers_; }
  void ClearTransfers() { Transfers_.clear(); }

  // The Nth control transfer from now (1 = the next one) fails with Status
  // without reaching the device.
  void FailTransfer(uint64_t Nth, EFI_STATUS Status);
  // The Nth control transfer from now returns at most Bytes bytes of its IN
  // data (a short packet); the rest of the caller's buffer is left as it was.
  void ShortAnswer(uint64_t Nth, size_t Bytes);

  // Class-specific requests to an interface (bmRequestType 0x21 or 0xA1:
  // what a camera's extension unit takes) carried through this bus so far,
  // to any device, failed ones included.
  uint64_t ClassRequests() const { return ClassRequests_; }
  // The power goes off at the Nth class-specific request from now (1 = the
  // next one), at the moment given: Cut is called there and is expected to
  // end the boot (Platform::CutPowerAt; it does not return when the
  // request came from an agent). From then on the bus is dead: no request
  // reaches a device, each fails with EFI_ABORTED and is not logged. A
  // request the cut strikes before is not logged either; one it strikes
  // after is, with the device's status.
  void CutPowerAt(uint64_t Nth, PowerCutMoment When, std::function<void()> Cut);
  // The bus is dead from now on, as above, without calling anything.
  void PowerOff();
  bool PoweredOff() const { return PoweredOff_; }

  // The USB I/O functions (EFIAPI thunks call these).
  struct Interface;
  EFI_STATUS ControlTransfer(Interface *If, EFI_USB_DEVICE_REQUEST *Request, EFI_USB_DATA_DIRECTION Direction,
                             UINT32 Timeout, VOID *Data, UINTN DataLength, UINT32 *UsbStatus);
  EFI_STATUS GetDeviceDescriptor(Interface *If, EFI_USB_DEVICE_DESCRIPTOR *Descriptor);
  EFI_STATUS GetConfigDescriptor(Interface *If, EFI_USB_CONFIG_DESCRIPTOR *Descriptor);
  EFI_STATUS GetInterfaceDescriptor(Interface *If, EFI_USB_INTERFACE_DESCRIPTOR *Descriptor);
  EFI_STATUS GetEndpointDescriptor(Interface *If, UINT8 Index, EFI_USB_ENDPOINT_DESCRIPTOR *Descriptor);
  EFI_STATUS Unsupported(const char *Service);

 private:
  struct PortState {
    std::shared_ptr<UsbDeviceModel> Device;  // what is physically plugged in
    uint64_t Attachment = 0;                 // counts plug-ins on this port
    uint64_t EnumeratedAttachment = 0;       // the plug-in the handles belong to
    std::vector<Interface *> Enumerated;
  };

  void SetPresent(uint8_t Port, std::shared_ptr<UsbDeviceModel> Device);
  void RemoveHandles(PortState &State);
  void InstallHandles(uint8_t Port, PortState &State);
  std::string Describe(const Interface *If, const EFI_USB_DEVICE_REQUEST *Request) const;

  BootServicesSim &Boot_;
  VirtualClock &Clock_;
  UsbPortMap &Machine_;
  std::map<uint8_t, PortState> Ports_;
  std::list<std::unique_ptr<Interface>> Interfaces_;  // every instance of the boot
  std::vector<uint8_t> HostControllerPath_;           // without its end node
  HotPlugMode Mode_ = HotPlugMode::Immediate;
  EFI_EVENT EnumerationTimer_ = nullptr;
  uint64_t TransferCostNs_ = kDefaultTransferCostNs;
  uint64_t TransferCount_ = 0;
  std::map<uint64_t, EFI_STATUS> FailAt_;
  std::map<uint64_t, size_t> ShortAt_;
  std::vector<UsbTransfer> Transfers_;
  uint64_t ClassRequests_ = 0;
  uint64_t CutAt_ = 0;  // the class request the power cut is tied to; 0: none
  PowerCutMoment CutMoment_ = PowerCutMoment::BeforeTransfer;
  std::function<void()> Cut_;
  bool PoweredOff_ = false;
  void PowerGoesOff();  // the cut CutPowerAt armed strikes
};

// One interface of an enumerated device: the USB I/O instance the handle
// carries. Instances outlive their handles (for the whole boot), so that a
// driver holding a stale pointer reaches a defined refusal, which the
// simulator reports as a misuse.
struct UsbBus::Interface {
  EFI_USB_IO_PROTOCOL Protocol;  // first: the thunks find the instance from This
  UsbBus *Bus;
  uint8_t Port;
  uint8_t Number;
  uint64_t Attachment;
  std::shared_ptr<UsbDeviceModel> Device;
  EFI_USB_DEVICE_DESCRIPTOR Descriptor;  // as read at enumeration
  EFI_USB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  std::vector<uint8_t> DevicePath;
  EFI_HANDLE Handle = nullptr;
  bool Installed = false;
};

}  // namespace Sim
