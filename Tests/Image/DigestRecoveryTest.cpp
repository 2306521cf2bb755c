// SHA-256 and the signed digest of the slot images.
//
// CalculateSha256 is compared with OpenSSL's SHA-256 on the FIPS 180-4
// example messages and on every length around the padding edges (55, 56 and
// 64 bytes and their multiples) up to random lengths of 1 MiB.
// RecoverSignedDigest is compared with a model built on GMP's mpz_powm and
// the key store's modulus, round-trips with the test signer, and is fed
// hostile signatures (oversized, all 0xFF, exact-size heap buffers so that the
// address sanitizer sees any read past the end).
#include <gmp.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BigNum.h"
#include "DigestRecovery.h"
#include "Tools/signer/Signer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Digest32 = std::array<uint8_t, 32>;

Bytes FromHex(const std::string &Hex) {
  Bytes Out;
  for (size_t Index = 0; Index + 1 < Hex.size(); Index += 2) {
    Out.push_back(static_cast<uint8_t>(std::stoul(Hex.substr(Index, 2), nullptr, 16)));
  }
  return Out;
}

Bytes RandomBytes(std::mt19937_64 &Random, size_t Size) {
  Bytes Out(Size);
  for (auto &Byte : Out) {
    Byte = static_cast<uint8_t>(Random());
  }
  return Out;
}

Digest32 Ours(const uint8_t *Data, size_t Size) {
  Digest32 Out;
  Out.fill(0xA5);
  CalculateSha256(Out.data(), Data, Size);
  return Out;
}

Digest32 OpenSsl(const uint8_t *Data, size_t Size) {
  Digest32 Out{};
  unsigned int OutSize = 0;
  EXPECT_EQ(EVP_Digest(Data, Size, Out.data(), &OutSize, EVP_sha256(), nullptr), 1);
  EXPECT_EQ(OutSize, 32u);
  return Out;
}

// Hashes a copy in a heap buffer of exactly Size bytes, so that a read past
// the end is a sanitizer error, and compares with OpenSSL.
void ExpectSameAsOpenSsl(const Bytes &Data) {
  std::unique_ptr<uint8_t[]> Exact(new uint8_t[Data.size() == 0 ? 1 : Data.size()]);
  std::copy(Data.begin(), Data.end(), Exact.get());
  EXPECT_EQ(Ours(Exact.get(), Data.size()), OpenSsl(Data.data(), Data.size())) << "length " << Data.size();
}

// ---------------------------------------------------------------------------
// CalculateSha256
// ---------------------------------------------------------------------------

struct FipsVector {
  std::string Message;
  size_t Repeat;
  const char *Expected;
};

TEST(Sha256Test, FipsExampleMessages) {
  const FipsVector Vectors[] = {
      {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto &Vector : Vectors) {
    std::string Message;
    for (size_t Index = 0; Index < Vector.Repeat; Index++) {
      Message += Vector.Message;
    }
    const Bytes Data(Message.begin(), Message.end());
    const Bytes Expected = FromHex(Vector.Expected);
    const Digest32 Got = Ours(Data.data(), Data.size());
    EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Expected.begin())) << Vector.Message.substr(0, 16) << " x" << Vector.Repeat;
    EXPECT_EQ(Got, OpenSsl(Data.data(), Data.size()));
  }
}

TEST(Sha256Test, EveryLengthUpTo200) {
  std::mt19937_64 Random(200);
  for (size_t Size = 0; Size <= 200; Size++) {
    ExpectSameAsOpenSsl(RandomBytes(Random, Size));
  }
}

// The tail decides whether the length field fits: 55 bytes leave room for
// 0x80 and the length, 56..63 need a second block, 64 has no tail at all.
TEST(Sha256Test, EveryLengthAroundBlockEdgesUpTo64KiB) {
  std::mt19937_64 Random(56);
  for (size_t Blocks = 1; Blocks <= 1024; Blocks = Blocks < 16 ? Blocks + 1 : Blocks * 2) {
    for (size_t Delta = 0; Delta <= 10; Delta++) {
      for (size_t Size : {64 * Blocks - 10 + Delta, 64 * Blocks + 55 - 5 + Delta}) {
        ExpectSameAsOpenSsl(RandomBytes(Random, Size));
      }
    }
  }
}

