/** @file
  Multi-precision arithmetic in base 256 and the RSA public-key operation
  with exponent 65537 (Montgomery multiplication with precomputed N' and
  Rinv, remainder by subtraction). The key store itself is the generated
  KeyStore.cpp.
**/

#include "BigNum.h"

#include "FirmwareInterfaces.h"

///
/// The largest key, in digits; no KeyBytes taken from mRsaKeyBits goes above
/// it, whatever the setting holds.
///
#define RSA_MAX_KEY_BYTES  (RSA_KEY_BITS_3072 / 8)

STATIC_ASSERT (2 * RSA_MAX_KEY_BYTES + 1 == BIG_NUMBER_MAX_LENGTH, "the largest product fits");

INT32  mRsaKeyBits      = RSA_KEY_BITS_256;
INT32  mRsaOutputLength = RSA_KEY_BITS_256 / 8 - 2;

BIG_NUMBER  mRsaOperand;
BIG_NUMBER  mRsaMontgomeryValue;
BIG_NUMBER  mRsaModulus;
BIG_NUMBER  mRsaNPrime;
BIG_NUMBER  mRsaRInverse;

/**
  The Length of a number as an index bound: 1 when the stored Length is
  below 1, BIG_NUMBER_MAX_LENGTH when it is above.

  @param[in] A  The number.

  @return The usable length, 1..BIG_NUMBER_MAX_LENGTH.
**/
STATIC
UINTN
BigNumLength (
  IN CONST BIG_NUMBER  *A
  )
{
  if (A->Length < 1) {
    return 1;
  }

  if (A->Length > BIG_NUMBER_MAX_LENGTH) {
    return BIG_NUMBER_MAX_LENGTH;
  }

  return (UINTN)A->Length;
}

/**
  The number of significant digits of A: its usable length without leading
  zero digits, at least 1.

  @param[in] A  The number.

  @return The significant length, 1..BIG_NUMBER_MAX_LENGTH.
**/
STATIC
UINTN
BigNumSignificantLength (
  IN CONST BIG_NUMBER  *A
  )
{
  UINTN  Length;

  Length = BigNumLength (A);
  while ((Length > 1) && (A->Digits[Length - 1] == 0)) {
    Length--;
  }

  return Length;
}

/**
  Sets A's Length to Length without its leading zero digits (at least 1).

  @param[in, out] A       The number.
  @param[in]      Length  The length the digits were built to, 1..769.
**/
STATIC
VOID
BigNumNormalise (
  IN OUT BIG_NUMBER  *A,
  IN     UINTN       Length
  )
{
  while ((Length > 1) && (A->Digits[Length - 1] == 0)) {
    Length--;
  }

  A->Length = (INT16)Length;
}

/**
  Sets A to zero: every digit 0, Length 1.

  @param[out] A  The number.
**/
STATIC
VOID
BigNumSetZero (
  OUT BIG_NUMBER  *A
  )
{
  ZeroMem (A->Digits, sizeof (A->Digits));
  A->Length = 1;
}

/**
  TRUE when A is zero.

  @param[in] A  The number.
**/
STATIC
BOOLEAN
BigNumIsZero (
  IN CONST BIG_NUMBER  *A
  )
{
  return (BOOLEAN)((BigNumSignificantLength (A) == 1) && (A->Digits[0] == 0));
}

/**
  KeyBytes of the selected key size, kept within 1..RSA_MAX_KEY_BYTES.

  @return mRsaKeyBits / 8, bounded.
**/
STATIC
UINTN
RsaKeyBytes (
  VOID
  )
{
  INT32  KeyBytes;

  KeyBytes = mRsaKeyBits / 8;
  if (KeyBytes < 1) {
    return 1;
  }

  if (KeyBytes > RSA_MAX_KEY_BYTES) {
    return RSA_MAX_KEY_BYTES;
  }

  return (UINTN)KeyBytes;
}

