// A USB device on the far side of a usb-redir connection: plays usbredir's
// USB-host role (the side that owns the device) on a connected socket and
// serves one device model (a Sim::Camera) to the peer, which is QEMU's
// usb-redir device in use, or a guest-role parser in the tests.
//
// A peer connecting is the machine starting (QEMU connects its usb-redir
// chardev when it starts, and each run of QEMU is a boot of the machine): the
// server powers the device on, so its RAM starts over and it boots from what
// its flash holds, as every boot of the simulated machine powers its devices
// on. The device itself, its flash among it, outlives the server.
//
// After the peer's hello: interface_info, ep_info and device_connect (high
// speed, the model's class and identity). Every control_packet goes to the
// model's Control(), except the standard requests the model leaves to the
// bus, which CameraDescriptors answers (configuration and string
// descriptors, status, features, configuration and interface). A restart the
// model asks for (UsbHub::Replug) becomes device_disconnect after the leave
// delay, then device_connect with the model's identity after the return
// delay.
//
// Time comes from a function the owner gives (real monotonic time in the
// command-line program, a virtual clock in the tests); the owner calls
// Service() when the socket is readable or writable and RunDue() when
// NextDueNs() has passed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Sim/UsbBus.h"
#include "Sim/UsbRedir/CameraDescriptors.h"

struct usbredirparser;
struct usb_redir_hello_header;
struct usb_redir_control_packet_header;
struct usb_redir_set_configuration_header;
struct usb_redir_set_alt_setting_header;
struct usb_redir_get_alt_setting_header;

namespace Sim {

class UsbRedirServer : public UsbHub {
 public:
  using Clock = std::function<uint64_t()>;        // nanoseconds, monotonic
  using Logger = std::function<void(const std::string &)>;
  static constexpr uint8_t kPort = 1;  // the one port the model sits on

  // Serves Device (nullptr: nothing plugged in, no device_connect ever) on
  // Fd, a connected stream socket the server makes non-blocking (it does
  // not close it). Powers the device on first.
  UsbRedirServer(int Fd, std::shared_ptr<UsbDeviceModel> Device, Clock Now, Logger Log);
  ~UsbRedirServer() override;
  UsbRedirServer(const UsbRedirServer &) = delete;
  UsbRedirServer &operator=(const UsbRedirServer &) = delete;

  // Reads and handles whatever the peer sent, then writes what is queued.
  // False once the peer closed the connection or the socket failed.
  bool Service();
  // Runs the restart steps that are due, then writes what they queued.
  void RunDue();
  // When the next restart step is due (none: nothing pending).
  std::optional<uint64_t> NextDueNs() const;
  bool WantsWrite() const;

  // UsbHub: the model asks to leave and come back.
  void Replug(uint8_t Port, uint64_t LeaveAfterNs, uint64_t ReturnAfterNs) override;

  bool HelloReceived() const { return HelloReceived_; }
  bool DeviceConnected() const { return Connected_; }
  unsigned ConnectsSent() const { return ConnectsSent_; }
  unsigned DisconnectsSent() const { return DisconnectsSent_; }

 private:
  struct Step {
    uint64_t DueNs;
    bool Connect;  // false: leave the bus
  };

  static UsbRedirServer *From(void *Priv) { return static_cast<UsbRedirServer *>(Priv); }
  static int Read(void *Priv, uint8_t *Data, int Count);
  static int Write(void *Priv, uint8_t *Data, int Count);
  static void ParserLog(void *Priv, int Level, const char *Message);
  static void OnHello(void *Priv, usb_redir_hello_header *Hello);
  static void OnReset(void *Priv);
  static void OnSetConfiguration(void *Priv, uint64_t Id, usb_redir_set_configuration_header *Header);
  static void OnGetConfiguration(void *Priv, uint64_t Id);
  static void OnSetAltSetting(void *Priv, uint64_t Id, usb_redir_set_alt_setting_header *Header);
  static void OnGetAltSetting(void *Priv, uint64_t Id, usb_redir_get_alt_setting_header *Header);
  static void OnCancel(void *Priv, uint64_t Id);
  static void OnDisconnectAck(void *Priv);
  static void OnControl(void *Priv, uint64_t Id, usb_redir_control_packet_header *Header, uint8_t *Data,
                        int DataLength);

  void SendDeviceInfo();
  void Connect();
  void Disconnect();
  void Flush();
  void Control(uint64_t Id, usb_redir_control_packet_header &Header, const uint8_t *Data, int DataLength);

  int Fd_;
  std::shared_ptr<UsbDeviceModel> Device_;
  Clock Now_;
  Logger Log_;
  usbredirparser *Parser_ = nullptr;
  CameraDescriptors Descriptors_;
  bool HelloReceived_ = false;
  bool Connected_ = false;
  bool PeerClosed_ = false;
  bool Failed_ = false;
  unsigned ConnectsSent_ = 0;
  unsigned DisconnectsSent_ = 0;
  std::vector<Step> Steps_;
};

}  // namespace Sim
