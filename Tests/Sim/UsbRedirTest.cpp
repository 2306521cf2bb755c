// The camera served over usb-redir: the server in usbredir's USB-host role
// against a parser in the guest role (the part QEMU plays), over a socket
// pair in this process, with virtual time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Sim/Camera/Camera.h"
#include "Sim/UsbRedir/CameraDescriptors.h"
#include "Sim/UsbRedir/UsbRedirServer.h"

namespace {

struct ControlAnswer {
  uint64_t Id;
  usb_redir_control_packet_header Header;
  std::vector<uint8_t> Data;
};

// The guest side: records what the server sent, in order.
class Guest {
 public:
  explicit Guest(int Fd) : Fd_(Fd) {
    fcntl(Fd_, F_SETFL, fcntl(Fd_, F_GETFL, 0) | O_NONBLOCK);
    P_ = usbredirparser_create();
    P_->priv = this;
    P_->log_func = [](void *Priv, int Level, const char *Message) {
      if (Level <= usbredirparser_warning) Self(Priv)->ParserErrors.push_back(Message);
    };
    P_->read_func = [](void *Priv, uint8_t *Data, int Count) -> int {
      const ssize_t Got = ::read(static_cast<Guest *>(Priv)->Fd_, Data, Count);
      if (Got > 0) return static_cast<int>(Got);
      return Got == 0 ? -1 : 0;
    };
    P_->write_func = [](void *Priv, uint8_t *Data, int Count) -> int {
      const ssize_t Put = ::send(static_cast<Guest *>(Priv)->Fd_, Data, Count, MSG_NOSIGNAL);
      return Put >= 0 ? static_cast<int>(Put) : 0;
    };
    P_->hello_func = [](void *Priv, usb_redir_hello_header *) { Self(Priv)->Events.push_back("hello"); };
    P_->device_connect_func = [](void *Priv, usb_redir_device_connect_header *H) {
      Self(Priv)->Connects.push_back(*H);
      Self(Priv)->Events.push_back("device_connect");
    };
    P_->device_disconnect_func = [](void *Priv) { Self(Priv)->Events.push_back("device_disconnect"); };
    P_->interface_info_func = [](void *Priv, usb_redir_interface_info_header *H) {
      Self(Priv)->Interfaces = *H;
      Self(Priv)->Events.push_back("interface_info");
    };
    P_->ep_info_func = [](void *Priv, usb_redir_ep_info_header *H) {
      Self(Priv)->Endpoints = *H;
      Self(Priv)->Events.push_back("ep_info");
    };
    P_->configuration_status_func = [](void *Priv, uint64_t, usb_redir_configuration_status_header *H) {
      Self(Priv)->Configuration = *H;
      Self(Priv)->Events.push_back("configuration_status");
    };
    P_->alt_setting_status_func = [](void *Priv, uint64_t, usb_redir_alt_setting_status_header *H) {
      Self(Priv)->AltSetting = *H;
      Self(Priv)->Events.push_back("alt_setting_status");
    };
    P_->control_packet_func = [](void *Priv, uint64_t Id, usb_redir_control_packet_header *H, uint8_t *Data,
                                 int Length) {
      Guest *G = Self(Priv);
      G->Answers.push_back({Id, *H, std::vector<uint8_t>(Data, Data + (Data ? Length : 0))});
      G->Events.push_back("control_packet");
      if (Data != nullptr) usbredirparser_free_packet_data(G->P_, Data);
    };
    uint32_t Caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(Caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(Caps, usb_redir_cap_device_disconnect_ack);
    usbredirparser_caps_set_cap(Caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(Caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(Caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_init(P_, "guest-under-test", Caps, USB_REDIR_CAPS_SIZE, 0);
  }
  ~Guest() { usbredirparser_destroy(P_); }

  void Pump() {
    if (usbredirparser_has_data_to_write(P_) > 0) usbredirparser_do_write(P_);
    usbredirparser_do_read(P_);
  }

  usbredirparser *P_;
  int Fd_;
  std::vector<std::string> Events;
  std::vector<usb_redir_device_connect_header> Connects;
  usb_redir_interface_info_header Interfaces{};
  usb_redir_ep_info_header Endpoints{};
  usb_redir_configuration_status_header Configuration{};
  usb_redir_alt_setting_status_header AltSetting{};
  std::vector<ControlAnswer> Answers;
  std::vector<std::string> ParserErrors;  // what the guest's parser refused

 private:
  static Guest *Self(void *Priv) { return static_cast<Guest *>(Priv); }
};

class UsbRedirTest : public ::testing::Test {
 protected:
  void Start(std::shared_ptr<Sim::Camera> Device) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, Fds_), 0);
    Device_ = Device;
    Server_ = std::make_unique<Sim::UsbRedirServer>(
        Fds_[0], Device, [this] { return NowNs_; }, [this](const std::string &Line) { Log_.push_back(Line); });
    Guest_ = std::make_unique<Guest>(Fds_[1]);
    Pump();
  }

  void TearDown() override {
    if (Guest_) {
      EXPECT_EQ(Guest_->ParserErrors, std::vector<std::string>{});
    }
    for (const std::string &Line : Log_) {
      EXPECT_EQ(Line.find("usbredirparser:"), std::string::npos) << Line;
    }
    Server_.reset();
    Guest_.reset();
    for (int Fd : Fds_) {
      if (Fd >= 0) close(Fd);
    }
  }

  // The peer goes (QEMU exits) and a new one connects to the same camera
  // (the next run of QEMU).
  void Reconnect() {
    Server_.reset();
    Guest_.reset();
    for (int &Fd : Fds_) {
      close(Fd);
      Fd = -1;
    }
    Start(Device_);
  }

  void Pump() {
    for (int I = 0; I < 8; ++I) {
      Guest_->Pump();
      Server_->Service();
      Guest_->Pump();
    }
  }

  void Advance(uint64_t Ns) {
    NowNs_ += Ns;
    Server_->RunDue();
    Pump();
  }

  // Sends one control packet from the guest and returns the server's answer.
  ControlAnswer Control(uint8_t RequestType, uint8_t Request, uint16_t Value, uint16_t Index, uint16_t Length,
                        std::vector<uint8_t> Out = {}) {
    usb_redir_control_packet_header H{};
    H.endpoint = (RequestType & 0x80) ? 0x80 : 0x00;
    H.request = Request;
    H.requesttype = RequestType;
    H.value = Value;
    H.index = Index;
    H.length = Length;
    const uint64_t Id = ++NextId_;
    usbredirparser_send_control_packet(Guest_->P_, Id, &H, Out.empty() ? nullptr : Out.data(),
                                       static_cast<int>(Out.size()));
    const size_t Before = Guest_->Answers.size();
    Pump();
    EXPECT_EQ(Guest_->Answers.size(), Before + 1) << "no answer to control packet " << Id;
    if (Guest_->Answers.size() != Before + 1) return {};
    const ControlAnswer A = Guest_->Answers.back();
    EXPECT_EQ(A.Id, Id);
    EXPECT_EQ(A.Header.request, Request);
    EXPECT_EQ(A.Header.requesttype, RequestType);
    EXPECT_EQ(A.Header.value, Value);
    EXPECT_EQ(A.Header.index, Index);
    return A;
  }

  size_t Count(const std::string &Event) const {
    size_t N = 0;
    for (const std::string &E : Guest_->Events) N += E == Event;
    return N;
  }

  int Fds_[2] = {-1, -1};
  uint64_t NowNs_ = 1000;
  uint64_t NextId_ = 0;
  std::shared_ptr<Sim::Camera> Device_;
  std::unique_ptr<Sim::UsbRedirServer> Server_;
  std::unique_ptr<Guest> Guest_;
  std::vector<std::string> Log_;
};

TEST_F(UsbRedirTest, AfterHelloSendsInterfacesEndpointsAndConnectWithTheCamerasIdentity) {
  Start(std::make_shared<Sim::Camera>());
  EXPECT_TRUE(Server_->HelloReceived());
  ASSERT_EQ(Guest_->Events, (std::vector<std::string>{"hello", "interface_info", "ep_info", "device_connect"}));
  const usb_redir_device_connect_header &C = Guest_->Connects.at(0);
  EXPECT_EQ(C.speed, usb_redir_speed_high);
  EXPECT_EQ(C.device_class, 0xEF);
  EXPECT_EQ(C.device_subclass, 0x02);
  EXPECT_EQ(C.device_protocol, 0x01);
  EXPECT_EQ(C.vendor_id, 0x30C9);
  EXPECT_EQ(C.product_id, 0x004A);
  EXPECT_EQ(C.device_version_bcd, 0x0100);

  ASSERT_EQ(Guest_->Interfaces.interface_count, 2u);
  EXPECT_EQ(Guest_->Interfaces.interface[0], 0);
  EXPECT_EQ(Guest_->Interfaces.interface_class[0], 0x0E);
  EXPECT_EQ(Guest_->Interfaces.interface_subclass[0], 0x01);
  EXPECT_EQ(Guest_->Interfaces.interface[1], 1);
  EXPECT_EQ(Guest_->Interfaces.interface_class[1], 0x0E);
  EXPECT_EQ(Guest_->Interfaces.interface_subclass[1], 0x02);

  EXPECT_EQ(Guest_->Endpoints.type[0], usb_redir_type_control);
  EXPECT_EQ(Guest_->Endpoints.type[16], usb_redir_type_control);
  EXPECT_EQ(Guest_->Endpoints.max_packet_size[0], 64);
  EXPECT_EQ(Guest_->Endpoints.type[17], usb_redir_type_interrupt);  // 0x81
  EXPECT_EQ(Guest_->Endpoints.interface[17], 0);
  EXPECT_EQ(Guest_->Endpoints.type[1], usb_redir_type_invalid);
  EXPECT_EQ(Guest_->Endpoints.type[18], usb_redir_type_invalid);
}

TEST_F(UsbRedirTest, IdentityOptionsOfTheProfileReachDeviceConnect) {
  Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('k');
  Profile.VendorId = 0x1234;
  Profile.ProductId = 0x5678;
  Profile.BcdDevice = 0x0917;
  Start(std::make_shared<Sim::Camera>(Profile));
  ASSERT_EQ(Guest_->Connects.size(), 1u);
  EXPECT_EQ(Guest_->Connects[0].vendor_id, 0x1234);
  EXPECT_EQ(Guest_->Connects[0].product_id, 0x5678);
  EXPECT_EQ(Guest_->Connects[0].device_version_bcd, 0x0917);
}

TEST_F(UsbRedirTest, UnpluggedAnswersHelloButNeverConnects) {
  Start(nullptr);
  EXPECT_TRUE(Server_->HelloReceived());
  EXPECT_EQ(Guest_->Events, std::vector<std::string>{"hello"});
  EXPECT_EQ(Server_->ConnectsSent(), 0u);
  const ControlAnswer A = Control(0x80, 6, 0x0100, 0, 18);
  EXPECT_EQ(A.Header.status, usb_redir_ioerror);
  EXPECT_TRUE(A.Data.empty());
}

TEST_F(UsbRedirTest, GetDeviceDescriptorIsAnsweredWithTheModelsEighteenBytes) {
  Start(std::make_shared<Sim::Camera>());
  const ControlAnswer A = Control(0x80, 6, 0x0100, 0, 18);
  EXPECT_EQ(A.Header.status, usb_redir_success);
  EXPECT_EQ(A.Header.length, 18);
  const EFI_USB_DEVICE_DESCRIPTOR D = Device_->DeviceDescriptor();
  const auto *Bytes = reinterpret_cast<const uint8_t *>(&D);
  EXPECT_EQ(A.Data, std::vector<uint8_t>(Bytes, Bytes + 18));
  ASSERT_EQ(A.Data.size(), 18u);
  EXPECT_EQ(A.Data[0], 18);
  EXPECT_EQ(A.Data[1], 1);
  EXPECT_EQ(A.Data[8] | (A.Data[9] << 8), 0x30C9);
  EXPECT_EQ(A.Data[10] | (A.Data[11] << 8), 0x004A);

  // The first 8 bytes, as a host's first look asks.
  const ControlAnswer Short = Control(0x80, 6, 0x0100, 0, 8);
  EXPECT_EQ(Short.Header.status, usb_redir_success);
  EXPECT_EQ(Short.Data, std::vector<uint8_t>(Bytes, Bytes + 8));
}

TEST_F(UsbRedirTest, ExtensionUnitGetLenOfSelectorTwoAnswersTwo) {
  Start(std::make_shared<Sim::Camera>());
  const ControlAnswer A = Control(0xA1, 0x85, 0x0200, 0x0400, 2);
  EXPECT_EQ(A.Header.status, usb_redir_success);
  EXPECT_EQ(A.Header.length, 2);
  EXPECT_EQ(A.Data, (std::vector<uint8_t>{2, 0}));
  // The chunk selector reports the profile's chunk size.
  const ControlAnswer Chunk = Control(0xA1, 0x85, 0x0F00, 0x0400, 2);
  EXPECT_EQ(Chunk.Data, (std::vector<uint8_t>{64, 0}));
}

TEST_F(UsbRedirTest, ExtensionUnitWritesAndReadsReachTheModel) {
  Start(std::make_shared<Sim::Camera>());
  const ControlAnswer Address = Control(0x21, 0x01, 0x0200, 0x0400, 2, {0x34, 0x12});
  EXPECT_EQ(Address.Header.status, usb_redir_success);
  EXPECT_EQ(Address.Header.length, 2);
  EXPECT_TRUE(Address.Data.empty());
  EXPECT_EQ(Control(0x21, 0x01, 0x0300, 0x0400, 1, {0x5C}).Header.status, usb_redir_success);
  EXPECT_EQ(Device_->Register(0x1234), 0x5C);
  const ControlAnswer Read = Control(0xA1, 0x81, 0x0300, 0x0400, 1);
  EXPECT_EQ(Read.Header.status, usb_redir_success);
  EXPECT_EQ(Read.Data, std::vector<uint8_t>{0x5C});
}

TEST_F(UsbRedirTest, MalformedRequestsAreStalled) {
  Start(std::make_shared<Sim::Camera>());
  // GET_CUR on the register selector with a wrong length.
  ControlAnswer A = Control(0xA1, 0x81, 0x0300, 0x0400, 4);
  EXPECT_EQ(A.Header.status, usb_redir_stall);
  EXPECT_EQ(A.Header.length, 0);
  EXPECT_TRUE(A.Data.empty());
  // A selector the unit does not have; a unit that is not there.
  EXPECT_EQ(Control(0xA1, 0x85, 0x3000, 0x0400, 2).Header.status, usb_redir_stall);
  EXPECT_EQ(Control(0xA1, 0x85, 0x0200, 0x0500, 2).Header.status, usb_redir_stall);
  // SET_CUR with fewer bytes than the control's length.
  A = Control(0x21, 0x01, 0x0200, 0x0400, 1, {0x00});
  EXPECT_EQ(A.Header.status, usb_redir_stall);
  EXPECT_EQ(A.Header.length, 0);
  // Descriptors that do not exist.
  EXPECT_EQ(Control(0x80, 6, 0x0309, 0, 255).Header.status, usb_redir_stall);
  EXPECT_EQ(Control(0x80, 6, 0x0F00, 0, 5).Header.status, usb_redir_stall);
  // The camera still answers afterwards.
  EXPECT_EQ(Control(0xA1, 0x85, 0x0200, 0x0400, 2).Header.status, usb_redir_success);
}

TEST_F(UsbRedirTest, ConfigurationDescriptorSetHoldsAssociationVideoControlAndExtensionUnit) {
  Start(std::make_shared<Sim::Camera>());
  const ControlAnswer Head = Control(0x80, 6, 0x0200, 0, 9);
  ASSERT_EQ(Head.Header.status, usb_redir_success);
  ASSERT_EQ(Head.Data.size(), 9u);
  const uint16_t Total = static_cast<uint16_t>(Head.Data[2] | (Head.Data[3] << 8));
  EXPECT_EQ(Head.Data[4], 2);  // interfaces
  EXPECT_EQ(Head.Data[5], 1);  // configuration value

  const ControlAnswer Full = Control(0x80, 6, 0x0200, 0, 0xFFFF);
  ASSERT_EQ(Full.Header.status, usb_redir_success);
  ASSERT_EQ(Full.Data.size(), Total);
  const std::vector<uint8_t> &D = Full.Data;

  // Walk the set: every length chains to the end exactly.
  bool Association = false, ExtensionUnit = false, VcHeader = false, Endpoint = false;
  std::vector<uint8_t> InterfaceOrder;
  size_t VcHeaderAt = 0;
  size_t At = 0;
  while (At < D.size()) {
    ASSERT_GE(D[At], 2) << "at " << At;
    ASSERT_LE(At + D[At], D.size()) << "at " << At;
    const uint8_t Type = D[At + 1];
    if (Type == 11) {
      Association = true;
      EXPECT_EQ(D[At + 2], 0);     // first interface
      EXPECT_EQ(D[At + 3], 2);     // interface count
      EXPECT_EQ(D[At + 4], 0x0E);  // video
      EXPECT_EQ(D[At + 5], 0x03);  // interface collection
      EXPECT_TRUE(InterfaceOrder.empty()) << "association after an interface";
    } else if (Type == 4) {
      InterfaceOrder.push_back(D[At + 2]);
    } else if (Type == 0x24 && D[At + 2] == 0x01) {
      VcHeader = true;
      VcHeaderAt = At;
      EXPECT_EQ(InterfaceOrder, std::vector<uint8_t>{0});
      EXPECT_EQ(D[At + 11], 1);  // one streaming interface
      EXPECT_EQ(D[At + 12], 1);  // interface 1
    } else if (Type == 0x24 && D[At + 2] == 0x06) {
      ExtensionUnit = true;
      EXPECT_EQ(D[At + 3], 4);  // unit id
      EXPECT_EQ(D[At], 29);
      const uint32_t Controls = D[At + 24] | (D[At + 25] << 8) | (D[At + 26] << 16) | (uint32_t(D[At + 27]) << 24);
      EXPECT_NE(Controls & (1u << (2 - 1)), 0u);      // selector 2
      EXPECT_NE(Controls & (1u << (0x0F - 1)), 0u);   // selector 0x0F
      EXPECT_EQ(Controls & (1u << (0x04 - 1)), 0u);   // no selector 4
    } else if (Type == 5) {
      Endpoint = true;
      EXPECT_EQ(D[At + 2], 0x81);
      EXPECT_EQ(D[At + 3], 0x03);
    }
    At += D[At];
  }
  EXPECT_EQ(At, D.size());
  EXPECT_TRUE(Association);
  EXPECT_TRUE(VcHeader);
  EXPECT_TRUE(ExtensionUnit);
  EXPECT_TRUE(Endpoint);
  EXPECT_EQ(InterfaceOrder, (std::vector<uint8_t>{0, 1}));
  // The header's total covers exactly the class-specific descriptors after it.
  const uint16_t VcTotal = static_cast<uint16_t>(D[VcHeaderAt + 5] | (D[VcHeaderAt + 6] << 8));
  size_t ClassSpecific = 0;
  for (size_t I = VcHeaderAt; I < D.size() && D[I + 1] == 0x24; I += D[I]) ClassSpecific += D[I];
  EXPECT_EQ(VcTotal, ClassSpecific);
}

TEST_F(UsbRedirTest, StringDescriptorsAnswerTheLanguageListAndTheProduct) {
  Start(std::make_shared<Sim::Camera>());
  EXPECT_EQ(Control(0x80, 6, 0x0300, 0, 255).Data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  const ControlAnswer Product = Control(0x80, 6, 0x0302, 0x0409, 255);
  ASSERT_EQ(Product.Header.status, usb_redir_success);
  ASSERT_GE(Product.Data.size(), 4u);
  EXPECT_EQ(Product.Data[0], Product.Data.size());
  EXPECT_EQ(Product.Data[1], 3);
  std::string Text;
  for (size_t I = 2; I + 1 < Product.Data.size(); I += 2) Text += static_cast<char>(Product.Data[I]);
  EXPECT_EQ(Text, "Emulated USB camera");
  EXPECT_EQ(Control(0x80, 6, 0x0301, 0x0409, 255).Header.status, usb_redir_success);
}

TEST_F(UsbRedirTest, ConfigurationAndAlternateSettings) {
  Start(std::make_shared<Sim::Camera>());
  Guest_->Events.clear();
  usbredirparser_send_get_configuration(Guest_->P_, ++NextId_);
  Pump();
  EXPECT_EQ(Guest_->Configuration.configuration, 0);

  Guest_->Events.clear();
  usb_redir_set_configuration_header Set{1};
  usbredirparser_send_set_configuration(Guest_->P_, ++NextId_, &Set);
  Pump();
  EXPECT_EQ(Guest_->Events, (std::vector<std::string>{"interface_info", "ep_info", "configuration_status"}));
  EXPECT_EQ(Guest_->Configuration.status, usb_redir_success);
  EXPECT_EQ(Guest_->Configuration.configuration, 1);
  usbredirparser_send_get_configuration(Guest_->P_, ++NextId_);
  Pump();
  EXPECT_EQ(Guest_->Configuration.configuration, 1);
  EXPECT_EQ(Control(0x80, 8, 0, 0, 1).Data, std::vector<uint8_t>{1});

  usb_redir_set_configuration_header Bad{7};
  usbredirparser_send_set_configuration(Guest_->P_, ++NextId_, &Bad);
  Pump();
  EXPECT_EQ(Guest_->Configuration.status, usb_redir_stall);

  usb_redir_set_alt_setting_header Alt{1, 0};
  usbredirparser_send_set_alt_setting(Guest_->P_, ++NextId_, &Alt);
  Pump();
  EXPECT_EQ(Guest_->AltSetting.status, usb_redir_success);
  EXPECT_EQ(Guest_->AltSetting.interface, 1);
  usb_redir_set_alt_setting_header NoSuchAlt{1, 1};
  usbredirparser_send_set_alt_setting(Guest_->P_, ++NextId_, &NoSuchAlt);
  Pump();
  EXPECT_EQ(Guest_->AltSetting.status, usb_redir_stall);
  usb_redir_set_alt_setting_header NoSuchInterface{5, 0};
  usbredirparser_send_set_alt_setting(Guest_->P_, ++NextId_, &NoSuchInterface);
  Pump();
  EXPECT_EQ(Guest_->AltSetting.status, usb_redir_stall);
  usb_redir_get_alt_setting_header Get{0};
  usbredirparser_send_get_alt_setting(Guest_->P_, ++NextId_, &Get);
  Pump();
  EXPECT_EQ(Guest_->AltSetting.status, usb_redir_success);
  EXPECT_EQ(Guest_->AltSetting.alt, 0);
}

TEST_F(UsbRedirTest, RestartOfAnNCameraDisconnectsThenConnectsWithTheNewIdentity) {
  Start(std::make_shared<Sim::Camera>(Sim::CameraProfile::ForIspKind('n')));
  Guest_->Events.clear();
  EXPECT_EQ(Control(0x21, 0x01, 0x0200, 0x0400, 2, {0xD8, 0x20}).Header.status, usb_redir_success);
  const ControlAnswer Restart = Control(0x21, 0x01, 0x0300, 0x0400, 1, {0xA5});
  // The request that causes the restart is answered normally, and the
  // camera is still there until it leaves.
  EXPECT_EQ(Restart.Header.status, usb_redir_success);
  EXPECT_EQ(Device_->RestartsRequested(), 1u);
  EXPECT_EQ(Count("device_disconnect"), 0u);
  EXPECT_TRUE(Server_->DeviceConnected());
  ASSERT_TRUE(Server_->NextDueNs().has_value());
  EXPECT_EQ(*Server_->NextDueNs(), NowNs_ + Sim::Camera::kRestartLeaveNs);

  Advance(Sim::Camera::kRestartLeaveNs - 1);
  EXPECT_EQ(Count("device_disconnect"), 0u);
  Advance(1);
  EXPECT_EQ(Count("device_disconnect"), 1u);
  EXPECT_FALSE(Server_->DeviceConnected());
  EXPECT_EQ(Control(0xA1, 0x85, 0x0200, 0x0400, 2).Header.status, usb_redir_ioerror);

  // What the camera comes back as is what it presents then: the boot finds
  // another base image in flash than the factory's.
  const std::vector<uint8_t> Image = Sim::Camera::BaseImage({0x30C9, 0x004A, 0x0207});
  std::copy(Image.begin(), Image.end(), Device_->Flash().begin());
  Advance(Sim::Camera::kRestartReturnNs - 1);
  EXPECT_EQ(Count("device_connect"), 0u);
  EXPECT_EQ(Device_->RestartsCompleted(), 0u);
  Advance(1);
  EXPECT_EQ(Device_->RestartsCompleted(), 1u);
  ASSERT_EQ(Guest_->Connects.size(), 2u);
  EXPECT_EQ(Guest_->Connects[1].vendor_id, 0x30C9);
  EXPECT_EQ(Guest_->Connects[1].device_version_bcd, 0x0207);
  const std::vector<std::string> Tail(Guest_->Events.end() - 3, Guest_->Events.end());
  EXPECT_EQ(Tail, (std::vector<std::string>{"interface_info", "ep_info", "device_connect"}));
  EXPECT_FALSE(Server_->NextDueNs().has_value());
  // The restarted ISP booted afresh and answers again.
  EXPECT_EQ(Control(0xA1, 0x85, 0x0200, 0x0400, 2).Data, (std::vector<uint8_t>{2, 0}));
  EXPECT_EQ(Device_->Register(0x20FF), 0x02);
}

TEST_F(UsbRedirTest, PeerClosingEndsTheSession) {
  Start(std::make_shared<Sim::Camera>());
  EXPECT_TRUE(Server_->Service());
  close(Fds_[1]);
  Fds_[1] = -1;
  EXPECT_FALSE(Server_->Service());
}

// Each connection is a boot of the machine: the camera keeps its flash from
// one to the next, and is powered on at each, so what the ISP held in RAM is
// gone and a restart the peer did not stay for ends in that power-on.
TEST_F(UsbRedirTest, ANewPeerFindsTheSameFlashOnAPoweredOnCamera) {
  Start(std::make_shared<Sim::Camera>(Sim::CameraProfile::ForIspKind('n')));
  // A base image of another version in flash, a value latched on a selector
  // (ISP RAM), and a restart asked for; the peer leaves before the camera
  // is back.
  const std::vector<uint8_t> Image = Sim::Camera::BaseImage({0x30C9, 0x004A, 0x0311});
  std::copy(Image.begin(), Image.end(), Device_->Flash().begin());
  EXPECT_EQ(Control(0x21, 0x01, 0x1F00, 0x0400, 32, std::vector<uint8_t>(32, 0x5C)).Header.status, usb_redir_success);
  ASSERT_NE(Device_->LastSet(0x1F), nullptr);
  EXPECT_EQ(Control(0x21, 0x01, 0x0200, 0x0400, 2, {0xD8, 0x20}).Header.status, usb_redir_success);
  EXPECT_EQ(Control(0x21, 0x01, 0x0300, 0x0400, 1, {0xA5}).Header.status, usb_redir_success);
  EXPECT_TRUE(Device_->RestartPending());
  Advance(Sim::Camera::kRestartLeaveNs);
  EXPECT_EQ(Count("device_disconnect"), 1u);

  Reconnect();
  EXPECT_FALSE(Device_->RestartPending());
  EXPECT_EQ(Device_->LastSet(0x1F), nullptr);
  EXPECT_EQ(Device_->RestartsCompleted(), 0u);  // powered on, not restarted
  ASSERT_EQ(Guest_->Connects.size(), 1u);
  EXPECT_EQ(Guest_->Connects[0].device_version_bcd, 0x0311);
  EXPECT_TRUE(std::equal(Image.begin(), Image.end(), Device_->Flash().begin()));
  // Nothing of the old session's restart is left to run.
  EXPECT_FALSE(Server_->NextDueNs().has_value());
  EXPECT_EQ(Control(0xA1, 0x85, 0x0200, 0x0400, 2).Data, (std::vector<uint8_t>{2, 0}));
}

}  // namespace
