/** @file
  The signature check of the slot images and SHA-256.

  RecoverSignedDigest turns the signature trailer of an image for ISP kinds
  'p' and 'q' into the 32-byte signed digest that the inactive-slot
  programming hands to the camera: every 32-byte block of the signature goes
  through the public-key operation with the 256-bit key, the 30 low bytes of
  each result are laid end to end in a zero-filled recovery buffer, and the
  first 32 (ignored byte, value, position) triplets of that buffer place the
  digest's bytes. The driver derives the value and hands it on; it never
  compares it with anything.

  CalculateSha256 is SHA-256 as published in FIPS 180-4, over a buffer in
  memory, for the digest record of the whole-image fallback.

  Both are pure functions of their input bytes, apart from the driver-wide
  key settings and work numbers of the multi-precision arithmetic that
  RecoverSignedDigest overwrites; it is not re-entrant.
**/

#ifndef __CAMERA_DIGEST_RECOVERY_H__
#define __CAMERA_DIGEST_RECOVERY_H__

#include "FirmwareInterfaces.h"

///
/// Bytes of a SHA-256 digest and of the signed digest handed to the camera.
///
#define SHA256_DIGEST_SIZE  32
#define SIGNED_DIGEST_SIZE  32

///
/// SHA-256 works on 64-byte blocks; the last 8 bytes of the final block hold
/// the message length in bits, big-endian.
///
#define SHA256_BLOCK_SIZE         64
#define SHA256_LENGTH_FIELD_SIZE  8

///
/// The signature trailer that ends an image for ISP kinds 'p' and 'q'.
///
#define SIGNATURE_TRAILER_SIZE  160

///
/// One signature block: a 256-bit little-endian number, the size of the
/// signature key's modulus.
///
#define SIGNATURE_KEY_BITS    256
#define SIGNATURE_BLOCK_SIZE  (SIGNATURE_KEY_BITS / 8)

///
/// The low bytes of each block's result that go on to the recovery buffer.
///
#define SIGNATURE_KEPT_BYTES  (SIGNATURE_BLOCK_SIZE - 2)

///
/// The zero-filled buffer the kept bytes of all blocks are laid into, and
/// the most blocks whose kept bytes fit it (17 blocks, 510 bytes). A
/// signature with more whole blocks is refused.
///
#define SIGNATURE_RECOVERY_BUFFER_SIZE  512
#define SIGNATURE_MAX_BLOCKS            (SIGNATURE_RECOVERY_BUFFER_SIZE / SIGNATURE_KEPT_BYTES)

///
/// The recovery buffer read as (ignored byte, value, position) triplets; the
/// first SIGNED_DIGEST_SIZE of them build the digest.
///
#define SIGNATURE_TRIPLET_SIZE  3

STATIC_ASSERT (SIGNATURE_BLOCK_SIZE == 32, "a block is the 256-bit key's width");
STATIC_ASSERT (SIGNATURE_KEPT_BYTES == 30, "30 kept bytes per block");
STATIC_ASSERT (SIGNATURE_MAX_BLOCKS == 17, "17 blocks fill 510 of the 512 bytes");
STATIC_ASSERT (SIGNATURE_MAX_BLOCKS * SIGNATURE_KEPT_BYTES <= SIGNATURE_RECOVERY_BUFFER_SIZE, "the largest accepted signature fits");
STATIC_ASSERT ((SIGNATURE_MAX_BLOCKS + 1) * SIGNATURE_KEPT_BYTES > SIGNATURE_RECOVERY_BUFFER_SIZE, "one block more would not");
STATIC_ASSERT (SIGNED_DIGEST_SIZE * SIGNATURE_TRIPLET_SIZE <= SIGNATURE_RECOVERY_BUFFER_SIZE, "the triplets lie inside the buffer");
STATIC_ASSERT (SIGNATURE_TRAILER_SIZE / SIGNATURE_BLOCK_SIZE <= SIGNATURE_MAX_BLOCKS, "the trailer is accepted");

/**
  Recovers the signed digest from a signature: each whole 32-byte block
  (little-endian) is raised to 65537 modulo the 256-bit key's modulus, the 30
  low bytes of each result go to offset 30 x block of a 512-byte zero-filled
  buffer, and triplet k of that buffer (bytes 3k, 3k+1, 3k+2: ignored, value,
  position) sets Digest[position] = value when position is below 32. A later
  triplet overwrites an earlier one; positions no triplet names stay 0. A
  partial block at the end is ignored, so a SignatureSize below 32 gives 32
  zero bytes.

  Only the SignatureSize bytes at Signature are read, whatever they hold.
  Sets the driver-wide key size and output length (256 bits, 30 bytes) and
  overwrites the arithmetic work numbers; not re-entrant.

  @param[in]  Signature      The signature bytes; may be NULL when
                             SignatureSize is 0.
  @param[in]  SignatureSize  Number of bytes at Signature.
  @param[out] Digest         Receives the SIGNED_DIGEST_SIZE digest bytes.

  @retval EFI_SUCCESS            Digest holds the recovered digest.
  @retval EFI_INVALID_PARAMETER  Digest is NULL, Signature is NULL with a
                                 SignatureSize other than 0, or the signature
                                 has more than SIGNATURE_MAX_BLOCKS whole
                                 blocks (576 bytes or more), whose kept bytes
                                 would not fit the recovery buffer. Nothing
                                 is read and Digest is not written.
**/
EFI_STATUS
EFIAPI
RecoverSignedDigest (
  IN  CONST UINT8  *Signature OPTIONAL,
  IN  UINT32       SignatureSize,
  OUT UINT8        *Digest
  );

/**
  Computes the SHA-256 digest (FIPS 180-4) of DataSize bytes at Data, in one
  pass: whole 64-byte blocks straight from Data, then the padded tail (0x80,
  zeros, the length in bits as a big-endian 64-bit number) in one or two
  local blocks. The digest is the eight state words, each most significant
  byte first.

  @param[out] Digest    Receives the SHA256_DIGEST_SIZE bytes. Nothing
                        happens when it is NULL.
  @param[in]  Data      The data; may be NULL when DataSize is 0. When it is
                        NULL with a DataSize other than 0, Digest is not
                        written.
  @param[in]  DataSize  Number of bytes at Data.
**/
VOID
EFIAPI
CalculateSha256 (
  OUT UINT8        *Digest,
  IN  CONST UINT8  *Data OPTIONAL,
  IN  UINTN        DataSize
  );

#endif
