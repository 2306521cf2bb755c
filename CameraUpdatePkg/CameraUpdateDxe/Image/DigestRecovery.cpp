/** @file
  The signature check of the slot images (the signed digest rebuilt from the
  signature trailer) and SHA-256 as published in FIPS 180-4.
**/

#include "DigestRecovery.h"

#include "FirmwareInterfaces.h"

#include "BigNum.h"

///
/// SHA-256 initial hash value H(0) (FIPS 180-4, 5.3.3): the first 32 bits of
/// the fractional parts of the square roots of the first eight primes.
///
STATIC CONST UINT32  mSha256InitialHash[8] = {
  0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
  0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19
};

///
/// SHA-256 round constants K0..K63 (FIPS 180-4, 4.2.2): the first 32 bits of
/// the fractional parts of the cube roots of the first 64 primes.
///
STATIC CONST UINT32  mSha256RoundConstants[64] = {
  0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
  0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
  0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
  0x983E5152, 0xA831C66D, 0xB00327C8, 0xBF597FC7, 0xC6E00BF3, 0xD5A79147, 0x06CA6351, 0x14292967,
  0x27B70A85, 0x2E1B2138, 0x4D2C6DFC, 0x53380D13, 0x650A7354, 0x766A0ABB, 0x81C2C92E, 0x92722C85,
  0xA2BFE8A1, 0xA81A664B, 0xC24B8B70, 0xC76C51A3, 0xD192E819, 0xD6990624, 0xF40E3585, 0x106AA070,
  0x19A4C116, 0x1E376C08, 0x2748774C, 0x34B0BCB5, 0x391C0CB3, 0x4ED8AA4A, 0x5B9CCA4F, 0x682E6FF3,
  0x748F82EE, 0x78A5636F, 0x84C87814, 0x8CC70208, 0x90BEFFFA, 0xA4506CEB, 0xBEF9A3F7, 0xC67178F2
};

STATIC_ASSERT (ARRAY_SIZE (mSha256InitialHash) == 8, "eight state words");
STATIC_ASSERT (ARRAY_SIZE (mSha256RoundConstants) == 64, "64 rounds");

//
// The functions of FIPS 180-4, 4.1.2.
//
#define SHA256_ROTR(X, N)    (((X) >> (N)) | ((X) << (32 - (N))))
#define SHA256_CH(X, Y, Z)   (((X) & (Y)) ^ (~(X) & (Z)))
#define SHA256_MAJ(X, Y, Z)  (((X) & (Y)) ^ ((X) & (Z)) ^ ((Y) & (Z)))
#define SHA256_BSIG0(X)      (SHA256_ROTR (X, 2) ^ SHA256_ROTR (X, 13) ^ SHA256_ROTR (X, 22))
#define SHA256_BSIG1(X)      (SHA256_ROTR (X, 6) ^ SHA256_ROTR (X, 11) ^ SHA256_ROTR (X, 25))
#define SHA256_SSIG0(X)      (SHA256_ROTR (X, 7) ^ SHA256_ROTR (X, 18) ^ ((X) >> 3))
#define SHA256_SSIG1(X)      (SHA256_ROTR (X, 17) ^ SHA256_ROTR (X, 19) ^ ((X) >> 10))

/**
  Reads a big-endian 32-bit word.

  @param[in] Bytes  The four bytes, most significant first.

  @return The word.
**/
STATIC
UINT32
Sha256ReadWord (
  IN CONST UINT8  *Bytes
  )
{
  return ((UINT32)Bytes[0] << 24) | ((UINT32)Bytes[1] << 16) | ((UINT32)Bytes[2] << 8) | (UINT32)Bytes[3];
}

