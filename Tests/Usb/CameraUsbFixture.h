// A fresh simulated platform with the library constructors run on it, so that
// the driver's camera USB functions, called directly, reach the simulated
// boot services, bus and cameras. Teardown (UefiLibraryTest) fails a test that
// leaves pool behind or misuses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Sim/Camera/Camera.h"
#include "Sim/UsbBus.h"
#include "Uefi/UefiLibraryFixture.h"

class CameraUsbTest : public UefiLibraryTest {
 protected:
  std::shared_ptr<Sim::Camera> Plug(uint8_t Port, Sim::CameraProfile Profile = Sim::CameraProfile()) {
    auto Camera = std::make_shared<Sim::Camera>(Profile);
    P().Usb().Attach(Port, Camera);
    return Camera;
  }

  Sim::UsbBus &Bus() { return P().Usb(); }
  const std::vector<Sim::UsbTransfer> &Transfers() { return Bus().Transfers(); }

  // Forgets what set-up sent and called, so a test sees only its own traffic.
  void ClearLogs() {
    Bus().ClearTransfers();
    P().Boot().ClearCalls();
  }

  // Every extension-unit transfer in the call log comes right after a 10 ms
  // stall, and no other transfer does. Returns the number of XU transfers.
  size_t ExpectPacedTransfers() {
    const std::vector<Sim::ServiceCall> &Calls = P().Boot().Calls();
    size_t XuTransfers = 0;
    for (size_t I = 0; I < Calls.size(); ++I) {
      if (Calls[I].Service != "UsbControlTransfer") {
        continue;
      }
      const bool Xu = Calls[I].Detail.find(": A1 ") != std::string::npos ||
                      Calls[I].Detail.find(": 21 ") != std::string::npos;
      const bool AfterStall = I > 0 && Calls[I - 1].Service == "Stall";
      if (Xu) {
        ++XuTransfers;
        EXPECT_TRUE(AfterStall && Calls[I - 1].Detail == "10000") << "unpaced: " << Calls[I].Detail;
      } else {
        EXPECT_FALSE(AfterStall) << "stall before " << Calls[I].Detail;
      }
    }
    return XuTransfers;
  }
};

// Setup packet of a logged transfer, for whole-packet comparisons.
inline std::vector<unsigned> SetupOf(const Sim::UsbTransfer &T) {
  return {T.Setup.RequestType, T.Setup.Request, T.Setup.Value, T.Setup.Index, T.Setup.Length};
}

inline std::string Ascii(const CHAR16 *Text) {
  std::string Out;
  for (; *Text != 0; ++Text) {
    Out.push_back(*Text < 0x80 ? static_cast<char>(*Text) : '?');
  }
  return Out;
}
