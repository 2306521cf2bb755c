// Images of any size from a few bytes of input: a size, a fill byte and
// patches, optionally on top of a base image. Images the driver reads have
// markers and words at offsets up to 64 KiB; a recipe reaches them without
// an input that long, and the fuzzer mutates the patches' offsets and bytes.
//
// The recipe's bytes:
//   LE24  Size   (0 with a base image: the base's size; capped at MaxSize)
//   U8    Fill   (the bytes past the base, or every byte without a base)
//   then, until the recipe ends, patches:
//   LE24  Offset (taken modulo Size)
//   LE16  Length (clipped to the image's end and to the bytes left)
//   Length bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Fuzz/Harness/FuzzInput.h"

namespace Fuzz {

std::vector<uint8_t> BuildImage(ByteReader &Recipe, size_t MaxSize, const std::vector<uint8_t> &Base = {});

// The recipe that BuildImage turns into Image exactly (for seeds): its size,
// a fill byte, and one patch per run of bytes that differ from the fill.
std::vector<uint8_t> RecipeFor(const std::vector<uint8_t> &Image, uint8_t Fill);

// A recipe of patches on a base image: Size 0 (the base's), and Patches as
// (offset, bytes) pairs.
std::vector<uint8_t> PatchRecipe(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &Patches,
                                 uint32_t Size = 0, uint8_t Fill = 0xFF);

}  // namespace Fuzz
