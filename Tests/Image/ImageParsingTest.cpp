// Image parsing: every kind rule and its order, every version-reading rule,
// both descriptor searches with their selector senses, header formats at the
// size boundaries, the active slot, the header conversion and big-endian
// reads, and hostile images (truncated, offsets past the end, out-of-range
// slot fields). Every image is allocated with exactly its size, so the
// sanitizer build fails on any read past the end.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ImageParsing.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An image of Size zero bytes, or of the first Size bytes of another.
Bytes Zeros(size_t Size) { return Bytes(Size, 0); }
Bytes Prefix(const Bytes &Image, size_t Size) { return Bytes(Image.begin(), Image.begin() + Size); }

void Put(Bytes &Image, size_t Offset, std::initializer_list<uint8_t> Values) {
  for (uint8_t V : Values) Image.at(Offset++) = V;
}
void PutText(Bytes &Image, size_t Offset, const char *Text) {
  for (; *Text != '\0'; Text++) Image.at(Offset++) = uint8_t(*Text);
}
void PutLe16(Bytes &Image, size_t Offset, uint16_t V) { Put(Image, Offset, {uint8_t(V), uint8_t(V >> 8)}); }
void PutBe16(Bytes &Image, size_t Offset, uint16_t V) { Put(Image, Offset, {uint8_t(V >> 8), uint8_t(V)}); }
void PutBe32(Bytes &Image, size_t Offset, uint32_t V) {
  Put(Image, Offset, {uint8_t(V >> 24), uint8_t(V >> 16), uint8_t(V >> 8), uint8_t(V)});
}

// A device descriptor prefix at Offset with the three words behind it.
void PutUsb3Descriptor(Bytes &Image, size_t Offset, uint16_t Vid, uint16_t Pid, uint16_t Bcd) {
  Put(Image, Offset, {0x12, 0x01, 0x00, 0x03, 0xEF, 0x02, 0x01, 0x09});
  PutLe16(Image, Offset + 8, Vid);
  PutLe16(Image, Offset + 10, Pid);
  PutLe16(Image, Offset + 12, Bcd);
}
void PutUsb2Descriptor(Bytes &Image, size_t Offset, uint16_t Vid, uint16_t Pid, uint16_t Bcd, uint8_t BcdLow = 0) {
  Put(Image, Offset, {0x12, 0x01, BcdLow, 0x02, 0xEF, 0x02, 0x01, 0x40});
  PutLe16(Image, Offset + 8, Vid);
  PutLe16(Image, Offset + 10, Pid);
  PutLe16(Image, Offset + 12, Bcd);
}

CHAR8 Kind(const Bytes &Image) { return GetImageKind(Image.data(), Image.size()); }

// A record whose every field differs from anything a rule writes.
FW_VERSION_INFO Sentinel() {
  FW_VERSION_INFO Info;
  Info.VendorId = 0xA1A1;
  Info.ProductId = 0xB2B2;
  Info.DeviceVersion = 0xC3C3;
  Info.AuxVersion = 0xD4D4;
  std::memset(Info.VersionData, 0xEE, sizeof(Info.VersionData));
  return Info;
}

bool Same(const FW_VERSION_INFO &A, const FW_VERSION_INFO &B) { return std::memcmp(&A, &B, sizeof(A)) == 0; }

struct Words {
  uint16_t Vid, Pid, Bcd, Aux;
};

// Reads Image's version info into a sentinel record.
EFI_STATUS Read(const Bytes &Image, FW_VERSION_INFO &Info) {
  Info = Sentinel();
  return GetImageVersionInfo(Image.data(), Image.size(), &Info);
}

void ExpectWords(const FW_VERSION_INFO &Info, Words W) {
  EXPECT_EQ(Info.VendorId, W.Vid);
  EXPECT_EQ(Info.ProductId, W.Pid);
  EXPECT_EQ(Info.DeviceVersion, W.Bcd);
  EXPECT_EQ(Info.AuxVersion, W.Aux);
}

void ExpectZeroData(const FW_VERSION_INFO &Info) {
  for (uint8_t B : Info.VersionData) EXPECT_EQ(B, 0);
}

// ---------------------------------------------------------------------------
// Image builders, one per reading rule.
// ---------------------------------------------------------------------------

// The table rule: T = 0x0200, R = 0x0300; words at R + 0x0A, Aux at T - 2.
Bytes TableImage(uint8_t Head1, size_t Position) {
  Bytes I = Zeros(0x400);
  Put(I, 0, {0x89, Head1});
  PutBe16(I, 4, 0x0200);
  PutBe16(I, 0x0200 + Position, 0x0300);
  PutLe16(I, 0x30A, 0x1111);
  PutLe16(I, 0x30C, 0x2222);
  PutLe16(I, 0x30E, 0x3333);
  PutBe16(I, 0x1FE, 0x4455);
  return I;
}

Bytes KindDImage() {
  Bytes I = Zeros(0xDB42);
  I[0xB701] = 0x12;
  PutLe16(I, 0xB70A, 0x0C45);
  PutLe16(I, 0xB70C, 0x6A00);
  PutLe16(I, 0xB70E, 0x0102);
  PutBe16(I, 0xDB40, 0x0A0B);
  return I;
}

Bytes KindEImage(bool Head) {
  Bytes I = Zeros(0x6790);
  if (Head) Put(I, 0, {0x89, 0x16});
  I[0x6781] = 0x12;
  PutLe16(I, 0x678A, 0x04F2);
  PutLe16(I, 0x678C, 0xB5A7);
  PutLe16(I, 0x678E, 0x0203);
  PutBe16(I, 0x6040, 0x1234);
  return I;
}

