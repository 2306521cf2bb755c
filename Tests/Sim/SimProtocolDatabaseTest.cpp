// The simulated protocol database: protocol-notify registrations and their
// dispatch against the TPL, handles, device-path lookup and ConnectController.

#include <cstring>
#include <vector>

#include <Protocol/DevicePath.h>

#include "Sim/DevicePathUtil.h"
#include "SimFixture.h"

using namespace SimTest;

namespace {

// What a protocol-notify function saw each time it ran. It drains the
// registration with LocateProtocol, as a driver's notify function does.
struct NotifyProbe {
  Sim::Platform *Platform = nullptr;
  EFI_GUID *Guid = nullptr;
  void *Registration = nullptr;
  bool CloseOnRun = false;
  std::vector<EFI_TPL> RunTpls;
  std::vector<std::string> CallBeforeRun;  // the service logged just before the notify ran
  std::vector<void *> Handed;
  EFI_STATUS LastLocate = EFI_SUCCESS;
};

EFIAPI VOID ProbeNotify(EFI_EVENT Event, VOID *Context) {
  auto *Probe = static_cast<NotifyProbe *>(Context);
  Sim::BootServicesSim &Boot = Probe->Platform->Boot();
  Probe->RunTpls.push_back(Boot.CurrentTpl());
  Probe->CallBeforeRun.push_back(Boot.Calls().back().Service);
  EFI_BOOT_SERVICES *Bs = Probe->Platform->SystemTable()->BootServices;
  void *Interface = nullptr;
  for (int Guard = 0; Guard < 16; ++Guard) {
    Probe->LastLocate = Bs->LocateProtocol(Probe->Guid, Probe->Registration, &Interface);
    if (Probe->LastLocate != EFI_SUCCESS) {
      break;
    }
    Probe->Handed.push_back(Interface);
  }
  if (Probe->CloseOnRun) {
    Bs->CloseEvent(Event);
  }
}

class SimProtocolNotifyTest : public SimTest::SimFixture {
 protected:
  EFI_EVENT Arm(NotifyProbe &Probe, EFI_TPL Tpl, EFI_GUID *Guid = &kProtocolA) {
    Probe.Platform = &P;
    Probe.Guid = Guid;
    EFI_EVENT Event = nullptr;
    EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, Tpl, ProbeNotify, &Probe, &Event), EFI_SUCCESS);
    EXPECT_EQ(Bs()->RegisterProtocolNotify(Guid, Event, &Probe.Registration), EFI_SUCCESS);
    return Event;
  }
};

TEST_F(SimProtocolNotifyTest, OnlyLaterInstallsSignalAndTheNotifyRunsInsideTheInstallAtItsTpl) {
  Install(&kProtocolA, &A);  // before the registration
  NotifyProbe Probe;
  Arm(Probe, TPL_CALLBACK);
  EXPECT_TRUE(Probe.RunTpls.empty());
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&kProtocolA, Probe.Registration, &Interface), EFI_NOT_FOUND);
  Install(&kProtocolB, &D);  // another protocol signals nothing
  EXPECT_TRUE(Probe.RunTpls.empty());
  Install(&kProtocolA, &B);
  ASSERT_EQ(Probe.RunTpls, std::vector<EFI_TPL>{kCallback});
  EXPECT_EQ(Probe.CallBeforeRun.front(), "InstallProtocolInterface");
  EXPECT_EQ(Probe.Handed, std::vector<void *>{&B});
  EXPECT_EQ(Probe.LastLocate, EFI_NOT_FOUND);
  EXPECT_EQ(P.Boot().CurrentTpl(), kApplication);
  EXPECT_TRUE(P.Boot().TplViolations().empty());
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(SimProtocolNotifyTest, InstallsAtOrAboveTheEventTplAreDeferredToRestoreTplAndCoalesced) {
  NotifyProbe Callback, Notify;
  Arm(Callback, TPL_CALLBACK);
  Arm(Notify, TPL_NOTIFY);
  EXPECT_EQ(Bs()->RaiseTPL(TPL_CALLBACK), kApplication);
  Install(&kProtocolA, &A);
  // The TPL_NOTIFY event preempts the TPL_CALLBACK installer; the other waits.
  EXPECT_EQ(Notify.RunTpls, std::vector<EFI_TPL>{kNotify});
  EXPECT_EQ(Notify.Handed, std::vector<void *>{&A});
  Install(&kProtocolA, &B);
  EXPECT_EQ(Notify.RunTpls.size(), 2u);
  EXPECT_TRUE(Callback.RunTpls.empty());
  Bs()->RestoreTPL(TPL_APPLICATION);
  ASSERT_EQ(Callback.RunTpls, std::vector<EFI_TPL>{kCallback});  // two installs, one notify
  EXPECT_EQ(Callback.CallBeforeRun.front(), "RestoreTPL");
  EXPECT_EQ(Callback.Handed, (std::vector<void *>{&A, &B}));
  EXPECT_EQ(Callback.LastLocate, EFI_NOT_FOUND);
  EXPECT_EQ(P.Boot().CurrentTpl(), kApplication);
  EXPECT_TRUE(P.Boot().TplViolations().empty());
}

