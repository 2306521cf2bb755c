// The simulated camera reached as a host reaches it: raw extension-unit
// requests on the default pipe of a camera on port 3 of a simulated
// platform, and a few operations built from them (register read and write,
// SPI controller cycles, flash erase, program and read through the window).
#pragma once

#include <Protocol/UsbIo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "Sim/Camera/Camera.h"
#include "Sim/Platform.h"

namespace CameraTest {

constexpr uint8_t kPort = 3;

struct Answer {
  EFI_STATUS Status;
  std::vector<uint8_t> Data;
};

inline Answer Xu(EFI_USB_IO_PROTOCOL *UsbIo, uint8_t Request, uint8_t Selector, uint16_t WLength,
                 std::vector<uint8_t> Out) {
  const bool In = (Request & 0x80) != 0;
  EFI_USB_DEVICE_REQUEST Setup{static_cast<UINT8>(In ? 0xA1 : 0x21), Request, static_cast<UINT16>(Selector << 8),
                               0x0400, WLength};
  Answer A{EFI_SUCCESS, In ? std::vector<uint8_t>(WLength, 0xEE) : Out};
  UINT32 UsbStatus = 0;
  A.Status = UsbIo->UsbControlTransfer(UsbIo, &Setup, In ? EfiUsbDataIn : EfiUsbDataOut, 3000,
                                       A.Data.empty() ? nullptr : A.Data.data(), A.Data.size(), &UsbStatus);
  return A;
}

class CameraFixture : public ::testing::Test {
 protected:
  // A new camera on kPort; Prepare, when given, changes its flash before it
  // boots again (the camera as it was left).
  std::shared_ptr<Sim::Camera> Plug(Sim::CameraProfile Profile,
                                    const std::function<void(std::vector<uint8_t> &)> &Prepare = nullptr) {
    Cam = std::make_shared<Sim::Camera>(Profile);
    if (Prepare) {
      Prepare(Cam->Flash());
      Cam->PowerOn();
    }
    P->Usb().Attach(kPort, Cam);
    return Cam;
  }
  EFI_USB_IO_PROTOCOL *Io() { return P->Usb().UsbIo(kPort, 0); }
  EFI_STATUS Set(uint8_t Selector, std::vector<uint8_t> Data) {
    return Xu(Io(), 0x01, Selector, static_cast<uint16_t>(Data.size()), Data).Status;
  }
  Answer Get(uint8_t Selector, uint16_t Length) { return Xu(Io(), 0x81, Selector, Length, {}); }
  uint8_t Read(uint16_t Address) {
    EXPECT_EQ(Set(0x02, {uint8_t(Address), uint8_t(Address >> 8)}), EFI_SUCCESS);
    Answer A = Get(0x03, 1);
    EXPECT_EQ(A.Status, EFI_SUCCESS);
    return A.Data[0];
  }
  void Write(uint16_t Address, uint8_t Value) {
    ASSERT_EQ(Set(0x02, {uint8_t(Address), uint8_t(Address >> 8)}), EFI_SUCCESS);
    ASSERT_EQ(Set(0x03, {Value}), EFI_SUCCESS);
  }
  // One SPI controller command; returns the polls of 0x2C25 that read busy
  // (capped at 30). A status write sends all but the last byte as one
  // transaction and the last byte, with the receive count, as a second.
  unsigned SpiCycle(const std::vector<uint8_t> &Send, uint8_t Receive, bool StatusWrite = false) {
    Write(0x2C25, 0x10);
    for (uint8_t Byte : Send) {
      Write(0x2C24, Byte);
    }
    Write(0x2C26, Receive);
    Write(0x2C27, 0x00);
    if (StatusWrite) {
      Write(0x2C2B, 0x01);
      Write(0x2C2C, 0x00);
    }
    Write(0x2C2A, StatusWrite ? 1 : 0);
    Write(0x2C25, 0x01);
    unsigned Busy = 0;
    while ((Read(0x2C25) & 0x80) != 0 && Busy < 30) {
      ++Busy;
    }
    return Busy;
  }
  std::vector<uint8_t> SpiReceived(size_t Count) {
    std::vector<uint8_t> Bytes;
    for (size_t I = 0; I < Count; ++I) {
      Bytes.push_back(Read(0x2C24));
    }
    return Bytes;
  }
  // Write enable, then zeros into the status register (Bytes of them); returns
  // the status byte read back in the same command.
  uint8_t ClearStatus(unsigned Bytes, bool WriteEnable = true) {
    if (WriteEnable) {
      SpiCycle({0x06}, 0);
    }
    std::vector<uint8_t> Send = {0x01};
    Send.insert(Send.end(), Bytes, 0x00);
    Send.push_back(0x05);
    SpiCycle(Send, 1, true);
    return SpiReceived(1)[0];
  }
  void LoadSlot(uint8_t Slot, uint8_t Opcode) {
    ASSERT_EQ(Set(0x07, {Slot}), EFI_SUCCESS);
    ASSERT_EQ(Set(0x08, {Opcode}), EFI_SUCCESS);
  }
  void Erase(uint32_t Address) { ASSERT_EQ(Set(0x0D, Le32(Address)), EFI_SUCCESS); }
  void Program(uint32_t Address, uint8_t Value) {
    ASSERT_EQ(Set(0x0E, Le32(Address)), EFI_SUCCESS);
    ASSERT_EQ(Set(0x0F, std::vector<uint8_t>(Cam->Profile().ChunkSize, Value)), EFI_SUCCESS);
  }
  // Programs Bytes from Address, one chunk at a time (the last one padded
  // with 0xFF, which programs nothing).
  void ProgramBytes(uint32_t Address, const std::vector<uint8_t> &Bytes) {
    const size_t Chunk = Cam->Profile().ChunkSize;
    for (size_t Done = 0; Done < Bytes.size(); Done += Chunk) {
      std::vector<uint8_t> Piece(Chunk, 0xFF);
      std::copy(Bytes.begin() + Done, Bytes.begin() + std::min(Bytes.size(), Done + Chunk), Piece.begin());
      ASSERT_EQ(Set(0x0E, Le32(Address + static_cast<uint32_t>(Done))), EFI_SUCCESS);
      ASSERT_EQ(Set(0x0F, Piece), EFI_SUCCESS);
    }
  }
  std::vector<uint8_t> ReadBytes(uint32_t Address, size_t Count) {
    const size_t Chunk = Cam->Profile().ChunkSize;
    std::vector<uint8_t> Bytes;
    for (size_t Done = 0; Done < Count; Done += Chunk) {
      EXPECT_EQ(Set(0x0E, Le32(Address + static_cast<uint32_t>(Done))), EFI_SUCCESS);
      const Answer A = Get(0x0F, static_cast<uint16_t>(Chunk));
      Bytes.insert(Bytes.end(), A.Data.begin(), A.Data.end());
    }
    Bytes.resize(Count);
    return Bytes;
  }
  // The device descriptor as the bus reads it.
  EFI_USB_DEVICE_DESCRIPTOR Descriptor() {
    EFI_USB_DEVICE_DESCRIPTOR D{};
    EXPECT_EQ(Io()->UsbGetDeviceDescriptor(Io(), &D), EFI_SUCCESS);
    return D;
  }
  static std::vector<uint8_t> Le32(uint32_t V) {
    return {uint8_t(V), uint8_t(V >> 8), uint8_t(V >> 16), uint8_t(V >> 24)};
  }
  // Fills a sector with zeros behind the ISP's back (what earlier firmware left).
  void Dirty(uint32_t Sector) {
    std::fill(Cam->Flash().begin() + Sector * 4096, Cam->Flash().begin() + (Sector + 1) * 4096, 0);
  }
  uint8_t FlashAt(uint32_t Address) { return Cam->Flash()[Address]; }
  void StallUntil(uint64_t Ns) {
    const uint64_t Now = P->Clock().NowNs();
    if (Ns > Now) {
      P->SystemTable()->BootServices->Stall((Ns - Now + 999) / 1000);
    }
  }

  Sim::Machine Machine;
  std::unique_ptr<Sim::Platform> P = std::make_unique<Sim::Platform>(Machine);
  std::shared_ptr<Sim::Camera> Cam;
};

}  // namespace CameraTest
