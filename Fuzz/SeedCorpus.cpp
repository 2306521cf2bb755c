// Writes the seed corpora of the fuzz targets (Fuzz/corpus/<target>/), or
// with --check compares the committed ones with what it would write.
//
//   fuzz-seeds DIR           write DIR/<target>/<seed> (existing seeds of the
//                            same names are overwritten, others left alone)
//   fuzz-seeds --check DIR   exit 1 unless every seed is there, byte for byte
//
// The seeds come from the project's own tools: camfw's sample images (as
// image recipes that keep their markers, headers, descriptors, version data
// and signature trailers on a zero fill), the simulated camera's factory
// images, capsules as Sim::MakeCapsule lays them out, and the test signer's
// trailers. Each is a few hundred bytes at most; the update seeds name
// camfw's samples as their base image and so are a few bytes.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <Pi/PiHob.h>

#include "Fuzz/Harness/ImageRecipe.h"
#include "Sim/Camera/Camera.h"
#include "Tools/camfw/SampleImages.h"
#include "Tools/signer/Signer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Seeds = std::map<std::string, Bytes>;  // "target/name" -> bytes

void PutLe(Bytes &Out, uint64_t Value, unsigned Count) {
  for (unsigned K = 0; K < Count; ++K) {
    Out.push_back(static_cast<uint8_t>(Value >> (8 * K)));
  }
}

void Put(Bytes &Out, const Bytes &More) { Out.insert(Out.end(), More.begin(), More.end()); }

// A recipe of Image's size on a zero fill that keeps only the byte ranges
// the driver's parsers and roads look at.
Bytes Excerpt(const Bytes &Image, const std::vector<std::pair<size_t, size_t>> &Ranges) {
  std::vector<std::pair<uint32_t, Bytes>> Patches;
  for (const auto &Range : Ranges) {
    const size_t From = std::min(Range.first, Image.size());
    const size_t To = std::min(Range.second, Image.size());
    if (From < To) {
      Patches.push_back({static_cast<uint32_t>(From), Bytes(Image.begin() + From, Image.begin() + To)});
    }
  }
  return Fuzz::PatchRecipe(Patches, static_cast<uint32_t>(Image.size()), 0x00);
}

Bytes Sample(char Kind, bool Sign = true) {
  Camfw::SampleOptions Options;
  Options.Camera = Kind;
  Options.Sign = Sign;
  return Camfw::SampleImage(Options);
}

// The parts of camfw's samples that matter: "CY"/"DZ" markers, the identity
// selector and descriptor, the version data, and for two-slot images the
// header, the 95 27 marker, the slot words, the "KVEL" block's words and
// the trailer.
Bytes WholeExcerpt() {
  return Excerpt(Sample('k'), {{0xFA, 0xFB}, {0x100, 0x102}, {0x200, 0x212}, {0x7000, 0x7002}, {0x706C, 0x708C}});
}
Bytes BankExcerpt() { return Excerpt(Sample('n'), {{0xFA, 0xFB}, {0x100, 0x102}, {0x200, 0x212}}); }
Bytes TwoSlotExcerpt() {
  const Bytes Image = Sample('p');
  const size_t Base = 0x3000;
  const size_t Block = Base + 0x2000;
  return Excerpt(Image, {{0, 100},
                         {0x100, 0x102},
                         {0x3134, 0x3138},
                         {Base + 0xFA, Base + 0xFB},
                         {Base + 0x128, Base + 0x134},
                         {Base + 0x200, Base + 0x212},
                         {Block, Block + 4},
                         {Block + 0x88, Block + 0x8E},
                         {Image.size() - 160, Image.size()}});
}

// --- image: LE32 Offset, LE32 Base, LE24 Start, LE24 Length, U8 StopAt, recipe
Bytes ImageSeed(uint32_t Offset, uint32_t Base, uint32_t Start, uint32_t Length, const Bytes &Recipe) {
  Bytes Out;
  PutLe(Out, Offset, 4);
  PutLe(Out, Base, 4);
  PutLe(Out, Start, 4);
  PutLe(Out, Length, 4);
  Out.push_back(0);
  Put(Out, Recipe);
  return Out;
}

