#include "Sim/UsbRedir/UsbRedirServer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Sim {

namespace {

std::string Hex(unsigned Value, int Digits) {
  char Text[16];
  std::snprintf(Text, sizeof(Text), "0x%0*X", Digits, Value);
  return Text;
}

const char *StatusName(uint8_t Status) {
  switch (Status) {
    case usb_redir_success:
      return "success";
    case usb_redir_stall:
      return "stall";
    case usb_redir_ioerror:
      return "ioerror";
    case usb_redir_inval:
      return "inval";
    default:
      return "other";
  }
}

// The index of an endpoint in ep_info's arrays: OUT 0..15, IN 16..31.
int EndpointSlot(uint8_t Address) { return ((Address & 0x80) >> 3) | (Address & 0x0F); }

}  // namespace

UsbRedirServer::UsbRedirServer(int Fd, std::shared_ptr<UsbDeviceModel> Device, Clock Now, Logger Log)
    : Fd_(Fd), Device_(std::move(Device)), Now_(std::move(Now)), Log_(std::move(Log)) {
  const int Flags = fcntl(Fd_, F_GETFL, 0);
  if (Flags >= 0) {
    fcntl(Fd_, F_SETFL, Flags | O_NONBLOCK);
  }
  if (Device_) {
    Device_->PowerOn();
    Device_->PluggedInto(this, kPort);
  }
  Parser_ = usbredirparser_create();
  Parser_->priv = this;
  Parser_->log_func = ParserLog;
  Parser_->read_func = Read;
  Parser_->write_func = Write;
  Parser_->hello_func = OnHello;
  Parser_->reset_func = OnReset;
  Parser_->set_configuration_func = OnSetConfiguration;
  Parser_->get_configuration_func = OnGetConfiguration;
  Parser_->set_alt_setting_func = OnSetAltSetting;
  Parser_->get_alt_setting_func = OnGetAltSetting;
  Parser_->cancel_data_packet_func = OnCancel;
  Parser_->device_disconnect_ack_func = OnDisconnectAck;
  Parser_->control_packet_func = OnControl;
  uint32_t Caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(Caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(Caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_caps_set_cap(Caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(Caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(Caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(Parser_, "camera-redir", Caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
  Flush();
}

UsbRedirServer::~UsbRedirServer() {
  if (Device_) {
    Device_->PluggedInto(nullptr, 0);
  }
  usbredirparser_destroy(Parser_);
}

int UsbRedirServer::Read(void *Priv, uint8_t *Data, int Count) {
  UsbRedirServer *Self = From(Priv);
  const ssize_t Got = ::read(Self->Fd_, Data, static_cast<size_t>(Count));
  if (Got > 0) {
    return static_cast<int>(Got);
  }
  if (Got == 0) {
    Self->PeerClosed_ = true;  // end of file: the parser must see an error to stop
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return 0;
  }
  Self->Failed_ = true;
  return -1;
}

int UsbRedirServer::Write(void *Priv, uint8_t *Data, int Count) {
  UsbRedirServer *Self = From(Priv);
  const ssize_t Put = ::send(Self->Fd_, Data, static_cast<size_t>(Count), MSG_NOSIGNAL);
  if (Put >= 0) {
    return static_cast<int>(Put);
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return 0;
  }
  Self->Failed_ = true;
  return -1;
}

void UsbRedirServer::ParserLog(void *Priv, int Level, const char *Message) {
  if (Level <= usbredirparser_warning) {
    From(Priv)->Log_(std::string("usbredirparser: ") + Message);
  }
}

bool UsbRedirServer::Service() {
  if (!PeerClosed_ && !Failed_) {
    usbredirparser_do_read(Parser_);
  }
  Flush();
  return !PeerClosed_ && !Failed_;
}

void UsbRedirServer::Flush() {
  if (!Failed_ && usbredirparser_has_data_to_write(Parser_) > 0) {
    usbredirparser_do_write(Parser_);
  }
}

bool UsbRedirServer::WantsWrite() const { return usbredirparser_has_data_to_write(Parser_) > 0; }

std::optional<uint64_t> UsbRedirServer::NextDueNs() const {
  if (Steps_.empty()) {
    return std::nullopt;
  }
  uint64_t Due = Steps_.front().DueNs;
  for (const Step &S : Steps_) {
    Due = std::min(Due, S.DueNs);
  }
  return Due;
}

void UsbRedirServer::RunDue() {
  for (;;) {
    const uint64_t Now = Now_();
    auto Next = std::min_element(Steps_.begin(), Steps_.end(),
                                 [](const Step &A, const Step &B) { return A.DueNs < B.DueNs; });
    if (Next == Steps_.end() || Next->DueNs > Now) {
      break;
    }
    const bool DoConnect = Next->Connect;
    Steps_.erase(Next);
    if (DoConnect) {
      Device_->Restarted();
      Log_("restart: back on the bus");
      if (HelloReceived_) {
        Connect();
      }
    } else {
      Disconnect();
    }
  }
  Flush();
}

void UsbRedirServer::Replug(uint8_t Port, uint64_t LeaveAfterNs, uint64_t ReturnAfterNs) {
  if (Port != kPort || !Device_) {
    return;
  }
  const uint64_t Now = Now_();
  Steps_.push_back({Now + LeaveAfterNs, false});
  Steps_.push_back({Now + LeaveAfterNs + ReturnAfterNs, true});
  Log_("restart requested: leaving in " + std::to_string(LeaveAfterNs / 1000000) + " ms, back " +
       std::to_string(ReturnAfterNs / 1000000) + " ms later");
}

void UsbRedirServer::SendDeviceInfo() {
  const std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Interfaces = Device_->Interfaces();
  usb_redir_interface_info_header Info{};
  for (const EFI_USB_INTERFACE_DESCRIPTOR &If : Interfaces) {
    if (Info.interface_count == 32) {
      break;
    }
    const uint32_t I = Info.interface_count++;
    Info.interface[I] = If.InterfaceNumber;
    Info.interface_class[I] = If.InterfaceClass;
    Info.interface_subclass[I] = If.InterfaceSubClass;
    Info.interface_protocol[I] = If.InterfaceProtocol;
  }
  usbredirparser_send_interface_info(Parser_, &Info);

  usb_redir_ep_info_header Endpoints{};
  std::memset(Endpoints.type, usb_redir_type_invalid, sizeof(Endpoints.type));
  const uint8_t MaxPacket0 = Device_->DeviceDescriptor().MaxPacketSize0;
  for (uint8_t Address : {uint8_t{0x00}, uint8_t{0x80}}) {
    const int Slot = EndpointSlot(Address);
    Endpoints.type[Slot] = usb_redir_type_control;
    Endpoints.max_packet_size[Slot] = MaxPacket0;
  }
  for (const EFI_USB_INTERFACE_DESCRIPTOR &If : Interfaces) {
    if (If.NumEndpoints != 0) {
      const int Slot = EndpointSlot(CameraDescriptors::kInterruptEndpoint);
      Endpoints.type[Slot] = usb_redir_type_interrupt;
      Endpoints.interval[Slot] = CameraDescriptors::kInterruptInterval;
      Endpoints.interface[Slot] = If.InterfaceNumber;
      Endpoints.max_packet_size[Slot] = CameraDescriptors::kInterruptMaxPacket;
    }
  }
  usbredirparser_send_ep_info(Parser_, &Endpoints);
}

void UsbRedirServer::Connect() {
  Descriptors_.Reset();
  SendDeviceInfo();
  const EFI_USB_DEVICE_DESCRIPTOR D = Device_->DeviceDescriptor();
  usb_redir_device_connect_header Header{};
  Header.speed = usb_redir_speed_high;
  Header.device_class = D.DeviceClass;
  Header.device_subclass = D.DeviceSubClass;
  Header.device_protocol = D.DeviceProtocol;
  Header.vendor_id = D.IdVendor;
  Header.product_id = D.IdProduct;
  Header.device_version_bcd = D.BcdDevice;
  usbredirparser_send_device_connect(Parser_, &Header);
  Connected_ = true;
  ++ConnectsSent_;
  Log_("device_connect " + Hex(D.IdVendor, 4) + ":" + Hex(D.IdProduct, 4) + " bcdDevice " + Hex(D.BcdDevice, 4));
}

void UsbRedirServer::Disconnect() {
  if (!Connected_) {
    return;
  }
  usbredirparser_send_device_disconnect(Parser_);
  Connected_ = false;
  ++DisconnectsSent_;
  Log_("device_disconnect");
}

void UsbRedirServer::OnHello(void *Priv, usb_redir_hello_header *Hello) {
  UsbRedirServer *Self = From(Priv);
  Self->HelloReceived_ = true;
  Self->Log_(std::string("hello from peer: ") + std::string(Hello->version, strnlen(Hello->version, 64)));
  const bool Returning =
      std::any_of(Self->Steps_.begin(), Self->Steps_.end(), [](const Step &S) { return S.Connect; });
  if (Self->Device_ && !Self->Connected_ && !Returning) {
    Self->Connect();
  } else if (!Self->Device_) {
    Self->Log_("unplugged: no device to connect");
  }
}

void UsbRedirServer::OnReset(void *Priv) {
  UsbRedirServer *Self = From(Priv);
  Self->Log_("reset");
  Self->Descriptors_.Reset();
}

void UsbRedirServer::OnSetConfiguration(void *Priv, uint64_t Id, usb_redir_set_configuration_header *Header) {
  UsbRedirServer *Self = From(Priv);
  usb_redir_configuration_status_header Status{};
  if (Self->Connected_ && Header->configuration <= CameraDescriptors::kConfigurationValue) {
    Self->Descriptors_.SetConfiguration(Header->configuration);
    Status.status = usb_redir_success;
  } else {
    Status.status = Self->Connected_ ? usb_redir_stall : usb_redir_ioerror;
  }
  Status.configuration = Self->Descriptors_.Configuration();
  Self->Log_("set_configuration " + std::to_string(Header->configuration) + " -> " + StatusName(Status.status));
  if (Self->Connected_) {
    Self->SendDeviceInfo();
  }
  usbredirparser_send_configuration_status(Self->Parser_, Id, &Status);
}

void UsbRedirServer::OnGetConfiguration(void *Priv, uint64_t Id) {
  UsbRedirServer *Self = From(Priv);
  usb_redir_configuration_status_header Status{};
  Status.status = Self->Connected_ ? usb_redir_success : usb_redir_ioerror;
  Status.configuration = Self->Descriptors_.Configuration();
  Self->Log_("get_configuration -> " + std::to_string(Status.configuration));
  usbredirparser_send_configuration_status(Self->Parser_, Id, &Status);
}

void UsbRedirServer::OnSetAltSetting(void *Priv, uint64_t Id, usb_redir_set_alt_setting_header *Header) {
  UsbRedirServer *Self = From(Priv);
  usb_redir_alt_setting_status_header Status{};
  Status.interface = Header->interface;
  bool Known = false;
  if (Self->Connected_) {
    for (const EFI_USB_INTERFACE_DESCRIPTOR &If : Self->Device_->Interfaces()) {
      Known = Known || If.InterfaceNumber == Header->interface;
    }
  }
  if (Known && Header->alt == 0) {  // alternate setting 0 is the only one
    Self->Descriptors_.SetAltSetting(Header->interface, 0);
    Status.status = usb_redir_success;
  } else {
    Status.status = Self->Connected_ ? usb_redir_stall : usb_redir_ioerror;
  }
  Status.alt = Self->Descriptors_.AltSetting(Header->interface);
  Self->Log_("set_alt_setting interface " + std::to_string(Header->interface) + " alt " +
             std::to_string(Header->alt) + " -> " + StatusName(Status.status));
  usbredirparser_send_alt_setting_status(Self->Parser_, Id, &Status);
}

void UsbRedirServer::OnGetAltSetting(void *Priv, uint64_t Id, usb_redir_get_alt_setting_header *Header) {
  UsbRedirServer *Self = From(Priv);
  usb_redir_alt_setting_status_header Status{};
  Status.status = Self->Connected_ ? usb_redir_success : usb_redir_ioerror;
  Status.interface = Header->interface;
  Status.alt = Self->Descriptors_.AltSetting(Header->interface);
  Self->Log_("get_alt_setting interface " + std::to_string(Header->interface));
  usbredirparser_send_alt_setting_status(Self->Parser_, Id, &Status);
}

void UsbRedirServer::OnCancel(void *Priv, uint64_t Id) {
  // Every packet is answered as it arrives: nothing is ever outstanding.
  From(Priv)->Log_("cancel_data_packet id " + std::to_string(Id));
}

void UsbRedirServer::OnDisconnectAck(void *Priv) { From(Priv)->Log_("device_disconnect_ack"); }

void UsbRedirServer::OnControl(void *Priv, uint64_t Id, usb_redir_control_packet_header *Header, uint8_t *Data,
                               int DataLength) {
  UsbRedirServer *Self = From(Priv);
  usb_redir_control_packet_header Answer = *Header;
  Self->Control(Id, Answer, Data, DataLength);
  if (Data != nullptr) {
    usbredirparser_free_packet_data(Self->Parser_, Data);
  }
}

void UsbRedirServer::Control(uint64_t Id, usb_redir_control_packet_header &Header, const uint8_t *Data,
                             int DataLength) {
  const bool In = (Header.endpoint & 0x80) != 0;
  const UsbSetup Setup{Header.requesttype, Header.request, Header.value, Header.index, Header.length};
  std::vector<uint8_t> Bytes;
  uint8_t Status = usb_redir_success;

  if (!Connected_) {
    Status = usb_redir_ioerror;  // off the bus: nobody answers
  } else {
    bool Stall = false;
    if (!Descriptors_.Standard(*Device_, Setup, Bytes, Stall)) {
      EFI_USB_DATA_DIRECTION Direction = In ? EfiUsbDataIn : (Header.length == 0 ? EfiUsbNoData : EfiUsbDataOut);
      size_t Length = Header.length;
      if (!In) {
        Bytes.assign(Data, Data + std::max(DataLength, 0));
        Length = Bytes.size();
      }
      Stall = Device_->Control(Setup, Direction, Length, Bytes) != EFI_SUCCESS;
      if (!In) {
        Bytes.clear();
      } else if (Bytes.size() > Header.length) {
        Bytes.resize(Header.length);
      }
    }
    if (Stall) {
      Status = usb_redir_stall;
      Bytes.clear();
    }
  }

  Header.status = Status;
  if (In) {
    Header.length = static_cast<uint16_t>(Bytes.size());
  } else if (Status != usb_redir_success) {
    Header.length = 0;
  }
  Log_("control " + Hex(Setup.RequestType, 2) + " " + Hex(Setup.Request, 2) + " wValue " + Hex(Setup.Value, 4) +
       " wIndex " + Hex(Setup.Index, 4) + " wLength " + std::to_string(Setup.Length) + " -> " + StatusName(Status) +
       (In ? ", " + std::to_string(Bytes.size()) + " bytes" : ""));
  usbredirparser_send_control_packet(Parser_, Id, &Header, In && !Bytes.empty() ? Bytes.data() : nullptr,
                                     In ? static_cast<int>(Bytes.size()) : 0);
}

}  // namespace Sim