VOID
EFIAPI
BigNumCopy (
  IN  CONST BIG_NUMBER  *Src,
  OUT BIG_NUMBER        *Dst
  )
{
  UINTN  Length;

  //
  // Copy the first Length digits and the length; an identical source and
  // destination need nothing.
  //
  if (Src == Dst) {
    return;
  }

  Length = BigNumLength (Src);
  CopyMem (Dst->Digits, Src->Digits, Length);
  Dst->Length = (INT16)Length;
}

BOOLEAN
EFIAPI
BigNumIsGreater (
  IN CONST BIG_NUMBER  *A,
  IN CONST BIG_NUMBER  *B
  )
{
  UINTN  LengthA;
  UINTN  LengthB;
  UINTN  Index;

  //
  // A longer number is greater; leading zero digits do not count.
  //
  LengthA = BigNumSignificantLength (A);
  LengthB = BigNumSignificantLength (B);
  if (LengthA != LengthB) {
    return (BOOLEAN)(LengthA > LengthB);
  }

  //
  // At equal length the top differing digit decides; equal numbers are not
  // greater.
  //
  for (Index = LengthA; Index > 0; Index--) {
    if (A->Digits[Index - 1] != B->Digits[Index - 1]) {
      return (BOOLEAN)(A->Digits[Index - 1] > B->Digits[Index - 1]);
    }
  }

  return FALSE;
}

VOID
EFIAPI
BigNumAdd (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *B,
  OUT BIG_NUMBER        *Out
  )
{
  UINTN   LengthA;
  UINTN   LengthB;
  UINTN   Length;
  UINTN   Index;
  UINT32  Sum;

  //
  // The result is as long as the longer operand; digits above an operand's
  // length count as 0.
  //
  LengthA = BigNumLength (A);
  LengthB = BigNumLength (B);
  Length  = (LengthA > LengthB) ? LengthA : LengthB;

  //
  // Add digit by digit with carry. Each digit of A and B is read before the
  // same digit of Out is written, so Out may be either operand.
  //
  Sum = 0;
  for (Index = 0; Index < Length; Index++) {
    Sum += (Index < LengthA) ? A->Digits[Index] : 0;
    Sum += (Index < LengthB) ? B->Digits[Index] : 0;
    Out->Digits[Index] = (UINT8)Sum;
    Sum >>= 8;
  }

  //
  // A remaining carry becomes a new top digit, unless the capacity is
  // reached; then it is dropped.
  //
  if ((Sum != 0) && (Length < BIG_NUMBER_MAX_LENGTH)) {
    Out->Digits[Length] = (UINT8)Sum;
    Length++;
  }

  BigNumNormalise (Out, Length);
}

VOID
EFIAPI
BigNumSub (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *B,
  OUT BIG_NUMBER        *Out
  )
{
  UINTN  LengthA;
  UINTN  LengthB;
  UINTN  Length;
  UINTN  Index;
  INT32  Difference;
  INT32  Borrow;

  //
  // The result is as long as the longer operand; digits above an operand's
  // length count as 0.
  //
  LengthA = BigNumLength (A);
  LengthB = BigNumLength (B);
  Length  = (LengthA > LengthB) ? LengthA : LengthB;

  //
  // Subtract digit by digit with borrow.
  //
  Borrow = 0;
  for (Index = 0; Index < Length; Index++) {
    Difference  = (Index < LengthA) ? A->Digits[Index] : 0;
    Difference -= (Index < LengthB) ? B->Digits[Index] : 0;
    Difference -= Borrow;
    Borrow      = (Difference < 0) ? 1 : 0;
    Out->Digits[Index] = (UINT8)(Difference + 256 * Borrow);
  }

  //
  // A borrow out of the top gives the two's complement modulo 256^769.
  //
  if (Borrow != 0) {
    for (Index = Length; Index < BIG_NUMBER_MAX_LENGTH; Index++) {
      Out->Digits[Index] = 0xFF;
    }

    Length = BIG_NUMBER_MAX_LENGTH;
  }

  BigNumNormalise (Out, Length);
}

