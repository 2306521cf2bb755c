// Camera discovery on the simulated bus: by IDs and by device-path text, the
// extension-unit probe, the status rules, what the context holds afterwards
// (also for path texts that do not fit it), the located handle, the TPL held
// at TPL_NOTIFY but for the camera's connect and restored on every path, the
// class devices beside the camera left unconnected, and the pool left behind.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <Library/UefiBootServicesTableLib.h>

#include "CameraContext.h"
#include "CameraUsbFixture.h"
#include "Sim/DevicePathUtil.h"
#include "Sim/UsbClassDevices.h"

namespace {

constexpr UINT16 kVid = 0x30C9, kPid = 0x004A;  // the default camera profile
const std::string kPort1Text = "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)";
const std::string kPort1If1Text = "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x1)";

std::u16string Wide(const std::string &Text) { return std::u16string(Text.begin(), Text.end()); }

class CameraDiscoveryTest : public CameraUsbTest {
 protected:
  CAMERA_CONTEXT Context{};  // fresh: zero-filled, as the driver allocates it

  // Discovery ran at TPL_NOTIFY, but for ConnectController, which it calls
  // at the caller's TPL (UEFI allows it up to TPL_CALLBACK, and the drivers
  // it starts raise to TPL_CALLBACK themselves), and left the caller at
  // Start without a single TPL breach.
  void ExpectRanAtNotifyAndRestored(EFI_TPL Start) {
    const std::vector<std::string> Work = {"LocateHandleBuffer", "HandleProtocol", "LocateDevicePath",
                                           "UsbControlTransfer", "Stall"};
    bool Raised = false;
    const Sim::ServiceCall *LastTplChange = nullptr;
    for (const Sim::ServiceCall &Call : P().Boot().Calls()) {
      Raised = Raised || (Call.Service == "RaiseTPL" && Call.Detail == "16");
      if (std::find(Work.begin(), Work.end(), Call.Service) != Work.end()) {
        EXPECT_EQ(Call.Tpl, TPL_NOTIFY) << Call.Service;
      }
      if (Call.Service == "ConnectController") {
        EXPECT_EQ(Call.Tpl, Start);
      }
      if (Call.Service == "RaiseTPL" || Call.Service == "RestoreTPL") {
        LastTplChange = &Call;
      }
    }
    EXPECT_TRUE(Raised);
    ASSERT_NE(LastTplChange, nullptr);
    EXPECT_EQ(LastTplChange->Service, "RestoreTPL");
    EXPECT_EQ(LastTplChange->Detail, std::to_string(Start));
    EXPECT_EQ(P().Boot().CurrentTpl(), Start);
    EXPECT_TRUE(P().Boot().TplViolations().empty());
    EXPECT_TRUE(P().Boot().LiveAllocations().empty());
  }

  // A host-controller path (PciRoot, Pci, then hub nodes) that gives the
  // camera on port 1, interface 0, a path text of exactly Target characters.
  // Hub nodes of 14 ("/USB(0x10,0x0)") and 13 characters make up the length.
  std::string HangBehindHubs(size_t Target) {
    Sim::DevicePathBuilder Builder;
    Builder.PciRoot(0).Pci(0x14, 0);
    std::string Text = "PciRoot(0x0)/Pci(0x14,0x0)";
    const std::string Narrow = "/USB(0x1,0x0)";
    for (size_t Rest = Target - Text.size() - Narrow.size(); Rest != 0;) {
      const bool Broad = Rest % 13 != 0;
      Builder.Usb(Broad ? 0x10 : 1, 0);
      Text += Broad ? "/USB(0x10,0x0)" : Narrow;
      Rest -= Broad ? 14 : 13;
    }
    Bus().SetHostControllerPath(Builder.Build());
    Plug(1);
    ClearLogs();
    return Text + Narrow;
  }
};

TEST_F(CameraDiscoveryTest, FindsTheCameraByIdsAndFillsTheContext) {
  Plug(1, Sim::CameraProfile{kVid, kPid, 0x0123});
  ClearLogs();
  // An earlier, longer text stands in the field.
  std::fill(std::begin(Context.DevicePathText), std::end(Context.DevicePathText), u'X');
  Context.DevicePathText[255] = 0;

  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);
  EXPECT_EQ(Context.UsbIo, Bus().UsbIo(1, 0));
  EXPECT_EQ(Context.XuIndex, 0x0400);
  EXPECT_EQ(Ascii(Context.DevicePathText), kPort1Text);
  EXPECT_EQ(Context.DevicePathText[kPort1Text.size()], 0);
  EXPECT_EQ(Context.DeviceDescriptor.IdVendor, kVid);
  EXPECT_EQ(Context.DeviceDescriptor.IdProduct, kPid);
  EXPECT_EQ(Context.DeviceDescriptor.BcdDevice, 0x0123);
  EXPECT_EQ(Context.DeviceDescriptor.Length, 18);

