/** @file
  Multi-precision arithmetic and the RSA public-key operation of the
  signature check: m = X^65537 mod N.

  Numbers are BIG_NUMBERs: base-256 digits, least significant first, of a
  fixed capacity, never allocated. Exponentiation uses Montgomery
  multiplication (REDC) with the constants N' = -N^-1 mod R and
  Rinv = R^-1 mod N that come precomputed with each key (R = 2^KeyBits); the
  remainder runs by repeated subtraction, one digit position at a time.

  The key store mRsaKeySet holds one key set (N, N', Rinv) for each of 256,
  2048 and 3072 bits; SelectRsaKey copies one set and the operand into the
  driver-wide work numbers, and RsaPublicOperation computes the result from
  them. The work numbers and the KeyBits / OutLen settings are driver-wide,
  so nothing here is re-entrant.

  Bounds: no operation reads or writes a digit outside Digits[], whatever a
  number's Length says (Length is taken as 1 when below 1 and as
  BIG_NUMBER_MAX_LENGTH when above), and no operation reads a digit at or
  above an operand's Length, so digits left above Length never matter.

  Calling order for one block:
    SelectRsaKey (32, Block, 256);
    RsaPublicOperation (&Out);
    the low mRsaOutputLength digits of Out are the result.
**/

#ifndef __CAMERA_BIG_NUM_H__
#define __CAMERA_BIG_NUM_H__

#include "FirmwareInterfaces.h"

///
/// Digit capacity of a BIG_NUMBER, and the most digits a number may use:
/// the product of two 3072-bit numbers (768 digits) plus a carry digit. The
/// last byte of Digits is spare.
///
#define BIG_NUMBER_DIGITS      770
#define BIG_NUMBER_MAX_LENGTH  769

///
/// An unsigned integer in base 256. Zero is one digit 0 with Length 1;
/// results are normalised (no leading zero digit above the first). A
/// subtraction that borrows out of the top gives the two's complement modulo
/// 256^769 (769 digits).
///
typedef struct {
  UINT8    Digits[BIG_NUMBER_DIGITS];   ///< Least significant digit first.
  INT16    Length;                      ///< Significant digits, 1..769.
} BIG_NUMBER;

STATIC_ASSERT (sizeof (BIG_NUMBER) == 772, "770 digits and a 16-bit length");
STATIC_ASSERT (OFFSET_OF (BIG_NUMBER, Length) == 770, "length after the digits");
STATIC_ASSERT (BIG_NUMBER_MAX_LENGTH == 2 * (3072 / 8) + 1, "a 3072-bit product plus a carry digit");

//
// The key sizes of the key store, in bits.
//
#define RSA_KEY_BITS_256   256
#define RSA_KEY_BITS_2048  2048
#define RSA_KEY_BITS_3072  3072

///
/// The public exponent of every key; not stored with the keys.
///
#define RSA_PUBLIC_EXPONENT  65537

//
// The key store: RSA_KEY_SET_COUNT sets of RSA_KEY_SET_NUMBERS numbers, the
// 256-bit set first, then the 2048-bit and the 3072-bit set. Within a set:
// the modulus N, then N' = -N^-1 mod R, then Rinv = R^-1 mod N. Each number
// holds KeyBytes digits, least significant first; its stored Length is not
// used (selection sets it to KeyBytes) and digits above KeyBytes are zero.
//
#define RSA_KEY_SET_COUNT            3
#define RSA_KEY_SET_NUMBERS          3
#define RSA_KEY_SET_MODULUS          0
#define RSA_KEY_SET_N_PRIME          1
#define RSA_KEY_SET_R_INVERSE        2
#define RSA_KEY_SET_INDEX_256        (0 * RSA_KEY_SET_NUMBERS)
#define RSA_KEY_SET_INDEX_2048       (1 * RSA_KEY_SET_NUMBERS)
#define RSA_KEY_SET_INDEX_3072       (2 * RSA_KEY_SET_NUMBERS)
#define RSA_KEY_STORE_NUMBERS        (RSA_KEY_SET_COUNT * RSA_KEY_SET_NUMBERS)