VOID
EFIAPI
BigNumMul (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *B,
  OUT BIG_NUMBER        *Out
  )
{
  BIG_NUMBER        Product;
  CONST BIG_NUMBER  *Outer;
  CONST BIG_NUMBER  *Inner;
  UINTN             OuterLength;
  UINTN             InnerLength;
  UINTN             Length;
  UINTN             OuterIndex;
  UINTN             InnerIndex;
  UINT32            Digit;
  UINT32            Sum;

  //
  // The outer loop runs over the operand whose length is smaller or equal.
  //
  if (BigNumLength (A) <= BigNumLength (B)) {
    Outer = A;
    Inner = B;
  } else {
    Outer = B;
    Inner = A;
  }

  OuterLength = BigNumLength (Outer);
  InnerLength = BigNumLength (Inner);

  //
  // Schoolbook product in a zeroed scratch number, cut to 769 digits. Zero
  // digits of the outer operand add nothing. Each row's final carry goes
  // above the row, where no earlier row has written.
  //
  BigNumSetZero (&Product);
  for (OuterIndex = 0; OuterIndex < OuterLength; OuterIndex++) {
    Digit = Outer->Digits[OuterIndex];
    if (Digit == 0) {
      continue;
    }

    Sum = 0;
    for (InnerIndex = 0; InnerIndex < InnerLength; InnerIndex++) {
      if (OuterIndex + InnerIndex >= BIG_NUMBER_MAX_LENGTH) {
        break;
      }

      Sum += Product.Digits[OuterIndex + InnerIndex] + Digit * Inner->Digits[InnerIndex];
      Product.Digits[OuterIndex + InnerIndex] = (UINT8)Sum;
      Sum >>= 8;
    }

    if (OuterIndex + InnerLength < BIG_NUMBER_MAX_LENGTH) {
      Product.Digits[OuterIndex + InnerLength] = (UINT8)Sum;
    }
  }

  //
  // The product's length is the sum of the lengths, capped at 769;
  // normalise and hand it over.
  //
  Length = OuterLength + InnerLength;
  if (Length > BIG_NUMBER_MAX_LENGTH) {
    Length = BIG_NUMBER_MAX_LENGTH;
  }

  BigNumNormalise (&Product, Length);
  BigNumCopy (&Product, Out);
}

VOID
EFIAPI
BigNumShiftLeftDigits (
  IN OUT BIG_NUMBER  *A,
  IN     UINTN       K
  )
{
  UINTN  Length;
  UINTN  Index;

  if (K == 0) {
    return;
  }

  //
  // A shift by the whole capacity leaves nothing.
  //
  if (K >= BIG_NUMBER_MAX_LENGTH) {
    BigNumSetZero (A);
    return;
  }

  //
  // Move the digits up by K, top digit first; digits that would land at
  // index 769 or above are dropped.
  //
  Length = BigNumLength (A);
  for (Index = Length; Index > 0; Index--) {
    if (Index - 1 + K < BIG_NUMBER_MAX_LENGTH) {
      A->Digits[Index - 1 + K] = A->Digits[Index - 1];
    }
  }

  //
  // Clear the K lowest digits (all of them, also those between the old
  // length and K), add K to the length and normalise.
  //
  ZeroMem (A->Digits, K);
  Length += K;
  if (Length > BIG_NUMBER_MAX_LENGTH) {
    Length = BIG_NUMBER_MAX_LENGTH;
  }

  BigNumNormalise (A, Length);
}

VOID
EFIAPI
BigNumDivR (
  IN OUT BIG_NUMBER  *A
  )
{
  UINTN  KeyBytes;
  UINTN  Length;
  UINTN  Index;

  //
  // A number of KeyBytes digits or fewer becomes zero.
  //
  KeyBytes = RsaKeyBytes ();
  Length   = BigNumLength (A);
  if (Length <= KeyBytes) {
    BigNumSetZero (A);
    return;
  }

  //
  // Move digits KeyBytes.. down to 0.. and shorten by KeyBytes.
  //
  Length -= KeyBytes;
  for (Index = 0; Index < Length; Index++) {
    A->Digits[Index] = A->Digits[Index + KeyBytes];
  }

  BigNumNormalise (A, Length);
}

