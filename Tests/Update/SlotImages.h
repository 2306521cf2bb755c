// Images and camera headers of the two-slot layout for the slot-update
// tests: a CAMERA_IMAGE_HEADER written out byte by byte (big-endian), images
// of the header formats with their slot words, and the signature trailer the
// ISP will accept for what the driver writes inside the update window.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include <openssl/evp.h>

#include "Tools/signer/Signer.h"

namespace SlotImages {

inline void PutBe32(std::vector<uint8_t> &Bytes, size_t At, uint32_t Value) {
  Bytes[At] = uint8_t(Value >> 24);
  Bytes[At + 1] = uint8_t(Value >> 16);
  Bytes[At + 2] = uint8_t(Value >> 8);
  Bytes[At + 3] = uint8_t(Value);
}

inline uint32_t Be32(const uint8_t *Bytes) {
  return uint32_t(Bytes[0]) << 24 | uint32_t(Bytes[1]) << 16 | uint32_t(Bytes[2]) << 8 | Bytes[3];
}

struct SlotEntry {
  uint32_t Version = 1;
  uint32_t Offset = 0;
  uint32_t Flags = 1;
  uint8_t DigestFill = 0x5D;  // not erased: a slot that has run
};

struct Header {
  uint32_t Version = 0x10;
  uint8_t SlotCount = 2;
  uint8_t ActiveSlot = 0;
  uint8_t PreviousSlot = 0xFF;
  std::array<uint8_t, 3> Attributes = {0, 0, 0};
  SlotEntry Slots[2] = {{1, 0x10000, 1, 0x5D}, {1, 0x40000, 1, 0xFF}};
};

// The 100 header bytes, big-endian, at the start of a 4 KiB block whose
// remaining bytes are Fill.
inline std::vector<uint8_t> HeaderBlock(const Header &H, uint8_t Fill = 0xFF) {
  std::vector<uint8_t> B(0x1000, Fill);
  std::fill(B.begin(), B.begin() + 100, 0x00);
  B[0] = 0x95;
  B[1] = 0x28;
  PutBe32(B, 2, H.Version);
  B[6] = H.SlotCount;
  B[7] = H.ActiveSlot;
  B[8] = H.PreviousSlot;
  std::copy(H.Attributes.begin(), H.Attributes.end(), B.begin() + 9);
  for (int I = 0; I < 2; ++I) {
    const size_t At = 0x0C + 44 * I;
    PutBe32(B, At, H.Slots[I].Version);
    PutBe32(B, At + 4, H.Slots[I].Offset);
    PutBe32(B, At + 8, H.Slots[I].Flags);
    std::fill(B.begin() + At + 12, B.begin() + At + 44, H.Slots[I].DigestFill);
  }
  return B;
}

struct Image {
  size_t Size = 0x5000;
  uint32_t SlotVersion = 2;
  bool Mode1 = false;
  uint32_t SlotDataLength = 0;       // 0: the slot data rounded up to 1 KiB
  uint32_t VersionBlockWord = 0x3000;
  uint32_t TailWord = 0;             // at 0x3134
  uint16_t Vid = 0x30C9, Pid = 0x004A, Bcd = 0x0200;
};

// A format-3 image: a 0x3000-byte header block (95 28, ActiveSlot 0), then
// the slot data, distinct bytes with a USB 2 device descriptor carrying the
// image's identity at 0x200 of the slot data.
inline std::vector<uint8_t> Format3(const Image &Spec) {
  std::vector<uint8_t> I(Spec.Size);
  for (size_t K = 0; K < I.size(); ++K) {
    I[K] = uint8_t((K * 29 + K / 1021) & 0xFF);
  }
  Header H;
  H.Attributes = {0x00, 0x00, uint8_t(Spec.Mode1 ? 1 : 0)};
  std::vector<uint8_t> Block = HeaderBlock(H, 0x00);
  std::copy(Block.begin(), Block.begin() + 100, I.begin());
  PutBe32(I, 0x3128, Spec.VersionBlockWord);
  PutBe32(I, 0x312C, Spec.SlotDataLength);
  PutBe32(I, 0x3130, Spec.SlotVersion);
  PutBe32(I, 0x3134, Spec.TailWord);
  const uint8_t Descriptor[] = {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, uint8_t(Spec.Vid), uint8_t(Spec.Vid >> 8),
                                uint8_t(Spec.Pid), uint8_t(Spec.Pid >> 8), uint8_t(Spec.Bcd), uint8_t(Spec.Bcd >> 8)};
  std::memcpy(I.data() + 0x3200, Descriptor, sizeof(Descriptor));
  return I;
}

// The length of slot data the driver writes: the declared length, or the
// data after the base rounded up past the next 1 KiB.
inline size_t ProgramLength(const std::vector<uint8_t> &Image, size_t Base) {
  const uint32_t Declared = Be32(Image.data() + Base + 0x12C);
  return Declared != 0 ? Declared : ((Image.size() - Base) / 1024 + 1) * 1024;
}

// What the driver writes inside the window: the slot data (0xFF after the
// image), in whole chunks.
inline std::vector<uint8_t> WindowBytes(const std::vector<uint8_t> &Image, size_t Base, size_t Chunk) {
  const size_t Length = ProgramLength(Image, Base);
  const size_t Whole = (Length + Chunk - 1) / Chunk * Chunk;
  std::vector<uint8_t> Bytes(Whole, 0xFF);
  const size_t Have = std::min(Image.size() - Base, Whole);
  std::copy(Image.begin() + Base, Image.begin() + Base + Have, Bytes.begin());
  return Bytes;
}

inline TestSigner::Digest Sha256(const std::vector<uint8_t> &Data) {
  TestSigner::Digest D{};
  unsigned Length = 0;
  EVP_Digest(Data.data(), Data.size(), D.data(), &Length, EVP_sha256(), nullptr);
  return D;
}

// The trailer whose signed digest matches what the driver will write.
inline TestSigner::Trailer TrailerFor(const std::vector<uint8_t> &Image, size_t Base, size_t Chunk) {
  return TestSigner::SignDigest(Sha256(WindowBytes(Image, Base, Chunk)));
}

}  // namespace SlotImages