  // GET_DESCRIPTOR, then the probe of unit 4 on interface 0; paced XU only.
  const auto &T = Transfers();
  ASSERT_EQ(T.size(), 3u);
  EXPECT_EQ(SetupOf(T[0]), (std::vector<unsigned>{0x80, 0x06, 0x0100, 0, 18}));
  EXPECT_EQ(SetupOf(T[1]), (std::vector<unsigned>{0xA1, 0x85, 0x0200, 0x0400, 2}));
  EXPECT_EQ(SetupOf(T[2]), (std::vector<unsigned>{0xA1, 0x85, 0x0300, 0x0400, 2}));
  EXPECT_EQ(ExpectPacedTransfers(), 2u);
  EXPECT_EQ(P().Boot().CountCalls("ConnectController"), 1u);
  EXPECT_EQ(P().Boot().CountCalls("LocateDevicePath"), 1u);
  ExpectRanAtNotifyAndRestored(TPL_APPLICATION);
}

TEST_F(CameraDiscoveryTest, FirstMatchingHandleWins) {
  Plug(3);
  Plug(1);  // handles of port 3 come first
  ClearLogs();
  EFI_GUID UsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
  ASSERT_EQ(P().Boot().HandlesWith(UsbIoGuid).front(), Bus().InterfaceHandles(3).front());

  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);
  EXPECT_EQ(Context.UsbIo, Bus().UsbIo(3, 0));
  EXPECT_EQ(Ascii(Context.DevicePathText), "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x3,0x0)");
  EXPECT_TRUE(std::all_of(Transfers().begin(), Transfers().end(), [](auto &T) { return T.Port == 3; }));
}

TEST_F(CameraDiscoveryTest, OtherIdsAreUnsupportedAndLeaveNoUsbIo) {
  // Both IDs differ, only the product differs, only the vendor differs.
  for (Sim::CameraProfile Profile : {Sim::CameraProfile{0x1111, 0x2222, 0x0301},
                                     Sim::CameraProfile{kVid, 0x0B19, 0x0301},
                                     Sim::CameraProfile{0x1BCF, kPid, 0x0301}}) {
    SCOPED_TRACE(Profile.VendorId * 65536 + Profile.ProductId);
    Plug(1, Profile);
    ClearLogs();
    CAMERA_CONTEXT Fresh{};
    Fresh.XuIndex = 0x0400;                                         // left from an earlier discovery
    Fresh.UsbIo = reinterpret_cast<EFI_USB_IO_PROTOCOL *>(&Fresh);  // likewise

    EXPECT_EQ(FindCameraDevice(&Fresh, kVid, kPid), EFI_UNSUPPORTED);
    EXPECT_EQ(Fresh.XuIndex, 0);
    EXPECT_EQ(Fresh.DeviceDescriptor.BcdDevice, 0);
    EXPECT_EQ(Fresh.DeviceDescriptor.IdVendor, 0);
    EXPECT_EQ(Fresh.DevicePathText[0], 0);
    EXPECT_EQ(Fresh.UsbIo, nullptr);  // nothing for an update to talk to
    // Only the descriptors were read (one per interface): no probe, and
    // nothing connected.
    EXPECT_EQ(Transfers().size(), 2u);
    EXPECT_EQ(ExpectPacedTransfers(), 0u);
    EXPECT_EQ(P().Boot().CountCalls("ConnectController"), 0u);
  }
}