void ImageSeeds(Seeds &Out) {
  const Sim::UsbIdentity Identity = {0x30C9, 0x004A, 0x0123};
  Out["image/whole-sample"] = ImageSeed(0x7000, 0, 0x100, 0x200, WholeExcerpt());
  Out["image/bank-sample"] = ImageSeed(0x100, 0, 0, 0x1000, BankExcerpt());
  Out["image/two-slot-sample"] = ImageSeed(0x10, 4, 0x3000, 0x1000, TwoSlotExcerpt());
  Out["image/camera-base-image"] =
      ImageSeed(0, 0, 0, 0x200, Fuzz::RecipeFor(Sim::Camera::BaseImage(Identity), 0x00));
  Out["image/camera-slot-image"] =
      ImageSeed(0x3C, 0, 0, 0x200, Fuzz::RecipeFor(Sim::Camera::SlotImage(Identity), 0x00));
  Out["image/camera-whole-image"] =
      ImageSeed(0xFFFFFFFC, 8, 0xF0, 0x20, Fuzz::RecipeFor(Sim::Camera::WholeImage(Identity), 0x00));
  // The two-slot header alone (header format 2 needs ActiveSlot 0xFF).
  Bytes Header = Sample('p', false);
  Header.resize(100);
  Header[7] = 0xFF;
  Out["image/header-only"] = ImageSeed(0x0C, 0, 0, 0, Fuzz::RecipeFor(Header, 0x00));
}

// --- signature: U8 Mode, then the signature
void SignatureSeeds(Seeds &Out) {
  TestSigner::Digest Digest{};
  for (size_t K = 0; K < Digest.size(); ++K) {
    Digest[K] = static_cast<uint8_t>(K * 13 + 7);
  }
  const TestSigner::Trailer Trailer = TestSigner::SignDigest(Digest);
  Out["signature/trailer"] = Bytes{0};
  Put(Out["signature/trailer"], Bytes(Trailer.begin(), Trailer.end()));
  // The most blocks a signature may have, with positions of 32 and above
  // and a repeated position among its triplets.
  Bytes Recovery(17 * 30, 0);
  for (size_t K = 0; K < Recovery.size() / 3; ++K) {
    Recovery[3 * K + 1] = static_cast<uint8_t>(K);
    Recovery[3 * K + 2] = static_cast<uint8_t>(K % 40);
  }
  Out["signature/seventeen-blocks"] = Bytes{0};
  Put(Out["signature/seventeen-blocks"], TestSigner::SignRecoveryBytes(Recovery, 17));
  Out["signature/empty-null"] = Bytes{1};
  Out["signature/modulus"] = Bytes{0};
  const TestSigner::Block N = TestSigner::Modulus();
  Put(Out["signature/modulus"], Bytes(N.begin(), N.end()));
}

// --- capsule-hobs: U8 Platform, U8 Size, U8 Camera, then HOB records
Bytes CapsuleRecord(uint8_t Guid, uint32_t Flags, const Bytes &Recipe, uint8_t Shape = 0, uint8_t Extra = 0) {
  Bytes Out = {0, Guid};
  PutLe(Out, Flags, 4);
  Out.push_back(Shape);
  if ((Shape & 1) == 0) {
    Out.push_back(Extra);
  }
  PutLe(Out, Recipe.size(), 2);
  Put(Out, Recipe);
  Out.push_back(0);  // no slack
  return Out;
}

void CapsuleHobSeeds(Seeds &Out) {
  constexpr uint8_t kCamera = 8;  // the camera's firmware class
  constexpr uint8_t kFmp = 7;     // the last accepted GUID
  constexpr uint32_t kPersist = CAPSULE_FLAGS_PERSIST_ACROSS_RESET;
  const Bytes Whole = WholeExcerpt();

  // A camera capsule on a platform with hook and display, no camera: the
  // update fails, "Setup" is written, the machine resets.
  Bytes One = {0x03, 0, 0};
  Put(One, CapsuleRecord(kCamera, kPersist, Whole));
  Out["capsule-hobs/camera-capsule"] = One;

  // The same with a whole-image camera ('k') on the bus: the whole update.
  Bytes WithCamera = {0x83, 0, 5};
  Put(WithCamera, CapsuleRecord(kCamera, kPersist, Whole));
  Out["capsule-hobs/camera-capsule-k"] = WithCamera;

  // Capsules that are passed over, then one that applies: the FMP GUID, no
  // persist flag, a header past the capsule's end, a HOB without its Length.
  Bytes Mixed = {0x01, 0, 0};
  Put(Mixed, CapsuleRecord(kFmp, kPersist, Whole));
  Put(Mixed, CapsuleRecord(kCamera, 0, Whole));
  Bytes PastEnd = {0, kCamera};
  PutLe(PastEnd, kPersist, 4);
  PastEnd.push_back(0x01);
  PutLe(PastEnd, 0x200, 4);  // HeaderSize
  PutLe(PastEnd, 0x100, 4);  // CapsuleImageSize
  PutLe(PastEnd, 0, 2);
  PastEnd.push_back(0);
  Put(Mixed, PastEnd);
  Put(Mixed, CapsuleRecord(kCamera, kPersist, Whole, 0x04));
  Bytes Other = {1, 0x03, 0x00, 2};  // a resource-descriptor type with two words
  Put(Other, Bytes(16, 0x11));
  Put(Mixed, Other);
  Put(Mixed, CapsuleRecord(kCamera, kPersist, Whole, 0x0C, 3));
  Out["capsule-hobs/passed-over-then-applied"] = Mixed;

  // A HOB shorter than its header ends the walk before the capsule.
  Bytes Short = {0x00, 0, 0, 2, 4, 0x01, 0x00};
  Put(Short, CapsuleRecord(kCamera, kPersist, Whole));
  Out["capsule-hobs/short-hob"] = Short;

  // No "Setup": every camera capsule is applied and none resets; a bank
  // image and a two-slot image as payloads, the EC absent.
  Bytes NoSetup = {0x64, 0, 0};
  Put(NoSetup, CapsuleRecord(kCamera, kPersist, BankExcerpt()));
  Put(NoSetup, CapsuleRecord(kCamera, kPersist, TwoSlotExcerpt(), 0, 36));
  Out["capsule-hobs/no-setup"] = NoSetup;
}

