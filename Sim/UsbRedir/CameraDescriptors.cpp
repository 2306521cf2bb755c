#include "Sim/UsbRedir/CameraDescriptors.h"

#include <algorithm>

#include "Sim/Camera/Camera.h"

namespace Sim {

namespace {

constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescString = 3;
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescEndpoint = 5;
constexpr uint8_t kDescDeviceQualifier = 6;
constexpr uint8_t kDescInterfaceAssociation = 11;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;

constexpr uint8_t kReqGetStatus = 0;
constexpr uint8_t kReqClearFeature = 1;
constexpr uint8_t kReqSetFeature = 3;
constexpr uint8_t kReqGetDescriptor = 6;
constexpr uint8_t kReqGetConfiguration = 8;
constexpr uint8_t kReqSetConfiguration = 9;
constexpr uint8_t kReqGetInterface = 10;
constexpr uint8_t kReqSetInterface = 11;

void Le16(std::vector<uint8_t> &Out, uint16_t Value) {
  Out.push_back(static_cast<uint8_t>(Value & 0xFF));
  Out.push_back(static_cast<uint8_t>(Value >> 8));
}

void Le32(std::vector<uint8_t> &Out, uint32_t Value) {
  for (int I = 0; I < 4; ++I) {
    Out.push_back(static_cast<uint8_t>(Value >> (8 * I)));
  }
}

// The video-control interface's class-specific descriptors: header, camera
// input terminal, extension unit, streaming output terminal.
std::vector<uint8_t> VideoControlDescriptors(uint8_t StreamingInterface) {
  std::vector<uint8_t> Units;
  // Camera input terminal (18 bytes, no controls).
  Units.insert(Units.end(), {18, kCsInterface, 0x02, CameraDescriptors::kInputTerminalId});
  Le16(Units, 0x0201);  // camera sensor
  Units.insert(Units.end(), {0, 0});
  Le16(Units, 0);
  Le16(Units, 0);
  Le16(Units, 0);
  Units.insert(Units.end(), {3, 0, 0, 0});
  // Extension unit: one input pin, a 4-byte control bitmap with a bit per
  // selector (bit n-1 for selector n).
  uint32_t Controls = 0;
  for (const XuSelector &Control : kCameraXuSelectors) {
    if (Control.Selector >= 1 && Control.Selector <= 32) {
      Controls |= 1u << (Control.Selector - 1);
    }
  }
  Units.insert(Units.end(), {29, kCsInterface, 0x06, CameraDescriptors::kExtensionUnitId});
  Units.insert(Units.end(), CameraDescriptors::kExtensionUnitGuid, CameraDescriptors::kExtensionUnitGuid + 16);
  Units.push_back(static_cast<uint8_t>(kCameraXuSelectors.size()));
  Units.insert(Units.end(), {1, CameraDescriptors::kInputTerminalId, 4});
  Le32(Units, Controls);
  Units.push_back(0);
  // Streaming output terminal fed by the extension unit.
  Units.insert(Units.end(), {9, kCsInterface, 0x03, CameraDescriptors::kOutputTerminalId});
  Le16(Units, 0x0101);
  Units.insert(Units.end(), {0, CameraDescriptors::kExtensionUnitId, 0});

  std::vector<uint8_t> Header = {13, kCsInterface, 0x01};
  Le16(Header, 0x0100);  // video class release 1.00
  Le16(Header, static_cast<uint16_t>(13 + Units.size()));
  Le32(Header, 48000000);  // clock frequency
  Header.insert(Header.end(), {1, StreamingInterface});
  Header.insert(Header.end(), Units.begin(), Units.end());
  return Header;
}

void AppendInterface(std::vector<uint8_t> &Out, const EFI_USB_INTERFACE_DESCRIPTOR &If) {
  Out.insert(Out.end(), {9, kDescInterface, If.InterfaceNumber, If.AlternateSetting, If.NumEndpoints,
                         If.InterfaceClass, If.InterfaceSubClass, If.InterfaceProtocol, If.Interface});
}

}  // namespace

const uint8_t CameraDescriptors::kExtensionUnitGuid[16] = {0x43, 0x55, 0x44, 0x58, 0x2D, 0x58, 0x55, 0x34,
                                                           0x9A, 0x51, 0x6B, 0x1C, 0x27, 0xE0, 0x0D, 0x4A};

CameraDescriptors::CameraDescriptors(std::string Manufacturer, std::string Product)
    : Manufacturer_(std::move(Manufacturer)), Product_(std::move(Product)) {}

void CameraDescriptors::Reset() {
  Configured_ = 0;
  std::fill(std::begin(Alt_), std::end(Alt_), 0);
}

std::vector<uint8_t> CameraDescriptors::Configuration(const UsbDeviceModel &Device) const {
  const std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Interfaces = Device.Interfaces();
  uint8_t StreamingInterface = 1;
  uint8_t FirstVideo = 0xFF;
  uint8_t VideoCount = 0;
  for (const EFI_USB_INTERFACE_DESCRIPTOR &If : Interfaces) {
    if (If.InterfaceClass == 0x0E) {
      FirstVideo = std::min(FirstVideo, If.InterfaceNumber);
      ++VideoCount;
      if (If.InterfaceSubClass == 0x02) {
        StreamingInterface = If.InterfaceNumber;
      }
    }
  }

  std::vector<uint8_t> Body;
  if (VideoCount != 0) {
    // Interface association: the video function, named by the product string.
    Body.insert(Body.end(), {8, kDescInterfaceAssociation, FirstVideo, VideoCount, 0x0E, 0x03, 0x00, 2});
  }
  for (const EFI_USB_INTERFACE_DESCRIPTOR &If : Interfaces) {
    AppendInterface(Body, If);
    const bool VideoControl = If.InterfaceClass == 0x0E && If.InterfaceSubClass == 0x01;
    if (VideoControl) {
      const std::vector<uint8_t> Vc = VideoControlDescriptors(StreamingInterface);
      Body.insert(Body.end(), Vc.begin(), Vc.end());
    }
    if (If.NumEndpoints != 0) {
      // Video control's status interrupt endpoint (the one endpoint the
      // camera's interfaces have).
      Body.insert(Body.end(), {7, kDescEndpoint, kInterruptEndpoint, 0x03});
      Le16(Body, kInterruptMaxPacket);
      Body.push_back(kInterruptInterval);
      if (VideoControl) {
        Body.insert(Body.end(), {5, kCsEndpoint, 0x03});
        Le16(Body, kInterruptMaxPacket);
      }
    }
  }

  std::vector<uint8_t> Out = {9, kDescConfiguration};
  Le16(Out, static_cast<uint16_t>(9 + Body.size()));
  Out.insert(Out.end(), {static_cast<uint8_t>(Interfaces.size()), kConfigurationValue, 0, 0x80, 250});
  Out.insert(Out.end(), Body.begin(), Body.end());
  return Out;
}

std::vector<uint8_t> CameraDescriptors::DeviceQualifier(const UsbDeviceModel &Device) const {
  const EFI_USB_DEVICE_DESCRIPTOR D = Device.DeviceDescriptor();
  std::vector<uint8_t> Out = {10, kDescDeviceQualifier};
  Le16(Out, D.BcdUSB);
  Out.insert(Out.end(), {D.DeviceClass, D.DeviceSubClass, D.DeviceProtocol, D.MaxPacketSize0, D.NumConfigurations, 0});
  return Out;
}

std::vector<uint8_t> CameraDescriptors::String(uint8_t Index) const {
  if (Index == 0) {
    return {4, kDescString, 0x09, 0x04};  // English (United States)
  }
  const std::string *Text = Index == 1 ? &Manufacturer_ : Index == 2 ? &Product_ : nullptr;
  if (Text == nullptr) {
    return {};
  }
  std::vector<uint8_t> Out = {static_cast<uint8_t>(2 + 2 * Text->size()), kDescString};
  for (char C : *Text) {
    Le16(Out, static_cast<uint8_t>(C));
  }
  return Out;
}

bool CameraDescriptors::Standard(const UsbDeviceModel &Device, const UsbSetup &Setup, std::vector<uint8_t> &Data,
                                 bool &Stall) {
  Stall = false;
  Data.clear();
  if ((Setup.RequestType & 0x60) != 0) {
    return false;
  }
  const bool In = (Setup.RequestType & 0x80) != 0;
  const uint8_t Recipient = Setup.RequestType & 0x1F;
  auto Answer = [&](std::vector<uint8_t> Bytes) {
    if (Bytes.empty() || !In) {
      Stall = true;
      return true;
    }
    Bytes.resize(std::min<size_t>(Bytes.size(), Setup.Length));
    Data = std::move(Bytes);
    return true;
  };

  switch (Setup.Request) {
    case kReqGetDescriptor: {
      if (Recipient != 0) {
        Stall = true;
        return true;
      }
      const uint8_t Type = static_cast<uint8_t>(Setup.Value >> 8);
      const uint8_t Index = static_cast<uint8_t>(Setup.Value & 0xFF);
      switch (Type) {
        case kDescDevice:
          return false;  // the model's own answer
        case kDescConfiguration:
          return Answer(Index == 0 ? Configuration(Device) : std::vector<uint8_t>{});
        case kDescString:
          return Answer(String(Index));
        case kDescDeviceQualifier:
          return Answer(DeviceQualifier(Device));
        default:
          Stall = true;
          return true;
      }
    }
    case kReqGetStatus:
      if (!In || Setup.Length < 2 || Recipient > 2) {
        Stall = true;
        return true;
      }
      return Answer({0, 0});
    case kReqClearFeature:
    case kReqSetFeature:
      Stall = In || Recipient > 2;
      return true;
    case kReqGetConfiguration:
      return Answer({Configured_});
    case kReqSetConfiguration:
      if (In || Setup.Value > kConfigurationValue) {
        Stall = true;
        return true;
      }
      Configured_ = static_cast<uint8_t>(Setup.Value);
      std::fill(std::begin(Alt_), std::end(Alt_), 0);
      return true;
    case kReqGetInterface:
      if (Recipient != 1 || Configured_ == 0) {
        Stall = true;
        return true;
      }
      return Answer({AltSetting(static_cast<uint8_t>(Setup.Index))});
    case kReqSetInterface: {
      // Every interface has alternate setting 0 only.
      bool Known = false;
      for (const EFI_USB_INTERFACE_DESCRIPTOR &If : Device.Interfaces()) {
        Known = Known || If.InterfaceNumber == Setup.Index;
      }
      Stall = In || Recipient != 1 || Configured_ == 0 || !Known || Setup.Value != 0;
      return true;
    }
    default:
      return false;  // SET_ADDRESS never arrives here; anything else: the model decides
  }
}

}  // namespace Sim
