// ISP operations against the simulated camera: the generation letter for
// every branch of the classification (and the reads each takes), the update
// lock and its release, and both restart forms, each checked on the wire.
#include <string>
#include <vector>

#include <Library/UefiBootServicesTableLib.h>

#include "CameraUsbFixture.h"
#include "IspOps.h"
#include "XuTrace.h"

namespace {

constexpr uint8_t kPort = 1;
constexpr UINT16 kXu = 0x0400;

using Ops = std::vector<std::string>;

const Ops kTwoSlotReads = {"R209E", "R20A1", "R209F"};
const Ops kLegacyReads = {"R209E", "R20FF"};
const Ops kVariantReads = {"R209E", "R20FF", "R20D0"};
const Ops kMarkerReads = {"R0700", "R0701", "R0702", "R0703"};
const Ops kRestartSequence = {"W2034=00", "W2030=FF", "W2031=00", "W2032=00", "W2033=02", "W2034=01"};

// The reads IspGetKind makes on a camera of this kind.
const Ops &KindReads(char Kind) {
  return (Kind == 'p' || Kind == 'q') ? kTwoSlotReads : (Kind == 'i' || Kind == 'l') ? kVariantReads : kLegacyReads;
}

class IspOpsTest : public CameraUsbTest {
 protected:
  void SetUp() override {
    CameraUsbTest::SetUp();
    Use(Sim::CameraProfile());
  }

  // A fresh camera of this hardware on the port, and clean logs.
  void Use(const Sim::CameraProfile &Profile) {
    Cam = Plug(kPort, Profile);
    Context = CAMERA_CONTEXT{};
    Context.UsbIo = Bus().UsbIo(kPort, 0);
    Context.XuIndex = kXu;
    ClearLogs();
  }

  // The camera of Kind ('d': one that classifies as nothing).
  void UseKind(char Kind) {
    Use(Kind == 'd' ? Sim::CameraProfile::ForIspKind('k').WithGenerationByte(0x21)
                    : Sim::CameraProfile::ForIspKind(Kind));
  }

  void SetMarker(const char *Letters) {
    for (uint16_t I = 0; I < 4; ++I) {
      Cam->SetRegister(static_cast<uint16_t>(0x0700 + I), static_cast<uint8_t>(Letters[I]));
    }
  }

  Ops Trace() { return XuTrace::Ops(Transfers()); }

