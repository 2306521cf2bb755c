#include "Tools/camfw/FileBytes.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace Camfw {

Bytes ReadFile(const std::string &Path) {
  std::ifstream File(Path, std::ios::binary);
  if (!File) {
    throw Error("cannot read " + Path + ": " + std::strerror(errno));
  }
  Bytes Data((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  if (File.bad()) {
    throw Error("cannot read " + Path + ": read error");
  }
  return Data;
}

void WriteFile(const std::string &Path, const Bytes &Data) {
  std::ofstream File(Path, std::ios::binary | std::ios::trunc);
  if (!File) {
    throw Error("cannot write " + Path + ": " + std::strerror(errno));
  }
  File.write(reinterpret_cast<const char *>(Data.data()), static_cast<std::streamsize>(Data.size()));
  File.close();
  if (!File) {
    throw Error("cannot write " + Path + ": write error");
  }
}

bool ReadLe16(const Bytes &Data, size_t At, uint16_t &Value) {
  if (At > Data.size() || Data.size() - At < 2) {
    return false;
  }
  Value = static_cast<uint16_t>(Data[At] | (Data[At + 1] << 8));
  return true;
}

bool ReadBe16(const Bytes &Data, size_t At, uint16_t &Value) {
  if (At > Data.size() || Data.size() - At < 2) {
    return false;
  }
  Value = static_cast<uint16_t>((Data[At] << 8) | Data[At + 1]);
  return true;
}

bool ReadBe32(const Bytes &Data, size_t At, uint32_t &Value) {
  if (At > Data.size() || Data.size() - At < 4) {
    return false;
  }
  Value = uint32_t(Data[At]) << 24 | uint32_t(Data[At + 1]) << 16 | uint32_t(Data[At + 2]) << 8 | Data[At + 3];
  return true;
}

bool Matches(const Bytes &Data, size_t At, const std::string &Marker) {
  return At <= Data.size() && Data.size() - At >= Marker.size() &&
         std::memcmp(Data.data() + At, Marker.data(), Marker.size()) == 0;
}

void PutLe16(Bytes &Data, size_t At, uint16_t Value) {
  Data.at(At) = static_cast<uint8_t>(Value);
  Data.at(At + 1) = static_cast<uint8_t>(Value >> 8);
}

void PutBe32(Bytes &Data, size_t At, uint32_t Value) {
  for (size_t I = 0; I < 4; ++I) {
    Data.at(At + I) = static_cast<uint8_t>(Value >> (24 - 8 * I));
  }
}

std::string Hex(const uint8_t *Data, size_t Count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string Out;
  Out.reserve(Count * 2);
  for (size_t I = 0; I < Count; ++I) {
    Out += kDigits[Data[I] >> 4];
    Out += kDigits[Data[I] & 0x0F];
  }
  return Out;
}

std::string Format(const char *Pattern, ...) {
  va_list Args;
  va_start(Args, Pattern);
  va_list Copy;
  va_copy(Copy, Args);
  const int Length = std::vsnprintf(nullptr, 0, Pattern, Copy);
  va_end(Copy);
  std::string Out(Length > 0 ? static_cast<size_t>(Length) : 0, '\0');
  if (Length > 0) {
    std::vsnprintf(&Out[0], Out.size() + 1, Pattern, Args);
  }
  va_end(Args);
  return Out;
}

uint64_t ParseNumber(const std::string &Text, const std::string &What, uint64_t Max, bool Hex) {
  std::string Digits = Text;
  int Base = Hex ? 16 : 10;
  if (Digits.size() > 2 && Digits[0] == '0' && (Digits[1] == 'x' || Digits[1] == 'X')) {
    Digits = Digits.substr(2);
    Base = 16;
  }
  const char *Allowed = Base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (Digits.empty() || Digits.size() > 16 || Digits.find_first_not_of(Allowed) != std::string::npos) {
    throw Error(What + " \"" + Text + "\" is not a " + (Base == 16 ? "hexadecimal " : "") + "number");
  }
  const uint64_t Value = std::strtoull(Digits.c_str(), nullptr, Base);
  if (Value > Max) {
    throw Error(What + " " + Text + " is too large (at most " + Format("0x%llX", static_cast<unsigned long long>(Max)) +
                ")");
  }
  return Value;
}

}  // namespace Camfw