TEST(Sha256Test, RandomLengthsUpTo1MiB) {
  std::mt19937_64 Random(0x100000);
  const Bytes Large = RandomBytes(Random, 1024 * 1024);
  std::vector<size_t> Sizes = {1024 * 1024, 1024 * 1024 - 1, 1024 * 1024 - 8, 1024 * 1024 - 9, 65536, 65599};
  for (int Draw = 0; Draw < 40; Draw++) {
    Sizes.push_back(Random() % (1024 * 1024 + 1));
  }
  for (size_t Size : Sizes) {
    ExpectSameAsOpenSsl(Bytes(Large.begin(), Large.begin() + static_cast<std::ptrdiff_t>(Size)));
  }
}

TEST(Sha256Test, UnalignedInputGivesTheSameDigest) {
  std::mt19937_64 Random(7);
  const Bytes Data = RandomBytes(Random, 1000);
  Bytes Shifted(Data.size() + 8);
  for (size_t Offset = 1; Offset < 8; Offset++) {
    std::copy(Data.begin(), Data.end(), Shifted.begin() + static_cast<std::ptrdiff_t>(Offset));
    EXPECT_EQ(Ours(Shifted.data() + Offset, Data.size()), OpenSsl(Data.data(), Data.size())) << Offset;
  }
}

TEST(Sha256Test, EverySingleBitChangeChangesTheDigest) {
  std::mt19937_64 Random(1);
  const Bytes Data = RandomBytes(Random, 119);
  const Digest32 Original = Ours(Data.data(), Data.size());
  for (size_t Bit = 0; Bit < Data.size() * 8; Bit++) {
    Bytes Flipped = Data;
    Flipped[Bit / 8] ^= static_cast<uint8_t>(1u << (Bit % 8));
    const Digest32 Got = Ours(Flipped.data(), Flipped.size());
    EXPECT_NE(Got, Original) << Bit;
    EXPECT_EQ(Got, OpenSsl(Flipped.data(), Flipped.size())) << Bit;
  }
}

TEST(Sha256Test, WritesExactly32Bytes) {
  const uint8_t Data[3] = {'a', 'b', 'c'};
  uint8_t Out[48];
  std::memset(Out, 0xEE, sizeof(Out));
  CalculateSha256(Out + 8, Data, sizeof(Data));
  for (size_t Index = 0; Index < 8; Index++) {
    EXPECT_EQ(Out[Index], 0xEE) << Index;
    EXPECT_EQ(Out[40 + Index], 0xEE) << 40 + Index;
  }
  const Bytes Expected = FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_TRUE(std::equal(Expected.begin(), Expected.end(), Out + 8));
}

TEST(Sha256Test, NullArguments) {
  // An empty message may come without a buffer.
  const Digest32 Empty = Ours(nullptr, 0);
  const uint8_t Nothing = 0;
  EXPECT_EQ(Empty, OpenSsl(&Nothing, 0));

  // No data for a non-zero size: the digest is not written.
  Digest32 Untouched;
  Untouched.fill(0x5C);
  CalculateSha256(Untouched.data(), nullptr, 10);
  Digest32 Expected;
  Expected.fill(0x5C);
  EXPECT_EQ(Untouched, Expected);

  // No digest buffer: nothing happens.
  CalculateSha256(nullptr, &Nothing, 1);
}

// ---------------------------------------------------------------------------
// RecoverSignedDigest
// ---------------------------------------------------------------------------

// The 256-bit key's modulus from the key store, as a GMP number.
class GmpModulus {
 public:
  GmpModulus() {
    const BIG_NUMBER &N = mRsaKeySet[RSA_KEY_SET_INDEX_256 + RSA_KEY_SET_MODULUS];
    mpz_init(Value);
    mpz_import(Value, 32, -1, 1, 0, 0, N.Digits);
  }
  ~GmpModulus() { mpz_clear(Value); }
  GmpModulus(const GmpModulus &) = delete;
  GmpModulus &operator=(const GmpModulus &) = delete;
  mpz_t Value;
};

// What RecoverSignedDigest must give, computed independently: GMP's powm on
// each whole block, the 30 low bytes laid into a 512-byte buffer, the
// triplets applied in order.
Digest32 ModelRecover(const Bytes &Signature) {
  GmpModulus N;
  uint8_t Recovery[512] = {};
  mpz_t Block, Result;
  mpz_init(Block);
  mpz_init(Result);
  for (size_t Index = 0; Index < Signature.size() / 32; Index++) {
    mpz_import(Block, 32, -1, 1, 0, 0, Signature.data() + 32 * Index);
    mpz_powm_ui(Result, Block, 65537, N.Value);
    uint8_t Out[64] = {};
    size_t Count = 0;
    mpz_export(Out, &Count, -1, 1, 0, 0, Result);
    std::copy(Out, Out + 30, Recovery + 30 * Index);
  }
  mpz_clear(Block);
  mpz_clear(Result);
  Digest32 Digest{};
  for (size_t Triplet = 0; Triplet < 32; Triplet++) {
    if (Recovery[3 * Triplet + 2] < 32) {
      Digest[Recovery[3 * Triplet + 2]] = Recovery[3 * Triplet + 1];
    }
  }
  return Digest;
}

