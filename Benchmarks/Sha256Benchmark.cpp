// CalculateSha256 and OpenSSL's SHA-256 over the same 1 MiB buffer, in one
// run, so that their throughputs (bytes/s) can be set side by side.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "DigestRecovery.h"

namespace {

constexpr size_t kBufferSize = 1024 * 1024;

// One pseudo-random 1 MiB buffer, the same for both benchmarks.
const std::vector<uint8_t> &SharedBuffer() {
  static const std::vector<uint8_t> Buffer = [] {
    std::vector<uint8_t> Bytes(kBufferSize);
    std::mt19937 Random(0x5A256);
    for (auto &Byte : Bytes) {
      Byte = static_cast<uint8_t>(Random());
    }
    return Bytes;
  }();
  return Buffer;
}

void BM_CalculateSha256_1MiB(benchmark::State &State) {
  const auto &Buffer = SharedBuffer();
  UINT8 Digest[SHA256_DIGEST_SIZE];
  for (auto _ : State) {
    CalculateSha256(Digest, Buffer.data(), Buffer.size());
    benchmark::DoNotOptimize(Digest);
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Buffer.size()));
}

void BM_OpenSslSha256_1MiB(benchmark::State &State) {
  const auto &Buffer = SharedBuffer();
  unsigned char Digest[EVP_MAX_MD_SIZE];
  unsigned int DigestSize = 0;
  for (auto _ : State) {
    if (EVP_Digest(Buffer.data(), Buffer.size(), Digest, &DigestSize, EVP_sha256(), nullptr) != 1) {
      State.SkipWithError("EVP_Digest failed");
      break;
    }
    benchmark::DoNotOptimize(Digest);
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Buffer.size()));
}

// Both must agree on the buffer, or the figures compare nothing: a
// disagreement ends the run with a failing status before any timing.
void BM_Sha256ResultsAgree(benchmark::State &State) {
  const auto &Buffer = SharedBuffer();
  UINT8 Ours[SHA256_DIGEST_SIZE];
  unsigned char Theirs[EVP_MAX_MD_SIZE];
  unsigned int TheirsSize = 0;
  for (auto _ : State) {
    CalculateSha256(Ours, Buffer.data(), Buffer.size());
    if (EVP_Digest(Buffer.data(), Buffer.size(), Theirs, &TheirsSize, EVP_sha256(), nullptr) != 1 ||
        TheirsSize != SHA256_DIGEST_SIZE || std::memcmp(Ours, Theirs, SHA256_DIGEST_SIZE) != 0) {
      std::fprintf(stderr, "CalculateSha256 and OpenSSL's SHA-256 disagree on the benchmark buffer\n");
      std::abort();
    }
  }
}

BENCHMARK(BM_Sha256ResultsAgree)->Iterations(1);
BENCHMARK(BM_CalculateSha256_1MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslSha256_1MiB)->Unit(benchmark::kMillisecond);

}  // namespace