VOID
EFIAPI
BigNumModR (
  IN OUT BIG_NUMBER  *A
  )
{
  UINTN  KeyBytes;
  UINTN  Length;

  //
  // Clear the digits from KeyBytes up to the length, then normalise.
  //
  KeyBytes = RsaKeyBytes ();
  Length   = BigNumLength (A);
  if (Length > KeyBytes) {
    ZeroMem (&A->Digits[KeyBytes], Length - KeyBytes);
  }

  BigNumNormalise (A, Length);
}

BOOLEAN
EFIAPI
BigNumShiftRight1 (
  IN OUT BIG_NUMBER  *E
  )
{
  UINTN  Length;
  UINTN  Index;
  UINT8  Above;

  //
  // Each digit takes its own value shifted right by one, with bit 7 from
  // bit 0 of the digit above; the digit above the top counts as 0.
  //
  Length = BigNumLength (E);
  for (Index = 0; Index < Length; Index++) {
    Above            = (Index + 1 < Length) ? E->Digits[Index + 1] : 0;
    E->Digits[Index] = (UINT8)((E->Digits[Index] >> 1) | ((Above & 1) << 7));
  }

  //
  // A top digit that became 0 shortens the number by one, not below 1.
  //
  if ((Length > 1) && (E->Digits[Length - 1] == 0)) {
    Length--;
  }

  E->Length = (INT16)Length;

  //
  // FALSE exactly when the result is zero.
  //
  return (BOOLEAN)!((Length == 1) && (E->Digits[0] == 0));
}

VOID
EFIAPI
BigNumReduceBySubtraction (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *S,
  OUT BIG_NUMBER        *Out
  )
{
  BIG_NUMBER  Value;
  BIG_NUMBER  Subtrahend;

  //
  // Work on fresh copies of both inputs.
  //
  BigNumCopy (A, &Value);
  BigNumCopy (S, &Subtrahend);

  //
  // Subtract as long as the value is not below S; a zero S would never
  // stop, so it subtracts nothing.
  //
  if (!BigNumIsZero (&Subtrahend)) {
    while (!BigNumIsGreater (&Subtrahend, &Value)) {
      BigNumSub (&Value, &Subtrahend, &Value);
    }
  }

  BigNumCopy (&Value, Out);
}

VOID
EFIAPI
BigNumMod (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *M,
  OUT BIG_NUMBER        *Out
  )
{
  BIG_NUMBER  Value;
  BIG_NUMBER  Shifted;
  UINTN       ModulusLength;
  UINTN       Shift;

  //
  // Work on a normalised copy of A. A zero modulus leaves A as it is.
  //
  BigNumCopy (A, &Value);
  BigNumNormalise (&Value, BigNumLength (&Value));
  if (BigNumIsZero (M)) {
    BigNumCopy (&Value, Out);
    return;
  }

  ModulusLength = BigNumSignificantLength (M);

  do {
    //
    // Shift M up to the value's length, or one digit less when that would
    // exceed the value; no shift when the value is not longer than M.
    //
    BigNumCopy (M, &Shifted);
    Shifted.Length = (INT16)ModulusLength;
    if ((UINTN)Value.Length > ModulusLength) {
      Shift = (UINTN)Value.Length - ModulusLength;
      BigNumShiftLeftDigits (&Shifted, Shift);
      if (BigNumIsGreater (&Shifted, &Value)) {
        BigNumCopy (M, &Shifted);
        Shifted.Length = (INT16)ModulusLength;
        BigNumShiftLeftDigits (&Shifted, Shift - 1);
      }
    }

    //
    // Subtract the shifted modulus as long as the value is not below it
    // (at most 255 times).
    //
    BigNumReduceBySubtraction (&Value, &Shifted, &Value);
  } while (!BigNumIsGreater (M, &Value));

  BigNumCopy (&Value, Out);
}