// Recovers from an exact-size heap copy of Signature.
EFI_STATUS Recover(const Bytes &Signature, Digest32 &Out) {
  std::unique_ptr<uint8_t[]> Exact(new uint8_t[Signature.empty() ? 1 : Signature.size()]);
  std::copy(Signature.begin(), Signature.end(), Exact.get());
  Out.fill(0xC3);
  return RecoverSignedDigest(Exact.get(), static_cast<UINT32>(Signature.size()), Out.data());
}

Digest32 RecoverOk(const Bytes &Signature) {
  Digest32 Out;
  EXPECT_EQ(Recover(Signature, Out), EFI_SUCCESS) << Signature.size();
  return Out;
}

TestSigner::Digest RandomDigest(std::mt19937_64 &Random) {
  TestSigner::Digest Digest;
  for (auto &Byte : Digest) {
    Byte = static_cast<uint8_t>(Random());
  }
  return Digest;
}

Bytes AsBytes(const TestSigner::Trailer &Trailer) { return Bytes(Trailer.begin(), Trailer.end()); }

// A recovery image of (filler, value, position) triplets.
struct Triplet {
  uint8_t Filler, Value, Position;
};

Bytes TripletBytes(const std::vector<Triplet> &Triplets) {
  Bytes Out;
  for (const auto &T : Triplets) {
    Out.insert(Out.end(), {T.Filler, T.Value, T.Position});
  }
  return Out;
}

TEST(DigestRecoveryTest, SignerModulusIsTheKeyStoreModulus) {
  const TestSigner::Block Modulus = TestSigner::Modulus();
  const BIG_NUMBER &N = mRsaKeySet[RSA_KEY_SET_INDEX_256 + RSA_KEY_SET_MODULUS];
  EXPECT_TRUE(std::equal(Modulus.begin(), Modulus.end(), N.Digits));
  EXPECT_EQ(Modulus[0] & 1, 1) << "N is odd";
  EXPECT_GE(Modulus[31], 0x80) << "N is exactly 256 bits";
}

TEST(DigestRecoveryTest, RoundTripsWithTheSignerForRandomDigests) {
  std::mt19937_64 Random(0xD16E57);
  for (int Round = 0; Round < 300; Round++) {
    const TestSigner::Digest Digest = RandomDigest(Random);
    const TestSigner::Trailer Trailer = TestSigner::SignDigest(Digest, static_cast<uint8_t>(Random()));
    ASSERT_EQ(Trailer.size(), static_cast<size_t>(SIGNATURE_TRAILER_SIZE));
    const Digest32 Got = RecoverOk(AsBytes(Trailer));
    EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Digest.begin())) << Round;
  }
}

TEST(DigestRecoveryTest, SignedImageEndsWithTheTrailer) {
  std::mt19937_64 Random(3);
  const Bytes Image = RandomBytes(Random, 1000);
  const TestSigner::Digest Digest = RandomDigest(Random);
  const Bytes Signed = TestSigner::AppendSignatureTrailer(Image, Digest);
  ASSERT_EQ(Signed.size(), Image.size() + 160);
  EXPECT_TRUE(std::equal(Image.begin(), Image.end(), Signed.begin()));
  const Digest32 Got = RecoverOk(Bytes(Signed.end() - 160, Signed.end()));
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Digest.begin()));
}

