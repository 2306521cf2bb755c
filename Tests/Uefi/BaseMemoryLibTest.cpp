// BaseMemoryLib: overlap-safe copies in both directions, fills, the sign of
// comparisons, and GUIDs.
#include <cstring>

#include <gtest/gtest.h>

#include <Library/BaseMemoryLib.h>

namespace {

TEST(BaseMemoryLibCopy, NonOverlappingCopyTouchesOnlyLengthBytes) {
  UINT8 Source[5] = {1, 2, 3, 4, 5};
  UINT8 Destination[7] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(CopyMem(Destination + 1, Source, 5), Destination + 1);
  const UINT8 Expected[7] = {0xEE, 1, 2, 3, 4, 5, 0xEE};
  EXPECT_EQ(0, memcmp(Destination, Expected, sizeof(Expected)));
  EXPECT_EQ(CopyMem(Destination, Source, 0), Destination);
  EXPECT_EQ(Destination[0], 0xEE);
}

TEST(BaseMemoryLibCopy, OverlapWithDestinationAboveSourceCopiesBackwards) {
  UINT8 Buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  CopyMem(Buffer + 2, Buffer, 5);
  const UINT8 Expected[8] = {1, 2, 1, 2, 3, 4, 5, 8};
  EXPECT_EQ(0, memcmp(Buffer, Expected, sizeof(Expected)));
}

TEST(BaseMemoryLibCopy, OverlapWithDestinationBelowSourceCopiesForwards) {
  UINT8 Buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  CopyMem(Buffer, Buffer + 2, 5);
  const UINT8 Expected[8] = {3, 4, 5, 6, 7, 6, 7, 8};
  EXPECT_EQ(0, memcmp(Buffer, Expected, sizeof(Expected)));
}

TEST(BaseMemoryLibFill, SetMemAndZeroMemStayInsideLength) {
  UINT8 Buffer[6] = {9, 9, 9, 9, 9, 9};
  EXPECT_EQ(SetMem(Buffer + 1, 3, 0xA5), Buffer + 1);
  const UINT8 AfterSet[6] = {9, 0xA5, 0xA5, 0xA5, 9, 9};
  EXPECT_EQ(0, memcmp(Buffer, AfterSet, sizeof(AfterSet)));
  EXPECT_EQ(ZeroMem(Buffer + 2, 3), Buffer + 2);
  const UINT8 AfterZero[6] = {9, 0xA5, 0, 0, 0, 9};
  EXPECT_EQ(0, memcmp(Buffer, AfterZero, sizeof(AfterZero)));
}

TEST(BaseMemoryLibCompare, ResultIsTheUnsignedByteDifferenceAtTheFirstMismatch) {
  const UINT8 A[4] = {1, 2, 0x80, 0};
  const UINT8 B[4] = {1, 2, 0x7F, 0xFF};
  EXPECT_EQ(CompareMem(A, B, 4), 1);   // 0x80 - 0x7F: bytes are unsigned
  EXPECT_EQ(CompareMem(B, A, 4), -1);
  EXPECT_EQ(CompareMem(A, B, 2), 0);   // the difference lies beyond Length
  EXPECT_EQ(CompareMem(A, B, 0), 0);
  const UINT8 C[1] = {0x00};
  const UINT8 D[1] = {0xFF};
  EXPECT_EQ(CompareMem(C, D, 1), -255);
}

TEST(BaseMemoryLibGuid, CompareGuidLooksAtAllSixteenBytes) {
  const GUID A = {0x7739f24c, 0x93d7, 0x11d4, {0x9a, 0x3a, 0x00, 0x90, 0x27, 0x3f, 0xc1, 0x4d}};
  GUID B;
  EXPECT_EQ(CopyGuid(&B, &A), &B);
  EXPECT_TRUE(CompareGuid(&A, &B));
  B.Data4[7] ^= 1;
  EXPECT_FALSE(CompareGuid(&A, &B));
  CopyGuid(&B, &A);
  B.Data1 ^= 0x80000000u;
  EXPECT_FALSE(CompareGuid(&A, &B));
}

}  // namespace
