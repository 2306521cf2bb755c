// Reading a fuzzer's input as a little structure: numbers and byte runs taken
// from the front, and whatever the input does not say taken as zero. Every
// input is valid; a short one simply says less.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Fuzz {

class ByteReader {
 public:
  ByteReader(const uint8_t *Data, size_t Size) : Data_(Data), Size_(Size) {}

  bool Empty() const { return At_ >= Size_; }
  size_t Left() const { return Size_ - At_; }

  uint8_t U8() { return At_ < Size_ ? Data_[At_++] : 0; }
  // Each byte in a statement of its own: the operands of | are evaluated in
  // no particular order.
  uint16_t Le16() {
    const uint16_t Low = U8();
    return static_cast<uint16_t>(Low | U8() << 8);
  }
  uint32_t Le24() {
    const uint32_t Low = Le16();
    return Low | static_cast<uint32_t>(U8()) << 16;
  }
  uint32_t Le32() {
    const uint32_t Low = Le16();
    return Low | static_cast<uint32_t>(Le16()) << 16;
  }
  // Up to Count bytes, fewer when the input ends first.
  std::vector<uint8_t> Bytes(size_t Count) {
    const size_t Take = Count < Left() ? Count : Left();
    std::vector<uint8_t> Out(Data_ + At_, Data_ + At_ + Take);
    At_ += Take;
    return Out;
  }
  // The rest of the input.
  std::vector<uint8_t> Rest() { return Bytes(Left()); }

 private:
  const uint8_t *Data_;
  size_t Size_;
  size_t At_ = 0;
};

// A heap buffer of exactly Size bytes (a distinct allocation even for 0), so
// that the address sanitizer reports the first byte read past its end.
class ExactBuffer {
 public:
  explicit ExactBuffer(const std::vector<uint8_t> &Bytes)
      : Size_(Bytes.size()), Data_(new uint8_t[Bytes.size()]) {
    std::copy(Bytes.begin(), Bytes.end(), Data_.get());
  }
  uint8_t *Data() { return Data_.get(); }
  size_t Size() const { return Size_; }
  std::vector<uint8_t> Copy() const { return std::vector<uint8_t>(Data_.get(), Data_.get() + Size_); }

 private:
  size_t Size_;
  std::unique_ptr<uint8_t[]> Data_;
};

// What a run found wrong besides what the sanitizers report themselves: a
// broken promise of a function's header, pool left behind or misused, a wait
// that did not end within its budget.
struct Findings {
  std::vector<std::string> Problems;

  void Add(const std::string &Problem) { Problems.push_back(Problem); }
  bool Clean() const { return Problems.empty(); }
  std::string Text() const {
    std::string Out;
    for (const std::string &Problem : Problems) {
      Out += Problem + "\n";
    }
    return Out;
  }
};

}  // namespace Fuzz