TEST(DigestRecoveryTest, SignerBlocksAreBelowTheModulusAndOpenToThePiece) {
  GmpModulus N;
  std::mt19937_64 Random(30);
  for (int Round = 0; Round < 20; Round++) {
    TestSigner::KeptBytes Piece;
    for (auto &Byte : Piece) {
      Byte = static_cast<uint8_t>(Random());
    }
    const TestSigner::Block Block = TestSigner::SignBlock(Piece);
    mpz_t X, M;
    mpz_init(X);
    mpz_init(M);
    mpz_import(X, 32, -1, 1, 0, 0, Block.data());
    EXPECT_LT(mpz_cmp(X, N.Value), 0);
    mpz_powm_ui(M, X, 65537, N.Value);
    uint8_t Out[32] = {};
    size_t Count = 0;
    mpz_export(Out, &Count, -1, 1, 0, 0, M);
    EXPECT_TRUE(std::equal(Piece.begin(), Piece.end(), Out));
    EXPECT_EQ(Out[30], 0);
    EXPECT_EQ(Out[31], 0);
    mpz_clear(X);
    mpz_clear(M);
  }
}

TEST(DigestRecoveryTest, RandomSignaturesMatchTheModel) {
  std::mt19937_64 Random(0x5EED);
  std::vector<size_t> Sizes = {32, 64, 96, 127, 128, 160, 161, 191, 544, 575};
  for (int Draw = 0; Draw < 12; Draw++) {
    Sizes.push_back(Random() % 576);
  }
  for (size_t Size : Sizes) {
    const Bytes Signature = RandomBytes(Random, Size);
    EXPECT_EQ(RecoverOk(Signature), ModelRecover(Signature)) << Size;
  }
}

// Random signatures seldom name positions below 32; these do, through
// signed triplets with random positions 0..40 and random fillers, so that
// many digest bytes and overwrites take part.
TEST(DigestRecoveryTest, RandomTripletsMatchTheModel) {
  std::mt19937_64 Random(0x7819);
  for (int Round = 0; Round < 16; Round++) {
    std::vector<Triplet> Triplets;
    for (int Index = 0; Index < 40; Index++) {
      Triplets.push_back({static_cast<uint8_t>(Random()), static_cast<uint8_t>(Random()), static_cast<uint8_t>(Random() % 41)});
    }
    const Bytes Signature = TestSigner::SignRecoveryBytes(TripletBytes(Triplets), 5);
    ASSERT_EQ(Signature.size(), 160u);
    const Digest32 Got = RecoverOk(Signature);
    EXPECT_EQ(Got, ModelRecover(Signature));

    // The first 32 triplets decide, the later of two with one position wins.
    Digest32 Expected{};
    for (size_t Index = 0; Index < 32; Index++) {
      if (Triplets[Index].Position < 32) {
        Expected[Triplets[Index].Position] = Triplets[Index].Value;
      }
    }
    EXPECT_EQ(Got, Expected);
  }
}

TEST(DigestRecoveryTest, SizeZeroGivesZeros) {
  Digest32 Out;
  Out.fill(0x77);
  EXPECT_EQ(RecoverSignedDigest(nullptr, 0, Out.data()), EFI_SUCCESS);
  EXPECT_EQ(Out, Digest32{});
  EXPECT_EQ(RecoverOk(Bytes{}), Digest32{});
}

TEST(DigestRecoveryTest, PartialFirstBlockGivesZeros) {
  std::mt19937_64 Random(31);
  for (size_t Size = 1; Size < 32; Size++) {
    EXPECT_EQ(RecoverOk(RandomBytes(Random, Size)), Digest32{}) << Size;
  }
}

// 160 bytes are five blocks and 150 recovered bytes; only bytes 0..95 (the
// first four blocks) feed the digest, so the fifth block does not count and
// the fourth does.
TEST(DigestRecoveryTest, Size160UsesFourOfItsFiveBlocks) {
  std::mt19937_64 Random(160);
  const TestSigner::Digest Digest = RandomDigest(Random);
  Bytes Signature = AsBytes(TestSigner::SignDigest(Digest));
  const Digest32 Original = RecoverOk(Signature);
  EXPECT_TRUE(std::equal(Original.begin(), Original.end(), Digest.begin()));

  Bytes FifthChanged = Signature;
  const Bytes Other = RandomBytes(Random, 32);
  std::copy(Other.begin(), Other.end(), FifthChanged.begin() + 128);
  EXPECT_EQ(RecoverOk(FifthChanged), Original);

  // Block 3 holds recovery bytes 90..119: triplets 30 and 31.
  std::vector<Triplet> Triplets;
  for (uint8_t Index = 0; Index < 32; Index++) {
    Triplets.push_back({0, Digest[Index], Index});
  }
  Triplets[31].Value = static_cast<uint8_t>(Digest[31] ^ 0x5A);
  const Digest32 Changed = RecoverOk(TestSigner::SignRecoveryBytes(TripletBytes(Triplets), 5));
  EXPECT_EQ(Changed[31], Digest[31] ^ 0x5A);
  EXPECT_TRUE(std::equal(Changed.begin(), Changed.begin() + 31, Digest.begin()));
}