/**
  Runs the SHA-256 compression function on one 64-byte block (FIPS 180-4,
  6.2.2) and adds the result into the state.

  @param[in, out] State  The eight working hash words H0..H7.
  @param[in]      Block  The 64 message bytes.
**/
STATIC
VOID
Sha256CompressBlock (
  IN OUT UINT32       *State,
  IN     CONST UINT8  *Block
  )
{
  UINT32  Schedule[64];
  UINT32  A;
  UINT32  B;
  UINT32  C;
  UINT32  D;
  UINT32  E;
  UINT32  F;
  UINT32  G;
  UINT32  H;
  UINT32  T1;
  UINT32  T2;
  UINTN   Round;

  //
  // Prepare the message schedule: the block's sixteen big-endian words, then
  // the 48 words derived from them.
  //
  for (Round = 0; Round < 16; Round++) {
    Schedule[Round] = Sha256ReadWord (Block + 4 * Round);
  }

  for (Round = 16; Round < 64; Round++) {
    Schedule[Round] = SHA256_SSIG1 (Schedule[Round - 2]) + Schedule[Round - 7] +
                      SHA256_SSIG0 (Schedule[Round - 15]) + Schedule[Round - 16];
  }

  //
  // Start the working variables from the state.
  //
  A = State[0];
  B = State[1];
  C = State[2];
  D = State[3];
  E = State[4];
  F = State[5];
  G = State[6];
  H = State[7];

  //
  // The 64 rounds.
  //
  for (Round = 0; Round < 64; Round++) {
    T1 = H + SHA256_BSIG1 (E) + SHA256_CH (E, F, G) + mSha256RoundConstants[Round] + Schedule[Round];
    T2 = SHA256_BSIG0 (A) + SHA256_MAJ (A, B, C);
    H  = G;
    G  = F;
    F  = E;
    E  = D + T1;
    D  = C;
    C  = B;
    B  = A;
    A  = T1 + T2;
  }

  //
  // Add the block's result into the state.
  //
  State[0] += A;
  State[1] += B;
  State[2] += C;
  State[3] += D;
  State[4] += E;
  State[5] += F;
  State[6] += G;
  State[7] += H;
}

/**
  Computes the SHA-256 digest of DataSize bytes at Data.

  @param[out] Digest    Receives the 32 digest bytes; NULL does nothing.
  @param[in]  Data      The data; may be NULL when DataSize is 0.
  @param[in]  DataSize  Number of bytes at Data.
**/
VOID
EFIAPI
CalculateSha256 (
  OUT UINT8        *Digest,
  IN  CONST UINT8  *Data OPTIONAL,
  IN  UINTN        DataSize
  )
{
  UINT32  State[8];
  UINT8   Block[SHA256_BLOCK_SIZE];
  UINTN   Offset;
  UINTN   TailSize;
  UINT64  BitLength;
  UINTN   Index;

  if ((Digest == NULL) || ((Data == NULL) && (DataSize != 0))) {
    return;
  }

  //
  // Start from the initial hash value.
  //
  CopyMem (State, mSha256InitialHash, sizeof (State));

  //
  // Consume the whole blocks straight from the caller's buffer.
  //
  Offset = 0;
  while (DataSize - Offset >= SHA256_BLOCK_SIZE) {
    Sha256CompressBlock (State, Data + Offset);
    Offset += SHA256_BLOCK_SIZE;
  }

  //
  // Copy the tail into the local block and end it with the 0x80 byte.
  //
  TailSize = DataSize - Offset;
  ZeroMem (Block, sizeof (Block));
  if (TailSize != 0) {
    CopyMem (Block, Data + Offset, TailSize);
  }

  Block[TailSize] = 0x80;

  //
  // A tail of 56 bytes or more leaves no room for the length field: that
  // block goes out as it is and the length goes into a block of zeros.
  //
  if (TailSize + 1 > SHA256_BLOCK_SIZE - SHA256_LENGTH_FIELD_SIZE) {
    Sha256CompressBlock (State, Block);
    ZeroMem (Block, sizeof (Block));
  }

  //
  // The message length in bits, big-endian, ends the last block.
  //
  BitLength = (UINT64)DataSize << 3;
  for (Index = 0; Index < SHA256_LENGTH_FIELD_SIZE; Index++) {
    Block[SHA256_BLOCK_SIZE - 1 - Index] = (UINT8)(BitLength >> (8 * Index));
  }

  Sha256CompressBlock (State, Block);

  //
  // Write the state words out, most significant byte first.
  //
  for (Index = 0; Index < 8; Index++) {
    Digest[4 * Index]     = (UINT8)(State[Index] >> 24);
    Digest[4 * Index + 1] = (UINT8)(State[Index] >> 16);
    Digest[4 * Index + 2] = (UINT8)(State[Index] >> 8);
    Digest[4 * Index + 3] = (UINT8)State[Index];
  }
}