TEST_F(SimProtocolNotifyTest, ClosingTheEventInsideItsNotifyEndsTheRegistration) {
  NotifyProbe Probe;
  Probe.CloseOnRun = true;
  const size_t EventsBefore = P.Boot().LiveEventCount();
  Arm(Probe, TPL_CALLBACK);
  Install(&kProtocolA, &A);
  EXPECT_EQ(Probe.RunTpls.size(), 1u);
  EXPECT_EQ(P.Boot().LiveEventCount(), EventsBefore);
  Install(&kProtocolA, &B);
  EXPECT_EQ(Probe.RunTpls.size(), 1u);
  EXPECT_EQ(Probe.Handed, std::vector<void *>{&A});
  EXPECT_TRUE(P.Boot().Misuses().empty());
}

TEST_F(SimProtocolNotifyTest, ReinstallSignalsAndHandsOutTheNewInterfaceOnce) {
  NotifyProbe Probe;
  Arm(Probe, TPL_CALLBACK);
  EFI_HANDLE Handle = Install(&kProtocolA, &A);
  EXPECT_EQ(Bs()->ReinstallProtocolInterface(Handle, &kProtocolA, &A, &B), EFI_SUCCESS);
  EXPECT_EQ(Probe.RunTpls.size(), 2u);
  EXPECT_EQ(Probe.Handed, (std::vector<void *>{&A, &B}));
  // Install and reinstall while the notify is held off: the handle is new
  // for the registration once, with the interface it holds now.
  Bs()->RaiseTPL(TPL_CALLBACK);
  EFI_HANDLE Second = Install(&kProtocolA, &C);
  EXPECT_EQ(Bs()->ReinstallProtocolInterface(Second, &kProtocolA, &C, &D), EFI_SUCCESS);
  Bs()->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(Probe.RunTpls.size(), 3u);
  EXPECT_EQ(Probe.Handed, (std::vector<void *>{&A, &B, &D}));
  EXPECT_EQ(Bs()->ReinstallProtocolInterface(Second, &kProtocolA, &C, &A), EFI_NOT_FOUND);
  EXPECT_EQ(Probe.RunTpls.size(), 3u);
}

class SimHandleDatabaseTest : public SimTest::SimFixture {};

