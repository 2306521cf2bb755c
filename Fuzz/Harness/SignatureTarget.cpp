// The signature check on a signature of any size. Input:
//   U8    Mode (bit 0: an empty signature is passed as NULL)
//   the rest: the signature, in an exact-size heap buffer
// The digest is compared with a model of the recovery that takes each
// block's public operation from GMP (the test signer). The fuzzer runs one
// input after another in one process, so driver-wide numbers one call left
// behind that mattered to the next would show as a difference too.
#include <cstring>
#include <string>

#include "DigestRecovery.h"
#include "Fuzz/Harness/Targets.h"
#include "Tools/signer/Signer.h"

namespace Fuzz {

namespace {

constexpr size_t kBlock = 32;
constexpr size_t kKept = 30;
constexpr size_t kMaxBlocks = 17;

std::string Hex(const uint8_t *Bytes, size_t Count) {
  static const char Digits[] = "0123456789abcdef";
  std::string Out;
  for (size_t K = 0; K < Count; ++K) {
    Out += Digits[Bytes[K] >> 4];
    Out += Digits[Bytes[K] & 15];
  }
  return Out;
}

// The digest the trailer names: the kept bytes of each whole block laid
// side by side, then the first 32 (ignored, value, position) triplets.
std::vector<uint8_t> ModelDigest(const std::vector<uint8_t> &Signature) {
  std::vector<uint8_t> Recovery(512, 0);
  for (size_t Block = 0; Block < Signature.size() / kBlock; ++Block) {
    TestSigner::Block In{};
    std::copy(Signature.begin() + static_cast<std::ptrdiff_t>(Block * kBlock),
              Signature.begin() + static_cast<std::ptrdiff_t>((Block + 1) * kBlock), In.begin());
    const TestSigner::Block M = TestSigner::PublicOperation(In);
    std::copy(M.begin(), M.begin() + kKept, Recovery.begin() + static_cast<std::ptrdiff_t>(Block * kKept));
  }
  std::vector<uint8_t> Digest(32, 0);
  for (size_t Triplet = 0; Triplet < 32; ++Triplet) {
    const uint8_t Value = Recovery[3 * Triplet + 1];
    const uint8_t Position = Recovery[3 * Triplet + 2];
    if (Position < 32) {
      Digest[Position] = Value;
    }
  }
  return Digest;
}

}  // namespace

Findings RunSignatureInput(const uint8_t *Data, size_t Size) {
  ByteReader In(Data, Size);
  const bool NullWhenEmpty = (In.U8() & 1) != 0;
  const std::vector<uint8_t> Signature = In.Rest();
  ExactBuffer Buffer(Signature);
  const UINT8 *Pointer = (Signature.empty() && NullWhenEmpty) ? nullptr : Buffer.Data();

  Findings Out;
  const std::vector<uint8_t> Untouched(32, 0xC3);
  ExactBuffer First(Untouched);
  const EFI_STATUS Status = RecoverSignedDigest(Pointer, static_cast<UINT32>(Signature.size()), First.Data());
  const bool Oversized = Signature.size() / kBlock > kMaxBlocks;
  if (Oversized) {
    if (Status != EFI_INVALID_PARAMETER) {
      Out.Add("RecoverSignedDigest took a signature of " + std::to_string(Signature.size()) + " bytes");
    }
  } else if (Status != EFI_SUCCESS) {
    Out.Add("RecoverSignedDigest refused a signature of " + std::to_string(Signature.size()) + " bytes");
  }
  if (Status != EFI_SUCCESS) {
    if (First.Copy() != Untouched) {
      Out.Add("RecoverSignedDigest wrote the digest and failed");
    }
    return Out;
  }

  const std::vector<uint8_t> Model = ModelDigest(Signature);
  if (First.Copy() != Model) {
    Out.Add("RecoverSignedDigest gave " + Hex(First.Data(), 32) + ", the model " + Hex(Model.data(), 32));
  }
  return Out;
}

}  // namespace Fuzz
