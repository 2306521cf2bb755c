#include "Tools/camfw/FlashActivity.h"

#include <algorithm>

namespace Camfw {

namespace {

// The extension unit's requests and the selectors the driver moves flash
// data and registers through.
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kSelectorRegisterAddress = 0x02;
constexpr uint8_t kSelectorRegisterData = 0x03;
constexpr uint8_t kSelectorWriteEnable = 0x09;
constexpr uint8_t kSelectorErase = 0x0D;
constexpr uint8_t kSelectorFlashAddress = 0x0E;
constexpr uint8_t kSelectorFlashData = 0x0F;
constexpr uint8_t kSelectorDigest = 0x1F;

constexpr uint16_t kUpdateWindow = 0x6000;
constexpr uint16_t kBootControl = 0x20D8;
constexpr uint8_t kRestart = 0xA5;
constexpr uint16_t kRestartSequenceLast = 0x2034;
constexpr uint32_t kBankHeader = 0x7000;
constexpr uint32_t kSectorSize = 0x1000;

uint32_t Le32(const std::vector<uint8_t> &Data) {
  uint32_t Value = 0;
  for (size_t I = 0; I < Data.size() && I < 4; ++I) {
    Value |= uint32_t(Data[I]) << (8 * I);
  }
  return Value;
}

bool IsRegisterWrite(const CameraOp &Op, uint16_t Register, int Value = -1) {
  return Op.What == CameraOp::Kind::Register && Op.Address == Register && (Value < 0 || Op.Value == Value);
}

// The ranges of the writes among Ops[From, To).
std::vector<AddressRange> WriteRanges(const std::vector<CameraOp> &Ops, size_t From, size_t To,
                                      CameraOp::Kind Kind = CameraOp::Kind::Write) {
  std::vector<AddressRange> Ranges;
  for (size_t I = From; I < To; ++I) {
    if (Ops[I].What == Kind) {
      const uint32_t Length = Kind == CameraOp::Kind::Erase ? kSectorSize : Ops[I].Length;
      Ranges.push_back({Ops[I].Address, Ops[I].Address + Length - 1});
    }
  }
  return MergeRanges(Ranges);
}

size_t CountOf(const std::vector<CameraOp> &Ops, CameraOp::Kind Kind) {
  return static_cast<size_t>(std::count_if(Ops.begin(), Ops.end(), [&](const CameraOp &Op) { return Op.What == Kind; }));
}

}  // namespace

std::vector<CameraOp> FoldCameraOps(const std::vector<Sim::UsbTransfer> &Transfers, uint8_t Port) {
  std::vector<CameraOp> Ops;
  uint16_t Register = 0;
  uint32_t FlashAddress = 0;
  for (const Sim::UsbTransfer &T : Transfers) {
    if (T.Port != Port || T.Status != EFI_SUCCESS || (T.Setup.Request != kSetCur && T.Setup.Request != kGetCur)) {
      continue;
    }
    const uint8_t Selector = static_cast<uint8_t>(T.Setup.Value >> 8);
    const bool Set = T.Setup.Request == kSetCur;
    CameraOp Op{};
    switch (Selector) {
      case kSelectorRegisterAddress:
        if (Set && T.Data.size() >= 2) {
          Register = static_cast<uint16_t>(T.Data[0] | T.Data[1] << 8);
        }
        continue;
      case kSelectorRegisterData:
        if (!Set || T.Data.empty()) {
          continue;
        }
        Op.What = CameraOp::Kind::Register;
        Op.Address = Register;
        Op.Value = T.Data[0];
        break;
      case kSelectorFlashAddress:
        if (Set) {
          FlashAddress = Le32(T.Data) & 0xFFFFFF;
        }
        continue;
      case kSelectorFlashData:
        Op.What = Set ? CameraOp::Kind::Write : CameraOp::Kind::Read;
        Op.Address = FlashAddress;
        Op.Length = static_cast<uint32_t>(T.Data.size());
        if (Set) {
          Op.Data = T.Data;
        }
        break;
      case kSelectorErase:
        if (!Set) {
          continue;
        }
        Op.What = CameraOp::Kind::Erase;
        Op.Address = (Le32(T.Data) & 0xFFFFFF) / kSectorSize * kSectorSize;
        break;
      case kSelectorDigest:
        if (!Set) {
          continue;
        }
        Op.What = CameraOp::Kind::Digest;
        Op.Data = T.Data;
        break;
      case kSelectorWriteEnable:
        if (!Set || T.Data.empty()) {
          continue;
        }
        Op.What = CameraOp::Kind::WriteEnable;
        Op.Value = T.Data[0];
        break;
      default:
        continue;
    }
    Ops.push_back(Op);
  }
  return Ops;
}

std::vector<AddressRange> MergeRanges(std::vector<AddressRange> Ranges) {
  std::sort(Ranges.begin(), Ranges.end(),
            [](const AddressRange &A, const AddressRange &B) { return A.First < B.First; });
  std::vector<AddressRange> Merged;
  for (const AddressRange &R : Ranges) {
    if (!Merged.empty() && uint64_t(R.First) <= uint64_t(Merged.back().Last) + 1) {
      Merged.back().Last = std::max(Merged.back().Last, R.Last);
    } else {
      Merged.push_back(R);
    }
  }
  return Merged;
}

std::string RangesText(const std::vector<AddressRange> &Ranges) {
  std::string Out;
  for (const AddressRange &R : Ranges) {
    Out += (Out.empty() ? "" : ", ") + Format("0x%05X..0x%05X", R.First, R.Last);
  }
  return Out.empty() ? "none" : Out;
}

std::vector<std::string> DescribeRoads(const std::vector<CameraOp> &Ops) {
  std::vector<std::string> Lines;
  const size_t Writes = CountOf(Ops, CameraOp::Kind::Write);
  const size_t Erases = CountOf(Ops, CameraOp::Kind::Erase);
  if (Writes == 0 && Erases == 0) {
    Lines.push_back("no road reached the flash: nothing was erased or written");
  }

  // The update windows: 1 then 0 to 0x6000, and the digests handed over.
  struct Window {
    size_t Open, Close;
  };
  std::vector<Window> Windows;
  for (size_t I = 0; I < Ops.size(); ++I) {
    if (IsRegisterWrite(Ops[I], kUpdateWindow, 1)) {
      size_t Close = I + 1;
      while (Close < Ops.size() && !IsRegisterWrite(Ops[Close], kUpdateWindow, 0)) {
        ++Close;
      }
      Windows.push_back({I, Close});
      I = Close;
    }
  }
  size_t Digests = 0;
  for (const CameraOp &Op : Ops) {
    if (Op.What == CameraOp::Kind::Digest) {
      Lines.push_back("two-slot road: the signed digest " + Hex(Op.Data.data(), std::min<size_t>(8, Op.Data.size())) +
                      "... handed to the ISP on selector 0x1F");
      ++Digests;
    }
  }
  size_t Before = 0;
  for (const Window &W : Windows) {
    const std::vector<AddressRange> Inside = WriteRanges(Ops, W.Open, W.Close);
    const std::vector<AddressRange> Ahead = WriteRanges(Ops, Before, W.Open);
    if (!Ahead.empty()) {
      const bool HeaderSector = Digests > 0 && Ahead.front().First == 0 && Ahead.front().Last < kSectorSize;
      Lines.push_back("written before the update window: " + RangesText(Ahead) +
                      (HeaderSector ? " (the camera's slot header sector)" : ""));
    }
    Lines.push_back(std::string(Digests > 0 ? "two-slot road" : "banked road") +
                    ": written inside the update window (0x6000 = 1 ... 0): " + RangesText(Inside));
    Before = W.Close;
  }
  if (!Windows.empty()) {
    const std::vector<AddressRange> After = WriteRanges(Ops, Before, Ops.size());
    bool BankHeader = false;
    for (const AddressRange &R : After) {
      BankHeader = BankHeader || (R.First <= kBankHeader && kBankHeader <= R.Last);
    }
    if (Digests == 0 && BankHeader) {
      Lines.push_back("banked road: the bank header at 0x7000 rewritten after the window closed");
    }
    if (!After.empty()) {
      Lines.push_back("written after the update window: " + RangesText(After));
    }
  } else if (Writes > 0) {
    // No window: the whole image, from address 0. Its first chunk goes in
    // first (blank, so that a half-written flash does not boot) and last.
    size_t First = Ops.size(), Last = Ops.size(), AtZero = 0;
    for (size_t I = 0; I < Ops.size(); ++I) {
      if (Ops[I].What == CameraOp::Kind::Write) {
        First = std::min(First, I);
        Last = I;
        AtZero += Ops[I].Address == 0;
      }
    }
    const bool Enabled = std::any_of(Ops.begin(), Ops.end(), [](const CameraOp &Op) {
      return Op.What == CameraOp::Kind::WriteEnable && Op.Value == 1;
    });
    std::string Line = "whole-image road: " + RangesText(WriteRanges(Ops, 0, Ops.size())) + " written";
    if (Ops[First].Address == 0 && Ops[Last].Address == 0 && AtZero >= 2 && Ops[First].Data != Ops[Last].Data) {
      // What the first write put there: erased bytes but for a mark.
      std::string Mark;
      size_t Marked = 0;
      for (size_t I = 0; I < Ops[First].Data.size(); ++I) {
        if (Ops[First].Data[I] != 0xFF && ++Marked <= 4) {
          Mark += Format("%s%02X at 0x%zX", Mark.empty() ? "" : ", ", Ops[First].Data[I], I);
        }
      }
      Line += Format(", the first chunk (%u bytes) first ", Ops[Last].Length) +
              (Marked <= 4 ? "as a blank (0xFF" + (Mark.empty() ? std::string() : " but " + Mark) + ")"
                           : std::string("with other bytes")) +
              " and last with the image's bytes";
    }
    Lines.push_back(Line + (Enabled ? "; flash writes enabled on selector 9" : ""));
  }
  if (Erases > 0) {
    Lines.push_back(Format("erased: %zu sector(s), ", Erases) + RangesText(WriteRanges(Ops, 0, Ops.size(), CameraOp::Kind::Erase)));
  }
  if (Writes > 0) {
    size_t Bytes = 0, ReadBytes = 0;
    for (const CameraOp &Op : Ops) {
      Bytes += Op.What == CameraOp::Kind::Write ? Op.Length : 0;
      ReadBytes += Op.What == CameraOp::Kind::Read ? Op.Length : 0;
    }
    Lines.push_back(Format("programmed: %zu bytes in %zu chunk(s); read: %zu bytes", Bytes, Writes, ReadBytes));
  }
  size_t Restarts = 0, Sequences = 0;
  for (const CameraOp &Op : Ops) {
    Restarts += IsRegisterWrite(Op, kBootControl, kRestart);
    Sequences += IsRegisterWrite(Op, kRestartSequenceLast, 1);
  }
  if (Restarts + Sequences > 0) {
    Lines.push_back(Format("ISP restarts asked for: %zu", Restarts + Sequences) +
                    (Restarts > 0 ? Format(" (0xA5 to 0x20D8 x%zu)", Restarts) : std::string()) +
                    (Sequences > 0 ? Format(" (the 0x2030..0x2034 sequence x%zu)", Sequences) : std::string()));
  }
  return Lines;
}

std::vector<FlashChange> DiffFlash(const Bytes &Before, const Bytes &After, size_t Gap) {
  std::vector<FlashChange> Changes;
  const size_t Size = std::min(Before.size(), After.size());
  for (size_t I = 0; I < Size; ++I) {
    if (Before[I] == After[I]) {
      continue;
    }
    if (!Changes.empty() && I - Changes.back().Range.Last <= Gap) {
      Changes.back().Range.Last = static_cast<uint32_t>(I);
      ++Changes.back().Differing;
    } else {
      Changes.push_back({{static_cast<uint32_t>(I), static_cast<uint32_t>(I)}, 1});
    }
  }
  return Changes;
}

}  // namespace Camfw
