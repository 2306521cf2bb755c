#include "Tools/camfw/SampleImages.h"

#include <algorithm>
#include <cstring>

#include <openssl/evp.h>

namespace Camfw {

const std::string kCameraKinds = "fghijklmnpq";

namespace {

constexpr size_t kWholeImageSize = 0x8000;
constexpr size_t kBankImageSize = 0x6000;
constexpr size_t kHeaderBlockSize = 0x3000;   // format 3: the slot data follows it
constexpr size_t kVersionBlockSize = 0x1000;  // after the slot data
constexpr size_t kDescriptorAt = 0x200;       // in the image, or in the slot data
constexpr uint32_t kSlotOffsets[2] = {0x3000, 0x41000};

// Slot words, counted from the slot data's base.
constexpr size_t kVersionBlockWord = 0x128;
constexpr size_t kSlotLengthWord = 0x12C;
constexpr size_t kSlotVersionWord = 0x130;
constexpr size_t kIdentitySelector = 0xFA;
// The tail record word, from the image's start.
constexpr size_t kTailWord = 0x3134;

// A filler that holds none of the markers the driver and the camera look for.
void Fill(Bytes &Image, size_t From, size_t To, unsigned Seed) {
  for (size_t I = From; I < To; ++I) {
    Image[I] = static_cast<uint8_t>(((I * 37 + Seed) ^ (I >> 7)) & 0x7F);
  }
}

void PutDescriptor(Bytes &Image, size_t At, const SampleOptions &O) {
  const uint8_t Bytes[18] = {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, uint8_t(O.VendorId),
                             uint8_t(O.VendorId >> 8), uint8_t(O.ProductId), uint8_t(O.ProductId >> 8),
                             uint8_t(O.BcdDevice), uint8_t(O.BcdDevice >> 8), 0x01, 0x02, 0x03, 0x01};
  std::memcpy(Image.data() + At, Bytes, sizeof(Bytes));
}

Bytes WholeImage(const SampleOptions &O) {
  Bytes Image(kWholeImageSize);
  Fill(Image, 0, Image.size(), 0x11);
  std::memcpy(&Image[0x100], "CY", 2);
  std::memcpy(&Image[0x7000], "CY", 2);
  Image[kIdentitySelector] = 0;  // the first descriptor names the firmware
  PutDescriptor(Image, kDescriptorAt, O);
  const std::string Data = Format("camfw sample %04X:%04X %X.%02X", O.VendorId, O.ProductId, O.BcdDevice >> 8,
                                  O.BcdDevice & 0xFF);
  std::fill(Image.begin() + 0x706C, Image.begin() + 0x706C + 32, 0);
  std::memcpy(&Image[0x706C], Data.data(), std::min<size_t>(Data.size(), 32));
  return Image;
}

Bytes BankImage(const SampleOptions &O) {
  Bytes Image(kBankImageSize);
  Fill(Image, 0, Image.size(), 0x23);
  std::memcpy(&Image[0x100], "DZ", 2);
  Image[kIdentitySelector] = 0;
  PutDescriptor(Image, kDescriptorAt, O);
  return Image;
}

Bytes TwoSlotImage(const SampleOptions &O) {
  const size_t Base = kHeaderBlockSize;
  if (O.SlotLength < kMinSlotLength || O.SlotLength > kMaxSlotLength || O.SlotLength % 4 != 0) {
    throw Error(Format("a slot length of 0x%zX bytes does not fit the sample (0x%zX..0x%zX, a multiple of 4)",
                       O.SlotLength, kMinSlotLength, kMaxSlotLength));
  }
  Bytes Image(Base + O.SlotLength + kVersionBlockSize);
  std::fill(Image.begin(), Image.begin() + Base, 0xFF);
  Fill(Image, Base, Image.size(), 0x35);

  // The 100-byte header, big-endian: its version, two slots, slot 0 runs.
  std::fill(Image.begin(), Image.begin() + 100, 0x00);
  Image[0] = 0x95;
  Image[1] = 0x28;
  PutBe32(Image, 2, O.HeaderVersion);
  Image[6] = 2;
  Image[7] = 0;
  Image[8] = 0xFF;
  for (size_t Slot = 0; Slot < 2; ++Slot) {
    const size_t Entry = 0x0C + 44 * Slot;
    PutBe32(Image, Entry, Slot == 0 ? 2 : 0);
    PutBe32(Image, Entry + 4, kSlotOffsets[Slot]);
    PutBe32(Image, Entry + 8, 1);
    std::fill(Image.begin() + Entry + 12, Image.begin() + Entry + 44, 0xFF);
  }
  // The image kind that reads its version words from the version block.
  Image[0x100] = 0x95;
  Image[0x101] = 0x27;

  // Slot data: the slot words, the identity the ISP boots under.
  PutBe32(Image, Base + kVersionBlockWord, static_cast<uint32_t>(O.SlotLength));
  PutBe32(Image, Base + kSlotLengthWord, static_cast<uint32_t>(O.SlotLength));
  PutBe32(Image, Base + kSlotVersionWord, 2);
  PutBe32(Image, kTailWord, 0);
  Image[Base + kIdentitySelector] = 1;
  PutDescriptor(Image, Base + kDescriptorAt, O);

  // The version block after the slot data.
  const size_t Block = Base + O.SlotLength;
  std::fill(Image.begin() + Block, Image.end(), 0x00);
  std::memcpy(&Image[Block], "KVEL", 4);
  PutLe16(Image, Block + 0x88, O.VendorId);
  PutLe16(Image, Block + 0x8A, O.ProductId);
  PutLe16(Image, Block + 0x8C, O.BcdDevice);
  return O.Sign ? SignImage(Image, O.Chunk) : Image;
}

}  // namespace

void CheckCameraKind(char Kind) {
  if (Kind == '\0' || kCameraKinds.find(Kind) == std::string::npos) {
    std::string Known;
    for (char K : kCameraKinds) {
      Known += (Known.empty() ? "" : " ") + std::string(1, K);
    }
    throw Error(std::string("unknown camera kind '") + Kind + "' (known: " + Known + ")");
  }
}

Bytes SampleImage(const SampleOptions &Options) {
  CheckCameraKind(Options.Camera);
  switch (Options.Camera) {
    case 'p':
    case 'q':
      return TwoSlotImage(Options);
    case 'n':
      return BankImage(Options);
    default:
      return WholeImage(Options);
  }
}

size_t SlotDataBase(const Bytes &Image) {
  if (Image.size() >= 2 && Image[0] == 0x95 && Image[1] == 0x28) {
    // Format 3 unless a header-only image (at most 0x3000 bytes, no slot running).
    const bool HeaderOnly = Image.size() <= kHeaderBlockSize && Image.size() > 7 && Image[7] == 0xFF;
    return HeaderOnly ? 0 : kHeaderBlockSize;
  }
  if (Image.size() >= 0x102 && Image[0x100] == 0x95 && Image[0x101] == 0x27) {
    return 0;
  }
  throw Error("the image has no two-slot header (95 28 at 0, or 95 27 at 0x100); only such images are signed");
}

Bytes WindowBytes(const Bytes &Image, size_t Chunk) {
  if (Chunk == 0 || Chunk > 4096) {
    throw Error(Format("a chunk length of %zu bytes is not one the camera uses (1..4096)", Chunk));
  }
  const size_t Base = SlotDataBase(Image);
  uint32_t Declared = 0;
  if (Image.size() < Base || !ReadBe32(Image, Base + kSlotLengthWord, Declared)) {
    throw Error(Format("the image (%zu bytes) is too short for its slot words at 0x%zX", Image.size(),
                       Base + kSlotLengthWord));
  }
  const size_t Have = Image.size() - Base;
  const size_t Length = Declared != 0 ? Declared : (Have / 1024 + 1) * 1024;
  Bytes Window((Length + Chunk - 1) / Chunk * Chunk, 0xFF);
  std::copy(Image.begin() + Base, Image.begin() + Base + std::min(Have, Window.size()), Window.begin());
  return Window;
}

TestSigner::Digest Sha256(const Bytes &Data) {
  TestSigner::Digest Digest{};
  unsigned Length = 0;
  EVP_Digest(Data.data(), Data.size(), Digest.data(), &Length, EVP_sha256(), nullptr);
  return Digest;
}

Bytes SignImage(const Bytes &Image, size_t Chunk, TestSigner::Digest *Signed) {
  const TestSigner::Digest Digest = Sha256(WindowBytes(Image, Chunk));
  if (Signed != nullptr) {
    *Signed = Digest;
  }
  return TestSigner::AppendSignatureTrailer(Image, Digest);
}

}  // namespace Camfw