TEST(DigestRecoveryTest, Size170IgnoresTheLastTenBytes) {
  std::mt19937_64 Random(170);
  const TestSigner::Digest Digest = RandomDigest(Random);
  Bytes Signature = AsBytes(TestSigner::SignDigest(Digest));
  const Bytes Tail = RandomBytes(Random, 10);
  Signature.insert(Signature.end(), Tail.begin(), Tail.end());
  ASSERT_EQ(Signature.size(), 170u);
  const Digest32 Got = RecoverOk(Signature);
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Digest.begin()));
}

TEST(DigestRecoveryTest, PositionsOf32AndAboveChangeNothing) {
  const uint8_t High[16] = {32, 33, 34, 40, 63, 64, 96, 127, 128, 129, 160, 191, 192, 224, 254, 255};
  std::vector<Triplet> Triplets;
  for (uint8_t Index = 0; Index < 32; Index++) {
    Triplets.push_back({0xFF, static_cast<uint8_t>(0xB0 + Index), Index < 16 ? Index : High[Index - 16]});
  }
  const Digest32 Got = RecoverOk(TestSigner::SignRecoveryBytes(TripletBytes(Triplets), 5));
  for (size_t Index = 0; Index < 32; Index++) {
    EXPECT_EQ(Got[Index], Index < 16 ? 0xB0 + Index : 0) << Index;
  }

  // Every triplet at 32 or above: all zeros.
  for (auto &T : Triplets) {
    T.Position = static_cast<uint8_t>(32 + T.Value % 200);
  }
  EXPECT_EQ(RecoverOk(TestSigner::SignRecoveryBytes(TripletBytes(Triplets), 5)), Digest32{});
}

TEST(DigestRecoveryTest, LaterTripletWins) {
  std::vector<Triplet> Triplets;
  for (uint8_t Index = 0; Index < 32; Index++) {
    Triplets.push_back({0, static_cast<uint8_t>(Index + 1), static_cast<uint8_t>(Index % 8)});
  }
  const Digest32 Got = RecoverOk(TestSigner::SignRecoveryBytes(TripletBytes(Triplets), 5));
  for (size_t Index = 0; Index < 8; Index++) {
    EXPECT_EQ(Got[Index], 24 + Index + 1) << Index;  // triplet 24 + Index is the last naming Index
  }
  for (size_t Index = 8; Index < 32; Index++) {
    EXPECT_EQ(Got[Index], 0) << Index;
  }
}

// Triplets beyond the 32nd are not read, even when the signature has them.
TEST(DigestRecoveryTest, OnlyTheFirst32TripletsCount) {
  std::vector<Triplet> Triplets;
  for (uint8_t Index = 0; Index < 32; Index++) {
    Triplets.push_back({0, static_cast<uint8_t>(0x40 + Index), Index});
  }
  for (uint8_t Index = 0; Index < 32; Index++) {
    Triplets.push_back({0, 0xEE, Index});
  }
  const Digest32 Got = RecoverOk(TestSigner::SignRecoveryBytes(TripletBytes(Triplets)));
  for (size_t Index = 0; Index < 32; Index++) {
    EXPECT_EQ(Got[Index], 0x40 + Index) << Index;
  }
}

// A zero block gives 30 zero bytes, that is ten (0, 0, 0) triplets, which
// set digest byte 0 to 0 over what an earlier block put there.
TEST(DigestRecoveryTest, ZeroBlockGivesZeroBytes) {
  std::vector<Triplet> Triplets(10, Triplet{0x11, 0xAB, 0});
  Triplets.resize(32, Triplet{0x22, 0xCD, 5});
  Bytes Signature = TestSigner::SignRecoveryBytes(TripletBytes(Triplets), 5);
  Digest32 Expected{};
  Expected[0] = 0xAB;
  Expected[5] = 0xCD;
  EXPECT_EQ(RecoverOk(Signature), Expected);

  // Block 1 (triplets 10..19) of zeros.
  std::fill(Signature.begin() + 32, Signature.begin() + 64, 0);
  Expected[0] = 0;
  const Digest32 Got = RecoverOk(Signature);
  EXPECT_EQ(Got, Expected);
  EXPECT_EQ(Got, ModelRecover(Signature));
  EXPECT_EQ(RecoverOk(Bytes(160, 0)), Digest32{});
}

