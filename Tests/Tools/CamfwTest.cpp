// camfw's library: capsules as the platform reads them, the test signer's
// trailer accepted by the simulated two-slot camera for the chunk length it
// was made for (and only that one), the sample images read by the driver's
// own parsers, the flash comparison and the progress bar's two ways of
// drawing.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "ImageParsing.h"
#include "Sim/Camera/Camera.h"
#include "Sim/Capsule.h"
#include "Sim/Platform.h"
#include "Sim/Scenario.h"
#include "Tools/camfw/CapsuleFile.h"
#include "Tools/camfw/FlashActivity.h"
#include "Tools/camfw/ImageReport.h"
#include "Tools/camfw/ProgressBar.h"
#include "Tools/camfw/SampleImages.h"
#include "Tools/camfw/Simulation.h"
#include "Support/BreachingDriver.h"

namespace {

using Camfw::Bytes;

TEST(CamfwTest, CapsulesHaveTheCamerasHeaderAndOnlyWholeCapsulesParse) {
  const Bytes Image = {1, 2, 3, 4, 5};
  const Bytes Capsule = Camfw::BuildCapsule(Image);
  // The header byte for byte: the GUID in its memory layout, HeaderSize 28,
  // Flags 0x10000, CapsuleImageSize 33, then the image.
  const Bytes Expected = {0x37, 0x23, 0xA8, 0xA6, 0x4E, 0x90, 0x42, 0x47, 0x9E, 0xCA, 0xCF, 0x8E, 0x7D, 0xE4, 0xDE, 0x17,
                          28,   0,    0,    0,    0,    0,    1,    0,    33,   0,    0,    0,    1,    2,    3,    4,
                          5};
  EXPECT_EQ(Capsule, Expected);

  // The platform's reader takes the file as it is written.
  char Path[] = "/tmp/camfw-test-XXXXXX";
  const int Fd = mkstemp(Path);
  ASSERT_GE(Fd, 0);
  close(Fd);
  Camfw::WriteFile(Path, Capsule);
  EXPECT_EQ(Sim::LoadCapsuleFile(Path), Capsule);
  std::remove(Path);

  const std::optional<Camfw::CapsuleView> View = Camfw::ParseCapsule(Capsule);
  ASSERT_TRUE(View.has_value());
  EXPECT_EQ(View->Payload, Image);

  // Not capsules: too short, a size that is not the file's, a HeaderSize
  // below 28 or beyond the capsule.
  EXPECT_FALSE(Camfw::ParseCapsule(Bytes(Capsule.begin(), Capsule.begin() + 27)));
  Bytes Longer = Capsule;
  Longer.push_back(0);
  EXPECT_FALSE(Camfw::ParseCapsule(Longer));
  for (uint8_t HeaderSize : {uint8_t(27), uint8_t(34)}) {
    Bytes Bad = Capsule;
    Bad[16] = HeaderSize;
    EXPECT_FALSE(Camfw::ParseCapsule(Bad)) << int(HeaderSize);
  }
  Bytes Empty = Camfw::BuildCapsule(Image);
  Empty[16] = 33;  // all header, no payload
  ASSERT_TRUE(Camfw::ParseCapsule(Empty));
  EXPECT_TRUE(Camfw::ParseCapsule(Empty)->Payload.empty());

  EXPECT_THROW(Camfw::BuildCapsule(Bytes()), Camfw::Error);
  const EFI_GUID Parsed = Camfw::ParseGuid("A6A82337-904E-4742-9ECA-CF8E7DE4DE17");
  EXPECT_EQ(std::memcmp(&Camfw::kCameraFirmwareClass, &Parsed, sizeof(EFI_GUID)), 0);
  EXPECT_THROW(Camfw::ParseGuid("A6A82337-904E-4742-9ECA-CF8E7DE4DE1"), Camfw::Error);
  EXPECT_THROW(Camfw::ParseGuid("A6A82337+904E-4742-9ECA-CF8E7DE4DE17"), Camfw::Error);
}

// A two-slot camera whose flash data moves in chunks of Chunk bytes, updated
// with Image in a capsule: the version its ESRT entry shows afterwards and
// what it runs.
struct Outcome {
  uint32_t FwVersion;
  Sim::BootImage Running;
};

Outcome UpdateTwoSlotCamera(const Bytes &Image, uint16_t Chunk) {
  Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind('p');
  Profile.ChunkSize = Chunk;
  auto Camera = std::make_shared<Sim::Camera>(Profile);
  Sim::Machine Machine;
  Machine.UsbPorts[4] = Camera;
  Machine.PendingCapsules.push_back(Camfw::BuildCapsule(Image));
  Sim::Scenario Scenario(Machine);
  const std::vector<Sim::BootReport> Boots = Scenario.BootUntilSettled();
  EXPECT_EQ(Boots.size(), 2u);
  EXPECT_TRUE(Boots.front().EndedInReset());
  const std::vector<EFI_SYSTEM_RESOURCE_ENTRY> &Esrt = Boots.back().Esrt;
  return {Esrt.empty() ? 0u : Esrt.front().FwVersion, Camera->Running()};
}

TEST(CamfwTest, TheSignatureFitsTheWindowOfTheChunkLengthItWasMadeFor) {
  // 0x300 does not divide the declared slot length (0x2000): the last
  // chunk inside the window carries 0x100 bytes of the version block.
  Camfw::SampleOptions Options;
  Options.BcdDevice = 0x0345;
  Options.Chunk = 0x300;
  const Bytes Signed = Camfw::SampleImage(Options);
  Outcome Result = UpdateTwoSlotCamera(Signed, 0x300);
  EXPECT_EQ(Result.FwVersion, 0x0345u);
  EXPECT_EQ(Result.Running, Sim::BootImage::Slot1);

  // Signed for 64-byte chunks, it is written but not booted.
  Options.Chunk = 64;
  Result = UpdateTwoSlotCamera(Camfw::SampleImage(Options), 0x300);
  EXPECT_EQ(Result.FwVersion, 0x0100u);
  EXPECT_EQ(Result.Running, Sim::BootImage::Slot0);

  // Without a declared length the driver writes the slot data rounded up
  // past the next KiB: 0x400 bytes beyond the image's end, which the window
  // digest covers as erased bytes.
  Options.Sign = false;
  Bytes Undeclared = Camfw::SampleImage(Options);
  Camfw::PutBe32(Undeclared, 0x3000 + 0x12C, 0);
  EXPECT_EQ(Camfw::WindowBytes(Undeclared, 0x300).size(), 0x3600u);
  Result = UpdateTwoSlotCamera(Camfw::SignImage(Undeclared, 0x300), 0x300);
  EXPECT_EQ(Result.FwVersion, 0x0345u);
  EXPECT_EQ(Result.Running, Sim::BootImage::Slot1);

  EXPECT_THROW(Camfw::SignImage(Bytes(0x4000, 0x00), 64), Camfw::Error);   // no header
  EXPECT_THROW(Camfw::SignImage(Bytes(Signed.begin(), Signed.begin() + 0x3100), 64), Camfw::Error);  // no slot words
  EXPECT_THROW(Camfw::WindowBytes(Undeclared, 0), Camfw::Error);
}

TEST(CamfwTest, SamplesCarryTheirVersionWhereTheDriverReadsIt) {
  const struct {
    char Camera;
    CHAR8 Kind;
    bool VersionData;
  } Cases[] = {{'k', IMAGE_KIND_K, true}, {'h', IMAGE_KIND_K, true}, {'n', IMAGE_KIND_K, false}, {'q', IMAGE_KIND_N, false}};
  for (const auto &C : Cases) {
    Camfw::SampleOptions Options;
    Options.Camera = C.Camera;
    Options.BcdDevice = 0x0A07;
    const Bytes Image = Camfw::SampleImage(Options);
    EXPECT_EQ(GetImageKind(Image.data(), Image.size()), C.Kind) << C.Camera;
    FW_VERSION_INFO Info{};
    ASSERT_EQ(GetImageVersionInfo(Image.data(), Image.size(), &Info), EFI_SUCCESS) << C.Camera;
    EXPECT_EQ(Info.VendorId, 0x30C9) << C.Camera;
    EXPECT_EQ(Info.ProductId, 0x004A) << C.Camera;
    EXPECT_EQ(Info.DeviceVersion, 0x0A07) << C.Camera;
    const std::string Data(reinterpret_cast<const char *>(Info.VersionData), 32);
    EXPECT_EQ(Data.compare(0, 12, "camfw sample") == 0, C.VersionData) << C.Camera;
  }
  Camfw::SampleOptions Unknown;
  Unknown.Camera = 'o';
  EXPECT_THROW(Camfw::SampleImage(Unknown), Camfw::Error);
}

TEST(CamfwTest, FlashDifferencesMergeAcrossShortGapsOnly) {
  Bytes Before(0x100, 0xFF);
  Bytes After = Before;
  After[0x10] = 0;
  After[0x20] = 0;  // 15 equal bytes apart: one range
  After[0x30] = 0;  // again
  After[0x41] = 0;  // 16 equal bytes apart: a range of its own
  After[0xFF] = 0;
  const std::vector<Camfw::FlashChange> Changes = Camfw::DiffFlash(Before, After);
  ASSERT_EQ(Changes.size(), 3u);
  EXPECT_EQ(Changes[0].Range.First, 0x10u);
  EXPECT_EQ(Changes[0].Range.Last, 0x30u);
  EXPECT_EQ(Changes[0].Differing, 3u);
  EXPECT_EQ(Changes[1].Range.First, 0x41u);
  EXPECT_EQ(Changes[1].Differing, 1u);
  EXPECT_EQ(Changes[2].Range.Last, 0xFFu);
  EXPECT_TRUE(Camfw::DiffFlash(Before, Before).empty());

  EXPECT_EQ(Camfw::RangesText(Camfw::MergeRanges({{0x2000, 0x2FFF}, {0x0, 0xFFF}, {0x1000, 0x17FF}, {0x1900, 0x19FF}})),
            "0x00000..0x017FF, 0x01900..0x019FF, 0x02000..0x02FFF");
}

// Extension-unit transfers as the bus logs them, for the road reading.
class CameraRequests {
 public:
  CameraRequests &Set(uint8_t Selector, Bytes Data, EFI_STATUS Status = EFI_SUCCESS, uint8_t Port = 4) {
    Sim::UsbTransfer T{};
    T.Port = Port;
    T.Setup = {0x21, 0x01, static_cast<uint16_t>(Selector << 8), 0x0400, static_cast<uint16_t>(Data.size())};
    T.Direction = EfiUsbDataOut;
    T.Data = std::move(Data);
    T.Status = Status;
    Log.push_back(T);
    return *this;
  }
  CameraRequests &Register(uint16_t Address, uint8_t Value) {
    return Set(0x02, {uint8_t(Address), uint8_t(Address >> 8)}).Set(0x03, {Value});
  }
  CameraRequests &Write(uint32_t Address, Bytes Chunk, EFI_STATUS Status = EFI_SUCCESS, uint8_t Port = 4) {
    return Set(0x0E, {uint8_t(Address), uint8_t(Address >> 8), uint8_t(Address >> 16), 0}, EFI_SUCCESS, Port)
        .Set(0x0F, std::move(Chunk), Status, Port);
  }
  std::vector<std::string> Roads() const { return Camfw::DescribeRoads(Camfw::FoldCameraOps(Log, 4)); }