Bytes KindJImage(size_t DescriptorAt, size_t Size = 0x5100) {
  Bytes I = Zeros(Size);
  PutText(I, 0x0B, "2630");
  if (DescriptorAt != 0) PutUsb3Descriptor(I, DescriptorAt, 0x5986, 0x1135, 0x0507);
  return I;
}

// Kind "n", format 1: the version pointer at 0x128, the selector at 0xFA.
Bytes KindNImage(size_t Size = 0x10000) {
  Bytes I = Zeros(Size);
  Put(I, 0x100, {0x95, 0x27});
  return I;
}

// Kind "n", format 3: 95 28 at 0 as well; base 0x3000.
Bytes KindNSlottedImage() {
  Bytes I = KindNImage();
  Put(I, 0, {0x95, 0x28});
  I[7] = 0x00;
  return I;
}

void PutKvel(Bytes &I, size_t V, Words W) {
  PutText(I, V, "KVEL");
  PutLe16(I, V + 0x88, W.Vid);
  PutLe16(I, V + 0x8A, W.Pid);
  PutLe16(I, V + 0x8C, W.Bcd);
  PutBe16(I, V + 0x92, W.Aux);
}

// ---------------------------------------------------------------------------
// GetImageKind
// ---------------------------------------------------------------------------

struct Marker {
  size_t Offset;
  std::vector<uint8_t> Values;
};

struct KindCase {
  const char *Name;
  size_t Size;
  std::vector<Marker> Markers;
  char Kind;
};

const KindCase kKindCases[] = {
    {"n", 0x200, {{0x100, {0x95, 0x27}}}, 'n'},
    {"n before the 89 16 head", 0x200, {{0, {0x89, 0x16}}, {0x100, {0x95, 0x27}}}, 'n'},
    {"n before l", 0x200, {{0, {0x89, 0x19}}, {0x100, {0x95, 0x27}}}, 'n'},
    {"n cut after its first byte", 0x101, {{0x100, {0x95}}}, 'o'},
    {"l 89 19", 0x20, {{0, {0x89, 0x19}}}, 'l'},
    {"l 89 1B", 0x20, {{0, {0x89, 0x1B}}}, 'l'},
    {"l before j", 0x20, {{0, {0x89, 0x19}}, {0x0B, {'2', '6', '3', '0'}}}, 'l'},
    {"j 2630", 0x20, {{0x0B, {'2', '6', '3', '0'}}}, 'j'},
    {"j 2630 cut", 0x0E, {{0x0B, {'2', '6', '3'}}}, 'o'},
    {"j FF pattern", 0x20, {{0, {1, 2, 3, 4}}, {6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}}, 'j'},
    {"j FF pattern of exactly 11 bytes", 11, {{0, {1, 2, 3, 4}}, {6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}}, 'j'},
    {"FF pattern cut at byte 10", 10, {{0, {1, 2, 3, 4}}, {6, {0xFF, 0xFF, 0xFF, 0xFF}}}, 'o'},
    {"FF pattern with FF in byte 3", 0x20, {{0, {1, 2, 3, 0xFF}}, {6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}}, 'o'},
    {"FF pattern with byte 10 not FF", 0x20, {{6, {0xFF, 0xFF, 0xFF, 0xFF, 0x00}}}, 'o'},
    {"j FF pattern before g", 0x20, {{0, {0x89, 0x17}}, {6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}}, 'j'},
    {"g 89 17", 0x20, {{0, {0x89, 0x17}}}, 'g'},
    {"g 89 18", 0x20, {{0, {0x89, 0x18}}}, 'g'},
    {"e 89 16 with marker", 0x6782, {{0, {0x89, 0x16}}, {0x6781, {0x12}}}, 'e'},
    {"h 89 16 without marker", 0x6782, {{0, {0x89, 0x16}}}, 'h'},
    {"h 89 16 ending before the marker", 0x6781, {{0, {0x89, 0x16}}}, 'h'},
    {"h before c", 0x8001, {{0, {0x89, 0x16}}, {0x8000, {0x12}}}, 'h'},
    {"i 89 26", 0x20, {{0, {0x89, 0x26}}}, 'i'},
    {"89 with another byte", 0x20, {{0, {0x89, 0x20}}}, 'o'},
    {"c", 0x8001, {{0x8000, {0x12}}}, 'c'},
    {"c before d and e", 0xB702, {{0x8000, {0x12}}, {0xB701, {0x12}}, {0x6781, {0x12}}}, 'c'},
    {"c before k", 0x8001, {{0x8000, {0x12}}, {0x100, {'C', 'Y'}}}, 'c'},
    {"c marker beyond the end", 0x8000, {}, 'o'},
    {"d", 0xB702, {{0xB701, {0x12}}}, 'd'},
    {"d before e", 0xB702, {{0xB701, {0x12}}, {0x6781, {0x12}}}, 'd'},
    {"e without head", 0x6782, {{0x6781, {0x12}}}, 'e'},
    {"e before k", 0x6782, {{0x6781, {0x12}}, {0x100, {'D', 'Z'}}}, 'e'},
    {"k CY", 0x200, {{0x100, {'C', 'Y'}}}, 'k'},
    {"k DZ", 0x200, {{0x100, {'D', 'Z'}}}, 'k'},
    {"k 00 00 and CY at 0x6100", 0x6102, {{0x6100, {'C', 'Y'}}}, 'k'},
    {"CY at 0x6100 without 00 00", 0x6102, {{0x100, {0x01, 0x00}}, {0x6100, {'C', 'Y'}}}, 'o'},
    {"CY at 0x6100 cut", 0x6101, {{0x6100, {'C'}}}, 'o'},
    {"unrecognised", 0x10000, {}, 'o'},
    {"empty", 0, {}, 'o'},
};