TEST(DigestRecoveryTest, SameSignatureSameDigest) {
  std::mt19937_64 Random(5);
  const Bytes First = AsBytes(TestSigner::SignDigest(RandomDigest(Random)));
  const Bytes Second = AsBytes(TestSigner::SignDigest(RandomDigest(Random)));
  const Digest32 Once = RecoverOk(First);
  EXPECT_NE(RecoverOk(Second), Once);
  EXPECT_EQ(RecoverOk(First), Once);
}

// Every call selects the 256-bit key and 30 kept bytes, whatever was
// selected before.
TEST(DigestRecoveryTest, SetsTheKeySizeAndOutputLength) {
  std::mt19937_64 Random(2048);
  const TestSigner::Digest Digest = RandomDigest(Random);
  const Bytes Signature = AsBytes(TestSigner::SignDigest(Digest));
  const uint8_t One = 1;
  SelectRsaKey(1, &One, RSA_KEY_BITS_2048);
  ASSERT_EQ(mRsaKeyBits, RSA_KEY_BITS_2048);
  const Digest32 Got = RecoverOk(Signature);
  EXPECT_TRUE(std::equal(Got.begin(), Got.end(), Digest.begin()));
  EXPECT_EQ(mRsaKeyBits, 256);
  EXPECT_EQ(mRsaOutputLength, 30);
}

// ---------------------------------------------------------------------------
// Hostile signatures
// ---------------------------------------------------------------------------

// 17 blocks fill 510 of the 512 recovery bytes: the largest accepted size.
TEST(DigestRecoveryTest, SeventeenBlocksOfAllOnesAreAccepted) {
  for (size_t Size : {544u, 560u, 575u}) {
    const Bytes Signature(Size, 0xFF);
    EXPECT_EQ(RecoverOk(Signature), ModelRecover(Signature)) << Size;
  }
}

TEST(DigestRecoveryTest, SignaturesBeyondTheRecoveryBufferAreRefused) {
  for (size_t Size : {576u, 577u, 608u, 1000u, 4096u}) {
    const Bytes Signature(Size, 0xFF);
    Digest32 Out;
    EXPECT_EQ(Recover(Signature, Out), EFI_INVALID_PARAMETER) << Size;
    Digest32 Untouched;
    Untouched.fill(0xC3);
    EXPECT_EQ(Out, Untouched) << Size;
  }

  // A size far beyond the buffer that holds the bytes: refused before
  // anything is read (the sanitizer build sees any read of the small buffer's
  // neighbours).
  std::unique_ptr<uint8_t[]> Small(new uint8_t[32]());
  Digest32 Out;
  Out.fill(0x3C);
  EXPECT_EQ(RecoverSignedDigest(Small.get(), 0xFFFFFFFFu, Out.data()), EFI_INVALID_PARAMETER);
  EXPECT_EQ(RecoverSignedDigest(Small.get(), 576, Out.data()), EFI_INVALID_PARAMETER);
  Digest32 Untouched;
  Untouched.fill(0x3C);
  EXPECT_EQ(Out, Untouched);
}

TEST(DigestRecoveryTest, NullArguments) {
  const Bytes Signature(160, 0x01);
  EXPECT_EQ(RecoverSignedDigest(Signature.data(), 160, nullptr), EFI_INVALID_PARAMETER);
  Digest32 Out;
  Out.fill(0x99);
  EXPECT_EQ(RecoverSignedDigest(nullptr, 160, Out.data()), EFI_INVALID_PARAMETER);
  Digest32 Untouched;
  Untouched.fill(0x99);
  EXPECT_EQ(Out, Untouched);
}

TEST(DigestRecoveryTest, WritesExactly32Bytes) {
  std::mt19937_64 Random(32);
  const TestSigner::Digest Digest = RandomDigest(Random);
  const Bytes Signature = AsBytes(TestSigner::SignDigest(Digest));
  uint8_t Out[48];
  std::memset(Out, 0xEE, sizeof(Out));
  ASSERT_EQ(RecoverSignedDigest(Signature.data(), 160, Out + 8), EFI_SUCCESS);
  for (size_t Index = 0; Index < 8; Index++) {
    EXPECT_EQ(Out[Index], 0xEE) << Index;
    EXPECT_EQ(Out[40 + Index], 0xEE) << 40 + Index;
  }
  EXPECT_TRUE(std::equal(Digest.begin(), Digest.end(), Out + 8));
}

}  // namespace