  std::vector<Sim::UsbTransfer> Log;
};

bool Has(const std::vector<std::string> &Lines, const std::string &Text) {
  return std::any_of(Lines.begin(), Lines.end(), [&](const std::string &L) { return L.find(Text) != std::string::npos; });
}

TEST(CamfwTest, RoadsAreReadFromTheWindowTheDigestAndTheWriteOrder) {
  const Bytes Chunk(0x400, 0x5A);
  // The window without a digest, then the bank header: the banked road.
  CameraRequests Banked;
  Banked.Register(0x6000, 1).Write(0x8000, Chunk).Write(0x8400, Chunk).Register(0x6000, 0).Write(0x7000, Chunk);
  std::vector<std::string> Roads = Banked.Roads();
  EXPECT_TRUE(Has(Roads, "banked road: written inside the update window (0x6000 = 1 ... 0): 0x08000..0x087FF"));
  EXPECT_TRUE(Has(Roads, "banked road: the bank header at 0x7000 rewritten after the window closed"));
  EXPECT_FALSE(Has(Roads, "two-slot"));

  // With the digest on 0x1F it is the two-slot road, whatever comes after.
  CameraRequests Slots = Banked;
  Slots.Log.insert(Slots.Log.begin(), CameraRequests().Set(0x1F, Bytes(32, 0xAB)).Log.front());
  Roads = Slots.Roads();
  EXPECT_TRUE(Has(Roads, "two-slot road: the signed digest abababababababab... handed to the ISP on selector 0x1F"));
  EXPECT_TRUE(Has(Roads, "two-slot road: written inside the update window"));
  EXPECT_FALSE(Has(Roads, "banked road"));

  // Failed transfers and other devices' transfers are not the camera's writes.
  CameraRequests Failed;
  Failed.Write(0x0, Chunk, EFI_DEVICE_ERROR).Write(0x400, Chunk, EFI_SUCCESS, 3);
  EXPECT_TRUE(Has(Failed.Roads(), "no road reached the flash"));

  // No window: the whole-image road; the first chunk counts as written
  // blank first only when its first bytes differ from its last.
  Bytes Blank(0x400, 0xFF);
  Blank[0] = 0xF9;
  CameraRequests Whole;
  Whole.Set(0x09, {1}).Write(0x0, Blank).Write(0x400, Chunk).Write(0x0, Chunk);
  Roads = Whole.Roads();
  EXPECT_TRUE(Has(Roads, "whole-image road: 0x00000..0x007FF written, the first chunk (1024 bytes) first as a blank "
                         "(0xFF but F9 at 0x0) and last with the image's bytes; flash writes enabled on selector 9"));
  EXPECT_TRUE(Has(Roads, "programmed: 3072 bytes in 3 chunk(s)"));
  CameraRequests Again;
  Again.Write(0x0, Chunk).Write(0x400, Chunk).Write(0x0, Chunk);
  EXPECT_FALSE(Has(Again.Roads(), "first chunk"));
}

TEST(CamfwTest, InspectShowsWhatTheDriverReadsAndWhatItWillRefuse) {
  Camfw::SampleOptions Options;
  Options.Sign = false;
  Bytes Image = Camfw::SampleImage(Options);
  // Slot 1 made unwritable and given a digest; a tail record announced.
  Image[0x0C + 44 + 11] = 0x00;
  std::fill(Image.begin() + 0x0C + 44 + 12, Image.begin() + 0x0C + 88, 0x11);
  Camfw::PutBe32(Image, 0x3134, 0x00805A00);
  std::string Text = Camfw::InspectFile("image", Camfw::SignImage(Image, 64), {});
  EXPECT_NE(Text.find("slot 1            version 0, offset 0x41000, flags 0x00000000 (not writable), digest "
                      "1111111111111111111111111111111111111111111111111111111111111111"),
            std::string::npos)
      << Text;
  EXPECT_NE(Text.find("tail word 0x00805A00, tail record at 0x5A00"), std::string::npos) << Text;
  EXPECT_NE(Text.find("verdict           the digests match"), std::string::npos) << Text;

  // A capsule the driver passes over, around an image too short for a trailer.
  Bytes Short(0x140, 0x00);
  Short[0x100] = 0x95;
  Short[0x101] = 0x27;
  Text = Camfw::InspectFile("short.cap", Camfw::BuildCapsule(Short, Camfw::kCameraFirmwareClass, 0), {});
  EXPECT_NE(Text.find("flags               0x0; without PERSIST_ACROSS_RESET the driver does not apply it"),
            std::string::npos)
      << Text;
  EXPECT_NE(Text.find("header format       1: 95 27 at 0x100"), std::string::npos) << Text;
  EXPECT_NE(Text.find("signature           none: 320 bytes are too few for the header and a 160-byte trailer"), std::string::npos) << Text;

  // An image with no header: no trailer looked for.
  Options.Camera = 'k';
  Text = Camfw::InspectFile("k.bin", Camfw::SampleImage(Options), {});
  EXPECT_NE(Text.find("signature           none expected"), std::string::npos) << Text;
  EXPECT_NE(Text.find("descriptors         USB 2 device descriptor at 0x200 (30C9:004A bcdDevice 0x0200)"),
            std::string::npos)
      << Text;
  EXPECT_THROW(Camfw::InspectFile("empty", Bytes(), {}), Camfw::Error);
}

// What the bar printed for a set-up and 100 steps.
std::string DrawHundredSteps(bool Terminal) {
  std::FILE *Out = std::tmpfile();
  Camfw::ProgressBar Bar(Out, Terminal);
  Sim::Platform P;
  P.Display().SetDrawListener([&](const Sim::PlatformDisplay &D) { Bar.Draw(D); });
  P.Display().Progress()->SetUp(0, 0, 100, 10, 100);
  for (int Step = 0; Step < 100; ++Step) {
    P.Display().Progress()->Advance();
  }
  Bar.Finish();
  std::string Text(static_cast<size_t>(std::ftell(Out)), '\0');
  std::rewind(Out);
  EXPECT_EQ(std::fread(&Text[0], 1, Text.size(), Out), Text.size());
  std::fclose(Out);
  return Text;
}

TEST(CamfwTest, TheBarRedrawsInPlaceOnATerminalAndPrintsTenthsOtherwise) {
  const std::string Terminal = DrawHundredSteps(true);
  EXPECT_EQ(std::count(Terminal.begin(), Terminal.end(), '\r'), 101);
  EXPECT_EQ(std::count(Terminal.begin(), Terminal.end(), '\n'), 1);
  EXPECT_NE(Terminal.find("100/100 steps"), std::string::npos);

  const std::string Lines = DrawHundredSteps(false);
  EXPECT_EQ(Lines.find('\r'), std::string::npos);
  EXPECT_EQ(std::count(Lines.begin(), Lines.end(), '\n'), 11);  // the set-up and each tenth
  EXPECT_NE(Lines.find("[####################                    ]  50/100 steps"), std::string::npos);
  EXPECT_NE(Lines.find("100/100 steps"), std::string::npos);
}

TEST(CamfwTest, SimulateFailsOnATplBreach) {
  // The main job exits 0 with no breach; the same job with a platform driver
  // that breaks the TPL rules when the camera is connected exits 1 and names
  // the breach.
  auto Run = [](const Camfw::SimulateOptions &Options, std::string &Report) {
    std::FILE *Out = std::tmpfile();
    const int Status = Camfw::Simulate(Options, Out);
    std::rewind(Out);
    char Buffer[4096];
    Report.clear();
    for (size_t N; (N = std::fread(Buffer, 1, sizeof(Buffer), Out)) != 0;) {
      Report.append(Buffer, N);
    }
    std::fclose(Out);
    return Status;
  };
  Camfw::SimulateOptions Options;
  Options.Camera = 'k';
  std::string Report;
  EXPECT_EQ(Run(Options, Report), 0);
  EXPECT_NE(Report.find("Checks: TPL rule breaches 0, boot-service misuses 0"), std::string::npos) << Report;

  Options.PrepareBoot = TestSupport::RegisterBreachingVideoDriver;
  EXPECT_EQ(Run(Options, Report), 1);
  EXPECT_NE(Report.find("TPL rule breach: AllocatePool at TPL 31"), std::string::npos) << Report;
}

}  // namespace
