// The whole update against a camera the input controls. Input:
//   U8    Camera    the ISP generation: "fghijklmnpq"[Camera % 11]
//   U8    Flags     bit 0: no boot from flash, bit 1: no factory image,
//                   bit 2: "FWPO" lock marker, bit 3: unlocked,
//                   bit 4: flash protection toggled, bit 5: EDK II-like bus
//                   (enumerated hot-plug), bit 6: RestartIsp FALSE,
//                   bit 7: no progress callback
//   U8    Chunk     the camera's chunk: 0 the generation's, else kChunks[..]
//   U8    FlashKind 0 the profile's, else 1 + (FlashKind - 1) % 74
//   U8    Base      the image the recipe patches: 0 none, 1 the camfw sample
//                   for this generation, 2 whole, 3 bank, 4 two-slot signed
//                   for the camera's chunk, 5 two-slot unsigned
//   LE16  N, then N bytes: the image recipe (ImageRecipe.h), at most 48 KiB
//                   and at most 512 of the camera's chunks (a camera of
//                   1-byte chunks takes half a million transfers for 48 KiB:
//                   legitimate, but it would starve the fuzzer)
//   the rest: the camera's script (FuzzedCamera.h)
// The update runs as the capsule check runs it: at TPL_CALLBACK, on the
// camera discovery found by its IDs, on an exact-size heap copy of the image.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include <Library/UefiBootServicesTableLib.h>

#include "CameraContext.h"
#include "Fuzz/Harness/BootChecks.h"
#include "Fuzz/Harness/Budget.h"
#include "Fuzz/Harness/DriverState.h"
#include "Fuzz/Harness/FuzzedCamera.h"
#include "Fuzz/Harness/ImageRecipe.h"
#include "Fuzz/Harness/Targets.h"
#include "Tools/camfw/SampleImages.h"
#include "UpdateEngine.h"

