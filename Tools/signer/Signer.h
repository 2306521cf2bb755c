// The test signer: builds signature trailers that RecoverSignedDigest turns
// back into a chosen 32-byte digest, with the private exponent of the
// 256-bit test key. Host only; the private exponent never reaches the driver.
//
// How a trailer is built: the digest is laid out as 32 triplets
// (filler, Digest[k], k) in a 96-byte recovery image, which is cut into
// 30-byte pieces; each piece, read as a little-endian number m (below 2^240,
// so below the 256-bit modulus N), becomes the 32-byte little-endian block
// m^d mod N. The public operation block^65537 mod N gives m back, whose 30
// low bytes are the piece. A trailer has five blocks (160 bytes); the fifth
// carries a zero piece.
#ifndef CAMERA_TOOLS_SIGNER_SIGNER_H
#define CAMERA_TOOLS_SIGNER_SIGNER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace TestSigner {

inline constexpr std::size_t kDigestSize = 32;     // the signed digest
inline constexpr std::size_t kBlockSize = 32;      // one signature block, the modulus width
inline constexpr std::size_t kKeptBytes = 30;      // low bytes of each block's result that count
inline constexpr std::size_t kTrailerSize = 160;   // five blocks
inline constexpr std::size_t kTripletSize = 3;     // (ignored byte, value, position)

using Digest = std::array<std::uint8_t, kDigestSize>;
using Block = std::array<std::uint8_t, kBlockSize>;
using KeptBytes = std::array<std::uint8_t, kKeptBytes>;
using Trailer = std::array<std::uint8_t, kTrailerSize>;

// The 96 recovery bytes that name Digest: triplet k is (Filler, Digest[k], k).
std::vector<std::uint8_t> DigestTriplets(const Digest &Value, std::uint8_t Filler = 0);

// The signature block whose public operation (block^65537 mod N) has Piece
// as its 30 low bytes, little-endian, and zeros above them.
Block SignBlock(const KeptBytes &Piece);

// Signs any recovery image: one block per 30 bytes of Recovery (the last
// piece zero-padded), at least MinimumBlocks blocks (extra blocks carry zero
// pieces). Lets tests build signatures with chosen triplets, positions of 32
// and above, repeated positions, or more blocks than a trailer has.
std::vector<std::uint8_t> SignRecoveryBytes(const std::vector<std::uint8_t> &Recovery,
                                            std::size_t MinimumBlocks = 0);

// The 160-byte signature trailer whose recovered digest is Value.
Trailer SignDigest(const Digest &Value, std::uint8_t Filler = 0);

// Image followed by the signature trailer of Value: a signed image as the
// slot update receives it (the image, then the last 160 bytes).
std::vector<std::uint8_t> AppendSignatureTrailer(std::vector<std::uint8_t> Image, const Digest &Value);

// The public operation on one block with GMP: block^65537 mod N, as 32
// little-endian bytes. An independent check of what the driver computes.
Block PublicOperation(const Block &Signature);

// The 256-bit test key's public modulus N, 32 bytes little-endian.
Block Modulus();

}  // namespace TestSigner

#endif