VOID
EFIAPI
MontgomeryMultiply (
  IN  CONST BIG_NUMBER  *A,
  IN  CONST BIG_NUMBER  *B,
  OUT BIG_NUMBER        *Out
  )
{
  BIG_NUMBER  Product;
  BIG_NUMBER  Reduced;
  BOOLEAN     CarryLost;

  //
  // t = A x B, kept for the addition below.
  //
  BigNumMul (A, B, &Product);

  //
  // u = (N' x (t mod R)) mod R.
  //
  BigNumCopy (&Product, &Reduced);
  BigNumModR (&Reduced);
  BigNumMul (&mRsaNPrime, &Reduced, &Reduced);
  BigNumModR (&Reduced);

  //
  // u = N x u + t; t greater than the sum means the addition lost a carry at
  // the 769-digit capacity.
  //
  BigNumMul (&mRsaModulus, &Reduced, &Reduced);
  BigNumAdd (&Reduced, &Product, &Reduced);
  CarryLost = BigNumIsGreater (&Product, &Reduced);

  //
  // u = u / R; subtract N once after a lost carry or when u is strictly
  // greater than N (a value equal to N stays; it is congruent to 0).
  //
  BigNumDivR (&Reduced);
  if (CarryLost || BigNumIsGreater (&Reduced, &mRsaModulus)) {
    BigNumSub (&Reduced, &mRsaModulus, &Reduced);
  }

  BigNumCopy (&Reduced, Out);
}

VOID
EFIAPI
ToMontgomery (
  IN  CONST BIG_NUMBER  *X,
  OUT BIG_NUMBER        *T
  )
{
  BIG_NUMBER  Scaled;
  BIG_NUMBER  Reduced;
  UINTN       KeyBytes;

  //
  // R = 256^KeyBytes: a single digit 1 at index KeyBytes.
  //
  KeyBytes = RsaKeyBytes ();
  BigNumSetZero (&Scaled);
  Scaled.Digits[KeyBytes] = 1;
  Scaled.Length           = (INT16)(KeyBytes + 1);

  //
  // An operand so long that X x R would not fit 769 digits is reduced
  // modulo N first, so the product is never cut; the value of T is the same.
  //
  BigNumCopy (X, &Reduced);
  if (BigNumSignificantLength (X) + KeyBytes > BIG_NUMBER_MAX_LENGTH) {
    BigNumMod (&Reduced, &mRsaModulus, &Reduced);
  }

  //
  // T = (X x R) mod N.
  //
  BigNumMul (&Reduced, &Scaled, &Scaled);
  BigNumMod (&Scaled, &mRsaModulus, T);
}

VOID
EFIAPI
MontgomeryPower65537 (
  IN  CONST BIG_NUMBER  *T,
  OUT BIG_NUMBER        *Y
  )
{
  BIG_NUMBER  Exponent;
  BIG_NUMBER  Square;
  BIG_NUMBER  Power;

  //
  // E = 65537 (digits 01 00 01); A = B = T, since the exponent's lowest bit
  // is set.
  //
  BigNumSetZero (&Exponent);
  Exponent.Digits[0] = (UINT8)(RSA_PUBLIC_EXPONENT & 0xFF);
  Exponent.Digits[1] = (UINT8)((RSA_PUBLIC_EXPONENT >> 8) & 0xFF);
  Exponent.Digits[2] = (UINT8)((RSA_PUBLIC_EXPONENT >> 16) & 0xFF);
  Exponent.Length    = 3;
  BigNumCopy (T, &Square);
  BigNumCopy (T, &Power);

  //
  // Right to left: square A for every further bit, multiply it into B where
  // the bit is 1.
  //
  while (BigNumShiftRight1 (&Exponent)) {
    MontgomeryMultiply (&Square, &Square, &Square);
    if ((Exponent.Digits[0] & 1) != 0) {
      MontgomeryMultiply (&Power, &Square, &Power);
    }
  }

  BigNumCopy (&Power, Y);
}