namespace Fuzz {

namespace {

constexpr uint8_t kPort = 4;
constexpr size_t kMaxImage = 48 * 1024;
// Flash the roads may move besides the image: a header block, the device
// data a bank carries, a sector of slack on either side.
constexpr uint64_t kExtraWork = 0x10000;
const char kKinds[] = "fghijklmnpq";
const uint16_t kChunks[] = {64, 4096, 1024, 256, 512, 128, 32, 100, 2048, 33, 16, 4095, 200, 8, 3, 1};

// Percentages the update reported: none above 100, and the last one 100
// (every return reports 100, the two-slot road's in its slot update).
bool gBadPercentage = false;
UINTN gBadValue = 0;
UINTN gLastPercentage = 0;
bool gReported = false;

EFI_STATUS EFIAPI RecordProgress(UINTN Percentage) {
  if (Percentage > 100) {
    gBadPercentage = true;
    gBadValue = Percentage;
  }
  gLastPercentage = Percentage;
  gReported = true;
  return EFI_SUCCESS;
}

// The camfw samples, built once per (kind, chunk, signed).
const std::vector<uint8_t> &Sample(char Kind, size_t Chunk, bool Sign) {
  static std::map<std::string, std::vector<uint8_t>> Cache;
  const std::string Key = std::string(1, Kind) + "/" + std::to_string(Chunk) + (Sign ? "s" : "u");
  auto It = Cache.find(Key);
  if (It == Cache.end()) {
    Camfw::SampleOptions Options;
    Options.Camera = Kind;
    Options.Chunk = Chunk;
    Options.Sign = Sign;
    It = Cache.emplace(Key, Camfw::SampleImage(Options)).first;
  }
  return It->second;
}

const std::vector<uint8_t> &BaseImage(uint8_t Choice, char Kind, size_t Chunk) {
  static const std::vector<uint8_t> None;
  switch (Choice % 6) {
    case 1:
      return Sample(Kind, Chunk, true);
    case 2:
      return Sample('k', Chunk, true);
    case 3:
      return Sample('n', Chunk, true);
    case 4:
      return Sample('p', Chunk, true);
    case 5:
      return Sample('p', Chunk, false);
    default:
      return None;
  }
}

}  // namespace

Findings RunUpdateInput(const uint8_t *Data, size_t Size) {
  ByteReader In(Data, Size);
  const char Kind = kKinds[In.U8() % (sizeof(kKinds) - 1)];
  const uint8_t Flags = In.U8();
  const uint8_t ChunkChoice = In.U8();
  const uint8_t FlashKind = In.U8();
  const uint8_t BaseChoice = In.U8();
  const std::vector<uint8_t> Recipe = In.Bytes(In.Le16());
  const std::vector<uint8_t> Script = In.Rest();

  Sim::CameraProfile Profile = Sim::CameraProfile::ForIspKind(Kind);
  if (Flags & 0x01) Profile.BootsFromFlash = false;
  if (Flags & 0x02) Profile.FactoryImage = false;
  if (Flags & 0x04) Profile.LockMarker = true;
  if (Flags & 0x08) Profile.Unlocked = true;
  if (Flags & 0x10) Profile.FlashProtected = !Profile.FlashProtected;
  if (ChunkChoice != 0) Profile.ChunkSize = kChunks[(ChunkChoice - 1) % (sizeof(kChunks) / sizeof(kChunks[0]))];
  if (FlashKind != 0) Profile.FlashKind = static_cast<uint8_t>(1 + (FlashKind - 1) % 74);

  ByteReader RecipeReader(Recipe.data(), Recipe.size());
  const size_t MaxImage = std::min<size_t>(kMaxImage, size_t(512) * Profile.ChunkSize);
  ExactBuffer Image(BuildImage(RecipeReader, MaxImage, BaseImage(BaseChoice, Kind, Profile.ChunkSize)));

  Findings Out;
  Sim::Platform Boot;
  auto Camera = std::make_shared<FuzzedCamera>(std::make_shared<Sim::Camera>(Profile), Script);
  Boot.Usb().Attach(kPort, Camera);
  if (Flags & 0x20) {
    Boot.Usb().SetHotPlugMode(Sim::UsbBus::HotPlugMode::Enumerated);
  }
  RunLibraryConstructors(Boot);
  ForgetDriverState();
  gBadPercentage = false;
  gReported = false;

  const uint64_t AllocationsBefore = Boot.Boot().AllocationCount();
  UpdateBudget Budget(Boot, Camera.get(), Image.Size() + kExtraWork, Out);
  EFI_STATUS Status = EFI_NOT_STARTED;
  Boot.RunAgent([&] {
    const EFI_TPL Old = gBS->RaiseTPL(TPL_CALLBACK);
    CAMERA_CONTEXT Context{};
    FindCameraDevice(&Context, 0x30C9, 0x004A);
    Status = UpdateCameraFirmware(&Context, Image.Data(), Image.Size(), (Flags & 0x80) ? nullptr : RecordProgress,
                                  (Flags & 0x40) ? FALSE : TRUE);
    gBS->RestoreTPL(Old);
  });
  if (Verbose()) {
    std::fprintf(stderr, "update: camera '%c' chunk %u, image %zu bytes: status 0x%llx, %llu requests, %.1f s\n", Kind,
                 static_cast<unsigned>(Profile.ChunkSize), Image.Size(), static_cast<unsigned long long>(Status),
                 static_cast<unsigned long long>(Camera->Requests()), Boot.Clock().NowNs() / 1e9);
  }
  if (Budget.Exceeded()) {
    return Out;  // the abandoned frames' pool is not a leak
  }

  const bool WithProgress = (Flags & 0x80) == 0;
  if (gBadPercentage) {
    Out.Add("the update reported " + std::to_string(gBadValue) + " percent");
  }
  if (WithProgress && (!gReported || gLastPercentage != 100)) {
    Out.Add("the update returned " + std::to_string(Status) + " with the bar at " +
            (gReported ? std::to_string(gLastPercentage) + " percent" : std::string("nothing reported")));
  }
  CheckPoolReturned(Boot, AllocationsBefore, nullptr, Out);
  CheckServices(Boot, Out);
  return Out;
}

}  // namespace Fuzz
