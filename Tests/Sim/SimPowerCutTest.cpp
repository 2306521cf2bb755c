// A power cut tied to an extension-unit transfer: it strikes before the
// device gets the request or right after the device carried it out, ends the
// boot like a reset (recorded as a power cut, the agent abandoned, capsules
// lost), kills the bus, and leaves the camera with its flash as it stood and
// its RAM gone at the next power-on.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "Sim/Camera/Camera.h"
#include "Sim/Capsule.h"
#include "Sim/Platform.h"
#include "Sim/Scenario.h"
#include "Sim/CameraFixture.h"
#include "Tools/camfw/SampleImages.h"

namespace {

using CameraTest::Xu;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kPort = 3;
const EFI_GUID kCameraClass = {0xa6a82337, 0x904e, 0x4742, {0x9e, 0xca, 0xcf, 0x8e, 0x7d, 0xe4, 0xde, 0x17}};

class SimPowerCutTest : public ::testing::Test {
 protected:
  void Plug(Sim::CameraProfile Profile = Sim::CameraProfile()) {
    Cam = std::make_shared<Sim::Camera>(Profile);
    M.UsbPorts[kPort] = Cam;
    NewBoot();
  }
  // The next boot of the machine: power on, devices enumerated.
  void NewBoot() {
    P.reset();
    P = std::make_unique<Sim::Platform>(M);
  }
  EFI_USB_IO_PROTOCOL *Io() { return P->Usb().UsbIo(kPort, 0); }
  // A SET_CUR to the unit from a stack buffer: code that a power cut leaves
  // behind must hold nothing on the heap, as the driver holds nothing there.
  EFI_STATUS Set(uint8_t Selector, const Bytes &Data) {
    uint8_t Buffer[0x400];
    std::copy(Data.begin(), Data.end(), Buffer);
    EFI_USB_DEVICE_REQUEST Setup{0x21, 0x01, static_cast<UINT16>(Selector << 8), 0x0400,
                                 static_cast<UINT16>(Data.size())};
    UINT32 UsbStatus = 0;
    return Io()->UsbControlTransfer(Io(), &Setup, EfiUsbDataOut, 3000, Buffer, Data.size(), &UsbStatus);
  }
  EFI_STATUS Set(uint8_t Selector, uint32_t Value) {
    const uint8_t Bytes4[] = {uint8_t(Value), uint8_t(Value >> 8), uint8_t(Value >> 16), uint8_t(Value >> 24)};
    EFI_USB_DEVICE_REQUEST Setup{0x21, 0x01, static_cast<UINT16>(Selector << 8), 0x0400, 4};
    UINT32 UsbStatus = 0;
    return Io()->UsbControlTransfer(Io(), &Setup, EfiUsbDataOut, 3000, const_cast<uint8_t *>(Bytes4), 4, &UsbStatus);
  }
  EFI_STATUS SetByte(uint8_t Selector, uint8_t Value) {
    EFI_USB_DEVICE_REQUEST Setup{0x21, 0x01, static_cast<UINT16>(Selector << 8), 0x0400, 1};
    UINT32 UsbStatus = 0;
    return Io()->UsbControlTransfer(Io(), &Setup, EfiUsbDataOut, 3000, &Value, 1, &UsbStatus);
  }
  EFI_STATUS WriteRegister(uint16_t Address, uint8_t Value) {
    uint8_t A[] = {uint8_t(Address), uint8_t(Address >> 8)};
    EFI_USB_DEVICE_REQUEST Setup{0x21, 0x01, 0x0200, 0x0400, 2};
    UINT32 UsbStatus = 0;
    const EFI_STATUS Status = Io()->UsbControlTransfer(Io(), &Setup, EfiUsbDataOut, 3000, A, 2, &UsbStatus);
    return EFI_ERROR(Status) ? Status : SetByte(0x03, Value);
  }
  uint8_t ReadRegister(uint16_t Address) {
    EXPECT_EQ(Set(0x02, Bytes{uint8_t(Address), uint8_t(Address >> 8)}), EFI_SUCCESS);
    return Xu(Io(), 0x81, 0x03, 1, {}).Data[0];
  }
  // Erases sector 1, then programs a chunk of 0x11 at 0x2000: requests 1, 2
  // (address) and 3 (data). Returns whether the agent got to its end.
  bool EraseThenProgram() {
    Reached = false;
    const Bytes Chunk(Cam->Profile().ChunkSize, 0x11);
    return P->RunAgent([&] {
      Set(0x0D, 0x1000u);
      Set(0x0E, 0x2000u);
      Set(0x0F, Chunk);
      Reached = true;
    });
  }