TEST(ImageKindTest, EveryRuleInItsOrder) {
  for (const KindCase &C : kKindCases) {
    Bytes I = Zeros(C.Size);
    for (const Marker &M : C.Markers)
      for (size_t K = 0; K < M.Values.size(); K++) I.at(M.Offset + K) = M.Values[K];
    EXPECT_EQ(Kind(I), C.Kind) << C.Name;
  }
  EXPECT_EQ(GetImageKind(nullptr, 0x10000), 'o');
}

// ---------------------------------------------------------------------------
// GetImageVersionInfo: the fixed and table rules
// ---------------------------------------------------------------------------

struct RuleCase {
  const char *Name;
  Bytes Image;
  EFI_STATUS Status;
  Words Expected;  // ignored unless Status is EFI_SUCCESS
};

std::vector<RuleCase> RuleCases() {
  Bytes NWith8916 = TableImage(0x16, 0x16);
  Put(NWith8916, 0x100, {0x95, 0x27});
  Bytes JFf = KindJImage(0x2345);
  Put(JFf, 0x0B, {0, 0, 0, 0});
  Put(JFf, 6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  Bytes JUsb2 = KindJImage(0);
  PutUsb2Descriptor(JUsb2, 0x1000, 1, 2, 3);
  Bytes JTwo = KindJImage(0x1800);
  PutUsb3Descriptor(JTwo, 0x3000, 9, 9, 9);
  Bytes C = Zeros(0x8001);
  C[0x8000] = 0x12;
  return {
      {"d", KindDImage(), EFI_SUCCESS, {0x0C45, 0x6A00, 0x0102, 0x0A0B}},
      {"g table 0x16", TableImage(0x17, 0x16), EFI_SUCCESS, {0x1111, 0x2222, 0x3333, 0x4455}},
      {"l table 0x16", TableImage(0x1B, 0x16), EFI_SUCCESS, {0x1111, 0x2222, 0x3333, 0x4455}},
      {"i table 0x1A", TableImage(0x26, 0x1A), EFI_SUCCESS, {0x1111, 0x2222, 0x3333, 0x4455}},
      {"i does not read at 0x16", TableImage(0x26, 0x16), EFI_SUCCESS, {0, 0, 0, 0x4455}},
      {"h table 0x16", TableImage(0x16, 0x16), EFI_SUCCESS, {0x1111, 0x2222, 0x3333, 0x4455}},
      {"n with 89 16 head", NWith8916, EFI_SUCCESS, {0x1111, 0x2222, 0x3333, 0x4455}},
      {"e with 89 16 head", KindEImage(true), EFI_SUCCESS, {0x04F2, 0xB5A7, 0x0203, 0x1234}},
      {"e without head", KindEImage(false), EFI_LOAD_ERROR, {}},
      {"c", C, EFI_LOAD_ERROR, {}},
      {"j descriptor at 0x1000", KindJImage(0x1000), EFI_SUCCESS, {0x5986, 0x1135, 0x0507, 0xFFFF}},
      {"j descriptor at 0x4FFF", KindJImage(0x4FFF), EFI_SUCCESS, {0x5986, 0x1135, 0x0507, 0xFFFF}},
      {"j FF pattern", JFf, EFI_SUCCESS, {0x5986, 0x1135, 0x0507, 0xFFFF}},
      {"j takes the first of two", JTwo, EFI_SUCCESS, {0x5986, 0x1135, 0x0507, 0xFFFF}},
      {"j descriptor at 0x0FFF", KindJImage(0x0FFF), EFI_LOAD_ERROR, {}},
      {"j descriptor at 0x5000", KindJImage(0x5000), EFI_LOAD_ERROR, {}},
      {"j without descriptor", KindJImage(0), EFI_LOAD_ERROR, {}},
      {"j with the USB 2 pattern only", JUsb2, EFI_LOAD_ERROR, {}},
      {"o", Zeros(0x10000), EFI_UNSUPPORTED, {}},
  };
}

TEST(ImageVersionTest, FixedAndTableRules) {
  for (const RuleCase &C : RuleCases()) {
    FW_VERSION_INFO Info;
    EXPECT_EQ(Read(C.Image, Info), C.Status) << C.Name;
    const FW_VERSION_INFO Before = Sentinel();
    if (C.Status == EFI_SUCCESS) {
      ExpectWords(Info, C.Expected);
      ExpectZeroData(Info);
    } else if (C.Status == EFI_LOAD_ERROR) {
      // Only the version data is zeroed.
      ExpectWords(Info, {Before.VendorId, Before.ProductId, Before.DeviceVersion, Before.AuxVersion});
      ExpectZeroData(Info);
    } else {
      EXPECT_TRUE(Same(Info, Before)) << C.Name;
    }
  }
}

TEST(ImageVersionTest, TableOffsetsFromTheImageStayInside) {
  struct Case {
    const char *Name;
    uint16_t T;
    uint16_t R;
    size_t Size;
    EFI_STATUS Status;
  };
  const Case Cases[] = {
      {"T 0: T - 2 before the image", 0x0000, 0x0300, 0x400, EFI_BAD_BUFFER_SIZE},
      {"T 1: T - 2 before the image", 0x0001, 0x0300, 0x400, EFI_BAD_BUFFER_SIZE},
      {"T 2: Aux at 0", 0x0002, 0x0300, 0x400, EFI_SUCCESS},
      {"T + P past the end", 0x03EA, 0x0300, 0x400, EFI_BAD_BUFFER_SIZE},
      {"T + P + 1 is the last byte", 0x03E8, 0x0300, 0x400, EFI_SUCCESS},
      {"T 0xFFFF", 0xFFFF, 0x0300, 0x400, EFI_BAD_BUFFER_SIZE},
      {"R + 0x0F is the last byte", 0x0200, 0x03F0, 0x400, EFI_SUCCESS},
      {"R + 0x0F past the end", 0x0200, 0x03F1, 0x400, EFI_BAD_BUFFER_SIZE},
      {"R 0xFFFF past the end", 0x0200, 0xFFFF, 0x400, EFI_BAD_BUFFER_SIZE},
      {"R 0xFFFF inside a 0x1000F image", 0x0200, 0xFFFF, 0x1000F, EFI_SUCCESS},
  };
  for (const Case &C : Cases) {
    Bytes I = Zeros(C.Size);
    Put(I, 0, {0x89, 0x17});
    PutBe16(I, 4, C.T);
    if (size_t(C.T) + 0x17 < C.Size) PutBe16(I, C.T + 0x16, C.R);
    if (size_t(C.R) + 0x0F < C.Size) PutLe16(I, C.R + 0x0E, 0x0777);
    FW_VERSION_INFO Info;
    EXPECT_EQ(Read(I, Info), C.Status) << C.Name;
    if (C.Status == EFI_SUCCESS) {
      EXPECT_EQ(Info.DeviceVersion, 0x0777) << C.Name;
    } else {
      EXPECT_TRUE(Same(Info, Sentinel())) << C.Name;
    }
  }
}

// ---------------------------------------------------------------------------
// GetImageVersionInfo: kind "k"
// ---------------------------------------------------------------------------

Bytes KindKImage(const char *At100, size_t Size = 0x10000) {
  Bytes I = Zeros(Size);
  PutText(I, 0x100, At100);
  return I;
}

void PutVersionData(Bytes &I) {
  for (size_t K = 0; K < 32; K++) I[0x706C + K] = uint8_t(0x40 + K);
}

void ExpectVersionData(const FW_VERSION_INFO &Info) {
  for (size_t K = 0; K < 32; K++) EXPECT_EQ(Info.VersionData[K], 0x40 + K);
}

TEST(ImageVersionKindKTest, KvelBlocksAndVersionData) {
  FW_VERSION_INFO Info;

  // "DZ" at 0x100: no version data, "KVEL" at 0x2000 with non-zero words.
  Bytes Dz = KindKImage("DZ");
  PutText(Dz, 0x7000, "CY");
  PutVersionData(Dz);
  PutText(Dz, 0x2000, "KVEL");
  PutLe16(Dz, 0x2088, 0x1BCF);
  PutLe16(Dz, 0x208A, 0x2C9A);
  PutLe16(Dz, 0x208C, 0x0100);
  PutBe16(Dz, 0x7092, 0x0203);
  ASSERT_EQ(Read(Dz, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x1BCF, 0x2C9A, 0x0100, 0x0203});
  ExpectZeroData(Info);

  // "CY" at 0x100 and 0x7000: version data, then the same "KVEL" reading.
  Bytes Cy = Dz;
  PutText(Cy, 0x100, "CY");
  ASSERT_EQ(Read(Cy, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x1BCF, 0x2C9A, 0x0100, 0x0203});
  ExpectVersionData(Info);

  // "DZ" at 0x8100 as well: the upper half's words, "KVEL" at 0xA000, and
  // AuxVersion at absolute 0x2092.
  Bytes Upper = KindKImage("CY");
  PutText(Upper, 0x7000, "CY");
  PutText(Upper, 0x8100, "DZ");
  PutVersionData(Upper);
  PutLe16(Upper, 0x7028, 0x1234);
  PutLe16(Upper, 0x702A, 0x5678);
  PutLe16(Upper, 0x702C, 0x9ABC);
  PutBe16(Upper, 0x9092, 0x1111);
  PutBe16(Upper, 0xA092, 0x3333);
  PutBe16(Upper, 0x2092, 0x2222);
  PutText(Upper, 0xA000, "KVEL");
  ASSERT_EQ(Read(Upper, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x1234, 0x5678, 0x9ABC, 0x2222});
  ExpectVersionData(Info);

  // Without "KVEL" at 0xA000: the search from 0x8000 finds nothing, the
  // upper words stay and AuxVersion is 0.
  Bytes UpperNoKvel = Upper;
  PutText(UpperNoKvel, 0xA000, "XXXX");
  ASSERT_EQ(Read(UpperNoKvel, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x1234, 0x5678, 0x9ABC, 0});
  ExpectVersionData(Info);

  // ... and a descriptor after 0x8000 is found; one before is not.
  PutUsb2Descriptor(UpperNoKvel, 0x7800, 1, 1, 1);
  PutUsb2Descriptor(UpperNoKvel, 0x8800, 0x0BDA, 0x5521, 0x0042);
  ASSERT_EQ(Read(UpperNoKvel, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x0BDA, 0x5521, 0x0042, 0});

  // "KVEL" at 0x2000 with a zero VendorId: the search from 0 takes over and
  // AuxVersion ends as 0; without a descriptor the block's words remain.
  Bytes Zero = KindKImage("DZ");
  PutText(Zero, 0x2000, "KVEL");
  PutLe16(Zero, 0x208A, 0x2C9A);
  PutLe16(Zero, 0x208C, 0x0100);
  PutBe16(Zero, 0x7092, 0x0203);
  ASSERT_EQ(Read(Zero, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x0000, 0x2C9A, 0x0100, 0});
  PutUsb2Descriptor(Zero, 0x3000, 0x04F2, 0xB6DD, 0x0009);
  ASSERT_EQ(Read(Zero, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x04F2, 0xB6DD, 0x0009, 0});

  // A zero word in the block needs no AuxVersion, so the image may end
  // before 0x7092; non-zero words need it.
  Bytes Short = Prefix(Zero, 0x7000);
  ASSERT_EQ(Read(Short, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x04F2, 0xB6DD, 0x0009, 0});
  Bytes ShortFull = Prefix(Dz, 0x7093);
  EXPECT_EQ(Read(ShortFull, Info), EFI_BAD_BUFFER_SIZE);
  EXPECT_TRUE(Same(Info, Sentinel()));
  ASSERT_EQ(Read(Prefix(Dz, 0x7094), Info), EFI_SUCCESS);
  EXPECT_EQ(Info.AuxVersion, 0x0203);
}

// The two searches read their selector in opposite senses.
TEST(ImageVersionSelectorTest, KindKZeroMeansFirstKindNOneMeansFirst) {
  struct Case {
    char Kind;
    uint8_t Selector;
    int Descriptors;
    uint16_t ExpectedVid;  // 0xA1A1: the sentinel stays
  };
  const Case Cases[] = {
      {'k', 0, 2, 0x0001}, {'k', 1, 2, 0x0002}, {'k', 7, 2, 0x0002}, {'k', 0xFF, 2, 0x0002},
      {'k', 0, 1, 0x0001}, {'k', 1, 1, 0x0001}, {'k', 7, 1, 0x0001}, {'k', 1, 0, 0xA1A1},
      {'n', 1, 2, 0x0001}, {'n', 0, 2, 0x0002}, {'n', 2, 2, 0x0002}, {'n', 0xFF, 2, 0x0002},
      {'n', 1, 1, 0x0001}, {'n', 0, 1, 0x0001}, {'n', 2, 1, 0x0001}, {'n', 0, 0, 0xA1A1},
  };
  for (const Case &C : Cases) {
    Bytes I = C.Kind == 'k' ? KindKImage("CY") : KindNImage();
    I[0xFA] = C.Selector;
    // Three descriptors where two are wanted: the third must never win.
    if (C.Descriptors >= 1) PutUsb2Descriptor(I, 0x1000, 0x0001, 0x1001, 0x2001);
    if (C.Descriptors >= 2) {
      PutUsb2Descriptor(I, 0x2000, 0x0002, 0x1002, 0x2002, 0x01);
      PutUsb2Descriptor(I, 0x3000, 0x0003, 0x1003, 0x2003);
    }
    ASSERT_EQ(Kind(I), C.Kind);
    FW_VERSION_INFO Info;
    ASSERT_EQ(Read(I, Info), EFI_SUCCESS);
    EXPECT_EQ(Info.VendorId, C.ExpectedVid) << C.Kind << " selector " << int(C.Selector) << " x" << C.Descriptors;
    if (C.ExpectedVid != 0xA1A1) {
      EXPECT_EQ(Info.DeviceVersion, C.ExpectedVid + 0x2000);
    }
    EXPECT_EQ(Info.AuxVersion, 0);
  }
}

TEST(ImageVersionSearchTest, RangesPatternsAndTheImageEnd) {
  struct Case {
    const char *Name;
    char Kind;
    size_t Size;
    size_t At;
    bool Usb3;
    bool Found;
  };
  const Case Cases[] = {
      {"k at 0", 'k', 0x10000, 0x0000, false, true},
      {"k at 0x4FFF", 'k', 0x10000, 0x4FFF, false, true},
      {"k at 0x5000", 'k', 0x10000, 0x5000, false, false},
      {"k USB 3 pattern", 'k', 0x10000, 0x1000, true, false},
      {"k match ending at the last byte", 'k', 0x100E, 0x1000, false, true},
      {"k match cut by the end", 'k', 0x100D, 0x1000, false, false},
      {"n at 0xFFF0 of 0x10000", 'n', 0x10000, 0xFFF0, false, true},
      {"n at 0xFFFF of 0x1000E", 'n', 0x1000E, 0xFFFF, false, true},
      {"n at 0x10000", 'n', 0x10020, 0x10000, false, false},
      {"n USB 3 pattern", 'n', 0x10000, 0x1000, true, false},
      {"n in a short image", 'n', 0x2000, 0x1FF2, false, true},
  };
  for (const Case &C : Cases) {
    Bytes I = C.Kind == 'k' ? KindKImage("CY", C.Size) : KindNImage(C.Size);
    if (C.At + 14 <= C.Size && C.Usb3) {
      PutUsb3Descriptor(I, C.At, 0x0777, 0x0888, 0x0999);
    } else if (C.At + 14 <= C.Size) {
      PutUsb2Descriptor(I, C.At, 0x0777, 0x0888, 0x0999);
    } else {
      Put(I, C.At, {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 0x40, 0x77, 0x07, 0x88, 0x08, 0x99});
    }
    FW_VERSION_INFO Info;
    ASSERT_EQ(Read(I, Info), EFI_SUCCESS) << C.Name;
    EXPECT_EQ(Info.VendorId, C.Found ? 0x0777 : 0xA1A1) << C.Name;
    EXPECT_EQ(Info.AuxVersion, 0) << C.Name;
  }
}

// ---------------------------------------------------------------------------
// GetImageVersionInfo: kind "n"
// ---------------------------------------------------------------------------

TEST(ImageVersionKindNTest, VersionBlockAndBase) {
  FW_VERSION_INFO Info;

  // Format 1: V = BE32 at 0x128.
  Bytes F1 = KindNImage();
  PutBe32(F1, 0x128, 0x4000);
  PutKvel(F1, 0x4000, {0x1BCF, 0x0B19, 0x1801, 0x0506});
  ASSERT_EQ(Read(F1, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x1BCF, 0x0B19, 0x1801, 0x0506});
  ExpectZeroData(Info);

  // Format 0 reads the same way.
  Bytes F0 = F1;
  PutBe32(F0, 0x124, 1);
  ASSERT_EQ(Read(F0, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x1BCF, 0x0B19, 0x1801, 0x0506});

  // Format 3: base 0x3000 for the pointer, the block and the selector; the
  // search still starts at 0.
  Bytes F3 = KindNSlottedImage();
  PutBe32(F3, 0x3128, 0x1000);
  PutKvel(F3, 0x4000, {0x1BCF, 0x0B12, 0x1802, 0x0708});
  PutKvel(F3, 0x1000, {1, 1, 1, 1});
  ASSERT_EQ(Read(F3, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x1BCF, 0x0B12, 0x1802, 0x0708});

  Bytes F3Search = KindNSlottedImage();
  F3Search[0x30FA] = 1;
  F3Search[0xFA] = 0;
  PutUsb2Descriptor(F3Search, 0x0200, 0x0201, 0x0202, 0x0203);
  PutUsb2Descriptor(F3Search, 0x5000, 0x0501, 0x0502, 0x0503);
  ASSERT_EQ(Read(F3Search, Info), EFI_SUCCESS);
  ExpectWords(Info, {0x0201, 0x0202, 0x0203, 0});

  // A pointer that would wrap back into the image in 32 bits points past
  // its end instead: no block, the search decides.
  Bytes Wrap = KindNSlottedImage();
  PutBe32(Wrap, 0x3128, 0xFFFFD000u + 0x400);
  PutKvel(Wrap, 0x400, {1, 2, 3, 4});
  ASSERT_EQ(Read(Wrap, Info), EFI_SUCCESS);
  ExpectWords(Info, {0xA1A1, 0xB2B2, 0xC3C3, 0});

  // A block marker whose words lie past the end fails the image.
  Bytes Cut = KindNImage(0x1000);
  PutBe32(Cut, 0x128, 0x1000 - 0x90);
  PutText(Cut, 0x1000 - 0x90, "KVEL");
  EXPECT_EQ(Read(Cut, Info), EFI_BAD_BUFFER_SIZE);
  EXPECT_TRUE(Same(Info, Sentinel()));
}

// ---------------------------------------------------------------------------
// Truncated images: the smallest size each rule needs, and nothing read
// outside any prefix.
// ---------------------------------------------------------------------------

struct TruncationCase {
  const char *Name;
  Bytes Image;
  size_t MinSize;  // the smallest prefix that reads like the whole image
};

std::vector<TruncationCase> TruncationCases() {
  Bytes KUpper = KindKImage("CY", 0x9094);
  PutText(KUpper, 0x7000, "CY");
  PutText(KUpper, 0x8100, "DZ");
  PutVersionData(KUpper);
  PutLe16(KUpper, 0x7028, 0x1234);
  Bytes KData = KindKImage("CY", 0x708C);
  PutText(KData, 0x7000, "CY");
  PutVersionData(KData);
  Bytes N = KindNImage(0x2000);
  PutBe32(N, 0x128, 0x1000);
  PutKvel(N, 0x1000, {5, 6, 7, 8});
  Bytes E = KindEImage(true);
  return {
      {"d", KindDImage(), 0xDB42},
      {"table", TableImage(0x17, 0x16), 0x310},
      {"e", E, 0x6790},
      {"k upper half", KUpper, 0x9094},
      {"k version data", KData, 0x708C},
      {"n block", N, 0x1094},
  };
}

TEST(ImageHostileTest, TruncatedImagesFailCleanly) {
  for (const TruncationCase &C : TruncationCases()) {
    FW_VERSION_INFO Whole;
    ASSERT_EQ(Read(C.Image, Whole), EFI_SUCCESS) << C.Name;
    FW_VERSION_INFO Info;
    ASSERT_EQ(Read(Prefix(C.Image, C.MinSize), Info), EFI_SUCCESS) << C.Name;
    EXPECT_TRUE(Same(Info, Whole)) << C.Name;
    EXPECT_EQ(Read(Prefix(C.Image, C.MinSize - 1), Info), EFI_BAD_BUFFER_SIZE) << C.Name;
    EXPECT_TRUE(Same(Info, Sentinel())) << C.Name;
  }
}

// Every prefix near an offset a rule reads, and a stride through the rest:
// each call either succeeds or fails leaving the record as it was (or, for
// rules without reading, zeroes only the version data); the sanitizer
// build catches any read past a prefix.
TEST(ImageHostileTest, EveryPrefixStaysInside) {
  const size_t Near[] = {0, 2, 4, 6, 7, 0x0B, 0x0F, 0x64, 0xFA, 0x100, 0x102, 0x124, 0x128, 0x12C, 0x1FE, 0x200,
                         0x216, 0x30A, 0x310, 0x1000, 0x1094, 0x2000, 0x208E, 0x3000, 0x6040, 0x6781, 0x6790,
                         0x7000, 0x7028, 0x706C, 0x708C, 0x7092, 0x8000, 0x8100, 0x9092, 0xB701, 0xB70A, 0xDB40};
  std::vector<TruncationCase> Cases = TruncationCases();
  for (const RuleCase &R : RuleCases()) Cases.push_back({R.Name, R.Image, R.Image.size()});
  for (const TruncationCase &C : Cases) {
    std::vector<bool> Try(C.Image.size() + 1, false);
    for (size_t S = 0; S < Try.size(); S += 251) Try[S] = true;
    for (size_t N : Near)
      for (size_t S = (N > 8 ? N - 8 : 0); S <= N + 8 && S < Try.size(); S++) Try[S] = true;
    Try.back() = true;
    for (size_t S = 0; S < Try.size(); S++) {
      if (!Try[S]) continue;
      Bytes P = Prefix(C.Image, S);
      FW_VERSION_INFO Info;
      EFI_STATUS Status = Read(P, Info);
      const FW_VERSION_INFO Before = Sentinel();
      if (Status == EFI_LOAD_ERROR) {
        ExpectWords(Info, {Before.VendorId, Before.ProductId, Before.DeviceVersion, Before.AuxVersion});
        ExpectZeroData(Info);
      } else if (Status != EFI_SUCCESS) {
        // An empty prefix has no data pointer at all.
        EXPECT_TRUE(Status == EFI_BAD_BUFFER_SIZE || Status == EFI_UNSUPPORTED ||
                    (P.data() == nullptr && Status == EFI_INVALID_PARAMETER))
            << C.Name << " size " << S;
        EXPECT_TRUE(Same(Info, Before)) << C.Name << " size " << S;
      }
      (void)Kind(P);
      UINT8 Format;
      UINT64 Offset;
      (void)GetImageHeaderFormat(P.data(), &Format, P.size());
      (void)GetActiveSlotOffset(P.data(), P.size(), &Offset);
    }
  }
}

TEST(ImageHostileTest, NullArguments) {
  Bytes I = KindDImage();
  FW_VERSION_INFO Info = Sentinel();
  UINT8 Format = 0x5A;
  UINT64 Offset = 0x5A;
  UINT32 Value = 0x5A;
  EXPECT_EQ(GetImageVersionInfo(nullptr, I.size(), &Info), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetImageVersionInfo(I.data(), I.size(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetImageHeaderFormat(nullptr, &Format, 4096), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetImageHeaderFormat(I.data(), nullptr, I.size()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetActiveSlotOffset(nullptr, 4096, &Offset), EFI_INVALID_PARAMETER);
  EXPECT_EQ(GetActiveSlotOffset(I.data(), I.size(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SwapImageHeader(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ReadBigEndian32(nullptr, 16, 0, 0, &Value), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ReadBigEndian32(I.data(), I.size(), 0, 0, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(Same(Info, Sentinel()));
  EXPECT_EQ(Format, 0x5A);
  EXPECT_EQ(Offset, 0x5Au);
  EXPECT_EQ(Value, 0x5Au);
}

// ---------------------------------------------------------------------------
// Image header: format codes, active slot, conversion, big-endian reads
// ---------------------------------------------------------------------------

// A 95 28 header of Size bytes with two slots at 0x00010000 and 0x00200000.
Bytes HeaderImage(size_t Size, uint8_t SlotCount, uint8_t ActiveSlot) {
  Bytes I = Zeros(Size);
  Put(I, 0, {0x95, 0x28});
  PutBe32(I, 2, 0x01020304);
  I[6] = SlotCount;
  I[7] = ActiveSlot;
  PutBe32(I, 0x0C + 4, 0x00010000);
  PutBe32(I, 0x0C + 44 + 4, 0x80200000);
  return I;
}

TEST(ImageHeaderTest, FormatCodesAtTheSizeBoundaries) {
  struct Case {
    const char *Name;
    Bytes Image;
    EFI_STATUS Status;
    uint8_t Format;
  };
  Bytes Tag1 = KindNImage(0x128);
  PutBe32(Tag1, 0x124, 0x00000001);
  Bytes TagHigh = KindNImage(0x128);
  PutBe32(TagHigh, 0x124, 0x01000000);
  Bytes Both = HeaderImage(0x200, 2, 0xFF);
  Put(Both, 0x100, {0x95, 0x27});
  const Case Cases[] = {
      {"ActiveSlot FF at 12288", HeaderImage(12288, 2, 0xFF), EFI_SUCCESS, 2},
      {"ActiveSlot FF at 12289", HeaderImage(12289, 2, 0xFF), EFI_SUCCESS, 3},
      {"ActiveSlot 0 at 12288", HeaderImage(12288, 2, 0), EFI_SUCCESS, 3},
      {"ActiveSlot 1 in a sector", HeaderImage(4096, 2, 1), EFI_SUCCESS, 3},
      {"ActiveSlot FF in a sector", HeaderImage(4096, 2, 0xFF), EFI_SUCCESS, 2},
      {"header of exactly 100 bytes", HeaderImage(100, 2, 0xFF), EFI_SUCCESS, 2},
      {"header cut at 99 bytes", HeaderImage(99, 2, 0xFF), EFI_UNSUPPORTED, 0},
      {"95 28 before 95 27", Both, EFI_SUCCESS, 2},
      {"95 27, tag zero", KindNImage(0x128), EFI_SUCCESS, 1},
      {"95 27, tag 00 00 00 01", Tag1, EFI_SUCCESS, 0},
      {"95 27, tag 01 00 00 00", TagHigh, EFI_SUCCESS, 0},
      {"95 27 cut inside the tag", KindNImage(0x127), EFI_UNSUPPORTED, 0},
      {"no marker", Zeros(0x10000), EFI_UNSUPPORTED, 0},
      {"one byte", Bytes{0x95}, EFI_UNSUPPORTED, 0},
  };
  for (const Case &C : Cases) {
    UINT8 Format = 0xA5;
    EXPECT_EQ(GetImageHeaderFormat(C.Image.data(), &Format, C.Image.size()), C.Status) << C.Name;
    EXPECT_EQ(Format, C.Status == EFI_SUCCESS ? C.Format : 0xA5) << C.Name;
  }
}

TEST(ImageHeaderTest, ActiveSlotOffset) {
  struct Case {
    const char *Name;
    Bytes Image;
    EFI_STATUS Status;
    UINT64 Offset;
  };
  const Case Cases[] = {
      {"slot 0", HeaderImage(100, 2, 0), EFI_SUCCESS, 0x00010000},
      {"slot 1, not sign-extended", HeaderImage(100, 2, 1), EFI_SUCCESS, 0x80200000},
      {"none takes slot 0", HeaderImage(0x3001, 2, 0xFF), EFI_SUCCESS, 0x00010000},
      {"format 2 gives 0", HeaderImage(4096, 2, 0xFF), EFI_SUCCESS, 0},
      {"format 1 gives 0", KindNImage(0x128), EFI_SUCCESS, 0},
      {"no header", Zeros(0x4000), EFI_UNSUPPORTED, 0},
      {"SlotCount 3", HeaderImage(100, 3, 0), EFI_VOLUME_CORRUPTED, 0},
      {"SlotCount 255", HeaderImage(0x4000, 255, 0), EFI_VOLUME_CORRUPTED, 0},
      {"ActiveSlot 2", HeaderImage(100, 2, 2), EFI_VOLUME_CORRUPTED, 0},
      {"ActiveSlot 0xFE", HeaderImage(100, 2, 0xFE), EFI_VOLUME_CORRUPTED, 0},
      {"ActiveSlot 1 of one slot", HeaderImage(100, 1, 1), EFI_VOLUME_CORRUPTED, 0},
      {"none of no slot", HeaderImage(0x3001, 0, 0xFF), EFI_VOLUME_CORRUPTED, 0},
      {"slot 0 of one slot", HeaderImage(100, 1, 0), EFI_SUCCESS, 0x00010000},
  };
  for (const Case &C : Cases) {
    UINT64 Offset = 0x5A5A;
    EXPECT_EQ(GetActiveSlotOffset(C.Image.data(), C.Image.size(), &Offset), C.Status) << C.Name;
    EXPECT_EQ(Offset, C.Status == EFI_SUCCESS ? C.Offset : 0x5A5A) << C.Name;
  }
}

// A header on the heap with exactly its 100 bytes, so that the sanitizer
// sees any access past it.
std::unique_ptr<CAMERA_IMAGE_HEADER> HeapHeader(const Bytes &Raw) {
  auto H = std::make_unique<CAMERA_IMAGE_HEADER>();
  std::memcpy(H.get(), Raw.data(), sizeof(CAMERA_IMAGE_HEADER));
  return H;
}

Bytes RawOf(const CAMERA_IMAGE_HEADER &H) {
  const uint8_t *P = reinterpret_cast<const uint8_t *>(&H);
  return Bytes(P, P + sizeof(H));
}

TEST(ImageHeaderTest, SwapConvertsTheFieldsInUse) {
  Bytes Raw(100);
  for (size_t K = 0; K < Raw.size(); K++) Raw[K] = uint8_t(K * 7 + 1);
  Put(Raw, 0, {0x95, 0x28});
  for (uint8_t Count : {0, 1, 2}) {
    Raw[6] = Count;
    Raw[7] = 0xFF;
    auto H = HeapHeader(Raw);
    ASSERT_EQ(SwapImageHeader(H.get()), EFI_SUCCESS);
    // Packed fields are copied out before gtest binds references to them.
    const uint16_t Signature = H->Signature;
    const uint32_t Version = H->Version;
    EXPECT_EQ(Signature, 0x9528);
    EXPECT_EQ(Version, 0x0F161D24u);  // bytes 2..5
    Bytes After = RawOf(*H);
    for (size_t K = 6; K < 12; K++) EXPECT_EQ(After[K], Raw[K]);
    for (size_t S = 0; S < 2; S++) {
      size_t Base = 12 + 44 * S;
      for (size_t Field = 0; Field < 3; Field++)
        for (size_t B = 0; B < 4; B++) {
          size_t At = Base + Field * 4 + B;
          size_t From = S < Count ? Base + Field * 4 + 3 - B : At;
          EXPECT_EQ(After[At], Raw[From]) << "count " << int(Count) << " slot " << S;
        }
      for (size_t B = 12; B < 44; B++) EXPECT_EQ(After[Base + B], Raw[Base + B]);
    }
  }
}

TEST(ImageHeaderTest, SwapTwiceIsIdentityAndBadHeadersStayPut) {
  std::mt19937 Random(20240605);
  const uint8_t ActiveSlots[] = {0, 1, 2, 0x7F, 0xFE, 0xFF};
  for (int Round = 0; Round < 300; Round++) {
    Bytes Raw(100);
    for (uint8_t &B : Raw) B = uint8_t(Random());
    Raw[6] = uint8_t(Round % 5 == 4 ? Random() : Round % 5);  // 0..3 and random
    Raw[7] = ActiveSlots[Round % 6];
    bool Good = Raw[6] <= 2 && (Raw[7] <= 1 || Raw[7] == 0xFF);
    auto H = HeapHeader(Raw);
    EXPECT_EQ(SwapImageHeader(H.get()), Good ? EFI_SUCCESS : EFI_VOLUME_CORRUPTED);
    if (Good) {
      EXPECT_NE(RawOf(*H), Raw);
    } else {
      EXPECT_EQ(RawOf(*H), Raw);
    }
    EXPECT_EQ(SwapImageHeader(H.get()), Good ? EFI_SUCCESS : EFI_VOLUME_CORRUPTED);
    EXPECT_EQ(RawOf(*H), Raw) << "round " << Round;
  }
}

TEST(ImageHeaderTest, ReadBigEndian32) {
  Bytes Data = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
  struct Case {
    uint32_t Offset, Base;
    EFI_STATUS Status;
    uint32_t Value;
  };
  const Case Cases[] = {
      {0, 0, EFI_SUCCESS, 0x10203040},       {1, 2, EFI_SUCCESS, 0x40506070},
      {2, 2, EFI_SUCCESS, 0x50607080},       {3, 2, EFI_BAD_BUFFER_SIZE, 0},
      {0xFFFFFFFF, 2, EFI_SUCCESS, 0x20304050},  // the sum wraps in 32 bits
      {0x80000000, 0x80000000, EFI_SUCCESS, 0x10203040},
      {0xFFFFFFFF, 0, EFI_BAD_BUFFER_SIZE, 0}, {8, 0, EFI_BAD_BUFFER_SIZE, 0},
  };
  for (const Case &C : Cases) {
    UINT32 Value = 0xA5A5A5A5;
    EXPECT_EQ(ReadBigEndian32(Data.data(), Data.size(), C.Offset, C.Base, &Value), C.Status) << C.Offset;
    EXPECT_EQ(Value, C.Status == EFI_SUCCESS ? C.Value : 0xA5A5A5A5) << C.Offset;
  }
}

}  // namespace
