// The simulated USB bus and the camera's extension unit, seen from the host
// side: handles and device paths, hot-plug in both modes, the strict unit's
// answers, the ISP state behind it, the transfer log and transfer faults.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <Protocol/DevicePath.h>
#include <Protocol/UsbIo.h>

#include "Sim/Camera/Camera.h"
#include "Sim/DevicePathUtil.h"
#include "Sim/Platform.h"
#include "Sim/UsbClassDevices.h"

namespace {

constexpr uint8_t kPort = 4;

struct Answer {
  EFI_STATUS Status;
  UINT32 UsbStatus;
  std::vector<uint8_t> Data;
};

// One class request to the extension unit, as raw as a host sends it.
Answer Xu(EFI_USB_IO_PROTOCOL *UsbIo, uint8_t Request, uint8_t Selector, uint16_t WLength,
          std::vector<uint8_t> Out = {}, size_t InLength = 0, uint16_t Index = 0x0400) {
  const bool In = (Request & 0x80) != 0;
  EFI_USB_DEVICE_REQUEST Setup{static_cast<UINT8>(In ? 0xA1 : 0x21), Request, static_cast<UINT16>(Selector << 8),
                               Index, WLength};
  Answer A{EFI_SUCCESS, 0, In ? std::vector<uint8_t>(InLength, 0xEE) : Out};
  A.Status = UsbIo->UsbControlTransfer(UsbIo, &Setup, In ? EfiUsbDataIn : EfiUsbDataOut, 3000,
                                       A.Data.empty() ? nullptr : A.Data.data(), A.Data.size(), &A.UsbStatus);
  return A;
}

Answer GetLen(EFI_USB_IO_PROTOCOL *UsbIo, uint8_t Selector) { return Xu(UsbIo, 0x85, Selector, 2, {}, 2); }
Answer GetCur(EFI_USB_IO_PROTOCOL *UsbIo, uint8_t Selector, uint16_t Length) {
  return Xu(UsbIo, 0x81, Selector, Length, {}, Length);
}
Answer SetCur(EFI_USB_IO_PROTOCOL *UsbIo, uint8_t Selector, std::vector<uint8_t> Data) {
  const uint16_t Length = static_cast<uint16_t>(Data.size());
  return Xu(UsbIo, 0x01, Selector, Length, std::move(Data));
}

std::vector<uint8_t> PathOf(Sim::Platform &P, EFI_HANDLE Handle) {
  void *Path = nullptr;
  EFI_GUID Guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
  EXPECT_EQ(P.Boot().HandleProtocol(Handle, &Guid, &Path), EFI_SUCCESS);
  const auto *Bytes = static_cast<const uint8_t *>(Path);
  return std::vector<uint8_t>(Bytes, Bytes + Sim::DevicePathSize(static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path)));
}

class SimUsbBusTest : public ::testing::Test {
 protected:
  std::shared_ptr<Sim::Camera> Plug(Sim::CameraProfile Profile = Sim::CameraProfile(), uint8_t Port = kPort) {
    auto Camera = std::make_shared<Sim::Camera>(Profile);
    P->Usb().Attach(Port, Camera);
    return Camera;
  }
  EFI_USB_IO_PROTOCOL *UsbIo(uint8_t Interface = 0) { return P->Usb().UsbIo(kPort, Interface); }

  Sim::Machine Machine;
  std::unique_ptr<Sim::Platform> P = std::make_unique<Sim::Platform>(Machine);
};