  Sim::Machine M;
  std::shared_ptr<Sim::Camera> Cam;
  std::unique_ptr<Sim::Platform> P;
  bool Reached = false;
};

TEST_F(SimPowerCutTest, ACutBeforeARequestKeepsItFromTheDeviceAndEndsTheBootLikeAReset) {
  Plug();
  std::fill(Cam->Flash().begin() + 0x1000, Cam->Flash().begin() + 0x2000, 0x00);
  M.PendingCapsules.push_back(Bytes(64, 0));
  P->CutPowerAt(3, Sim::PowerCutMoment::BeforeTransfer);

  EXPECT_FALSE(EraseThenProgram());
  EXPECT_FALSE(Reached);  // the agent never saw the third request return
  ASSERT_TRUE(P->BootEnded());
  EXPECT_TRUE(P->Reset()->PowerCut);
  EXPECT_FALSE(P->Reset()->ByWatchdog);
  ASSERT_EQ(M.Resets.size(), 1u);
  EXPECT_TRUE(M.Resets.back().PowerCut);
  EXPECT_EQ(P->Boot().CountCalls("ResetSystem"), 0u);
  EXPECT_TRUE(M.PendingCapsules.empty());  // memory is gone

  // The erase was carried out; the data phase never reached the camera.
  EXPECT_EQ(Cam->Flash()[0x1000], 0xFF);
  EXPECT_EQ(Cam->Flash()[0x2000], 0xFF);
  EXPECT_EQ(Cam->LastSet(0x0F), nullptr);
  EXPECT_EQ(P->Usb().Transfers().size(), 2u);
  EXPECT_EQ(P->Usb().ClassRequests(), 3u);

  // A dead bus: nothing reaches the camera any more, nothing runs.
  EXPECT_TRUE(P->Usb().PoweredOff());
  EXPECT_EQ(Set(0x0D, 0x3000u), EFI_ABORTED);
  EXPECT_EQ(P->Usb().Transfers().size(), 2u);
  EXPECT_FALSE(P->RunAgent([&] { Reached = true; }));
  EXPECT_FALSE(Reached);
}

TEST_F(SimPowerCutTest, ACutAfterARequestLetsTheDeviceCarryItOutUnanswered) {
  Plug();
  P->CutPowerAt(3, Sim::PowerCutMoment::AfterTransfer);
  EXPECT_FALSE(EraseThenProgram());
  EXPECT_FALSE(Reached);
  ASSERT_TRUE(P->BootEnded());
  EXPECT_TRUE(P->Reset()->PowerCut);
  EXPECT_EQ(Cam->Flash()[0x2000], 0x11);  // programmed
  ASSERT_EQ(P->Usb().Transfers().size(), 3u);
  EXPECT_EQ(P->Usb().Transfers().back().Status, EFI_SUCCESS);  // the device's answer, never delivered
  EXPECT_EQ(P->Boot().Calls().back().Status, EFI_ABORTED);     // the call log marks the cut
}

TEST_F(SimPowerCutTest, OnlyClassRequestsAreCountedAndACutIsArmedFromNow) {
  Plug();
  // A standard request on the default pipe and two class requests before
  // the cut is armed.
  P->RunAgent([&] {
    EFI_USB_DEVICE_REQUEST Get{0x80, USB_REQ_GET_DESCRIPTOR, USB_DESC_TYPE_DEVICE << 8, 0, 18};
    Bytes Descriptor(18);
    UINT32 UsbStatus = 0;
    EXPECT_EQ(Io()->UsbControlTransfer(Io(), &Get, EfiUsbDataIn, 3000, Descriptor.data(), 18, &UsbStatus), EFI_SUCCESS);
    Set(0x0E, 0u);
    Set(0x0E, 0u);
  });
  EXPECT_EQ(P->Usb().ClassRequests(), 2u);
  P->CutPowerAt(2, Sim::PowerCutMoment::BeforeTransfer);
  bool Second = false;
  P->RunAgent([&] {
    EFI_USB_DEVICE_REQUEST Get{0x80, USB_REQ_GET_DESCRIPTOR, USB_DESC_TYPE_DEVICE << 8, 0, 18};
    uint8_t Descriptor[18];
    UINT32 UsbStatus = 0;
    Io()->UsbControlTransfer(Io(), &Get, EfiUsbDataIn, 3000, Descriptor, 18, &UsbStatus);
    Set(0x0E, 0x1000u);  // the first class request from now
    Second = true;
    Set(0x0E, 0x2000u);  // the cut
    Reached = true;
  });
  EXPECT_TRUE(Second);
  EXPECT_FALSE(Reached);
  EXPECT_EQ((Bytes{0x00, 0x10, 0x00, 0x00}), *Cam->LastSet(0x0E));
}

TEST_F(SimPowerCutTest, TheCameraKeepsItsFlashAndLosesItsRamAtTheNextPowerOn) {
  // A bench camera (Banked, unprotected): registers, the command table, the
  // digest selector and an open update window with a programmed range, then
  // the window's close is cut short.
  Plug();
  ASSERT_TRUE(P->RunAgent([&] {
    EXPECT_EQ(WriteRegister(0x1234, 0x55), EFI_SUCCESS);
    EXPECT_EQ(SetByte(0x07, 6), EFI_SUCCESS);
    EXPECT_EQ(SetByte(0x08, 0xD8), EFI_SUCCESS);
    EXPECT_EQ(Set(0x1F, Bytes(32, 0x5D)), EFI_SUCCESS);
    EXPECT_EQ(WriteRegister(0x6000, 1), EFI_SUCCESS);
    EXPECT_EQ(Set(0x0E, 0x8000u), EFI_SUCCESS);
    EXPECT_EQ(Set(0x0F, Bytes(Cam->Profile().ChunkSize, 0x22)), EFI_SUCCESS);
  }));
  EXPECT_EQ(Cam->Register(0x1234), 0x55);
  EXPECT_EQ(Cam->CommandSlot(6), 0xD8);
  // The window's close begins (0 to 0x6000); the cut strikes right after it,
  // before any read lets the ISP finish it.
  P->CutPowerAt(2, Sim::PowerCutMoment::AfterTransfer);
  EXPECT_FALSE(P->RunAgent([&] { WriteRegister(0x6000, 0); }));
  ASSERT_TRUE(P->BootEnded());

  NewBoot();
  EXPECT_EQ(Cam->Register(0x1234), 0x00);
  EXPECT_EQ(Cam->CommandSlot(6), 0x20);
  EXPECT_EQ(Cam->LastSet(0x1F), nullptr);
  EXPECT_TRUE(P->RunAgent([&] { EXPECT_EQ(ReadRegister(0x6000), 0); }));
  EXPECT_EQ(Cam->Flash()[0x8000], 0x22);  // the programmed chunk stays
  for (uint32_t I = 0x706C; I < 0x708C; ++I) {
    ASSERT_EQ(Cam->Flash()[I], 0xFF) << "no bank digest was written: " << I;
  }
}

TEST_F(SimPowerCutTest, ACameraRestartingWhenThePowerGoesStaysUntilThePowerComesBack) {
  Plug(Sim::CameraProfile::ForIspKind('p'));
  P->CutPowerAt(2, Sim::PowerCutMoment::AfterTransfer);
  EXPECT_FALSE(P->RunAgent([&] { WriteRegister(0x20D8, 0xA5); }));
  EXPECT_EQ(Cam->RestartsRequested(), 1u);
  // Time passes on the dead platform: the camera neither leaves nor returns.
  P->SystemTable()->BootServices->Stall(2000000);
  EXPECT_EQ(Cam->RestartsCompleted(), 0u);
  EXPECT_EQ(P->Usb().InterfaceHandles(kPort).size(), 2u);

  NewBoot();
  EXPECT_FALSE(Cam->RestartPending());
  EXPECT_EQ(Cam->Running(), Sim::BootImage::Slot0);
  EXPECT_EQ(P->Usb().InterfaceHandles(kPort).size(), 2u);
}

TEST_F(SimPowerCutTest, AFlashUpdateBootCutShortEndsWithoutTheDriversResetAndTheNextBootIsNormal) {
  // The driver's whole job on a two-slot camera, the power cut at the 60th
  // extension-unit transfer of the flash-update boot (well before any
  // write).
  Camfw::SampleOptions Sample;
  Sample.Camera = 'p';
  auto Camera = std::make_shared<Sim::Camera>(Sim::CameraProfile::ForIspKind('p'));
  M.UsbPorts[4] = Camera;
  const Bytes FlashBefore = Camera->Flash();
  M.PendingCapsules.push_back(
      Sim::MakeCapsule(kCameraClass, CAPSULE_FLAGS_PERSIST_ACROSS_RESET, Camfw::SampleImage(Sample)));
  Sim::Scenario S(M);
  Sim::BootOptions Options;
  Options.Prepare = [](Sim::Platform &Boot) { Boot.CutPowerAt(60, Sim::PowerCutMoment::BeforeTransfer); };
  const Sim::BootReport Cut = S.Boot(Options);
  EXPECT_EQ(Cut.BootMode, BOOT_ON_FLASH_UPDATE);
  ASSERT_TRUE(Cut.EndedInReset());
  EXPECT_TRUE(Cut.Reset->PowerCut);
  EXPECT_EQ(S.Current().Boot().CountCalls("ResetSystem"), 0u);
  EXPECT_EQ(S.Current().Usb().ClassRequests(), 60u);
  EXPECT_TRUE(M.PendingCapsules.empty());
  EXPECT_EQ(Camera->Flash(), FlashBefore);

  const Sim::BootReport After = S.Boot(Sim::BootOptions());
  EXPECT_EQ(After.BootMode, BOOT_WITH_FULL_CONFIGURATION);
  EXPECT_FALSE(After.EndedInReset());
  ASSERT_EQ(After.Esrt.size(), 1u);
  EXPECT_EQ(After.Esrt[0].FwVersion, 0x0100u);
  EXPECT_EQ(Camera->Running(), Sim::BootImage::Slot0);
}

}  // namespace