TEST_F(SimHandleDatabaseTest, LocateHandleBufferListsInProtocolInstallOrderInPoolMemory) {
  EFI_HANDLE First = Install(&kProtocolA, &A);
  EFI_HANDLE Other = Install(&kProtocolB, &B);
  EFI_HANDLE Third = Install(&kProtocolA, &C);
  Install(&kProtocolA, &D, Other);  // the oldest handle of the three, but A's last install
  UINTN Count = 0;
  EFI_HANDLE *Buffer = nullptr;
  ASSERT_EQ(Bs()->LocateHandleBuffer(ByProtocol, &kProtocolA, nullptr, &Count, &Buffer), EFI_SUCCESS);
  ASSERT_EQ(Count, 3u);
  EXPECT_EQ(std::vector<EFI_HANDLE>(Buffer, Buffer + Count), (std::vector<EFI_HANDLE>{First, Third, Other}));
  auto Live = P.Boot().LiveAllocations();
  ASSERT_EQ(Live.size(), 1u);
  EXPECT_EQ(Live[0].Buffer, Buffer);
  EXPECT_EQ(Live[0].Size, 3 * sizeof(EFI_HANDLE));
  EXPECT_EQ(Bs()->FreePool(Buffer), EFI_SUCCESS);
  EXPECT_TRUE(P.Boot().LiveAllocations().empty());
  Count = 7;
  EXPECT_EQ(Bs()->LocateHandleBuffer(ByProtocol, &gEfiDevicePathProtocolGuid, nullptr, &Count, &Buffer),
            EFI_NOT_FOUND);
  EXPECT_EQ(Count, 0u);
  EXPECT_EQ(Buffer, nullptr);
  EXPECT_TRUE(P.Boot().LiveAllocations().empty());
}

TEST_F(SimHandleDatabaseTest, HandleProtocolInstallAndUninstallFollowTheHandleRules) {
  EFI_HANDLE Handle = Install(&kProtocolA, &A);
  Install(&kProtocolB, &B, Handle);
  void *Interface = &C;
  int NotAHandle = 0;
  EXPECT_EQ(Bs()->HandleProtocol(&NotAHandle, &kProtocolA, &Interface), EFI_INVALID_PARAMETER);
  // A second interface of one protocol on one handle is refused.
  EFI_HANDLE Same = Handle;
  EXPECT_EQ(Bs()->InstallProtocolInterface(&Same, &kProtocolA, EFI_NATIVE_INTERFACE, &C), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Bs()->HandleProtocol(Handle, &kProtocolA, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Interface, &A);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(Handle, &kProtocolA, &C), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(Handle, &kProtocolA, &A), EFI_SUCCESS);
  EXPECT_EQ(Bs()->HandleProtocol(Handle, &kProtocolA, &Interface), EFI_UNSUPPORTED);
  EXPECT_TRUE(P.Boot().IsValidHandle(Handle));
  EXPECT_EQ(Bs()->UninstallProtocolInterface(Handle, &kProtocolB, &B), EFI_SUCCESS);
  EXPECT_FALSE(P.Boot().IsValidHandle(Handle));
  EXPECT_EQ(Bs()->HandleProtocol(Handle, &kProtocolB, &Interface), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(P.Boot().HandlesWith(kProtocolB).empty());
}

class SimDevicePathTest : public SimTest::SimFixture {
 protected:
  // A handle carrying Path as its device path and, when Guid is set, Guid.
  EFI_HANDLE Device(std::vector<uint8_t> &Path, EFI_GUID *Guid) {
    EFI_HANDLE Handle = Install(&gEfiDevicePathProtocolGuid, Path.data());
    if (Guid != nullptr) {
      Install(Guid, &A, Handle);
    }
    return Handle;
  }
  EFI_STATUS Locate(EFI_GUID *Guid, std::vector<uint8_t> &Path, EFI_HANDLE *Found, size_t *Consumed) {
    auto *Node = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path.data());
    *Found = nullptr;
    EFI_STATUS Status = Bs()->LocateDevicePath(Guid, &Node, Found);
    *Consumed = static_cast<size_t>(reinterpret_cast<uint8_t *>(Node) - Path.data());
    return Status;
  }
};

