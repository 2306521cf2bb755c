// Multi-precision arithmetic, the RSA public operation and the key store,
// checked against GMP as an independent reference: RsaPublicOperation against
// mpz_powm for thousands of random blocks (fixed seed) and the edge cases
// (zero, N, multiples of N, values above N, leading zeros); the key store's
// Montgomery identities for all three sets; every arithmetic operation on
// random operands and at its boundaries (borrow out of the top, carry at the
// capacity, shifts and products cut at 769 digits, digits left above Length).
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "BigNum.h"
#include "Tools/signer/TestKeyPrivate.h"

namespace {

constexpr unsigned kBits[] = {256, 2048, 3072};
constexpr size_t kCapacityBits = 8 * BIG_NUMBER_MAX_LENGTH;

struct Mpz {
  mpz_t V;
  Mpz() { mpz_init(V); }
  explicit Mpz(unsigned long Value) { mpz_init_set_ui(V, Value); }
  ~Mpz() { mpz_clear(V); }
  Mpz(const Mpz &) = delete;
  Mpz &operator=(const Mpz &) = delete;
};

// The value of a number's first Length digits.
void ToMpz(const BIG_NUMBER &A, mpz_t Out) { mpz_import(Out, size_t(A.Length), -1, 1, 0, 0, A.Digits); }

// A normalised number holding Value (which must fit), digits above Length
// set to Fill.
BIG_NUMBER FromMpz(const mpz_t Value, uint8_t Fill = 0) {
  BIG_NUMBER A;
  std::memset(A.Digits, Fill, sizeof(A.Digits));
  size_t Count = 0;
  std::vector<uint8_t> Bytes((mpz_sizeinbase(Value, 2) + 7) / 8 + 1, 0);
  mpz_export(Bytes.data(), &Count, -1, 1, 0, 0, Value);
  EXPECT_LE(Count, size_t(BIG_NUMBER_MAX_LENGTH));
  if (Count == 0) {
    A.Digits[0] = 0;
    Count = 1;
  }
  std::memcpy(A.Digits, Bytes.data(), Count);
  A.Length = INT16(Count);
  return A;
}

void ExpectValue(const BIG_NUMBER &A, const mpz_t Expected) {
  Mpz Got;
  ToMpz(A, Got.V);
  ASSERT_GE(A.Length, 1);
  ASSERT_LE(A.Length, BIG_NUMBER_MAX_LENGTH);
  EXPECT_EQ(mpz_cmp(Got.V, Expected), 0) << "got " << mpz_get_str(nullptr, 16, Got.V);
  // Normalised: no leading zero digit above the first.
  if (A.Length > 1) {
    EXPECT_NE(A.Digits[A.Length - 1], 0) << "not normalised";
  }
}

// A random number of Digits digits (top digit non-zero).
void RandomMpz(std::mt19937_64 &Rng, size_t Digits, mpz_t Out) {
  std::vector<uint8_t> Bytes(Digits);
  for (auto &Byte : Bytes) Byte = uint8_t(Rng());
  Bytes.back() |= 1;
  mpz_import(Out, Digits, -1, 1, 0, 0, Bytes.data());
}

void StoredNumber(unsigned Bits, size_t Which, mpz_t Out) {
  size_t Set = (Bits == 256) ? RSA_KEY_SET_INDEX_256 : (Bits == 2048) ? RSA_KEY_SET_INDEX_2048 : RSA_KEY_SET_INDEX_3072;
  mpz_import(Out, Bits / 8, -1, 1, 0, 0, mRsaKeySet[Set + Which].Digits);
}

// RsaPublicOperation on a ByteCount-byte block, compared with
// Block^65537 mod N; Out's digits above its length must be zero.
void ExpectPublicOperation(unsigned Bits, const std::vector<uint8_t> &Block) {
  Mpz N, X, Expected, E(65537);
  StoredNumber(Bits, RSA_KEY_SET_MODULUS, N.V);
  mpz_import(X.V, Block.size(), -1, 1, 0, 0, Block.data());
  mpz_powm(Expected.V, X.V, E.V, N.V);
  SelectRsaKey(Block.size(), Block.data(), INT32(Bits));
  BIG_NUMBER Out;
  std::memset(&Out, 0xA5, sizeof(Out));
  RsaPublicOperation(&Out);
  ExpectValue(Out, Expected.V);
  for (size_t Index = size_t(Out.Length); Index < Bits / 8; ++Index) {
    ASSERT_EQ(Out.Digits[Index], 0) << "digit " << Index << " above the length";
  }
}

std::vector<uint8_t> Bytes(const mpz_t Value, size_t Count) {
  std::vector<uint8_t> Out(Count, 0);
  size_t Written = 0;
  mpz_export(Out.data(), &Written, -1, 1, 0, 0, Value);
  return Out;
}

// ---------------------------------------------------------------------------
// The key store.
// ---------------------------------------------------------------------------

TEST(KeyStoreTest, MontgomeryIdentitiesHoldForEverySet) {
  for (unsigned Bits : kBits) {
    SCOPED_TRACE(Bits);
    Mpz N, NPrime, RInverse, R, Product;
    StoredNumber(Bits, RSA_KEY_SET_MODULUS, N.V);
    StoredNumber(Bits, RSA_KEY_SET_N_PRIME, NPrime.V);
    StoredNumber(Bits, RSA_KEY_SET_R_INVERSE, RInverse.V);
    mpz_setbit(R.V, Bits);
    // N is odd and exactly Bits bits long.
    EXPECT_TRUE(mpz_odd_p(N.V));
    EXPECT_EQ(mpz_sizeinbase(N.V, 2), Bits);
    // N' * N = -1 (mod R), N' below R.
    mpz_mul(Product.V, NPrime.V, N.V);
    mpz_add_ui(Product.V, Product.V, 1);
    EXPECT_TRUE(mpz_divisible_2exp_p(Product.V, Bits));
    EXPECT_LT(mpz_cmp(NPrime.V, R.V), 0);
    // Rinv * R = 1 (mod N), Rinv below N.
    mpz_mul(Product.V, RInverse.V, R.V);
    mpz_mod(Product.V, Product.V, N.V);
    EXPECT_EQ(mpz_cmp_ui(Product.V, 1), 0);
    EXPECT_LT(mpz_cmp(RInverse.V, N.V), 0);
    // KeyBytes digits, digits above them zero.
    size_t Set = (Bits == 256) ? 0 : (Bits == 2048) ? 3 : 6;
    for (size_t Which = 0; Which < 3; ++Which) {
      EXPECT_EQ(mRsaKeySet[Set + Which].Length, INT16(Bits / 8));
      for (size_t Index = Bits / 8; Index < BIG_NUMBER_DIGITS; ++Index) {
        ASSERT_EQ(mRsaKeySet[Set + Which].Digits[Index], 0);
      }
    }
  }
}

TEST(KeyStoreTest, TestKeyPrivateExponentInvertsThePublicOperation) {
  Mpz N, D, X, Signed, Back, E(65537);
  StoredNumber(256, RSA_KEY_SET_MODULUS, N.V);
  Mpz TestN;
  mpz_import(TestN.V, TestSigner::kTestKeyBytes, -1, 1, 0, 0, TestSigner::kTestKeyModulus);
  EXPECT_EQ(mpz_cmp(TestN.V, N.V), 0) << "the signer's modulus is the driver's 256-bit N";
  mpz_import(D.V, TestSigner::kTestKeyBytes, -1, 1, 0, 0, TestSigner::kTestKeyPrivateExponent);
  std::mt19937_64 Rng(7);
  for (int Round = 0; Round < 50; ++Round) {
    RandomMpz(Rng, 30, X.V);
    mpz_powm(Signed.V, X.V, D.V, N.V);
    mpz_powm(Back.V, Signed.V, E.V, N.V);
    ASSERT_EQ(mpz_cmp(Back.V, X.V), 0);
    // The driver's operation recovers it too.
    ExpectPublicOperation(256, Bytes(Signed.V, 32));
  }
}

// ---------------------------------------------------------------------------
// RsaPublicOperation against mpz_powm.
// ---------------------------------------------------------------------------

TEST(RsaPublicOperationTest, MatchesGmpForRandomBlocks) {
  std::mt19937_64 Rng(0x5EED0001);
  for (int Round = 0; Round < 2000; ++Round) {
    std::vector<uint8_t> Block(32);
    for (auto &Byte : Block) Byte = uint8_t(Rng());
    ExpectPublicOperation(256, Block);
    if (HasFailure()) FAIL() << "round " << Round;
  }
}

TEST(RsaPublicOperationTest, LeadingZerosKeepTheLengthAndTheValue) {
  std::mt19937_64 Rng(0x5EED0002);
  for (size_t Significant = 0; Significant <= 32; ++Significant) {
    std::vector<uint8_t> Block(32, 0);
    for (size_t Index = 0; Index < Significant; ++Index) Block[Index] = uint8_t(Rng() | 1);
    SelectRsaKey(32, Block.data(), 256);
    EXPECT_EQ(mRsaOperand.Length, 32) << "not normalised on loading";
    ExpectPublicOperation(256, Block);
  }
}

TEST(RsaPublicOperationTest, ZeroNAndMultiplesOfNGiveZero) {
  Mpz N, Multiple, Zero;
  StoredNumber(256, RSA_KEY_SET_MODULUS, N.V);
  ExpectPublicOperation(256, std::vector<uint8_t>(32, 0));
  ExpectPublicOperation(256, Bytes(N.V, 32));
  // Wider operands hold larger multiples of N.
  std::mt19937_64 Rng(0x5EED0003);
  for (size_t Width : {40u, 64u, 100u}) {
    for (int Round = 0; Round < 5; ++Round) {
      Mpz K;
      RandomMpz(Rng, Width - 33, K.V);
      mpz_mul(Multiple.V, N.V, K.V);
      SelectRsaKey(Width, Bytes(Multiple.V, Width).data(), 256);
      BIG_NUMBER Out;
      RsaPublicOperation(&Out);
      ExpectValue(Out, Zero.V);
    }
  }
}

TEST(RsaPublicOperationTest, ValuesAtAndAboveN) {
  Mpz N, Value, Top;
  StoredNumber(256, RSA_KEY_SET_MODULUS, N.V);
  mpz_setbit(Top.V, 256);
  for (long Offset : {-2L, -1L, 1L, 2L, 1000L}) {
    if (Offset < 0) mpz_sub_ui(Value.V, N.V, (unsigned long)-Offset);
    else mpz_add_ui(Value.V, N.V, (unsigned long)Offset);
    ExpectPublicOperation(256, Bytes(Value.V, 32));
  }
  mpz_sub_ui(Value.V, Top.V, 1);
  ExpectPublicOperation(256, Bytes(Value.V, 32));  // 256^32 - 1
  std::vector<uint8_t> One(32, 0);
  One[0] = 1;
  ExpectPublicOperation(256, One);
  ExpectPublicOperation(256, {2});  // a one-byte operand
}

TEST(RsaPublicOperationTest, LargerKeysMatchGmp) {
  std::mt19937_64 Rng(0x5EED0004);
  for (unsigned Bits : {2048u, 3072u}) {
    SCOPED_TRACE(Bits);
    for (int Round = 0; Round < 2; ++Round) {
      std::vector<uint8_t> Block(Bits / 8);
      for (auto &Byte : Block) Byte = uint8_t(Rng());
      ExpectPublicOperation(Bits, Block);
    }
    EXPECT_EQ(mRsaKeyBits, INT32(Bits));
    EXPECT_EQ(mRsaOutputLength, INT32(Bits / 8 - 2));
  }
  // Back to the 256-bit key after a larger one.
  ExpectPublicOperation(256, std::vector<uint8_t>(32, 0xC3));
}

TEST(RsaPublicOperationTest, SelectRsaKeyBoundsAndUnknownSizes) {
  std::vector<uint8_t> Block(32, 0x11);
  SelectRsaKey(32, Block.data(), 2048);
  BIG_NUMBER Modulus2048 = mRsaModulus;
  // An unknown size keeps settings and key numbers, loads the operand.
  for (INT32 Bits : {0, 8, 512, -256, 100000}) {
    SelectRsaKey(5, Block.data(), Bits);
    EXPECT_EQ(mRsaKeyBits, 2048);
    EXPECT_EQ(mRsaOutputLength, 254);
    EXPECT_EQ(std::memcmp(&mRsaModulus, &Modulus2048, sizeof(BIG_NUMBER)), 0);
    EXPECT_EQ(mRsaOperand.Length, 5);
  }
  // No bytes load zero; more than 769 bytes load 769.
  SelectRsaKey(0, Block.data(), 256);
  EXPECT_EQ(mRsaOperand.Length, 1);
  EXPECT_EQ(mRsaOperand.Digits[0], 0);
  SelectRsaKey(32, nullptr, 256);
  EXPECT_EQ(mRsaOperand.Length, 1);
  std::vector<uint8_t> Long(1000, 0x7E);
  SelectRsaKey(Long.size(), Long.data(), 256);
  EXPECT_EQ(mRsaOperand.Length, BIG_NUMBER_MAX_LENGTH);
  EXPECT_EQ(mRsaOperand.Digits[BIG_NUMBER_MAX_LENGTH], 0);
  ExpectPublicOperation(256, std::vector<uint8_t>(Long.begin(), Long.begin() + BIG_NUMBER_MAX_LENGTH));
  // Without a modulus the result is zero (and the call ends).
  SelectRsaKey(32, Block.data(), 256);
  std::memset(&mRsaModulus, 0, sizeof(mRsaModulus));
  mRsaModulus.Length = 1;
  BIG_NUMBER Out;
  RsaPublicOperation(&Out);
  EXPECT_EQ(Out.Length, 1);
  EXPECT_EQ(Out.Digits[0], 0);
}

// ---------------------------------------------------------------------------
// The Montgomery steps.
// ---------------------------------------------------------------------------

TEST(BigNumMontgomeryTest, MultiplyAndConversionsMatchGmp) {
  std::mt19937_64 Rng(0x5EED0005);
  for (unsigned Bits : kBits) {
    SCOPED_TRACE(Bits);
    SelectRsaKey(0, nullptr, INT32(Bits));
    Mpz N, R, RInverse, A, B, Expected;
    StoredNumber(Bits, RSA_KEY_SET_MODULUS, N.V);
    mpz_setbit(R.V, Bits);
    mpz_invert(RInverse.V, R.V, N.V);
    for (int Round = 0; Round < (Bits == 256 ? 200 : 3); ++Round) {
      RandomMpz(Rng, Bits / 8, A.V);
      RandomMpz(Rng, Bits / 8, B.V);
      mpz_mod(A.V, A.V, N.V);
      mpz_mod(B.V, B.V, N.V);
      BIG_NUMBER BigA = FromMpz(A.V), BigB = FromMpz(B.V), Out;
      MontgomeryMultiply(&BigA, &BigB, &Out);
      mpz_mul(Expected.V, A.V, B.V);
      mpz_mul(Expected.V, Expected.V, RInverse.V);
      mpz_mod(Expected.V, Expected.V, N.V);
      ExpectValue(Out, Expected.V);
      ToMontgomery(&BigA, &Out);
      mpz_mul(Expected.V, A.V, R.V);
      mpz_mod(Expected.V, Expected.V, N.V);
      ExpectValue(Out, Expected.V);
      FromMontgomery(&Out, &Out);
      ExpectValue(Out, A.V);
    }
    // N itself behaves as zero: the product is 0 or N.
    BIG_NUMBER BigN = FromMpz(N.V), Out;
    BIG_NUMBER Two = FromMpz(Mpz(2).V);
    MontgomeryMultiply(&BigN, &Two, &Out);
    Mpz Got;
    ToMpz(Out, Got.V);
    EXPECT_TRUE(mpz_cmp_ui(Got.V, 0) == 0 || mpz_cmp(Got.V, N.V) == 0);
  }
}

TEST(BigNumMontgomeryTest, PowerIsT65537InMontgomeryForm) {
  SelectRsaKey(0, nullptr, 256);
  Mpz N, R, RInverse, T, Expected, E(65537);
  StoredNumber(256, RSA_KEY_SET_MODULUS, N.V);
  mpz_setbit(R.V, 256);
  mpz_invert(RInverse.V, R.V, N.V);
  std::mt19937_64 Rng(0x5EED0006);
  RandomMpz(Rng, 31, T.V);
  // Y = T^65537 * R^-65536 mod N.
  mpz_powm(Expected.V, T.V, E.V, N.V);
  Mpz Scale, Exponent(65536);
  mpz_powm(Scale.V, RInverse.V, Exponent.V, N.V);
  mpz_mul(Expected.V, Expected.V, Scale.V);
  mpz_mod(Expected.V, Expected.V, N.V);
  BIG_NUMBER BigT = FromMpz(T.V);
  MontgomeryPower65537(&BigT, &BigT);
  ExpectValue(BigT, Expected.V);
}

// ---------------------------------------------------------------------------
// The arithmetic operations.
// ---------------------------------------------------------------------------

TEST(BigNumTest, AddSubMulModMatchGmpWithStaleDigitsAboveLength) {
  std::mt19937_64 Rng(0x5EED0007);
  Mpz A, B, Expected, Capacity;
  mpz_setbit(Capacity.V, kCapacityBits);
  for (int Round = 0; Round < 300; ++Round) {
    RandomMpz(Rng, 1 + Rng() % 384, A.V);
    RandomMpz(Rng, 1 + Rng() % 384, B.V);
    // Garbage above Length must not take part.
    BIG_NUMBER BigA = FromMpz(A.V, 0xEE), BigB = FromMpz(B.V, 0x77), Out;
    BigNumAdd(&BigA, &BigB, &Out);
    mpz_add(Expected.V, A.V, B.V);
    ExpectValue(Out, Expected.V);
    BigNumSub(&BigA, &BigB, &Out);
    mpz_sub(Expected.V, A.V, B.V);
    mpz_mod(Expected.V, Expected.V, Capacity.V);  // two's complement below zero
    ExpectValue(Out, Expected.V);
    BigNumMul(&BigA, &BigB, &Out);
    mpz_mul(Expected.V, A.V, B.V);
    ExpectValue(Out, Expected.V);
    BigNumMod(&Out, &BigB, &Out);  // output aliasing the input
    mpz_mod(Expected.V, Expected.V, B.V);
    ExpectValue(Out, Expected.V);
    EXPECT_EQ(BigNumIsGreater(&BigA, &BigB), mpz_cmp(A.V, B.V) > 0);
    ASSERT_FALSE(HasFailure()) << "round " << Round;
  }
}

TEST(BigNumTest, SubBorrowGivesTwosComplementOf769Digits) {
  BIG_NUMBER One = FromMpz(Mpz(1).V), Two = FromMpz(Mpz(2).V), Out;
  BigNumSub(&One, &Two, &Out);
  ASSERT_EQ(Out.Length, BIG_NUMBER_MAX_LENGTH);
  for (size_t Index = 0; Index < BIG_NUMBER_MAX_LENGTH; ++Index) ASSERT_EQ(Out.Digits[Index], 0xFF) << Index;
  BigNumSub(&Two, &Two, &Out);
  EXPECT_EQ(Out.Length, 1);
  EXPECT_EQ(Out.Digits[0], 0);
}

TEST(BigNumTest, AddCarryAtCapacityIsDroppedAndMulIsCut) {
  Mpz Max, Expected, Capacity;
  mpz_setbit(Capacity.V, kCapacityBits);
  mpz_sub_ui(Max.V, Capacity.V, 1);
  BIG_NUMBER BigMax = FromMpz(Max.V), One = FromMpz(Mpz(1).V), Out;
  BigNumAdd(&BigMax, &One, &Out);
  ExpectValue(Out, Mpz(0).V);
  BigNumAdd(&BigMax, &BigMax, &Out);
  mpz_mul_2exp(Expected.V, Max.V, 1);
  mpz_mod(Expected.V, Expected.V, Capacity.V);
  ExpectValue(Out, Expected.V);
  // A product beyond 769 digits keeps its low 769 digits.
  std::mt19937_64 Rng(0x5EED0008);
  for (int Round = 0; Round < 20; ++Round) {
    Mpz A, B;
    RandomMpz(Rng, 300 + Rng() % 469, A.V);
    RandomMpz(Rng, 300 + Rng() % 469, B.V);
    BIG_NUMBER BigA = FromMpz(A.V), BigB = FromMpz(B.V);
    BigNumMul(&BigA, &BigB, &BigA);
    mpz_mul(Expected.V, A.V, B.V);
    mpz_mod(Expected.V, Expected.V, Capacity.V);
    ExpectValue(BigA, Expected.V);
  }
}

TEST(BigNumTest, IsGreaterAndCopy) {
  BIG_NUMBER A = FromMpz(Mpz(0x123456).V), B = A;
  EXPECT_FALSE(BigNumIsGreater(&A, &B));
  B.Digits[0]++;
  EXPECT_TRUE(BigNumIsGreater(&B, &A));
  EXPECT_FALSE(BigNumIsGreater(&A, &B));
  B = FromMpz(Mpz(0x1000000).V);  // longer
  EXPECT_TRUE(BigNumIsGreater(&B, &A));
  // Leading zero digits do not make a number greater.
  BIG_NUMBER Padded = A;
  Padded.Digits[3] = Padded.Digits[4] = 0;
  Padded.Length = 5;
  EXPECT_FALSE(BigNumIsGreater(&Padded, &A));
  EXPECT_FALSE(BigNumIsGreater(&A, &Padded));
  BIG_NUMBER Copy;
  std::memset(&Copy, 0x55, sizeof(Copy));
  BigNumCopy(&B, &Copy);
  ExpectValue(Copy, Mpz(0x1000000).V);
}

TEST(BigNumTest, ModEdgeCases) {
  std::mt19937_64 Rng(0x5EED0009);
  Mpz M, A;
  RandomMpz(Rng, 32, M.V);
  BIG_NUMBER BigM = FromMpz(M.V), Out;
  BigNumMod(&BigM, &BigM, &Out);
  ExpectValue(Out, Mpz(0).V);
  mpz_sub_ui(A.V, M.V, 1);
  BIG_NUMBER Below = FromMpz(A.V);
  BigNumMod(&Below, &BigM, &Out);
  ExpectValue(Out, A.V);
  BIG_NUMBER Zero = FromMpz(Mpz(0).V);
  BigNumMod(&Below, &Zero, &Out);  // a zero modulus leaves the number
  ExpectValue(Out, A.V);
  // ReduceBySubtraction: 10 * S + 3 leaves 3; a zero S subtracts nothing.
  BIG_NUMBER S = FromMpz(Mpz(1000).V), V = FromMpz(Mpz(10003).V);
  BigNumReduceBySubtraction(&V, &S, &Out);
  ExpectValue(Out, Mpz(3).V);
  BigNumReduceBySubtraction(&V, &Zero, &Out);
  ExpectValue(Out, Mpz(10003).V);
}

TEST(BigNumTest, ShiftRight1) {
  BIG_NUMBER E = FromMpz(Mpz(1).V);
  EXPECT_FALSE(BigNumShiftRight1(&E));
  EXPECT_EQ(E.Length, 1);
  EXPECT_EQ(E.Digits[0], 0);
  E = FromMpz(Mpz(65537).V);
  int Trues = 0;
  while (BigNumShiftRight1(&E)) {
    ++Trues;
    ASSERT_LE(Trues, 17);
  }
  EXPECT_EQ(Trues, 16);
  E = FromMpz(Mpz(0x1FF01).V);
  EXPECT_TRUE(BigNumShiftRight1(&E));
  ExpectValue(E, Mpz(0xFF80).V);
}

TEST(BigNumTest, ShiftLeftDigitsDivRModR) {
  SelectRsaKey(0, nullptr, 256);
  std::mt19937_64 Rng(0x5EED000A);
  Mpz A, Expected, Capacity;
  mpz_setbit(Capacity.V, kCapacityBits);
  for (size_t K : {0u, 1u, 31u, 32u, 100u, 500u, 768u, 769u, 2000u}) {
    RandomMpz(Rng, 40, A.V);
    BIG_NUMBER BigA = FromMpz(A.V, 0xAB);  // stale digits between Length and K
    BigNumShiftLeftDigits(&BigA, K);
    mpz_mul_2exp(Expected.V, A.V, 8 * K);
    mpz_mod(Expected.V, Expected.V, Capacity.V);
    ExpectValue(BigA, Expected.V);
  }
  // DivR of KeyBytes digits or fewer is zero with Length 1.
  for (size_t Digits : {1u, 31u, 32u}) {
    RandomMpz(Rng, Digits, A.V);
    BIG_NUMBER BigA = FromMpz(A.V);
    BigNumDivR(&BigA);
    ExpectValue(BigA, Mpz(0).V);
  }
  for (size_t Digits : {33u, 64u, 400u, 769u}) {
    RandomMpz(Rng, Digits, A.V);
    BIG_NUMBER BigA = FromMpz(A.V), BigB = FromMpz(A.V);
    BigNumDivR(&BigA);
    mpz_fdiv_q_2exp(Expected.V, A.V, 256);
    ExpectValue(BigA, Expected.V);
    BigNumModR(&BigB);
    mpz_fdiv_r_2exp(Expected.V, A.V, 256);
    ExpectValue(BigB, Expected.V);
  }
}

}  // namespace
