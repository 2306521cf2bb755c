// The flash chip models on their own, through chip-select transactions: the
// catalogue of identification answers, each family's opcodes and status width,
// block erase, auto-address-increment programming and page wrap.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <stdexcept>
#include <vector>

#include "Sim/Camera/FlashChip.h"

namespace {

using Sim::FlashChip;

const std::vector<uint8_t> kIdOpcodes = {0x9F, 0x90, 0xAB};

TEST(FlashChipCatalogue, EveryKindAnswersDistinctlyWithItsFamilysOpcodesAndStatusWidth) {
  const std::set<uint8_t> Unnamed = {9, 16, 35, 37, 39, 49, 62};
  const std::set<uint8_t> TwoByte = {2, 24, 28, 29, 30, 31, 42, 43, 55, 56};
  std::set<std::vector<uint8_t>> Seen;
  std::set<std::array<uint8_t, 3>> NamedJedec;
  for (unsigned Kind = FlashChip::kFirstKind; Kind <= FlashChip::kLastKind; ++Kind) {
    SCOPED_TRACE(Kind);
    FlashChip Chip(static_cast<uint8_t>(Kind));
    std::vector<uint8_t> All;
    bool Answers = false;
    for (uint8_t Opcode : kIdOpcodes) {
      const std::array<uint8_t, 3> Id = Chip.IdAnswer(Opcode);
      EXPECT_EQ(Chip.Transaction({Opcode}, 3), std::vector<uint8_t>(Id.begin(), Id.end()));
      Answers |= Id != std::array<uint8_t, 3>{0, 0, 0} && Id != std::array<uint8_t, 3>{0xFF, 0xFF, 0xFF};
      All.insert(All.end(), Id.begin(), Id.end());
    }
    EXPECT_TRUE(Answers);
    if (Unnamed.count(Kind) == 0) {
      NamedJedec.insert(Chip.IdAnswer(0x9F));
    }
    EXPECT_TRUE(Seen.insert(All).second) << "two kinds answer alike";
    EXPECT_EQ(Chip.StatusBytes(), TwoByte.count(Kind) ? 2u : 1u);
    EXPECT_EQ(Chip.HasOpcode(0x20), Kind < 64 || Kind > 66);
    EXPECT_EQ(Chip.HasOpcode(0xD7), Kind >= 64 && Kind <= 66);
    EXPECT_EQ(Chip.HasOpcode(0x52) && Chip.HasOpcode(0x60) && Chip.HasOpcode(0xAF), Kind == 63);
    EXPECT_EQ(Chip.HasOpcode(0xD8) && Chip.HasOpcode(0xC7), Kind != 63);
  }
  // The kinds no table names answer 0x9F unlike every named chip.
  for (uint8_t Kind : Unnamed) {
    EXPECT_EQ(NamedJedec.count(FlashChip(Kind).IdAnswer(0x9F)), 0u) << int(Kind);
  }
  EXPECT_THROW(FlashChip(75), std::invalid_argument);

  // Kind 63: block erase 0x52 is 32 KiB, auto-address-increment programs
  // byte after byte until write disable, chip erase is 0x60.
  FlashChip Sst(63, 1u << 16);
  std::fill(Sst.Memory().begin(), Sst.Memory().end(), 0x00);
  Sst.Transaction({0x06}, 0);
  Sst.Transaction({0x52, 0x00, 0x80, 0x10}, 0);
  EXPECT_EQ(Sst.Memory()[0x8000], 0xFF);
  EXPECT_EQ(Sst.Memory()[0xFFFF], 0xFF);
  EXPECT_EQ(Sst.Memory()[0x7FFF], 0x00);
  Sst.Transaction({0x06}, 0);
  Sst.Transaction({0xAF, 0x00, 0x90, 0x00, 0x11}, 0);
  Sst.Transaction({0xAF, 0x22}, 0);
  Sst.Transaction({0x04}, 0);
  Sst.Transaction({0xAF, 0x33}, 0);  // the sequence has ended
  EXPECT_EQ(Sst.Transaction({0x03, 0x00, 0x90, 0x00}, 3), (std::vector<uint8_t>{0x11, 0x22, 0xFF}));
  Sst.Transaction({0xC7}, 0);  // not this chip's
  EXPECT_EQ(Sst.Memory()[0], 0x00);
  Sst.Transaction({0x06}, 0);
  Sst.Transaction({0x60}, 0);
  EXPECT_EQ(Sst.Memory()[0], 0xFF);
  // Page program wraps within its page.
  FlashChip Chip(22, 4096);
  Chip.Transaction({0x06}, 0);
  Chip.Transaction({0x02, 0x00, 0x01, 0xFE, 0x01, 0x02, 0x03}, 0);
  EXPECT_EQ(Chip.Memory()[0x1FF], 0x02);
  EXPECT_EQ(Chip.Memory()[0x100], 0x03);
  EXPECT_EQ(Chip.Memory()[0x200], 0xFF);
  EXPECT_FALSE(Chip.WriteEnabled());
}

}  // namespace