  std::shared_ptr<Sim::Camera> Cam;
  CAMERA_CONTEXT Context{};
};

struct KindCase {
  const char *Name;
  uint8_t R209E, R20A1, R209F, R20FF, R20D0;
  char Start;
  char Kind;
  Ops Reads;
};

TEST_F(IspOpsTest, GetKindClassifiesEveryGeneration) {
  const KindCase Cases[] = {
      {"3E, 0x20A1 bit 7, 0x209F non-zero", 0x3E, 0x80, 0x01, 0x00, 0, 'd', 'p', kTwoSlotReads},
      {"3E, bit 7 among others", 0x3E, 0xFF, 0x5A, 0x00, 0, 'd', 'p', kTwoSlotReads},
      {"3E, bit 7 clear", 0x3E, 0x7F, 0x01, 0x00, 0, 'd', 'q', kTwoSlotReads},
      {"3E, 0x209F zero wins over bit 7", 0x3E, 0x80, 0x00, 0x00, 0, 'd', 'q', kTwoSlotReads},
      {"3E, 0x209F zero, 0x20A1 all ones", 0x3E, 0xFF, 0x00, 0x62, 0, 'd', 'q', kTwoSlotReads},
      {"0x3F is not the marker", 0x3F, 0x80, 0x01, 0x0F, 0, 'd', 'n', kLegacyReads},
      {"nibble 6", 0, 0, 0, 0x62, 0, 'd', 'f', kLegacyReads},
      {"nibble 6, odd", 0, 0, 0, 0x6F, 0, 'd', 'f', kLegacyReads},
      {"nibble 9", 0, 0, 0, 0x93, 0, 'd', 'g', kLegacyReads},
      {"nibble 8", 0, 0, 0, 0x80, 0, 'd', 'h', kLegacyReads},
      {"nibble A, 0x20D0 = 0x10", 0, 0, 0, 0xA7, 0x10, 'd', 'l', kVariantReads},
      {"nibble A, 0x20D0 = 0x11", 0, 0, 0, 0xA2, 0x11, 'd', 'i', kVariantReads},
      {"nibble A, 0x20D0 = 0", 0, 0, 0, 0xA4, 0x00, 'd', 'i', kVariantReads},
      {"nibble B", 0, 0, 0, 0xB1, 0, 'd', 'j', kLegacyReads},
      {"nibble C", 0, 0, 0, 0xC2, 0, 'd', 'k', kLegacyReads},
      {"nibble E", 0, 0, 0, 0xE2, 0, 'd', 'k', kLegacyReads},
      {"nibble E, odd", 0, 0, 0, 0xE3, 0, 'd', 'k', kLegacyReads},
      {"nibble D", 0, 0, 0, 0xD5, 0, 'd', 'm', kLegacyReads},
      {"0x0F", 0, 0, 0, 0x0F, 0, 'd', 'n', kLegacyReads},
      {"0x0E", 0, 0, 0, 0x0E, 0, 'd', 'n', kLegacyReads},
      {"0x00", 0, 0, 0, 0x00, 0, 'd', 'n', kLegacyReads},
      {"even, nibble 4", 0, 0, 0, 0x42, 0, 'd', 'n', kLegacyReads},
      {"even, nibble F", 0, 0, 0, 0xF4, 0, 'd', 'n', kLegacyReads},
      {"even, nibble 7", 0, 0, 0, 0x70, 0, 'd', 'n', kLegacyReads},
      {"odd 0x21 leaves 'd'", 0, 0, 0, 0x21, 0, 'd', 'd', kLegacyReads},
      {"odd 0x7F leaves 'd'", 0, 0, 0, 0x7F, 0, 'd', 'd', kLegacyReads},
      {"odd 0x01 leaves the caller's letter", 0, 0, 0, 0x01, 0, 'x', 'x', kLegacyReads},
      {"odd 0xF1 leaves the caller's letter", 0, 0, 0, 0xF1, 0, 'k', 'k', kLegacyReads},
  };
  for (const KindCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    ClearLogs();
    Cam->SetRegister(0x209E, C.R209E);
    Cam->SetRegister(0x20A1, C.R20A1);
    Cam->SetRegister(0x209F, C.R209F);
    Cam->SetRegister(0x20FF, C.R20FF);
    Cam->SetRegister(0x20D0, C.R20D0);
    const uint64_t Stalled = P().Boot().TotalStallUs();
    CHAR8 Kind = C.Start;
    EXPECT_EQ(IspGetKind(Context.UsbIo, kXu, &Kind), EFI_SUCCESS);
    EXPECT_EQ(Kind, C.Kind);
    EXPECT_EQ(Trace(), C.Reads);
    EXPECT_EQ(ExpectPacedTransfers(), 4 * C.Reads.size());
    EXPECT_EQ(P().Boot().TotalStallUs() - Stalled, 40000u * C.Reads.size());
  }
}

struct KindFailureCase {
  const char *Name;
  uint8_t R209E, R20A1, R209F, R20FF, R20D0;
  unsigned FailedRead;  // 1-based register read whose data phase fails
  char Kind;
  EFI_STATUS Status;
  Ops Trace;
};

TEST_F(IspOpsTest, GetKindOnFailedReads) {
  const KindFailureCase Cases[] = {
      {"0x209E unreadable", 0x3E, 0x80, 1, 0, 0, 1, 'd', EFI_TIMEOUT, {"R209E!"}},
      {"0x20FF unreadable", 0x00, 0, 0, 0xC2, 0, 2, 'd', EFI_TIMEOUT, {"R209E", "R20FF!"}},
      {"0x20D0 unreadable gives 'i' and the error", 0, 0, 0, 0xA7, 0x10, 3, 'i', EFI_TIMEOUT,
       {"R209E", "R20FF", "R20D0!"}},
      // 0x20A1's status is not examined: the byte keeps 0x3E, bit 7 clear.
      {"0x20A1 unreadable", 0x3E, 0x80, 1, 0, 0, 2, 'q', EFI_SUCCESS, {"R209E", "R20A1!", "R209F"}},
      // 0x209F's status is the result; the byte keeps 0x20A1's value.
      {"0x209F unreadable", 0x3E, 0x80, 0, 0, 0, 3, 'p', EFI_TIMEOUT, {"R209E", "R20A1", "R209F!"}},
  };
  for (const KindFailureCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    ClearLogs();
    Cam->SetRegister(0x209E, C.R209E);
    Cam->SetRegister(0x20A1, C.R20A1);
    Cam->SetRegister(0x209F, C.R209F);
    Cam->SetRegister(0x20FF, C.R20FF);
    Cam->SetRegister(0x20D0, C.R20D0);
    Bus().FailTransfer(4 * C.FailedRead, EFI_TIMEOUT);
    CHAR8 Kind = 'x';
    EXPECT_EQ(IspGetKind(Context.UsbIo, kXu, &Kind), C.Status);
    EXPECT_EQ(Kind, C.Kind);
    EXPECT_EQ(Trace(), C.Trace);
  }

  ClearLogs();
  CHAR8 Kind = 'x';
  EXPECT_EQ(IspGetKind(nullptr, kXu, &Kind), EFI_INVALID_PARAMETER);
  EXPECT_EQ(IspGetKind(Context.UsbIo, kXu, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}

struct LockCase {
  const char *Name;
  char Kind;
  const char *Marker;
  uint8_t LockState;
  bool Locked;
  bool ReadsLockState;
};

TEST_F(IspOpsTest, UpdateLockFollowsMarkerKindAndBit) {
  const LockCase Cases[] = {
      {"'n', bit 0x08 clear", 'n', "FWPO", 0xF7, true, true},
      {"'n', bit 0x08 set", 'n', "FWPO", 0x08, false, true},
      {"'n', other bits do not count", 'n', "FWPO", 0x05, true, true},
      {"'k', bit 0x04 clear", 'k', "FWPO", 0xFB, true, true},
      {"'k', bit 0x04 set", 'k', "FWPO", 0x04, false, true},
      {"'p', bit 0x01 clear", 'p', "FWPO", 0xFE, true, true},
      {"'p', bit 0x01 set", 'p', "FWPO", 0x01, false, true},
      {"'q', bit 0x01 clear", 'q', "FWPO", 0x08, true, true},
      {"'q', bit 0x01 set", 'q', "FWPO", 0x01, false, true},
      {"last letter not O", 'n', "FWPN", 0x00, false, false},
      {"first letter not F", 'p', "fWPO", 0x00, false, false},
      {"no marker", 'k', "\0\0\0\0", 0x00, false, false},
      {"'j' has no lock bit", 'j', "FWPO", 0x00, false, false},
      {"'f' has no lock bit", 'f', "FWPO", 0x00, false, false},
      {"'l' has no lock bit", 'l', "FWPO", 0x00, false, false},
      {"unclassified has no lock bit", 'd', "FWPO", 0x00, false, false},
  };
  for (const LockCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    UseKind(C.Kind);
    SetMarker(C.Marker);
    Cam->SetRegister(0x2045, C.LockState);
    EXPECT_EQ(IspIsUpdateLocked(&Context), C.Locked);
    Ops Expected = XuTrace::Concat({KindReads(C.Kind), kMarkerReads});
    if (C.ReadsLockState) {
      Expected.push_back("R2045");
    }
    EXPECT_EQ(Trace(), Expected);
    EXPECT_TRUE(Cam->RegisterWrites().empty());
  }
}

TEST_F(IspOpsTest, EveryFailureCountsAsLocked) {
  // The same unlocked 'n' camera each time; only the failure differs.
  struct {
    const char *Name;
    unsigned FailedRead;
    Ops Trace;
  } const Cases[] = {
      {"nothing fails", 0, {"R209E", "R20FF", "R0700", "R0701", "R0702", "R0703", "R2045"}},
      {"classification", 1, {"R209E!"}},
      {"third marker register", 5, {"R209E", "R20FF", "R0700", "R0701", "R0702!"}},
      {"lock state, read as clear", 7, {"R209E", "R20FF", "R0700", "R0701", "R0702", "R0703", "R2045!"}},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    UseKind('n');
    SetMarker("FWPO");
    Cam->SetRegister(0x2045, 0xFF);
    if (C.FailedRead != 0) {
      Bus().FailTransfer(4 * C.FailedRead, EFI_DEVICE_ERROR);
    }
    EXPECT_EQ(IspIsUpdateLocked(&Context), C.FailedRead != 0);
    EXPECT_EQ(Trace(), C.Trace);
  }

  ClearLogs();
  CAMERA_CONTEXT NoIo = Context;
  NoIo.UsbIo = nullptr;
  EXPECT_TRUE(IspIsUpdateLocked(&NoIo));
  EXPECT_TRUE(IspIsUpdateLocked(nullptr));
  EXPECT_TRUE(Transfers().empty());
}

TEST_F(IspOpsTest, ReleaseWritesTheKindsBitToBothRegisters) {
  struct {
    char Kind;
    EFI_STATUS Status;
    Ops Writes;
  } const Cases[] = {
      {'n', EFI_SUCCESS, {"W2041=08", "W2043=08"}},
      {'k', EFI_SUCCESS, {"W2041=04", "W2043=04"}},
      {'p', EFI_SUCCESS, {"W2041=01", "W2043=01"}},
      {'q', EFI_SUCCESS, {"W2041=01", "W2043=01"}},
      {'j', EFI_UNSUPPORTED, {}},
      {'m', EFI_UNSUPPORTED, {}},
      {'i', EFI_UNSUPPORTED, {}},
      {'d', EFI_UNSUPPORTED, {}},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(std::string("kind ") + C.Kind);
    UseKind(C.Kind);
    SetMarker("FWPO");
    Cam->SetRegister(0x2045, 0x00);
    EXPECT_EQ(IspReleaseUpdateLock(&Context, TRUE), C.Status);
    EXPECT_EQ(Trace(), XuTrace::Concat({KindReads(C.Kind), C.Writes}));
    EXPECT_EQ(Cam->RegisterWrites().size(), C.Writes.size());
    // The camera took the release: the lock test now passes.
    if (C.Status == EFI_SUCCESS) {
      EXPECT_FALSE(IspIsUpdateLocked(&Context));
    }
  }

  // Enable FALSE sends nothing, whatever the context.
  ClearLogs();
  EXPECT_EQ(IspReleaseUpdateLock(&Context, FALSE), EFI_SUCCESS);
  EXPECT_EQ(IspReleaseUpdateLock(nullptr, FALSE), EFI_SUCCESS);
  CAMERA_CONTEXT NoIo = Context;
  NoIo.UsbIo = nullptr;
  EXPECT_EQ(IspReleaseUpdateLock(&NoIo, TRUE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(IspReleaseUpdateLock(nullptr, TRUE), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
}

TEST_F(IspOpsTest, ReleaseResultIsTheSecondWrite) {
  // 'n' classifies in two reads (8 transfers); each write is 4 more.
  UseKind('n');
  Bus().FailTransfer(12, EFI_DEVICE_ERROR);  // the first write's data phase
  EXPECT_EQ(IspReleaseUpdateLock(&Context, TRUE), EFI_SUCCESS);
  EXPECT_EQ(Trace(), (Ops{"R209E", "R20FF", "W2041=08!", "W2043=08"}));

  UseKind('n');
  Bus().FailTransfer(16, EFI_TIMEOUT);  // the second write's data phase
  EXPECT_EQ(IspReleaseUpdateLock(&Context, TRUE), EFI_TIMEOUT);
  EXPECT_EQ(Trace(), (Ops{"R209E", "R20FF", "W2041=08", "W2043=08!"}));

  UseKind('n');
  Bus().FailTransfer(8, EFI_TIMEOUT);  // classification
  EXPECT_EQ(IspReleaseUpdateLock(&Context, TRUE), EFI_TIMEOUT);
  EXPECT_EQ(Trace(), (Ops{"R209E", "R20FF!"}));
}

TEST_F(IspOpsTest, RestartFormsAndTheCameraReturning) {
  struct {
    char Kind;
    Ops Writes;
  } const Cases[] = {
      {'n', {"W20D8=A5"}}, {'p', {"W20D8=A5"}}, {'q', {"W20D8=A5"}}, {'f', kRestartSequence},
      {'g', kRestartSequence}, {'h', kRestartSequence}, {'i', kRestartSequence}, {'j', kRestartSequence},
      {'k', kRestartSequence}, {'l', kRestartSequence}, {'m', kRestartSequence},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(std::string("kind ") + C.Kind);
    UseKind(C.Kind);
    EXPECT_EQ(IspRestart(&Context, C.Kind), EFI_SUCCESS);
    EXPECT_EQ(Trace(), C.Writes);
    EXPECT_EQ(ExpectPacedTransfers(), 4 * C.Writes.size());

    // The camera answered the last write, leaves 50 ms later and is back,
    // enumerated afresh, 500 ms after that.
    EXPECT_EQ(Cam->RestartsRequested(), 1u);
    EFI_USB_IO_PROTOCOL *Before = Bus().UsbIo(kPort, 0);
    ASSERT_NE(Before, nullptr);
    gBS->Stall(Sim::Camera::kRestartLeaveNs / 1000 + 1);
    EXPECT_EQ(Bus().UsbIo(kPort, 0), nullptr);
    gBS->Stall(Sim::Camera::kRestartReturnNs / 1000);
    EXPECT_NE(Bus().UsbIo(kPort, 0), nullptr);
    EXPECT_EQ(Cam->RestartsCompleted(), 1u);
  }
}

TEST_F(IspOpsTest, RestartRefusalsAndAFailedWrite) {
  // 'd' is refused before anything is sent; so is a missing UsbIo.
  UseKind('k');
  EXPECT_EQ(IspRestart(&Context, 'd'), EFI_UNSUPPORTED);
  CAMERA_CONTEXT NoIo = Context;
  NoIo.UsbIo = nullptr;
  EXPECT_EQ(IspRestart(&NoIo, 'k'), EFI_INVALID_PARAMETER);
  EXPECT_EQ(IspRestart(nullptr, 'q'), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Transfers().empty());
  EXPECT_EQ(Cam->RestartsRequested(), 0u);

  // The sequence stops at the first failing write: no restart happens.
  Bus().FailTransfer(12, EFI_DEVICE_ERROR);  // the third write's data phase
  EXPECT_EQ(IspRestart(&Context, 'k'), EFI_DEVICE_ERROR);
  EXPECT_EQ(Trace(), (Ops{"W2034=00", "W2030=FF", "W2031=00!"}));
  gBS->Stall(1000000);
  EXPECT_EQ(Cam->RestartsRequested(), 0u);
  EXPECT_NE(Bus().UsbIo(kPort, 0), nullptr);

  // The one-write form hands its error back.
  UseKind('q');
  Bus().FailTransfer(4, EFI_TIMEOUT);
  EXPECT_EQ(IspRestart(&Context, 'q'), EFI_TIMEOUT);
  EXPECT_EQ(Trace(), (Ops{"W20D8=A5!"}));
}

}  // namespace