TEST_F(SimUsbBusTest, EachInterfaceGetsAHandleWithItsDevicePathInPortOrder) {
  Plug(Sim::CameraProfile{0x1111, 0x2222, 0x0301}, 6);
  Plug();
  EFI_GUID UsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
  // Ports are enumerated in order; each device's interfaces in order.
  std::vector<EFI_HANDLE> All = P->Boot().HandlesWith(UsbIoGuid);
  std::vector<EFI_HANDLE> Port4 = P->Usb().InterfaceHandles(kPort);
  std::vector<EFI_HANDLE> Port6 = P->Usb().InterfaceHandles(6);
  ASSERT_EQ(Port4.size(), 2u);
  ASSERT_EQ(Port6.size(), 2u);
  EXPECT_EQ(All, (std::vector<EFI_HANDLE>{Port6[0], Port6[1], Port4[0], Port4[1]}));

  EXPECT_EQ(PathOf(*P, Port4[0]), Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(4, 0).Build());
  EXPECT_EQ(PathOf(*P, Port4[1]), Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(4, 1).Build());

  EFI_USB_DEVICE_DESCRIPTOR D{};
  ASSERT_EQ(UsbIo(1)->UsbGetDeviceDescriptor(UsbIo(1), &D), EFI_SUCCESS);
  EXPECT_EQ(D.IdVendor, 0x30C9);
  EXPECT_EQ(D.IdProduct, 0x004A);
  EFI_USB_INTERFACE_DESCRIPTOR I{};
  ASSERT_EQ(UsbIo(1)->UsbGetInterfaceDescriptor(UsbIo(1), &I), EFI_SUCCESS);
  EXPECT_EQ(I.InterfaceNumber, 1);
  EXPECT_EQ(I.InterfaceSubClass, 0x02);  // video streaming

  // GET_DESCRIPTOR on the wire returns the same 18 bytes.
  EFI_USB_DEVICE_REQUEST Setup{0x80, 0x06, 0x0100, 0, 18};
  EFI_USB_DEVICE_DESCRIPTOR Wire{};
  UINT32 UsbStatus = 0;
  ASSERT_EQ(UsbIo()->UsbControlTransfer(UsbIo(), &Setup, EfiUsbDataIn, 3000, &Wire, 18, &UsbStatus), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(&Wire, &D, sizeof(D)), 0);
}

TEST_F(SimUsbBusTest, ImmediateReplugReplacesTheHandlesAndTheOldInstanceIsRefused) {
  Plug();
  EFI_USB_IO_PROTOCOL *Old = UsbIo();
  std::vector<EFI_HANDLE> OldHandles = P->Usb().InterfaceHandles(kPort);
  Plug(Sim::CameraProfile{0x1BCF, 0x0B19, 0x0001});

  for (EFI_HANDLE Handle : OldHandles) {
    EXPECT_FALSE(P->Boot().IsValidHandle(Handle));
  }
  EFI_USB_DEVICE_DESCRIPTOR D{};
  ASSERT_EQ(UsbIo()->UsbGetDeviceDescriptor(UsbIo(), &D), EFI_SUCCESS);
  EXPECT_EQ(D.IdVendor, 0x1BCF);
  EXPECT_EQ(D.IdProduct, 0x0B19);
  // The same port gives the same path.
  EXPECT_EQ(PathOf(*P, P->Usb().InterfaceHandles(kPort)[0]),
            Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(4, 0).Build());

  // A driver that kept the old pointer is refused, and the simulator says so.
  EXPECT_EQ(GetLen(Old, 2).Status, EFI_DEVICE_ERROR);
  ASSERT_EQ(P->Boot().Misuses().size(), 1u);
  EXPECT_EQ(P->Boot().Misuses()[0].Service, "UsbControlTransfer");

  P->Usb().Detach(kPort);
  EXPECT_TRUE(P->Usb().InterfaceHandles(kPort).empty());
}

TEST_F(SimUsbBusTest, EnumeratedHotPlugWaitsForTheTplToDropBelowCallback) {
  Plug();
  EFI_USB_IO_PROTOCOL *Old = UsbIo();
  P->Usb().SetHotPlugMode(Sim::UsbBus::HotPlugMode::Enumerated);
  EFI_BOOT_SERVICES *Bs = P->SystemTable()->BootServices;

  // A driver's notification at TPL_CALLBACK: the camera drops off and comes
  // back with other IDs, and a second of stalls passes.
  const EFI_TPL Saved = Bs->RaiseTPL(TPL_CALLBACK);
  Plug(Sim::CameraProfile{0x1BCF, 0x0B12, 0x0001});
  Bs->Stall(1000000);
  // The old handles are still there; the device behind them is gone: nothing
  // answers, and the transfer fails only when its whole time-out has passed.
  EXPECT_EQ(UsbIo(), Old);
  const uint64_t Before = P->Clock().NowNs();
  Answer Gone = GetLen(Old, 2);
  EXPECT_EQ(Gone.Status, EFI_TIMEOUT);
  EXPECT_EQ(Gone.UsbStatus, 0u);
  EXPECT_GE(P->Clock().NowNs() - Before, 3000000000u);
  EXPECT_TRUE(P->Boot().Misuses().empty());

  // Once the TPL drops, the pending root-port poll enumerates the new device.
  Bs->RestoreTPL(Saved);
  ASSERT_NE(UsbIo(), nullptr);
  EXPECT_NE(UsbIo(), Old);
  EFI_USB_DEVICE_DESCRIPTOR D{};
  ASSERT_EQ(UsbIo()->UsbGetDeviceDescriptor(UsbIo(), &D), EFI_SUCCESS);
  EXPECT_EQ(D.IdProduct, 0x0B12);

  // At TPL_APPLICATION a change is picked up within one 50 ms poll.
  P->Usb().Detach(kPort);
  EXPECT_NE(UsbIo(), nullptr);
  Bs->Stall(50000);
  EXPECT_EQ(UsbIo(), nullptr);
}