TEST_F(CameraDiscoveryTest, ClassDevicesBeforeTheCameraAreReadButNeverConnected) {
  // A keyboard and a stick whose handles come before the camera's, as on a
  // laptop whose other ports enumerate first; the search runs inside the
  // driver's TPL_CALLBACK notification.
  std::shared_ptr<Sim::UsbClassDevice> Keyboard = Sim::UsbClassDevice::Keyboard();
  std::shared_ptr<Sim::UsbClassDevice> Stick = Sim::UsbClassDevice::MassStorage();
  Bus().Attach(1, Keyboard);
  Bus().Attach(2, Stick);
  Plug(3);
  ClearLogs();
  EFI_GUID UsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
  ASSERT_EQ(P().Boot().HandlesWith(UsbIoGuid).front(), Bus().InterfaceHandles(1).front());

  gBS->RaiseTPL(TPL_CALLBACK);
  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);
  ExpectRanAtNotifyAndRestored(TPL_CALLBACK);
  gBS->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(Context.UsbIo, Bus().UsbIo(3, 0));

  // Each class device was asked for its device descriptor once, and no
  // class driver was started on it: only the camera was connected.
  ASSERT_EQ(Keyboard->Requests().size(), 1u);
  EXPECT_EQ(Keyboard->Requests()[0].Request, USB_REQ_GET_DESCRIPTOR);
  ASSERT_EQ(Stick->Requests().size(), 1u);
  EXPECT_EQ(Stick->Requests()[0].Request, USB_REQ_GET_DESCRIPTOR);
  EXPECT_TRUE(P().ClassDrivers().Starts().empty());
  ASSERT_EQ(P().Boot().CountCalls("ConnectController"), 1u);

  // With the class devices alone there is no camera, and nothing is left
  // for the update to talk to.
  Bus().Detach(3);
  ClearLogs();
  EXPECT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_UNSUPPORTED);
  EXPECT_EQ(Context.UsbIo, nullptr);
  EXPECT_EQ(Context.XuIndex, 0);
  EXPECT_EQ(Transfers().size(), 2u);
  EXPECT_TRUE(P().ClassDrivers().Starts().empty());
}

TEST_F(CameraDiscoveryTest, AUnitWithAnotherRegisterLayoutIsPassedOver) {
  std::shared_ptr<Sim::Camera> Odd = Plug(1);
  Odd->OverrideLength(3, 2);  // GET_LEN(2) = 2 but GET_LEN(3) = 2
  Plug(2);
  ClearLogs();

  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);
  EXPECT_EQ(Context.UsbIo, Bus().UsbIo(2, 0));
  EXPECT_EQ(Context.XuIndex, 0x0400);
  const size_t Port1 = std::count_if(Transfers().begin(), Transfers().end(), [](auto &T) { return T.Port == 1; });
  EXPECT_EQ(Port1, 2u * 3);  // descriptor, GET_LEN(2), GET_LEN(3) on each interface

  // Alone, it is the last candidate: EFI_UNSUPPORTED with XuIndex 0.
  Bus().Detach(2);
  CAMERA_CONTEXT Fresh{};
  EXPECT_EQ(FindCameraDevice(&Fresh, kVid, kPid), EFI_UNSUPPORTED);
  EXPECT_EQ(Fresh.XuIndex, 0);
  EXPECT_EQ(Fresh.DeviceDescriptor.BcdDevice, 0);
}

TEST_F(CameraDiscoveryTest, ProbeWantsLengthTwoThenLengthOneOnUnitFour) {
  std::shared_ptr<Sim::Camera> Cam = Plug(1);
  ClearLogs();
  EXPECT_EQ(XuProbe(Bus().UsbIo(1, 0)), 0x0400);
  EXPECT_EQ(Transfers().size(), 2u);

  ClearLogs();
  Cam->OverrideLength(2, 4);
  EXPECT_EQ(XuProbe(Bus().UsbIo(1, 0)), 0);
  EXPECT_EQ(Transfers().size(), 1u);  // no question about selector 3

  ClearLogs();
  Cam->OverrideLength(2, 2);
  Bus().FailTransfer(2, EFI_DEVICE_ERROR);
  EXPECT_EQ(XuProbe(Bus().UsbIo(1, 0)), 0);

  ClearLogs();
  EXPECT_EQ(XuProbe(nullptr), 0);
  EXPECT_TRUE(Transfers().empty());
}