// --- update: U8 Camera, U8 Flags, U8 Chunk, U8 FlashKind, U8 Base, LE16 N,
//     recipe, script
Bytes UpdateSeed(uint8_t Camera, uint8_t Flags, uint8_t Base, const Bytes &Script = {}, const Bytes &Recipe = {}) {
  Bytes Out = {Camera, Flags, 0, 0, Base};
  PutLe(Out, Recipe.size(), 2);
  Put(Out, Recipe);
  Put(Out, Script);
  return Out;
}

void UpdateSeeds(Seeds &Out) {
  // "fghijklmnpq": k = 5, n = 8, p = 9, q = 10, h = 2, j = 4.
  Out["update/whole-k"] = UpdateSeed(5, 0, 1);
  Out["update/whole-h"] = UpdateSeed(2, 0, 1);
  Out["update/whole-j-enumerated"] = UpdateSeed(4, 0x20, 1);
  Out["update/bank-n"] = UpdateSeed(8, 0, 1);
  Out["update/two-slot-p"] = UpdateSeed(9, 0, 1);
  Out["update/two-slot-q-enumerated"] = UpdateSeed(10, 0x20, 4);
  // A camera that stalls, loses and cuts answers here and there, reports
  // another chunk length once, and holds its SPI controller busy longer.
  Bytes Script;
  auto Event = [&](uint16_t Skip, const Bytes &Action) {
    PutLe(Script, Skip, 2);
    Put(Script, Action);
  };
  Event(0, {6, 1, 0, 10, 0});     // SetSpiBusyPolls(10)
  Event(30, {0});                  // a STALL
  Event(25, {2, 1});               // the camera acts, the answer times out
  Event(40, {3, 1});               // a one-byte answer
  Event(60, {5, 0, 0x80});         // a flipped bit
  Event(200, {4, 0, 2, 0x10, 0x00});  // another length in an answer
  Out["update/faults-k"] = UpdateSeed(5, 0, 1, Script);
  Out["update/faults-p"] = UpdateSeed(9, 0, 1, Script);
  // A locked camera and a camera without firmware (the ROM's identity).
  Out["update/locked-k"] = UpdateSeed(5, 0x04, 1);
  Out["update/rom-n"] = UpdateSeed(8, 0x02, 1);
}

bool ReadFile(const std::string &Path, Bytes &Out) {
  std::ifstream File(Path, std::ios::binary);
  if (!File) {
    return false;
  }
  Out.assign(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int Argc, char **Argv) {
  const bool Check = Argc == 3 && std::strcmp(Argv[1], "--check") == 0;
  if (!(Argc == 2 || Check)) {
    std::fprintf(stderr, "usage: fuzz-seeds [--check] CORPUS_DIR\n");
    return 2;
  }
  const std::string Dir = Argv[Argc - 1];
  Seeds All;
  ImageSeeds(All);
  SignatureSeeds(All);
  CapsuleHobSeeds(All);
  UpdateSeeds(All);

  int Stale = 0;
  for (const auto &Seed : All) {
    const std::string Path = Dir + "/" + Seed.first;
    if (Check) {
      Bytes Committed;
      if (!ReadFile(Path, Committed) || Committed != Seed.second) {
        std::fprintf(stderr, "%s: missing or not what fuzz-seeds writes\n", Path.c_str());
        ++Stale;
      }
      continue;
    }
    std::ofstream File(Path, std::ios::binary | std::ios::trunc);
    File.write(reinterpret_cast<const char *>(Seed.second.data()), static_cast<std::streamsize>(Seed.second.size()));
    if (!File) {
      std::fprintf(stderr, "%s: cannot write\n", Path.c_str());
      return 1;
    }
  }
  if (Stale != 0) {
    std::fprintf(stderr, "%d seeds are stale; regenerate them with fuzz-seeds %s\n", Stale, Dir.c_str());
    return 1;
  }
  std::printf("%zu seeds %s\n", All.size(), Check ? "current" : "written");
  return 0;
}
