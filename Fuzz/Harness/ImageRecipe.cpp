#include "Fuzz/Harness/ImageRecipe.h"

#include <algorithm>

namespace Fuzz {

namespace {

void PutLe(std::vector<uint8_t> &Out, uint32_t Value, unsigned Bytes) {
  for (unsigned K = 0; K < Bytes; ++K) {
    Out.push_back(static_cast<uint8_t>(Value >> (8 * K)));
  }
}

}  // namespace

std::vector<uint8_t> BuildImage(ByteReader &Recipe, size_t MaxSize, const std::vector<uint8_t> &Base) {
  size_t Size = Recipe.Le24();
  const uint8_t Fill = Recipe.U8();
  if (Size == 0 && !Base.empty()) {
    Size = Base.size();
  }
  Size = std::min(Size, MaxSize);
  std::vector<uint8_t> Image(Base.begin(), Base.begin() + static_cast<std::ptrdiff_t>(std::min(Size, Base.size())));
  Image.resize(Size, Fill);
  while (!Recipe.Empty() && Size != 0) {
    const size_t Offset = Recipe.Le24() % Size;
    const size_t Length = Recipe.Le16();
    const std::vector<uint8_t> Bytes = Recipe.Bytes(std::min(Length, Size - Offset));
    std::copy(Bytes.begin(), Bytes.end(), Image.begin() + static_cast<std::ptrdiff_t>(Offset));
  }
  return Image;
}

std::vector<uint8_t> RecipeFor(const std::vector<uint8_t> &Image, uint8_t Fill) {
  std::vector<uint8_t> Out;
  PutLe(Out, static_cast<uint32_t>(Image.size()), 3);
  Out.push_back(Fill);
  size_t At = 0;
  while (At < Image.size()) {
    if (Image[At] == Fill) {
      ++At;
      continue;
    }
    // A run of bytes that differ from the fill; short gaps of fill bytes
    // stay inside the run (a patch costs five bytes of its own).
    size_t End = At;
    size_t Gap = 0;
    while (End < Image.size() && Gap < 6 && End - At < 0xFFFF) {
      Gap = Image[End] == Fill ? Gap + 1 : 0;
      ++End;
    }
    End -= Gap;
    PutLe(Out, static_cast<uint32_t>(At), 3);
    PutLe(Out, static_cast<uint32_t>(End - At), 2);
    Out.insert(Out.end(), Image.begin() + static_cast<std::ptrdiff_t>(At),
               Image.begin() + static_cast<std::ptrdiff_t>(End));
    At = End;
  }
  return Out;
}

std::vector<uint8_t> PatchRecipe(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &Patches, uint32_t Size,
                                 uint8_t Fill) {
  std::vector<uint8_t> Out;
  PutLe(Out, Size, 3);
  Out.push_back(Fill);
  for (const auto &Patch : Patches) {
    PutLe(Out, Patch.first, 3);
    PutLe(Out, static_cast<uint32_t>(Patch.second.size()), 2);
    Out.insert(Out.end(), Patch.second.begin(), Patch.second.end());
  }
  return Out;
}

}  // namespace Fuzz