TEST_F(CameraDiscoveryTest, TheLocatedHandleIsTheOneConnectedAndOpened) {
  // A handle that claims the camera's interface-0 path, installed first, is
  // what LocateDevicePath finds for that path; it has no USB I/O, so the
  // interface-0 candidate fails and interface 1 is taken.
  std::vector<uint8_t> Claimed = Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(1, 0).Build();
  P().InstallProtocol(gEfiDevicePathProtocolGuid, Claimed.data());
  Plug(1);
  ClearLogs();

  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);
  EXPECT_EQ(Context.UsbIo, Bus().UsbIo(1, 1));
  EXPECT_EQ(Ascii(Context.DevicePathText), kPort1If1Text);
}

TEST_F(CameraDiscoveryTest, ConnectControllerFailureSkipsAHandleOnlyWhenSearchingByIds) {
  Plug(1);
  P().Boot().FailCall("ConnectController", 1, EFI_NOT_FOUND);
  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);
  EXPECT_EQ(Context.UsbIo, Bus().UsbIo(1, 1));

  // By path text its status decides nothing.
  P().Boot().FailCall("ConnectController", 1, EFI_NOT_FOUND);
  ASSERT_EQ(FindCameraByDevicePathText(&Context, Wide(kPort1Text).c_str()), EFI_SUCCESS);
  EXPECT_EQ(Context.UsbIo, Bus().UsbIo(1, 0));
}

TEST_F(CameraDiscoveryTest, LocateHandleBufferFailureFreesNothing) {
  Plug(1);
  ClearLogs();
  P().Boot().FailCall("LocateHandleBuffer", 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_OUT_OF_RESOURCES);
  P().Boot().FailCall("LocateHandleBuffer", 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(FindCameraByDevicePathText(&Context, Wide(kPort1Text).c_str()), EFI_DEVICE_ERROR);
  EXPECT_TRUE(Transfers().empty());
  EXPECT_EQ(P().Boot().CountCalls("FreePool"), 0u);
  EXPECT_TRUE(P().Boot().Misuses().empty());

  // No USB device at all: LocateHandleBuffer finds nothing.
  Bus().Detach(1);
  EXPECT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_NOT_FOUND);
  EXPECT_EQ(FindCameraByDevicePathText(&Context, Wide(kPort1Text).c_str()), EFI_DEVICE_ERROR);
  EXPECT_EQ(Context.UsbIo, nullptr);
}

TEST_F(CameraDiscoveryTest, TplIsNotifyDuringDiscoveryAndRestoredOnEveryPath) {
  Plug(1);
  Plug(2, Sim::CameraProfile{0x1111, 0x2222, 0x0301});
  const std::u16string Port1 = Wide(kPort1Text);
  struct Case {
    std::string Name;
    std::function<EFI_STATUS()> Run;
    EFI_STATUS Expected;
  };
  const std::vector<Case> Cases = {
      {"by IDs, found", [&] { return FindCameraDevice(&Context, kVid, kPid); }, EFI_SUCCESS},
      {"by IDs, other IDs", [&] { return FindCameraDevice(&Context, 0x1BCF, 0x0B12); }, EFI_UNSUPPORTED},
      {"by IDs, no handle list",
       [&] {
         P().Boot().FailCall("LocateHandleBuffer", 1, EFI_OUT_OF_RESOURCES);
         return FindCameraDevice(&Context, kVid, kPid);
       },
       EFI_OUT_OF_RESOURCES},
      {"by text, found", [&] { return FindCameraByDevicePathText(&Context, Port1.c_str()); }, EFI_SUCCESS},
      {"by text, other port", [&] { return FindCameraByDevicePathText(&Context, u"PciRoot(0x0)"); }, EFI_DEVICE_ERROR},
      {"by text, no handle list",
       [&] {
         P().Boot().FailCall("LocateHandleBuffer", 1, EFI_OUT_OF_RESOURCES);
         return FindCameraByDevicePathText(&Context, Port1.c_str());
       },
       EFI_DEVICE_ERROR},
  };
  for (EFI_TPL Start : {EFI_TPL(TPL_APPLICATION), EFI_TPL(TPL_CALLBACK)}) {
    for (const Case &C : Cases) {
      SCOPED_TRACE(C.Name + " from TPL " + std::to_string(Start));
      if (Start != TPL_APPLICATION) {
        gBS->RaiseTPL(Start);
      }
      ClearLogs();
      EXPECT_EQ(C.Run(), C.Expected);
      ExpectRanAtNotifyAndRestored(Start);
      gBS->RestoreTPL(TPL_APPLICATION);
    }
  }

  // SetTplLevel raises, lowers, leaves an equal level alone, and reports the
  // level it found.
  EXPECT_EQ(SetTplLevel(TPL_NOTIFY), EFI_TPL(TPL_APPLICATION));
  EXPECT_EQ(SetTplLevel(TPL_CALLBACK), EFI_TPL(TPL_NOTIFY));
  EXPECT_EQ(P().Boot().CurrentTpl(), EFI_TPL(TPL_CALLBACK));
  ClearLogs();
  EXPECT_EQ(SetTplLevel(TPL_CALLBACK), EFI_TPL(TPL_CALLBACK));
  EXPECT_EQ(P().Boot().Calls().size(), 2u);  // only the reading of the level
  EXPECT_EQ(SetTplLevel(TPL_APPLICATION), EFI_TPL(TPL_CALLBACK));
  EXPECT_EQ(P().Boot().CurrentTpl(), EFI_TPL(TPL_APPLICATION));
}

