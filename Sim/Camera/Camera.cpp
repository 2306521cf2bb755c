#include "Sim/Camera/Camera.h"

#include <algorithm>
#include <cstring>

namespace Sim {

namespace {

// UVC class-specific requests.
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetLen = 0x85;
constexpr uint8_t kClassInterfaceOut = 0x21;
constexpr uint8_t kClassInterfaceIn = 0xA1;

uint32_t Le32(const std::vector<uint8_t> &Data) {
  return Data[0] | (Data[1] << 8) | (Data[2] << 16) | (static_cast<uint32_t>(Data[3]) << 24);
}

}  // namespace

const std::vector<XuSelector> kCameraXuSelectors = {
    {0x02, 2, kXuSet},           // ISP register address
    {0x03, 1, kXuGet | kXuSet},  // ISP register data
    {0x07, 1, kXuSet},           // flash command table slot
    {0x08, 1, kXuSet},           // flash command table value
    {0x09, 1, kXuSet},           // flash write enable
    {0x0D, 4, kXuSet},           // erase the sector at this address
    {0x0E, 4, kXuSet},           // flash address
    {0x0F, 0, kXuGet | kXuSet},  // flash data, one chunk
    {0x10, 1, kXuSet},           // flash command set mode
    {0x17, 3, kXuGet},           // flash identification bytes
    {0x1A, 4, kXuSet},           // ISP address-space address
    {0x1B, 4, kXuGet},           // ISP address-space data
    {0x1F, 32, kXuSet},          // signed digest
};

Camera::Camera(CameraProfile Profile) : Profile_(Profile), Flash_(Profile.FlashSize, 0xFF) { PowerOn(); }

void Camera::PowerOn() {
  Registers_.fill(0);
  AddressSpace_.clear();
  RegisterAddress_ = 0;
  DwordAddress_ = 0;
  FlashAddress_ = 0;
  LastSet_.clear();
}

EFI_USB_DEVICE_DESCRIPTOR Camera::DeviceDescriptor() const {
  EFI_USB_DEVICE_DESCRIPTOR D{};
  D.Length = sizeof(D);
  D.DescriptorType = USB_DESC_TYPE_DEVICE;
  D.BcdUSB = 0x0200;
  D.DeviceClass = 0xEF;  // miscellaneous, with interface association
  D.DeviceSubClass = 0x02;
  D.DeviceProtocol = 0x01;
  D.MaxPacketSize0 = 0x40;
  D.IdVendor = Profile_.VendorId;
  D.IdProduct = Profile_.ProductId;
  D.BcdDevice = Profile_.BcdDevice;
  D.StrManufacturer = 1;
  D.StrProduct = 2;
  D.StrSerialNumber = 0;
  D.NumConfigurations = 1;
  return D;
}

std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Camera::Interfaces() const {
  // Video class: interface 0 video control (holds extension unit 4),
  // interface 1 video streaming.
  EFI_USB_INTERFACE_DESCRIPTOR Control{9, USB_DESC_TYPE_INTERFACE, 0, 0, 1, 0x0E, 0x01, 0x00, 0};
  EFI_USB_INTERFACE_DESCRIPTOR Streaming{9, USB_DESC_TYPE_INTERFACE, 1, 0, 0, 0x0E, 0x02, 0x00, 0};
  return {Control, Streaming};
}

const XuSelector *Camera::Find(uint8_t Selector) const {
  for (const XuSelector &Control : kCameraXuSelectors) {
    if (Control.Selector == Selector) {
      return &Control;
    }
  }
  return nullptr;
}

uint16_t Camera::LengthOf(const XuSelector &Control) const {
  auto It = LengthOverrides_.find(Control.Selector);
  if (It != LengthOverrides_.end()) {
    return It->second;
  }
  return Control.Length == 0 ? Profile_.ChunkSize : Control.Length;
}

uint32_t Camera::Dword(uint32_t Address) const {
  uint32_t Value = 0;
  for (uint32_t I = 0; I < 4; ++I) {
    Value |= static_cast<uint32_t>(AddressByte(Address + I)) << (8 * I);
  }
  return Value;
}

void Camera::SetDword(uint32_t Address, uint32_t Value) {
  for (uint32_t I = 0; I < 4; ++I) {
    AddressSpace_[Address + I] = static_cast<uint8_t>(Value >> (8 * I));
  }
}

uint8_t Camera::AddressByte(uint32_t Address) const {
  auto It = AddressSpace_.find(Address);
  return It == AddressSpace_.end() ? 0 : It->second;
}

const std::vector<uint8_t> *Camera::LastSet(uint8_t Selector) const {
  auto It = LastSet_.find(Selector);
  return It == LastSet_.end() ? nullptr : &It->second;
}

EFI_STATUS Camera::Control(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                           std::vector<uint8_t> &Data) {
  if ((Setup.RequestType & 0x60) == 0) {
    return Standard(Setup, Direction, Data);
  }
  return ExtensionUnit(Setup, Direction, DataLength, Data);
}

EFI_STATUS Camera::Standard(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, std::vector<uint8_t> &Data) {
  // GET_DESCRIPTOR (DEVICE) is the one standard request the camera answers
  // here; the bus driver handled the rest at enumeration.
  if (Setup.RequestType == 0x80 && Setup.Request == USB_REQ_GET_DESCRIPTOR && (Setup.Value >> 8) == USB_DESC_TYPE_DEVICE &&
      Direction == EfiUsbDataIn) {
    const EFI_USB_DEVICE_DESCRIPTOR D = DeviceDescriptor();
    const auto *Bytes = reinterpret_cast<const uint8_t *>(&D);
    Data.assign(Bytes, Bytes + std::min<size_t>(sizeof(D), Setup.Length));
    return EFI_SUCCESS;
  }
  return EFI_DEVICE_ERROR;
}

EFI_STATUS Camera::ExtensionUnit(const UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                                 std::vector<uint8_t> &Data) {
  // A strict unit: anything but a well-formed request to unit 4 on
  // interface 0, for a control it has, with the control's own length, STALLs.
  const uint8_t Selector = static_cast<uint8_t>(Setup.Value >> 8);
  const XuSelector *Control = Find(Selector);
  if (Setup.Index != kXuIndex || (Setup.Value & 0xFF) != 0 || Control == nullptr) {
    return EFI_DEVICE_ERROR;
  }
  const uint16_t Length = LengthOf(*Control);

  if (Setup.RequestType == kClassInterfaceIn && Setup.Request == kGetLen) {
    if (Direction != EfiUsbDataIn || Setup.Length != 2 || DataLength != 2) {
      return EFI_DEVICE_ERROR;
    }
    Data = {static_cast<uint8_t>(Length & 0xFF), static_cast<uint8_t>(Length >> 8)};
    return EFI_SUCCESS;
  }

  if (Setup.Length != Length || DataLength != Length) {
    return EFI_DEVICE_ERROR;
  }

  if (Setup.RequestType == kClassInterfaceIn && Setup.Request == kGetCur && Direction == EfiUsbDataIn &&
      (Control->Requests & kXuGet) != 0) {
    Data.assign(Length, 0);
    switch (Selector) {
      case 0x03:
        Data[0] = Registers_[RegisterAddress_];
        break;
      case 0x0F:
        for (uint16_t I = 0; I < Length; ++I) {
          Data[I] = Flash_[FlashOffset(FlashAddress_ + I)];
        }
        break;
      case 0x17:
        std::copy(Profile_.FlashId.begin(), Profile_.FlashId.end(), Data.begin());
        break;
      case 0x1B:
        for (uint32_t I = 0; I < 4; ++I) {
          Data[I] = AddressByte(DwordAddress_ + I);
        }
        break;
      default:
        break;
    }
    return EFI_SUCCESS;
  }

  if (Setup.RequestType == kClassInterfaceOut && Setup.Request == kSetCur && Direction == EfiUsbDataOut &&
      (Control->Requests & kXuSet) != 0) {
    LastSet_[Selector] = Data;
    switch (Selector) {
      case 0x02:
        RegisterAddress_ = static_cast<uint16_t>(Data[0] | (Data[1] << 8));
        break;
      case 0x03:
        Registers_[RegisterAddress_] = Data[0];
        break;
      case 0x0D: {
        // Erase the 4 KiB sector that holds the address.
        const uint32_t Sector = FlashOffset(Le32(Data)) & ~0xFFFu;
        std::fill(Flash_.begin() + Sector, Flash_.begin() + std::min<size_t>(Sector + 4096, Flash_.size()), 0xFF);
        break;
      }
      case 0x0E:
        FlashAddress_ = Le32(Data);
        break;
      case 0x0F:
        // NOR programming only clears bits: what was not erased stays mixed in.
        for (uint16_t I = 0; I < Length; ++I) {
          Flash_[FlashOffset(FlashAddress_ + I)] &= Data[I];
        }
        break;
      case 0x1A:
        DwordAddress_ = Le32(Data);
        break;
      default:
        break;
    }
    return EFI_SUCCESS;
  }
  return EFI_DEVICE_ERROR;
}

}  // namespace Sim