///
/// The key store: nine numbers, public-key material only. Defined once, in
/// the generated KeyStore.cpp (see docs/KEYS.md).
///
typedef BIG_NUMBER RSA_KEY_SET[RSA_KEY_STORE_NUMBERS];

STATIC_ASSERT (sizeof (RSA_KEY_SET) == 9 * sizeof (BIG_NUMBER), "three sets of N, N' and Rinv");

extern CONST RSA_KEY_SET  mRsaKeySet;

//
// Driver-wide settings: the selected key size in bits (256 when the driver
// loads) and the number of result bytes a caller takes per block
// (KeyBits / 8 - 2).
//
extern INT32  mRsaKeyBits;
extern INT32  mRsaOutputLength;

//
// Driver-wide work numbers: the operand X, the Montgomery-form temporary T
// and the selected key's N, N' and Rinv. Zero until SelectRsaKey first runs.
//
extern BIG_NUMBER  mRsaOperand;
extern BIG_NUMBER  mRsaMontgomeryValue;
extern BIG_NUMBER  mRsaModulus;
extern BIG_NUMBER  mRsaNPrime;
extern BIG_NUMBER  mRsaRInverse;

/**
  Copies a number: Dst.Length = Src.Length and the first Length digits.

  @param[in]  Src  The number to copy.
  @param[out] Dst  Receives the copy; may be Src.
**/
VOID
EFIAPI
BigNumCopy (
  IN  CONST BIG_NUMBER  *Src,
  OUT BIG_NUMBER        *Dst
  );

/**
  Compares two numbers by value.

  @param[in] A  The first number.
  @param[in] B  The second number.

  @retval TRUE   A > B.
  @retval FALSE  A <= B (equal numbers give FALSE).
**/
BOOLEAN
EFIAPI
BigNumIsGreater (
  IN CONST BIG_NUMBER  *A,
  IN CONST BIG_NUMBER  *B
  );

/**
  Out = A + B. A carry out of digit 769 is dropped.

  @param[in]  A    The first addend.
  @param[in]  B    The second addend.
  @param[out] Out  Receives the normalised sum; may be A or B.
**/
VOID
EFIAPI
BigNumAdd (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *B,
  OUT BIG_NUMBER        *Out
  );

/**
  Out = A - B. When B > A the result is the two's complement modulo
  256^769: every digit above the difference is 0xFF and Length is 769.

  @param[in]  A    The minuend.
  @param[in]  B    The subtrahend.
  @param[out] Out  Receives the normalised difference; may be A or B.
**/
VOID
EFIAPI
BigNumSub (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *B,
  OUT BIG_NUMBER        *Out
  );

/**
  Out = A x B, cut to the low 769 digits (schoolbook, 32-bit intermediate
  sums).

  @param[in]  A    The first factor.
  @param[in]  B    The second factor.
  @param[out] Out  Receives the normalised product; may be A or B.
**/
VOID
EFIAPI
BigNumMul (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *B,
  OUT BIG_NUMBER        *Out
  );

/**
  A = A x 256^K, in place. Digits that would land at index 769 or above are
  dropped.

  @param[in, out] A  The number to shift.
  @param[in]      K  Number of digit positions.
**/
VOID
EFIAPI
BigNumShiftLeftDigits (
  IN OUT BIG_NUMBER  *A,
  IN     UINTN       K
  );

/**
  A = A / R, in place: drops the KeyBytes lowest digits. A number of
  KeyBytes digits or fewer becomes zero with Length 1.

  @param[in, out] A  The number to divide.
**/
VOID
EFIAPI
BigNumDivR (
  IN OUT BIG_NUMBER  *A
  );

/**
  A = A mod R, in place: clears the digits from KeyBytes up and normalises.

  @param[in, out] A  The number to reduce.
**/
VOID
EFIAPI
BigNumModR (
  IN OUT BIG_NUMBER  *A
  );

/**
  E = E >> 1, in place.

  @param[in, out] E  The number to shift.

  @retval TRUE   The result is not zero.
  @retval FALSE  The result is zero.
**/
BOOLEAN
EFIAPI
BigNumShiftRight1 (
  IN OUT BIG_NUMBER  *E
  );

