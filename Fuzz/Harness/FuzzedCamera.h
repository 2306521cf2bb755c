// A camera whose answers a fuzzer decides: a Sim::Camera behind a script of
// events, each placed at a request number. At its request an event fails
// the request before it reaches the camera (a STALL or a time-out), lets the
// camera act and loses the answer, cuts the answer short, overwrites or
// flips bytes of the answer (or of an OUT request's data on the wire), throws
// one of the camera's fault switches, sets an ISP register, or writes bytes
// into the flash. Events at request 0 act on the first request, before it
// reaches the camera.
//
// The script's bytes, until they end:
//   LE16  Skip    the event's request: the previous event's plus Skip
//   U8    Action  (modulo the number of actions) and its arguments:
//     0 Stall                          EFI_DEVICE_ERROR, the camera never sees it
//     1 TimeOut                        EFI_TIMEOUT, the camera never sees it
//     2 Lost     U8 Status             the camera acts; DEVICE_ERROR or TIMEOUT
//     3 Short    U8 Count              at most Count bytes of an IN answer
//     4 Write    U8 At, U8 N, N bytes  bytes of the answer (IN) or data (OUT)
//     5 Flip     U8 At, U8 Mask        one byte of the answer or data, XORed
//     6 Switch   U8 Which, U8 A, LE16 B
//                  0 OverrideLength(A, B)   1 SetSpiBusyPolls(B)
//                  2 SetSpiNeverReady(A&1)  3 SetWindowClosePolls(B)
//                  4 SetWindowNeverCloses(A&1)  5 RefuseCommandSlot(A)
//                  6 SetRegister(B, A)
//     7 Flash    LE24 Address, U8 N, N bytes   into the chip's memory
//     8 Nothing
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Sim/Camera/Camera.h"
#include "Sim/UsbBus.h"

namespace Fuzz {

class FuzzedCamera : public Sim::UsbDeviceModel {
 public:
  FuzzedCamera(std::shared_ptr<Sim::Camera> Inner, const std::vector<uint8_t> &Script);

  EFI_USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override { return Inner_->DeviceDescriptor(); }
  std::vector<EFI_USB_INTERFACE_DESCRIPTOR> Interfaces() const override { return Inner_->Interfaces(); }
  EFI_STATUS Control(const Sim::UsbSetup &Setup, EFI_USB_DATA_DIRECTION Direction, size_t DataLength,
                     std::vector<uint8_t> &Data) override;
  void PowerOn() override;
  void Restarted() override;

  Sim::Camera &Inner() { return *Inner_; }
  // Requests the camera was sent (or would have been, for the failed ones).
  uint64_t Requests() const { return Requests_; }
  // The shortest flash-data chunk (selector 0x0F) a request carried; the
  // camera's chunk size until one is seen.
  size_t SmallestChunk() const { return SmallestChunk_; }
  // Told after every request (the budget's check).
  void SetRequestListener(std::function<void()> Listener) { Listener_ = std::move(Listener); }

 private:
  struct Event {
    uint64_t At;
    uint8_t Action;
    std::vector<uint8_t> Args;
  };
  void ApplyHardware(const Event &E);

  std::shared_ptr<Sim::Camera> Inner_;
  std::vector<Event> Events_;
  size_t Next_ = 0;
  uint64_t Requests_ = 0;
  size_t SmallestChunk_;
  std::function<void()> Listener_;
};

}  // namespace Fuzz
