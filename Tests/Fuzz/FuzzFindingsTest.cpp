// What the fuzz targets found, each as the minimized input that showed it,
// run through the same harness (Fuzz/Harness/Targets.h). A finding of the
// sanitizers shows in the sanitizer build (host-san); a finding of the
// harness's own checks shows in every build.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fuzz/Harness/Targets.h"

namespace {

using Bytes = std::vector<uint8_t>;

void ExpectClean(Fuzz::Findings (*Run)(const uint8_t *, size_t), const Bytes &Input) {
  const Fuzz::Findings Found = Run(Input.data(), Input.size());
  EXPECT_TRUE(Found.Clean()) << Found.Text();
}

// fuzz-capsule-hobs: a platform whose "Setup" variable is empty (0 bytes)
// and one camera capsule. The driver reads "Setup" into its buffer; the
// simulated GetVariable copied the variable's bytes from the empty vector's
// null data pointer (memcpy with size 0: undefined behaviour, reported by
// UndefinedBehaviorSanitizer in RuntimeServicesSim::GetVariable).
TEST(FuzzFindingsTest, AnEmptySetupVariableIsReadWithoutCopyingFromNull) {
  // Platform 0x08 ("Setup" of 0 x 16 bytes); a capsule HOB: the camera's
  // class, flags 0x00010000 (the bytes the input lacks read as zero).
  ExpectClean(Fuzz::RunCapsuleHobsInput, Bytes{0x08, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x01});
}

}  // namespace