TEST_F(CameraDiscoveryTest, ByTextFindsTheCameraBackOnItsPortWithOtherIds) {
  Plug(1);
  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);

  // The ISP restarted: the camera comes back on the same port as 0x1BCF:0x0B19.
  Bus().Detach(1);
  Plug(1, Sim::CameraProfile{0x1BCF, 0x0B19, 0x0200});
  ClearLogs();
  ASSERT_EQ(FindCameraByDevicePathText(&Context, Context.DevicePathText), EFI_SUCCESS);
  EXPECT_EQ(Context.DeviceDescriptor.IdVendor, 0x1BCF);
  EXPECT_EQ(Context.DeviceDescriptor.IdProduct, 0x0B19);
  EXPECT_EQ(Context.DeviceDescriptor.BcdDevice, 0x0200);
  EXPECT_EQ(Context.UsbIo, Bus().UsbIo(1, 0));
  EXPECT_EQ(Context.XuIndex, 0x0400);
  EXPECT_EQ(Ascii(Context.DevicePathText), kPort1Text);

  // Descriptor, half a second for the camera, then the probe.
  const auto &Calls = P().Boot().Calls();
  auto Settle = std::find_if(Calls.begin(), Calls.end(),
                             [](auto &C) { return C.Service == "Stall" && C.Detail == "500000"; });
  ASSERT_NE(Settle, Calls.end());
  EXPECT_EQ(std::count_if(Calls.begin(), Settle, [](auto &C) { return C.Service == "UsbControlTransfer"; }), 1);
  EXPECT_EQ(P().Boot().CountCalls("ConnectController"), 1u);
  EXPECT_EQ(ExpectPacedTransfers(), 2u);
}

// With hot-plug as EDK II's bus driver does it, a camera that comes back
// while the driver's notification holds TPL_CALLBACK is not enumerated yet:
// inside the notification neither search finds it, whatever the wait; once
// the TPL drops, the search by path text does. This records that behaviour.
TEST_F(CameraDiscoveryTest, InsideANotificationAReplugIsNotSeenWhenTheBusEnumeratesByTimer) {
  Plug(1);
  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);
  Bus().SetHotPlugMode(Sim::UsbBus::HotPlugMode::Enumerated);

  const EFI_TPL Caller = gBS->RaiseTPL(TPL_CALLBACK);
  Bus().Detach(1);
  Plug(1, Sim::CameraProfile{0x1BCF, 0x0B19, 0x0200});
  gBS->Stall(2000000);  // the wait before the search
  ClearLogs();
  // The old handles are still installed and their device is gone: the
  // descriptor read of each candidate times out after 3 s (as OVMF does).
  const uint64_t Before = P().Clock().NowNs();
  EXPECT_EQ(FindCameraByDevicePathText(&Context, Context.DevicePathText), EFI_DEVICE_ERROR);
  EXPECT_EQ(FindCameraDevice(&Context, 0x1BCF, 0x0B19), EFI_TIMEOUT);
  EXPECT_EQ(Transfers().size(), 3u);  // one GET_DESCRIPTOR per compared or candidate handle
  for (const Sim::UsbTransfer &Transfer : Transfers()) {
    EXPECT_EQ(Transfer.Status, EFI_TIMEOUT);
  }
  EXPECT_GE(P().Clock().NowNs() - Before, 9000000000u);
  EXPECT_EQ(P().Boot().CurrentTpl(), static_cast<EFI_TPL>(TPL_CALLBACK));

  // The notification returns; the pending root-port poll enumerates the camera.
  gBS->RestoreTPL(Caller);
  ASSERT_EQ(FindCameraByDevicePathText(&Context, Context.DevicePathText), EFI_SUCCESS);
  EXPECT_EQ(Context.DeviceDescriptor.IdProduct, 0x0B19);
  Bus().SetHotPlugMode(Sim::UsbBus::HotPlugMode::Immediate);
}