VOID
EFIAPI
FromMontgomery (
  IN  CONST BIG_NUMBER  *Y,
  OUT BIG_NUMBER        *Out
  )
{
  BIG_NUMBER  Product;

  //
  // Out = (Y x Rinv) mod N, a full multiplication and remainder.
  //
  BigNumCopy (Y, &Product);
  BigNumMul (&Product, &mRsaRInverse, &Product);
  BigNumMod (&Product, &mRsaModulus, Out);
}

VOID
EFIAPI
RsaPublicOperation (
  OUT BIG_NUMBER  *Out
  )
{
  BIG_NUMBER  Result;

  //
  // Without a selected key there is no modulus to work with: the result is
  // zero.
  //
  if (BigNumIsZero (&mRsaModulus)) {
    BigNumSetZero (Out);
    return;
  }

  //
  // T = 0, then T = X in Montgomery form.
  //
  BigNumSetZero (&mRsaMontgomeryValue);
  ToMontgomery (&mRsaOperand, &mRsaMontgomeryValue);

  //
  // X = T^65537 in Montgomery form.
  //
  MontgomeryPower65537 (&mRsaMontgomeryValue, &mRsaOperand);

  //
  // Out = X out of Montgomery form, with every digit above its length 0.
  //
  FromMontgomery (&mRsaOperand, &Result);
  BigNumSetZero (Out);
  BigNumCopy (&Result, Out);
}

VOID
EFIAPI
SelectRsaKey (
  IN UINTN        ByteCount,
  IN CONST UINT8  *Data,
  IN INT32        KeyBits
  )
{
  UINTN  SetIndex;
  UINTN  KeyBytes;
  UINTN  Count;

  //
  // Find the key set of this size; another size keeps the settings and the
  // key work numbers as they are.
  //
  switch (KeyBits) {
    case RSA_KEY_BITS_256:
      SetIndex = RSA_KEY_SET_INDEX_256;
      break;
    case RSA_KEY_BITS_2048:
      SetIndex = RSA_KEY_SET_INDEX_2048;
      break;
    case RSA_KEY_BITS_3072:
      SetIndex = RSA_KEY_SET_INDEX_3072;
      break;
    default:
      SetIndex = RSA_KEY_STORE_NUMBERS;
      break;
  }

  if (SetIndex < RSA_KEY_STORE_NUMBERS) {
    //
    // Set KeyBits and OutLen = KeyBytes - 2.
    //
    KeyBytes         = (UINTN)KeyBits / 8;
    mRsaKeyBits      = KeyBits;
    mRsaOutputLength = KeyBits / 8 - 2;

    //
    // Copy N, N' and Rinv with KeyBytes digits each into cleared work
    // numbers, Length KeyBytes.
    //
    BigNumSetZero (&mRsaModulus);
    BigNumSetZero (&mRsaNPrime);
    BigNumSetZero (&mRsaRInverse);
    CopyMem (mRsaModulus.Digits, mRsaKeySet[SetIndex + RSA_KEY_SET_MODULUS].Digits, KeyBytes);
    CopyMem (mRsaNPrime.Digits, mRsaKeySet[SetIndex + RSA_KEY_SET_N_PRIME].Digits, KeyBytes);
    CopyMem (mRsaRInverse.Digits, mRsaKeySet[SetIndex + RSA_KEY_SET_R_INVERSE].Digits, KeyBytes);
    mRsaModulus.Length  = (INT16)KeyBytes;
    mRsaNPrime.Length   = (INT16)KeyBytes;
    mRsaRInverse.Length = (INT16)KeyBytes;
  }

  //
  // Load the operand: ByteCount bytes (at most 769), first byte least
  // significant, Length = ByteCount without normalising; nothing loads zero.
  //
  BigNumSetZero (&mRsaOperand);
  Count = (Data == NULL) ? 0 : ByteCount;
  if (Count > BIG_NUMBER_MAX_LENGTH) {
    Count = BIG_NUMBER_MAX_LENGTH;
  }

  if (Count > 0) {
    CopyMem (mRsaOperand.Digits, Data, Count);
    mRsaOperand.Length = (INT16)Count;
  }
}