/**
  Recovers the signed digest from a signature.

  @param[in]  Signature      The signature bytes; may be NULL when
                             SignatureSize is 0.
  @param[in]  SignatureSize  Number of bytes at Signature.
  @param[out] Digest         Receives the 32 digest bytes.

  @retval EFI_SUCCESS            Digest holds the recovered digest.
  @retval EFI_INVALID_PARAMETER  A NULL argument, or more whole blocks than
                                 the recovery buffer holds; nothing is read
                                 and Digest is not written.
**/
EFI_STATUS
EFIAPI
RecoverSignedDigest (
  IN  CONST UINT8  *Signature OPTIONAL,
  IN  UINT32       SignatureSize,
  OUT UINT8        *Digest
  )
{
  UINT8       RecoveryBuffer[SIGNATURE_RECOVERY_BUFFER_SIZE];
  UINT8       WorkingBlock[SIGNATURE_BLOCK_SIZE];
  UINT8       Result[SIGNED_DIGEST_SIZE];
  BIG_NUMBER  BlockResult;
  UINT32      BlockCount;
  UINT32      BlockIndex;
  UINTN       KeptCount;
  UINTN       Triplet;
  UINT8       Value;
  UINT8       Position;

  if ((Digest == NULL) || ((Signature == NULL) && (SignatureSize != 0))) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Only whole blocks count; refuse a signature whose kept bytes would run
  // past the recovery buffer before any of it is read.
  //
  BlockCount = SignatureSize / SIGNATURE_BLOCK_SIZE;
  if (BlockCount > SIGNATURE_MAX_BLOCKS) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Select the 256-bit key size and 30 kept bytes per block.
  //
  mRsaKeyBits   = SIGNATURE_KEY_BITS;
  mRsaOutputLength = SIGNATURE_KEPT_BYTES;

  //
  // Start from a zero-filled recovery buffer.
  //
  ZeroMem (RecoveryBuffer, sizeof (RecoveryBuffer));

  for (BlockIndex = 0; BlockIndex < BlockCount; BlockIndex++) {
    //
    // Copy the block into a working block and load it as the operand of the
    // 256-bit key.
    //
    CopyMem (WorkingBlock, Signature + (UINTN)BlockIndex * SIGNATURE_BLOCK_SIZE, SIGNATURE_BLOCK_SIZE);
    SelectRsaKey (SIGNATURE_BLOCK_SIZE, WorkingBlock, SIGNATURE_KEY_BITS);

    //
    // m = block^65537 mod N.
    //
    RsaPublicOperation (&BlockResult);

    //
    // Keep the 30 least significant bytes of m, least significant first,
    // zero-padded when m has fewer digits.
    //
    KeptCount = SIGNATURE_KEPT_BYTES;
    if ((BlockResult.Length >= 1) && ((UINTN)BlockResult.Length < KeptCount)) {
      KeptCount = (UINTN)BlockResult.Length;
    }

    CopyMem (RecoveryBuffer + (UINTN)BlockIndex * SIGNATURE_KEPT_BYTES, BlockResult.Digits, KeptCount);
  }

  //
  // Place the values of the first 32 triplets at their positions; positions
  // of 32 and above name nothing, and a later triplet wins.
  //
  ZeroMem (Result, sizeof (Result));
  for (Triplet = 0; Triplet < SIGNED_DIGEST_SIZE; Triplet++) {
    Value    = RecoveryBuffer[SIGNATURE_TRIPLET_SIZE * Triplet + 1];
    Position = RecoveryBuffer[SIGNATURE_TRIPLET_SIZE * Triplet + 2];
    if (Position < SIGNED_DIGEST_SIZE) {
      Result[Position] = Value;
    }
  }

  //
  // Hand the digest to the caller.
  //
  CopyMem (Digest, Result, SIGNED_DIGEST_SIZE);
  return EFI_SUCCESS;
}