TEST_F(SimUsbBusTest, TheUnitAnswersOnlyWellFormedRequestsForItsControls) {
  Sim::CameraProfile Profile;
  Profile.ChunkSize = 256;
  Plug(Profile);
  // GET_LEN reports each control's length.
  const std::vector<std::pair<uint8_t, uint16_t>> Lengths = {{0x02, 2}, {0x03, 1},  {0x0D, 4},   {0x0E, 4},
                                                             {0x0F, 256}, {0x17, 3}, {0x1B, 4}, {0x1F, 32}};
  for (const auto &Expected : Lengths) {
    Answer A = GetLen(UsbIo(), Expected.first);
    ASSERT_EQ(A.Status, EFI_SUCCESS) << int(Expected.first);
    EXPECT_EQ(A.Data[0] | (A.Data[1] << 8), Expected.second) << int(Expected.first);
  }
  // Every malformed request STALLs.
  const std::vector<Answer> Stalls = {
      GetLen(UsbIo(), 0x05),                         // a control the unit does not have
      Xu(UsbIo(), 0x85, 0x02, 2, {}, 2, 0x0500),     // another unit
      Xu(UsbIo(), 0x85, 0x02, 2, {}, 2, 0x0401),     // another interface
      Xu(UsbIo(), 0x85, 0x02, 4, {}, 4),             // GET_LEN is two bytes
      SetCur(UsbIo(), 0x02, {0x10}),                 // wLength not the control's
      Xu(UsbIo(), 0x01, 0x02, 2, {0x10, 0x20, 0x30}),  // data length not wLength
      GetCur(UsbIo(), 0x02, 2),                      // the address control is write-only
      SetCur(UsbIo(), 0x1B, {1, 2, 3, 4}),           // the address-space data is read-only
  };
  for (size_t I = 0; I < Stalls.size(); ++I) {
    EXPECT_EQ(Stalls[I].Status, EFI_DEVICE_ERROR) << I;
    EXPECT_EQ(Stalls[I].UsbStatus, static_cast<UINT32>(EFI_USB_ERR_STALL)) << I;
  }
  // The same request through the streaming interface's USB I/O reaches the
  // device's default pipe just the same.
  EXPECT_EQ(GetLen(UsbIo(1), 0x03).Status, EFI_SUCCESS);
  // A hostile unit can report another length.
  std::static_pointer_cast<Sim::Camera>(Machine.UsbPorts[kPort])->OverrideLength(0x03, 2);
  EXPECT_EQ(GetLen(UsbIo(), 0x03).Data, (std::vector<uint8_t>{2, 0}));
}

