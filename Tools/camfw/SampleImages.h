// Sample firmware images for the simulated cameras, and the test signer
// applied to two-slot images.
//
// Each sample carries a USB identity (the bcdDevice the camera presents once
// it runs the image) where the camera's boot and the driver look for it:
//
// - whole image ('f'..'m'): "CY" at 0x100 and 0x7000, 32 bytes of version
//   data at 0x706C, a USB 2 device descriptor at 0x200; 32 KiB;
// - bank ('n'): "DZ" at 0x100 and the descriptor at 0x200; 24 KiB, written
//   as firmware bank 1 from 0x8000;
// - two slots ('p', 'q'): a 0x3000-byte header block (95 28, header
//   version 2 unless asked otherwise, slots at 0x3000 and 0x41000 as the
//   factory lays them out; 95 27 at 0x100, so the version words are read
//   from the version block), then 8 KiB (or SlotLength bytes) of slot data
//   with the descriptor at 0x200 and the slot words at 0x128 (the version
//   block's offset and the declared slot length, both the slot data's end;
//   slot version 2), then a 4 KiB "KVEL" version block, then the 160-byte
//   signature trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Tools/camfw/FileBytes.h"
#include "Tools/signer/Signer.h"

namespace Camfw {

// The slot data of a two-slot sample: room for its descriptor at 0x200, and
// no more than slot 1's room (0x3E000 bytes) less the version block.
constexpr size_t kMinSlotLength = 0x400;
constexpr size_t kMaxSlotLength = 0x3D000;

// The ISP generations a sample can be built for (and a camera simulated):
// the letters Sim::CameraProfile::ForIspKind knows.
extern const std::string kCameraKinds;
// Throws Error unless Kind is one of kCameraKinds.
void CheckCameraKind(char Kind);

struct SampleOptions {
  char Camera = 'p';
  uint16_t VendorId = 0x30C9;
  uint16_t ProductId = 0x004A;
  uint16_t BcdDevice = 0x0200;
  // Two-slot images: sign for this chunk length (see SignImage).
  size_t Chunk = 64;
  bool Sign = true;
  // Two-slot images: the header's Version. Above the camera's own (the
  // factory header has 1) the driver rewrites the camera's header block and
  // restarts the ISP before the slot update; at or below it, it does not.
  uint32_t HeaderVersion = 2;
  // Two-slot images: the bytes of slot data (the declared slot length; the
  // version block follows them). Between kMinSlotLength and kMaxSlotLength,
  // a multiple of 4.
  size_t SlotLength = 0x2000;
};

// The sample image for the camera generation. Throws Error for an unknown one.
Bytes SampleImage(const SampleOptions &Options);

// Where the slot data of an image with a two-slot header starts: 0x3000 for
// header format 3, else 0. Throws Error for an image without such a header.
size_t SlotDataBase(const Bytes &Image);

// What the driver writes inside the ISP's update window for an image with
// a two-slot header (Image without its trailer): the slot data from its
// base, the declared slot length or the data rounded up past the next
// 1 KiB, in whole chunks of Chunk bytes, 0xFF beyond the image. The ISP
// checks the SHA-256 of exactly these bytes against the signed digest.
// Throws Error for an image without a header or a Chunk outside 1..4096.
Bytes WindowBytes(const Bytes &Image, size_t Chunk);

TestSigner::Digest Sha256(const Bytes &Data);

// Image followed by the 160-byte trailer signing the SHA-256 of its window
// bytes; the signed digest goes to Signed when asked for.
Bytes SignImage(const Bytes &Image, size_t Chunk, TestSigner::Digest *Signed = nullptr);

}  // namespace Camfw
