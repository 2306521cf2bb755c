// Files and bytes for camfw: reading and writing whole files, the tool's
// error type (its message is what the user reads), and the byte-order
// helpers the image and capsule code shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Camfw {

using Bytes = std::vector<uint8_t>;

// A failure the user can act on; what() is a whole sentence without the
// program's name.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole file. Throws Error naming the file and the reason.
Bytes ReadFile(const std::string &Path);
// Writes Data as the whole file (created or truncated). Throws Error.
void WriteFile(const std::string &Path, const Bytes &Data);

// Reads that fail (return false) instead of leaving the buffer.
bool ReadLe16(const Bytes &Data, size_t At, uint16_t &Value);
bool ReadBe16(const Bytes &Data, size_t At, uint16_t &Value);
bool ReadBe32(const Bytes &Data, size_t At, uint32_t &Value);
bool Matches(const Bytes &Data, size_t At, const std::string &Marker);

void PutLe16(Bytes &Data, size_t At, uint16_t Value);
void PutBe32(Bytes &Data, size_t At, uint32_t Value);

// "0a1b..." for Count bytes at Data.
std::string Hex(const uint8_t *Data, size_t Count);
// printf into a std::string.
std::string Format(const char *Pattern, ...) __attribute__((format(printf, 1, 2)));

// Parses a number the user typed: decimal, or hexadecimal with 0x (or, with
// Hex, always hexadecimal). Throws Error naming What when it is not one or
// exceeds Max.
uint64_t ParseNumber(const std::string &Text, const std::string &What, uint64_t Max, bool Hex = false);

}  // namespace Camfw