TEST_F(SimUsbBusTest, RegistersAddressSpaceAndFlashWindowBehindTheUnit) {
  auto Camera = Plug();
  // Registers: address through selector 2, data through selector 3.
  ASSERT_EQ(SetCur(UsbIo(), 0x02, {0x45, 0x20}).Status, EFI_SUCCESS);
  ASSERT_EQ(SetCur(UsbIo(), 0x03, {0x5A}).Status, EFI_SUCCESS);
  EXPECT_EQ(Camera->Register(0x2045), 0x5A);
  Camera->SetRegister(0x2045, 0xC3);
  EXPECT_EQ(GetCur(UsbIo(), 0x03, 1).Data, std::vector<uint8_t>{0xC3});

  // The 32-bit address space, little-endian both ways.
  Camera->SetDword(0x00806000, 0x11223344);
  ASSERT_EQ(SetCur(UsbIo(), 0x1A, {0x00, 0x60, 0x80, 0x00}).Status, EFI_SUCCESS);
  EXPECT_EQ(GetCur(UsbIo(), 0x1B, 4).Data, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));

  // Flash: programming ANDs into what is there; erase restores 0xFF; the
  // address does not advance by itself.
  std::vector<uint8_t> Chunk(64, 0xF0);
  std::vector<uint8_t> Other(64, 0x3C);
  ASSERT_EQ(SetCur(UsbIo(), 0x0E, {0x40, 0x70, 0x00, 0x00}).Status, EFI_SUCCESS);
  ASSERT_EQ(SetCur(UsbIo(), 0x0F, Chunk).Status, EFI_SUCCESS);
  ASSERT_EQ(SetCur(UsbIo(), 0x0F, Other).Status, EFI_SUCCESS);
  EXPECT_EQ(GetCur(UsbIo(), 0x0F, 64).Data, std::vector<uint8_t>(64, 0x30));
  EXPECT_EQ(Camera->Flash()[0x7040], 0x30);
  EXPECT_EQ(Camera->Flash()[0x703F], 0xFF);
  ASSERT_EQ(SetCur(UsbIo(), 0x0D, {0x00, 0x70, 0x00, 0x00}).Status, EFI_SUCCESS);
  EXPECT_EQ(Camera->Flash()[0x7040], 0xFF);

  // The ISP's RAM starts over at the next power-on; the flash stays.
  Camera->Flash()[0x10] = 0x00;
  P.reset();
  P = std::make_unique<Sim::Platform>(Machine);
  EXPECT_EQ(Camera->Register(0x2045), 0);
  EXPECT_EQ(Camera->Flash()[0x10], 0x00);
  ASSERT_NE(UsbIo(), nullptr);  // enumerated during boot
}

TEST_F(SimUsbBusTest, TransferLogAndInjectedFaults) {
  auto Camera = Plug();
  const uint64_t Start = P->Clock().NowNs();
  P->Usb().FailTransfer(2, EFI_TIMEOUT);
  P->Usb().ShortAnswer(3, 1);
  EXPECT_EQ(SetCur(UsbIo(), 0x02, {0x00, 0x30}).Status, EFI_SUCCESS);
  EXPECT_EQ(SetCur(UsbIo(), 0x03, {0x77}).Status, EFI_TIMEOUT);
  EXPECT_EQ(Camera->Register(0x3000), 0);  // the failed transfer never reached the device
  Answer Short = GetLen(UsbIo(), 0x0F);
  EXPECT_EQ(Short.Status, EFI_SUCCESS);
  EXPECT_EQ(Short.Data, (std::vector<uint8_t>{64, 0xEE}));  // the second byte was never sent

  const std::vector<Sim::UsbTransfer> &Log = P->Usb().Transfers();
  ASSERT_EQ(Log.size(), 3u);
  EXPECT_EQ(Log[0].Setup.RequestType, 0x21);
  EXPECT_EQ(Log[0].Setup.Request, 0x01);
  EXPECT_EQ(Log[0].Setup.Value, 0x0200);
  EXPECT_EQ(Log[0].Setup.Index, 0x0400);
  EXPECT_EQ(Log[0].Setup.Length, 2);
  EXPECT_EQ(Log[0].Data, (std::vector<uint8_t>{0x00, 0x30}));
  EXPECT_EQ(Log[0].Port, kPort);
  EXPECT_TRUE(Log[1].Injected);
  EXPECT_EQ(Log[1].Status, EFI_TIMEOUT);
  EXPECT_EQ(Log[2].Data, std::vector<uint8_t>{64});
  EXPECT_EQ(Log[2].DataLength, 2u);
  // Each transfer takes 100 us of virtual time.
  EXPECT_EQ(Log[1].TimeNs - Log[0].TimeNs, 100000u);
  EXPECT_EQ(P->Clock().NowNs() - Start, 300000u);
  EXPECT_EQ(P->Boot().CountCalls("UsbControlTransfer"), 3u);
}

