// The fuzz harnesses as the test suite runs them: every committed seed of
// every target runs clean (no broken promise, no pool left behind, no
// misuse, within its budget), so the seeds stay meaningful inputs and the
// harnesses keep working in the ordinary builds too (the sanitizer build
// runs them under AddressSanitizer and UndefinedBehaviorSanitizer).
#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fuzz/Harness/Targets.h"

namespace {

std::vector<std::string> SeedFiles(const std::string &Target) {
  std::vector<std::string> Files;
  const std::string Dir = std::string(FUZZ_CORPUS_DIR) + "/" + Target;
  if (DIR *Handle = opendir(Dir.c_str())) {
    while (dirent *Entry = readdir(Handle)) {
      if (Entry->d_name[0] != '.') {
        Files.push_back(Dir + "/" + Entry->d_name);
      }
    }
    closedir(Handle);
  }
  return Files;
}

std::vector<uint8_t> ReadAll(const std::string &Path) {
  std::ifstream File(Path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

void ExpectSeedsRunClean(const std::string &Target, Fuzz::Findings (*Run)(const uint8_t *, size_t)) {
  Fuzz::SetVerbose(std::getenv("FUZZ_VERBOSE") != nullptr);  // what each seed did, on stderr
  const std::vector<std::string> Files = SeedFiles(Target);
  ASSERT_GE(Files.size(), 3u) << "seeds of " << Target;
  for (const std::string &File : Files) {
    const std::vector<uint8_t> Input = ReadAll(File);
    const Fuzz::Findings Found = Run(Input.data(), Input.size());
    EXPECT_TRUE(Found.Clean()) << File << ":\n" << Found.Text();
  }
}

TEST(FuzzCorpusTest, ImageSeedsRunClean) { ExpectSeedsRunClean("image", Fuzz::RunImageInput); }
TEST(FuzzCorpusTest, SignatureSeedsRunClean) { ExpectSeedsRunClean("signature", Fuzz::RunSignatureInput); }
TEST(FuzzCorpusTest, CapsuleHobSeedsRunClean) { ExpectSeedsRunClean("capsule-hobs", Fuzz::RunCapsuleHobsInput); }
TEST(FuzzCorpusTest, UpdateSeedsRunClean) { ExpectSeedsRunClean("update", Fuzz::RunUpdateInput); }

}  // namespace
