// BaseLib: string search and copy edge cases, byte order, unaligned access
// and the 64-bit helpers.
#include <gtest/gtest.h>

#include <Library/BaseLib.h>

namespace {

TEST(BaseLibStrings, LengthCountsCharactersAndSizeCountsBytesWithTheTerminator) {
  EXPECT_EQ(StrLen(u"Camera"), 6u);
  EXPECT_EQ(StrSize(u"Camera"), 14u);
  EXPECT_EQ(StrSize(u""), 2u);
  EXPECT_EQ(StrSize(nullptr), 0u);
  EXPECT_EQ(AsciiStrLen("USB"), 3u);
}

TEST(BaseLibStrings, StrCmpReturnsTheDifferenceAtTheFirstMismatch) {
  EXPECT_EQ(StrCmp(u"Pci(0x14,0x0)", u"Pci(0x14,0x0)"), 0);
  EXPECT_EQ(StrCmp(u"abc", u"abd"), INTN(u'c') - INTN(u'd'));
  EXPECT_GT(StrCmp(u"abc", u"ab"), 0);   // the longer string is greater
  EXPECT_LT(StrCmp(u"ab", u"abc"), 0);
  // Characters compare as unsigned 16-bit code units.
  EXPECT_GT(StrCmp(u"\xFFFF", u"A"), 0);
}

TEST(BaseLibStrings, StrStrFindsFirstMatchIncludingOverlappingPrefixes) {
  const CHAR16 *Text = u"aaab";
  EXPECT_EQ(StrStr(Text, u"aab"), Text + 1);       // a failed partial match must not skip
  EXPECT_EQ(StrStr(Text, u"b"), Text + 3);          // match at the very end
  EXPECT_EQ(StrStr(Text, u"aaab"), Text);           // the whole string
  EXPECT_EQ(StrStr(Text, u""), Text);               // empty search matches at once
  EXPECT_EQ(StrStr(Text, u"aaabb"), nullptr);       // longer than the text
  EXPECT_EQ(StrStr(Text, u"ba"), nullptr);          // runs off the end mid-match
  EXPECT_EQ(StrStr(u"", u"a"), nullptr);
  const CHAR16 *Empty = u"";
  EXPECT_EQ(StrStr(Empty, u""), Empty);
  const CHAR16 *Path = u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x4,0x0)";
  EXPECT_EQ(StrStr(Path, u"USB("), Path + 27);
}

TEST(BaseLibStrings, StrCpySCopiesWhenTheTerminatorFits) {
  CHAR16 Buffer[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(StrCpyS(Buffer, 4, u"abc"), RETURN_SUCCESS);
  EXPECT_EQ(StrCmp(Buffer, u"abc"), 0);
  EXPECT_EQ(StrCpyS(Buffer, 1, u""), RETURN_SUCCESS);
  EXPECT_EQ(Buffer[0], 0);
}

TEST(BaseLibStrings, StrCpySTooSmallLeavesAnEmptyStringAndWritesNothingBeyond) {
  CHAR16 Buffer[6] = {u'x', u'x', u'x', u'x', u'x', u'#'};
  // "abcde" needs 6 characters; only 5 are offered.
  EXPECT_EQ(StrCpyS(Buffer, 5, u"abcde"), RETURN_BUFFER_TOO_SMALL);
  EXPECT_EQ(Buffer[0], 0);
  EXPECT_EQ(Buffer[5], u'#');
}

TEST(BaseLibStrings, StrCpySRejectsBadArguments) {
  CHAR16 Buffer[2] = {u'x', u'x'};
  EXPECT_EQ(StrCpyS(nullptr, 2, u"a"), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(StrCpyS(Buffer, 2, nullptr), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(StrCpyS(Buffer, 0, u"a"), RETURN_INVALID_PARAMETER);
  EXPECT_EQ(Buffer[0], u'x');
}

TEST(BaseLibBytes, SwapBytesReversesEveryWidth) {
  EXPECT_EQ(SwapBytes16(0x1234), 0x3412);
  EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
  EXPECT_EQ(SwapBytes64(0x0102030405060708ull), 0x0807060504030201ull);
  EXPECT_EQ(SwapBytes16(0xFF00), 0x00FF);  // no sign extension
}

TEST(BaseLibBytes, UnalignedAccessIsLittleEndianAtOddAddresses) {
  alignas(8) UINT8 Bytes[12] = {0xAA, 0x01, 0x02, 0x03, 0x04, 0x05, 0xBB, 0xCC, 0, 0, 0, 0};
  EXPECT_EQ(ReadUnaligned16(reinterpret_cast<const UINT16 *>(Bytes + 1)), 0x0201);
  EXPECT_EQ(ReadUnaligned32(reinterpret_cast<const UINT32 *>(Bytes + 1)), 0x04030201u);
  EXPECT_EQ(ReadUnaligned32(reinterpret_cast<const UINT32 *>(Bytes + 3)), 0xBB050403u);

  EXPECT_EQ(WriteUnaligned32(reinterpret_cast<UINT32 *>(Bytes + 7), 0xDEADBEEFu), 0xDEADBEEFu);
  EXPECT_EQ(Bytes[6], 0xBB);  // neighbours untouched
  EXPECT_EQ(Bytes[7], 0xEF);
  EXPECT_EQ(Bytes[8], 0xBE);
  EXPECT_EQ(Bytes[9], 0xAD);
  EXPECT_EQ(Bytes[10], 0xDE);
  EXPECT_EQ(Bytes[11], 0x00);

  EXPECT_EQ(WriteUnaligned16(reinterpret_cast<UINT16 *>(Bytes + 5), 0x1234), 0x1234);
  EXPECT_EQ(Bytes[4], 0x04);
  EXPECT_EQ(Bytes[5], 0x34);
  EXPECT_EQ(Bytes[6], 0x12);
  EXPECT_EQ(Bytes[7], 0xEF);
}

TEST(BaseLibMath, MultiplyTruncatesAndDivideReportsTheRemainder) {
  EXPECT_EQ(MultU64x32(15000, 3579545), 53693175000ull);
  EXPECT_EQ(MultU64x32(0x8000000000000001ull, 2), 2ull);  // wraps at 64 bits
  UINT64 Remainder = 0;
  EXPECT_EQ(DivU64x64Remainder(53693175000ull, 1000000, &Remainder), 53693ull);
  EXPECT_EQ(Remainder, 175000ull);
  EXPECT_EQ(DivU64x64Remainder(MAX_UINT64, 0x100000000ull, nullptr), 0xFFFFFFFFull);
}

}  // namespace