TEST_F(SimUsbBusTest, ARestartingDeviceLeavesAndReturnsOnTheVirtualClock) {
  Plug();
  EFI_USB_IO_PROTOCOL *Before = UsbIo();
  EFI_BOOT_SERVICES *Bs = P->SystemTable()->BootServices;
  P->Usb().Replug(kPort, 50000000, 500000000);  // leaves after 50 ms, back 500 ms later
  Bs->Stall(49999);
  EXPECT_EQ(UsbIo(), Before);
  Bs->Stall(2);
  EXPECT_EQ(UsbIo(), nullptr);
  Bs->Stall(499990);
  EXPECT_EQ(UsbIo(), nullptr);
  Bs->Stall(20);
  ASSERT_NE(UsbIo(), nullptr);
  EXPECT_NE(UsbIo(), Before);
  EXPECT_EQ(PathOf(*P, P->Usb().InterfaceHandles(kPort)[0]),
            Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(4, 0).Build());

  // A reset while the device is off the bus: it is there at the next power-on.
  P->Usb().Replug(kPort, 50000000, 500000000);
  Bs->Stall(100000);
  EXPECT_EQ(UsbIo(), nullptr);
  P.reset();
  P = std::make_unique<Sim::Platform>(Machine);
  EXPECT_NE(UsbIo(), nullptr);
}

}  // namespace

namespace {

// The class drivers every simulated boot has start as EDK II's do: on the
// interfaces of their class only, once, raising to TPL_CALLBACK. Connected
// from TPL_NOTIFY (what camera discovery once did to every USB device) the
// raise goes below the caller's TPL, which a DEBUG firmware stops on: the
// simulator records it as a breach.
TEST(SimUsbClassDriversTest, StartOnTheirClassAtCallbackAndRecordAConnectFromNotify) {
  Sim::Platform P;
  P.Usb().Attach(1, Sim::UsbClassDevice::Keyboard());
  P.Usb().Attach(2, Sim::UsbClassDevice::MassStorage());
  P.Usb().Attach(3, std::make_shared<Sim::Camera>());
  EFI_BOOT_SERVICES *Bs = P.SystemTable()->BootServices;
  EFI_HANDLE Keyboard = P.Usb().InterfaceHandles(1)[0];
  EFI_HANDLE Stick = P.Usb().InterfaceHandles(2)[0];

  // The camera's interfaces are no keyboard or stick: nothing starts.
  for (EFI_HANDLE Camera : P.Usb().InterfaceHandles(3)) {
    Bs->ConnectController(Camera, nullptr, nullptr, FALSE);
  }
  EXPECT_TRUE(P.ClassDrivers().Starts().empty());

  // From TPL_CALLBACK (a notification) both start, without a breach; a
  // second connect finds the keyboard started.
  Bs->RaiseTPL(TPL_CALLBACK);
  EXPECT_EQ(Bs->ConnectController(Keyboard, nullptr, nullptr, FALSE), EFI_SUCCESS);
  EXPECT_EQ(Bs->ConnectController(Stick, nullptr, nullptr, FALSE), EFI_SUCCESS);
  EXPECT_NE(Bs->ConnectController(Keyboard, nullptr, nullptr, FALSE), EFI_SUCCESS);
  Bs->RestoreTPL(TPL_APPLICATION);
  ASSERT_EQ(P.ClassDrivers().Starts().size(), 2u);
  EXPECT_EQ(P.ClassDrivers().Starts()[0].Driver, "UsbKbDxe");
  EXPECT_EQ(P.ClassDrivers().Starts()[0].CallerTpl, EFI_TPL(TPL_CALLBACK));
  EXPECT_EQ(P.ClassDrivers().Starts()[1].Driver, "UsbMassStorageDxe");
  EXPECT_TRUE(P.Boot().TplViolations().empty());

  // From TPL_NOTIFY: ConnectController above its limit, the driver's raise
  // below the current TPL and its restore above the one the raise left (EDK
  // II's RaiseTPL and RestoreTPL each ASSERT on theirs).
  Sim::Platform Second;
  Second.Usb().Attach(1, Sim::UsbClassDevice::Keyboard());
  Bs = Second.SystemTable()->BootServices;
  Bs->RaiseTPL(TPL_NOTIFY);
  Bs->ConnectController(Second.Usb().InterfaceHandles(1)[0], nullptr, nullptr, FALSE);
  Bs->RestoreTPL(TPL_APPLICATION);
  ASSERT_EQ(Second.ClassDrivers().Starts().size(), 1u);
  std::vector<std::string> Breaches;
  for (const Sim::TplViolation &V : Second.Boot().TplViolations()) {
    Breaches.push_back(V.Service);
  }
  EXPECT_EQ(Breaches, (std::vector<std::string>{"ConnectController", "RaiseTPL below the current TPL",
                                                "RestoreTPL above the current TPL"}));
}

}  // namespace