TEST_F(SimDevicePathTest, PicksTheLongestPrefixAmongHandlesWithTheProtocol) {
  std::vector<uint8_t> Root = Sim::DevicePathBuilder().PciRoot(0).Build();
  std::vector<uint8_t> Pci = Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Build();
  std::vector<uint8_t> Usb = Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(3, 0).Build();
  EFI_HANDLE RootHandle = Device(Root, &kProtocolA);
  EFI_HANDLE PciHandle = Device(Pci, &kProtocolA);
  EFI_HANDLE UsbHandle = Device(Usb, &kProtocolB);  // deeper, but without A
  std::vector<uint8_t> Query = Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(3, 0).Usb(1, 0).Build();
  EFI_HANDLE Found;
  size_t Consumed;
  ASSERT_EQ(Locate(&kProtocolA, Query, &Found, &Consumed), EFI_SUCCESS);
  EXPECT_EQ(Found, PciHandle);
  EXPECT_EQ(Consumed, Pci.size() - END_DEVICE_PATH_LENGTH);
  ASSERT_EQ(Locate(&kProtocolB, Query, &Found, &Consumed), EFI_SUCCESS);
  EXPECT_EQ(Found, UsbHandle);
  EXPECT_EQ(Consumed, Usb.size() - END_DEVICE_PATH_LENGTH);
  EXPECT_EQ(Query[Consumed + 1], MSG_USB_DP);
  // The handle's own path: the remaining path is the end node.
  ASSERT_EQ(Locate(&kProtocolA, Pci, &Found, &Consumed), EFI_SUCCESS);
  EXPECT_EQ(Found, PciHandle);
  EXPECT_EQ(Pci[Consumed], END_DEVICE_PATH_TYPE);
  EXPECT_EQ(Pci[Consumed + 1], END_ENTIRE_DEVICE_PATH_SUBTYPE);
  // A node that differs only in its data does not match.
  std::vector<uint8_t> Sibling = Sim::DevicePathBuilder().PciRoot(0).Pci(0x14, 1).Build();
  ASSERT_EQ(Locate(&kProtocolA, Sibling, &Found, &Consumed), EFI_SUCCESS);
  EXPECT_EQ(Found, RootHandle);
  EXPECT_EQ(Consumed, Root.size() - END_DEVICE_PATH_LENGTH);
  std::vector<uint8_t> Elsewhere = Sim::DevicePathBuilder().PciRoot(1).Pci(0x14, 0).Build();
  EXPECT_EQ(Locate(&kProtocolA, Elsewhere, &Found, &Consumed), EFI_NOT_FOUND);
  EXPECT_EQ(Locate(&kProtocolB, Sibling, &Found, &Consumed), EFI_NOT_FOUND);
}

class SimConnectControllerTest : public SimTest::SimFixture {};

TEST_F(SimConnectControllerTest, AnswersByWhetherADriverStartedAndWhatRemains) {
  EFI_HANDLE Plain = Install(&kProtocolA, &A);
  EFI_HANDLE Served = Install(&kProtocolB, &A);
  std::vector<EFI_HANDLE> Started;
  P.Boot().RegisterDriver({"Served",
                           [&](EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *) { return Controller == Served; },
                           [&](EFI_HANDLE Controller, EFI_DEVICE_PATH_PROTOCOL *) {
                             Started.push_back(Controller);
                             return EFI_STATUS(EFI_SUCCESS);
                           }});
  P.Boot().RegisterDriver({"Failing", [](EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *) { return true; },
                           [](EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *) { return EFI_STATUS(EFI_DEVICE_ERROR); }});
  std::vector<uint8_t> EndOnly = Sim::DevicePathBuilder().Build();
  std::vector<uint8_t> Child = Sim::DevicePathBuilder().Usb(1, 0).Build();
  auto *End = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(EndOnly.data());
  auto *Remaining = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Child.data());
  EXPECT_EQ(Bs()->ConnectController(Plain, nullptr, nullptr, TRUE), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->ConnectController(Plain, nullptr, Remaining, FALSE), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->ConnectController(Plain, nullptr, End, FALSE), EFI_SUCCESS);
  EXPECT_TRUE(Started.empty());
  EXPECT_EQ(Bs()->ConnectController(Served, nullptr, nullptr, TRUE), EFI_SUCCESS);
  EXPECT_EQ(Started, std::vector<EFI_HANDLE>{Served});
  int NotAHandle = 0;
  EXPECT_EQ(Bs()->ConnectController(&NotAHandle, nullptr, End, FALSE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Started.size(), 1u);
}

}  // namespace
