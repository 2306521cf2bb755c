// The extension-unit traffic of a test, folded into readable operations so
// that whole sequences compare at once:
//   "R209E"      a register read (SET_CUR 2 with the address, GET_CUR 3)
//   "W20D8=A5"   a register write (SET_CUR 2 with the address, SET_CUR 3)
//   "S07=0D"     a SET_CUR of another selector with its data bytes
//   "G17"        a GET_CUR of another selector
//   "L0F"        a GET_LEN that no data transfer followed
// A trailing '!' marks a transfer that did not return EFI_SUCCESS. Every
// GET_CUR and SET_CUR must come right after the GET_LEN of its selector, with
// the unit's length in wLength; a pair that does not shows with a leading '?'.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Sim/UsbBus.h"

namespace XuTrace {

inline std::string Hex(const std::vector<uint8_t> &Bytes) {
  std::string Out;
  char Buffer[3];
  for (uint8_t B : Bytes) {
    std::snprintf(Buffer, sizeof(Buffer), "%02X", B);
    Out += Buffer;
  }
  return Out;
}

inline std::string Fmt(const char *Format, unsigned A) {
  char Buffer[16];
  std::snprintf(Buffer, sizeof(Buffer), Format, A);
  return Buffer;
}

// One data transfer of the extension unit as "S<sel>=<data>" or "G<sel>".
inline std::string DataOp(const Sim::UsbTransfer &T) {
  const unsigned Selector = T.Setup.Value >> 8;
  std::string Op = (T.Setup.Request == 0x01) ? Fmt("S%02X=", Selector) + Hex(T.Data) : Fmt("G%02X", Selector);
  return T.Status == EFI_SUCCESS ? Op : Op + "!";
}

// The transfers as selector-level operations (GET_LEN folded into the
// request it precedes).
inline std::vector<std::string> SelectorOps(const std::vector<Sim::UsbTransfer> &T) {
  std::vector<std::string> Ops;
  for (size_t I = 0; I < T.size(); ++I) {
    const Sim::UsbTransfer &Len = T[I];
    const bool IsGetLen = Len.Setup.RequestType == 0xA1 && Len.Setup.Request == 0x85 && Len.Setup.Length == 2;
    const bool Paired = IsGetLen && Len.Status == EFI_SUCCESS && I + 1 < T.size() &&
                        T[I + 1].Setup.Value == Len.Setup.Value && T[I + 1].Setup.Request != 0x85 &&
                        (T[I + 1].Setup.Request == 0x01 || T[I + 1].Setup.Request == 0x81);
    if (Paired) {
      const Sim::UsbTransfer &Data = T[I + 1];
      const bool WellFormed = Data.Setup.Index == Len.Setup.Index && Len.Data.size() == 2 &&
                              Data.Setup.Length == unsigned(Len.Data[0] | (Len.Data[1] << 8)) &&
                              Data.Setup.RequestType == (Data.Setup.Request == 0x01 ? 0x21 : 0xA1);
      Ops.push_back((WellFormed ? "" : "?") + DataOp(Data));
      ++I;
    } else if (IsGetLen) {
      Ops.push_back(Fmt("L%02X", Len.Setup.Value >> 8) + (Len.Status == EFI_SUCCESS ? "" : "!"));
    } else {
      Ops.push_back("?" + DataOp(Len));
    }
  }
  return Ops;
}

// The selector operations with register accesses folded into "R..."/"W...".
inline std::vector<std::string> Ops(const std::vector<Sim::UsbTransfer> &T) {
  const std::vector<std::string> In = SelectorOps(T);
  std::vector<std::string> Out;
  for (size_t I = 0; I < In.size(); ++I) {
    const std::string &Op = In[I];
    if (Op.size() == 8 && Op.compare(0, 4, "S02=") == 0 && I + 1 < In.size()) {
      const std::string Address = Op.substr(6, 2) + Op.substr(4, 2);  // little-endian on the wire
      const std::string &Next = In[I + 1];
      if (Next.compare(0, 3, "G03") == 0) {
        Out.push_back("R" + Address + Next.substr(3));
        ++I;
        continue;
      }
      if (Next.compare(0, 4, "S03=") == 0) {
        Out.push_back("W" + Address + "=" + Next.substr(4));
        ++I;
        continue;
      }
    }
    Out.push_back(Op);
  }
  return Out;
}

inline std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> Parts) {
  std::vector<std::string> Out;
  for (const auto &P : Parts) {
    Out.insert(Out.end(), P.begin(), P.end());
  }
  return Out;
}

}  // namespace XuTrace