TEST_F(CameraDiscoveryTest, ByTextMatchesExactlyAndReportsTheLastComparedHandle) {
  std::shared_ptr<Sim::Camera> Cam = Plug(1);
  ClearLogs();
  for (const std::string &Text : {kPort1Text + "/USB(0x2,0x0)", std::string("PciRoot(0x0)/Pci(0x14,0x0)"),
                                  std::string("")}) {
    SCOPED_TRACE(Text);
    EXPECT_EQ(FindCameraByDevicePathText(&Context, Wide(Text).c_str()), EFI_DEVICE_ERROR);
  }
  EXPECT_TRUE(Transfers().empty());
  EXPECT_EQ(Context.UsbIo, nullptr);

  // The unit does not answer. Matched on the last handle (interface 1):
  // EFI_UNSUPPORTED; matched on interface 0 with interface 1 compared after
  // it, unmatched: EFI_DEVICE_ERROR.
  Cam->OverrideLength(3, 2);
  EXPECT_EQ(FindCameraByDevicePathText(&Context, Wide(kPort1If1Text).c_str()), EFI_UNSUPPORTED);
  EXPECT_EQ(Context.XuIndex, 0);
  EXPECT_EQ(FindCameraByDevicePathText(&Context, Wide(kPort1Text).c_str()), EFI_DEVICE_ERROR);

  // A USB step failing on the matched last candidate gives its own status.
  Cam->OverrideLength(3, 1);
  Bus().FailTransfer(1, EFI_TIMEOUT);  // GET_DESCRIPTOR
  EXPECT_EQ(FindCameraByDevicePathText(&Context, Wide(kPort1If1Text).c_str()), EFI_TIMEOUT);
  EXPECT_EQ(Context.DevicePathText[0], 0);
}

TEST_F(CameraDiscoveryTest, PathTextsUpTo255CharactersFitTheField) {
  const std::string Text = HangBehindHubs(255);
  ASSERT_EQ(Text.size(), 255u);
  ASSERT_EQ(FindCameraDevice(&Context, kVid, kPid), EFI_SUCCESS);
  EXPECT_EQ(Ascii(Context.DevicePathText), Text);
  EXPECT_EQ(Context.DevicePathText[255], 0);

  CAMERA_CONTEXT ByText{};
  ASSERT_EQ(FindCameraByDevicePathText(&ByText, Wide(Text).c_str()), EFI_SUCCESS);
  EXPECT_EQ(Ascii(ByText.DevicePathText), Text);
}

TEST_F(CameraDiscoveryTest, LongerPathTextsAreRefusedWithoutWritingPastTheField) {
  const std::string Text = HangBehindHubs(256);
  ASSERT_EQ(Text.size(), 256u);
  // The context with room behind it, text and descriptor filled with marks.
  struct {
    CAMERA_CONTEXT Context;
    uint8_t Guard[64];
  } Guarded, Before;
  std::memset(&Guarded, 0xA5, sizeof(Guarded));
  Guarded.Context.DevicePathText[255] = 0;
  std::memcpy(&Before, &Guarded, sizeof(Before));

  EXPECT_EQ(FindCameraDevice(&Guarded.Context, kVid, kPid), EFI_UNSUPPORTED);
  EXPECT_TRUE(EFI_ERROR(FindCameraByDevicePathText(&Guarded.Context, Wide(Text).c_str())));

  // The probe answered; nothing else changed, inside the context or behind it.
  EXPECT_EQ(Guarded.Context.XuIndex, 0x0400);
  Before.Context.XuIndex = 0x0400;
  Before.Context.UsbIo = Guarded.Context.UsbIo;
  EXPECT_EQ(std::memcmp(&Guarded, &Before, sizeof(Guarded)), 0);
}

}  // namespace
