// libFuzzer entry point of the signature harness (Fuzz/Harness/Targets.h): a
// finding stops the run so that libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#include "Fuzz/Harness/Targets.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Fuzz::SetAbortOnBudget(true);
  Fuzz::SetVerbose(std::getenv("FUZZ_VERBOSE") != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const Fuzz::Findings Found = Fuzz::RunSignatureInput(Data, Size);
  if (!Found.Clean()) {
    std::fprintf(stderr, "==fuzz== finding:\n%s", Found.Text().c_str());
    std::abort();
  }
  return 0;
}