/**
  Out = A after subtracting S as long as the value is not below S. Works on
  copies of both inputs. A zero S subtracts nothing.

  @param[in]  A    The number to reduce.
  @param[in]  S    The number to subtract.
  @param[out] Out  Receives the remainder; may be A or S.
**/
VOID
EFIAPI
BigNumReduceBySubtraction (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *S,
  OUT BIG_NUMBER        *Out
  );

/**
  Out = A mod M, by long division with repeated subtraction, one digit
  position at a time from the top. A zero M gives Out = A.

  @param[in]  A    The dividend.
  @param[in]  M    The modulus.
  @param[out] Out  Receives the remainder, below M; may be A or M.
**/
VOID
EFIAPI
BigNumMod (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *M,
  OUT BIG_NUMBER        *Out
  );

/**
  Out = A x B x R^-1 mod N (REDC) with N and N' of the selected key. For A
  and B not above N the result is not above N; a result equal to N is left
  unchanged (it is congruent to 0).

  @param[in]  A    The first factor, in Montgomery form.
  @param[in]  B    The second factor, in Montgomery form.
  @param[out] Out  Receives the product in Montgomery form; may be A or B.
**/
VOID
EFIAPI
MontgomeryMultiply (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *B,
  OUT BIG_NUMBER        *Out
  );

/**
  T = X x R mod N: X into Montgomery form with the selected key.

  @param[in]  X  The number to convert; any value (reduced modulo N).
  @param[out] T  Receives X x R mod N; may be X.
**/
VOID
EFIAPI
ToMontgomery (
  IN  CONST BIG_NUMBER  *X,
  OUT BIG_NUMBER        *T
  );

/**
  Y = T^65537 in Montgomery form: right-to-left binary exponentiation with
  the exponent 01 00 01, 16 squarings and one multiplication.

  @param[in]  T  The base, in Montgomery form.
  @param[out] Y  Receives the power, in Montgomery form; may be T.
**/
VOID
EFIAPI
MontgomeryPower65537 (
  IN  CONST BIG_NUMBER  *T,
  OUT BIG_NUMBER        *Y
  );

/**
  Out = Y x Rinv mod N: Y out of Montgomery form, by a full multiplication
  and remainder.

  @param[in]  Y    The number in Montgomery form.
  @param[out] Out  Receives the ordinary value, below N; may be Y.
**/
VOID
EFIAPI
FromMontgomery (
  IN  CONST BIG_NUMBER  *Y,
  OUT BIG_NUMBER        *Out
  );

/**
  Out = X^65537 mod N with the operand and key that SelectRsaKey loaded.
  Overwrites the work numbers X (mRsaOperand) and T (mRsaMontgomeryValue).
  An operand that is a multiple of N, zero included, gives 0. When no key
  has been selected yet (the modulus work number is zero) Out is 0.

  @param[out] Out  Receives the result, normalised, below N; every digit of
                   Out above its Length is 0, so its low mRsaOutputLength
                   digits are the result zero-padded. May be any work
                   number.
**/
VOID
EFIAPI
RsaPublicOperation (
  OUT BIG_NUMBER  *Out
  );

/**
  Selects a key set and loads the operand.

  For KeyBits 256, 2048 or 3072: sets mRsaKeyBits = KeyBits and
  mRsaOutputLength = KeyBits / 8 - 2, copies that size's N, N' and Rinv from
  mRsaKeySet into the work numbers with Length KeyBits / 8. For any other
  size the settings and the key work numbers keep their previous contents.

  In every case copies ByteCount bytes of Data into the operand X, the first
  byte becoming the least significant digit, and sets X.Length = ByteCount
  without normalising (leading zero bytes stay). A ByteCount of 0 or a NULL
  Data loads zero; a ByteCount above 769 loads only the first 769 bytes.

  @param[in] ByteCount  Number of bytes at Data.
  @param[in] Data       The operand, little-endian.
  @param[in] KeyBits    The key size in bits: 256, 2048 or 3072.
**/
VOID
EFIAPI
SelectRsaKey (
  IN UINTN        ByteCount,
  IN CONST UINT8  *Data,
  IN INT32        KeyBits
  );

#endif
