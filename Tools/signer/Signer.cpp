// The test signer: signature trailers for chosen digests, made with the
// private exponent of the 256-bit test key (see Signer.h for the layout).
#include "Tools/signer/Signer.h"

#include <gmp.h>

#include <algorithm>
#include <cstdlib>

#include "Tools/signer/TestKeyPrivate.h"

namespace TestSigner {
namespace {

static_assert(kTestKeyBytes == kBlockSize, "one block is the test key's width");

// A GMP integer that frees itself.
class Integer {
 public:
  Integer() { mpz_init(Value); }
  ~Integer() { mpz_clear(Value); }
  Integer(const Integer &) = delete;
  Integer &operator=(const Integer &) = delete;

  void Import(const std::uint8_t *Bytes, std::size_t Count) { mpz_import(Value, Count, -1, 1, 0, 0, Bytes); }

  // The low 32 bytes, little-endian; the caller knows the value fits.
  Block Export() const {
    Block Out{};
    if (mpz_sizeinbase(Value, 256) > kBlockSize && mpz_sgn(Value) != 0) {
      std::abort();
    }
    std::size_t Count = 0;
    mpz_export(Out.data(), &Count, -1, 1, 0, 0, Value);
    return Out;
  }

  mpz_t Value;
};

// The modulus and the private exponent of the 256-bit test key.
void LoadKey(Integer &Modulus, Integer &PrivateExponent) {
  Modulus.Import(kTestKeyModulus, kTestKeyBytes);
  PrivateExponent.Import(kTestKeyPrivateExponent, kTestKeyBytes);
}

}  // namespace

std::vector<std::uint8_t> DigestTriplets(const Digest &Value, std::uint8_t Filler) {
  std::vector<std::uint8_t> Out;
  Out.reserve(kDigestSize * kTripletSize);
  for (std::size_t Position = 0; Position < kDigestSize; Position++) {
    Out.push_back(Filler);
    Out.push_back(Value[Position]);
    Out.push_back(static_cast<std::uint8_t>(Position));
  }
  return Out;
}

Block SignBlock(const KeptBytes &Piece) {
  Integer Modulus, PrivateExponent, Message, Signature;
  LoadKey(Modulus, PrivateExponent);

  // m is below 2^240 and N is a 256-bit number, so m < N and
  // (m^d)^e mod N = m.
  Message.Import(Piece.data(), Piece.size());
  mpz_powm(Signature.Value, Message.Value, PrivateExponent.Value, Modulus.Value);
  return Signature.Export();
}

std::vector<std::uint8_t> SignRecoveryBytes(const std::vector<std::uint8_t> &Recovery, std::size_t MinimumBlocks) {
  const std::size_t Blocks = std::max((Recovery.size() + kKeptBytes - 1) / kKeptBytes, MinimumBlocks);
  std::vector<std::uint8_t> Out;
  Out.reserve(Blocks * kBlockSize);
  for (std::size_t Index = 0; Index < Blocks; Index++) {
    KeptBytes Piece{};
    const std::size_t Start = Index * kKeptBytes;
    if (Start < Recovery.size()) {
      const std::size_t Count = std::min(kKeptBytes, Recovery.size() - Start);
      std::copy_n(Recovery.begin() + static_cast<std::ptrdiff_t>(Start), Count, Piece.begin());
    }
    const Block Signed = SignBlock(Piece);
    Out.insert(Out.end(), Signed.begin(), Signed.end());
  }
  return Out;
}

Trailer SignDigest(const Digest &Value, std::uint8_t Filler) {
  const std::vector<std::uint8_t> Blocks = SignRecoveryBytes(DigestTriplets(Value, Filler), kTrailerSize / kBlockSize);
  Trailer Out{};
  std::copy(Blocks.begin(), Blocks.end(), Out.begin());
  return Out;
}

std::vector<std::uint8_t> AppendSignatureTrailer(std::vector<std::uint8_t> Image, const Digest &Value) {
  const Trailer Signature = SignDigest(Value);
  Image.insert(Image.end(), Signature.begin(), Signature.end());
  return Image;
}

Block PublicOperation(const Block &Signature) {
  Integer Modulus, PrivateExponent, Value, Result;
  LoadKey(Modulus, PrivateExponent);
  Value.Import(Signature.data(), Signature.size());
  mpz_powm_ui(Result.Value, Value.Value, kTestKeyPublicExponent, Modulus.Value);
  return Result.Export();
}

Block Modulus() {
  Block Out{};
  std::copy(kTestKeyModulus, kTestKeyModulus + kTestKeyBytes, Out.begin());
  return Out;
}

}  // namespace TestSigner
