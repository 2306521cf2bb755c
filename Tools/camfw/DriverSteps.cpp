#include "Tools/camfw/DriverSteps.h"

#include <map>

#include "Tools/camfw/FileBytes.h"

namespace Camfw {

namespace {

constexpr uint8_t kGetLen = 0x85;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kSetCur = 0x01;

constexpr uint8_t kRegisterAddress = 0x02;
constexpr uint8_t kRegisterData = 0x03;
constexpr uint8_t kCommandSlot = 0x07;
constexpr uint8_t kCommandValue = 0x08;
constexpr uint8_t kWriteEnable = 0x09;
constexpr uint8_t kErase = 0x0D;
constexpr uint8_t kFlashAddress = 0x0E;
constexpr uint8_t kFlashData = 0x0F;
constexpr uint8_t kCommandMode = 0x10;
constexpr uint8_t kIdentification = 0x17;
constexpr uint8_t kDwordAddress = 0x1A;
constexpr uint8_t kDwordData = 0x1B;
constexpr uint8_t kDigest = 0x1F;
constexpr uint16_t kUnitIndex = 0x0400;

constexpr uint32_t kSector = 0x1000;
constexpr uint32_t kBankHeader = 0x7000;
constexpr uint32_t kBankArea = 0x8000;

uint32_t Le(const std::vector<uint8_t> &Data) {
  uint32_t Value = 0;
  for (size_t I = 0; I < Data.size() && I < 4; ++I) {
    Value |= uint32_t(Data[I]) << (8 * I);
  }
  return Value;
}

// One request to the unit with the length read before it, or a request
// standing alone (a length read, a standard request).
struct Request {
  size_t First = 0;
  size_t Last = 0;
  uint8_t Selector = 0;
  uint8_t Code = 0;  // GET_LEN, GET_CUR, SET_CUR; 0 for a standard request
  std::vector<uint8_t> Data;
  bool Unit = false;  // to the camera's unit (wIndex 0x0400)
};

// An operation: a register access, a chunk write or read, an erase, ...
struct Operation {
  enum class Kind : uint8_t {
    Standard, Probe, Length, RegisterRead, RegisterWrite, Write, Read, Erase, CommandTable, WriteEnable, Digest,
    Identification, Dword, Other
  };
  Kind What = Kind::Other;
  size_t First = 0;
  size_t Last = 0;
  size_t DataFirst = 0;  // a chunk write: where its data request (with its length read) begins
  uint32_t Address = 0;
  uint8_t Value = 0;
  uint8_t Selector = 0;
};

std::vector<Request> FoldRequests(const std::vector<Sim::UsbTransfer> &T, const std::vector<size_t> &Mine) {
  std::vector<Request> Requests;
  for (size_t K = 0; K < Mine.size(); ++K) {
    const Sim::UsbTransfer &X = T[Mine[K]];
    Request R;
    R.First = R.Last = Mine[K];
    R.Selector = static_cast<uint8_t>(X.Setup.Value >> 8);
    R.Unit = IsClassRequest(X) && X.Setup.Index == kUnitIndex;
    if (!IsClassRequest(X)) {
      Requests.push_back(R);
      continue;
    }
    R.Code = X.Setup.Request;
    R.Data = X.Data;
    // A length read followed by a request of the same selector belongs to it.
    if (R.Code == kGetLen && K + 1 < Mine.size()) {
      const Sim::UsbTransfer &Next = T[Mine[K + 1]];
      if (IsClassRequest(Next) && Next.Setup.Request != kGetLen && (Next.Setup.Value >> 8) == R.Selector &&
          Next.Setup.Index == X.Setup.Index) {
        R.Last = Mine[K + 1];
        R.Code = Next.Setup.Request;
        R.Data = Next.Data;
        ++K;
      }
    }
    Requests.push_back(R);
  }
  return Requests;
}

std::vector<Operation> FoldOperations(const std::vector<Request> &Requests) {
  std::vector<Operation> Ops;
  for (size_t K = 0; K < Requests.size(); ++K) {
    const Request &R = Requests[K];
    Operation Op;
    Op.First = R.First;
    Op.Last = R.Last;
    Op.Selector = R.Selector;
    auto Next = [&](uint8_t Selector) {
      return K + 1 < Requests.size() && Requests[K + 1].Unit && Requests[K + 1].Selector == Selector &&
             Requests[K + 1].Code != kGetLen;
    };
    if (R.Code == 0) {
      Op.What = Operation::Kind::Standard;
    } else if (!R.Unit) {
      Op.What = Operation::Kind::Probe;
    } else if (R.Code == kGetLen) {
      Op.What = R.Selector == kFlashData ? Operation::Kind::Length : Operation::Kind::Probe;
    } else if (R.Selector == kRegisterAddress && R.Code == kSetCur && Next(kRegisterData)) {
      const Request &Data = Requests[++K];
      Op.Last = Data.Last;
      Op.Address = Le(R.Data) & 0xFFFF;
      Op.What = Data.Code == kGetCur ? Operation::Kind::RegisterRead : Operation::Kind::RegisterWrite;
      Op.Value = Data.Data.empty() ? 0 : Data.Data[0];
    } else if (R.Selector == kFlashAddress && R.Code == kSetCur && Next(kFlashData)) {
      Op.Address = Le(R.Data);
      Op.What = Requests[K + 1].Code == kGetCur ? Operation::Kind::Read : Operation::Kind::Write;
      Op.DataFirst = Requests[K + 1].First;
      Op.Last = Requests[++K].Last;
      // A data phase repeated on its own belongs to the same write.
      while (Op.What == Operation::Kind::Write && Next(kFlashData) && Requests[K + 1].Code == kSetCur) {
        Op.Last = Requests[++K].Last;
      }
    } else if (R.Selector == kErase) {
      Op.What = Operation::Kind::Erase;
      Op.Address = Le(R.Data);
    } else if (R.Selector == kCommandSlot || R.Selector == kCommandValue || R.Selector == kCommandMode) {
      Op.What = Operation::Kind::CommandTable;
    } else if (R.Selector == kWriteEnable) {
      Op.What = Operation::Kind::WriteEnable;
    } else if (R.Selector == kDigest) {
      Op.What = Operation::Kind::Digest;
    } else if (R.Selector == kIdentification) {
      Op.What = Operation::Kind::Identification;
    } else if (R.Selector == kDwordAddress || R.Selector == kDwordData) {
      Op.What = Operation::Kind::Dword;
    }
    Ops.push_back(Op);
  }
  return Ops;
}

bool InRange(uint16_t Address, uint16_t Low, uint16_t High) { return Address >= Low && Address <= High; }

// The step of a register access that is not the SPI controller's.
std::string RegisterStep(const Operation &Op, bool &WindowOpened, bool &WindowClosed, bool &Restart) {
  const uint16_t A = static_cast<uint16_t>(Op.Address);
  const bool Write = Op.What == Operation::Kind::RegisterWrite;
  if (A == 0x6000) {
    if (Write && Op.Value == 1) {
      WindowOpened = true;
      WindowClosed = false;
      return "window open";
    }
    if (Write && Op.Value == 0) {
      WindowClosed = WindowOpened;
      return "window close";
    }
    return WindowClosed ? "window close wait" : "window idle wait";
  }
  if (InRange(A, 0x2041, 0x2045) || InRange(A, 0x0700, 0x0703)) {
    return "update lock";
  }
  if (!Write && (A == 0x209E || A == 0x209F || A == 0x20A1 || A == 0x20FF || A == 0x20D0)) {
    return "generation read";
  }
  if (!Write && (A == 0x20D9 || A == 0x20DC || A == 0x20DD)) {
    return "boot state read";
  }
  if (Write && A == 0x20D8 && Op.Value == 0xA5) {
    Restart = true;
    return "ISP restart";
  }
  if (Write && A == 0x20D8 && Op.Value == 0x5A) {
    Restart = true;  // the banked ISP re-enumerates; the two-slot ones only record it
    return "re-enumeration request";
  }
  if (Write && InRange(A, 0x2030, 0x2034)) {
    Restart = A == 0x2034 && Op.Value == 0x01;
    return "ISP restart sequence";
  }
  if (Write && A == 0x20D8 && Op.Value == 0x78) {
    return "boot control (resume)";
  }
  if (Write && A == 0x20DA && Op.Value == 0x78) {
    Restart = true;  // the banked ISP re-enumerates
    return "boot select";
  }
  if (Write && A == 0x20D8) {
    return Format("boot control 0x%02X", Op.Value);
  }
  if (Write && A == 0x20D9) {
    return "boot state write";
  }
  if (Write && A == 0x041D) {
    return "re-attach notice";
  }
  if (Write && A == 0x6001) {
    return "slot prepare";
  }
  return Format("register 0x%04X %s", A, Write ? "write" : "read");
}

bool IsSpiRegister(const Operation &Op) {
  return (Op.What == Operation::Kind::RegisterRead || Op.What == Operation::Kind::RegisterWrite) &&
         InRange(static_cast<uint16_t>(Op.Address), 0x2C24, 0x2C2C);
}

// The SPI controller command that starts at Ops[K], named by the first byte
// it queues: from the start (0x10 to 0x2C25) to its last poll.
std::string SpiCommandName(const std::vector<Operation> &Ops, size_t K) {
  for (size_t I = K; I < Ops.size() && IsSpiRegister(Ops[I]); ++I) {
    const Operation &Op = Ops[I];
    if (I > K && Op.What == Operation::Kind::RegisterWrite && Op.Address == 0x2C25 && Op.Value == 0x10) {
      break;
    }
    if (Op.What == Operation::Kind::RegisterWrite && Op.Address == 0x2C24) {
      if (Op.Value == 0x9F || Op.Value == 0x90 || Op.Value == 0xAB) {
        return "flash identification";
      }
      return (Op.Value == 0x06 || Op.Value == 0x01) ? "flash unprotect" : Format("SPI command 0x%02X", Op.Value);
    }
  }
  return "SPI controller";
}

// Names the flash operations of one road shape as it goes along.
class FlashNamer {
 public:
  explicit FlashNamer(RoadShape Shape) : Shape_(Shape) {}

  std::string Name(const Operation &Op, bool WindowOpen, bool WindowClosed) {
    const uint32_t A = Op.Address;
    const bool Erase = Op.What == Operation::Kind::Erase;
    const bool Write = Op.What == Operation::Kind::Write;
    switch (Shape_) {
      case RoadShape::Slot:
        if (A < kSector) {
          if (Erase) {
            return "header sector erase";
          }
          if (Write) {
            HeaderWritten_ = true;
            return "header block write";
          }
          return HeaderWritten_ ? "header read-back" : "header sector read";
        }
        if (Erase) {
          HeaderWritten_ = false;
          return "slot erase";
        }
        if (Write) {
          return WindowOpen ? "slot write" : WindowClosed ? "version block write" : "flash write";
        }
        return "slot read-back";
      case RoadShape::Bank:
        if (A >= kBankHeader && A < kBankHeader + kSector) {
          if (Erase) {
            return WindowClosed ? "bank header erase for the rewrite" : "bank header erase";
          }
          if (Write) {
            return "bank header rewrite";
          }
          return WindowClosed ? "bank header read (digests)" : "bank header read";
        }
        if (Erase) {
          return A >= kBankArea ? "bank erase" : "base area erase";
        }
        if (Write) {
          return WindowOpen ? "bank write" : "flash write";
        }
        return WindowClosed ? "bank read-back" : "device data read";
      case RoadShape::WholeImage:
        if (Erase) {
          Erased_ = true;
          return "image erase";
        }
        if (Write) {
          if (A == 0) {
            return ReadBack_ ? "first chunk, last" : "blank first chunk";
          }
          return "image write";
        }
        if (!Erased_) {
          return A < kSector ? "header sector read" : "flash read";
        }
        ReadBack_ = true;
        return "image read-back";
    }
    return "flash";
  }

 private:
  RoadShape Shape_;
  bool HeaderWritten_ = false;
  bool Erased_ = false;
  bool ReadBack_ = false;
};

std::string OperationText(const Operation &Op) {
  switch (Op.What) {
    case Operation::Kind::Standard:
      return "standard request";
    case Operation::Kind::Probe:
      return "unit probe";
    case Operation::Kind::Length:
      return "chunk length read";
    case Operation::Kind::RegisterRead:
      return Format("register 0x%04X read", Op.Address);
    case Operation::Kind::RegisterWrite:
      return Format("register 0x%04X write 0x%02X", Op.Address, Op.Value);
    case Operation::Kind::Write:
      return Format("chunk write 0x%X", Op.Address);
    case Operation::Kind::Read:
      return Format("chunk read 0x%X", Op.Address);
    case Operation::Kind::Erase:
      return Format("sector erase 0x%X", Op.Address);
    case Operation::Kind::CommandTable:
      return Format("command table (selector 0x%02X)", Op.Selector);
    case Operation::Kind::WriteEnable:
      return "flash write enable";
    case Operation::Kind::Digest:
      return "signed digest";
    case Operation::Kind::Identification:
      return "identification read";
    case Operation::Kind::Dword:
      return "address-space read";
    case Operation::Kind::Other:
      break;
  }
  return Format("selector 0x%02X", Op.Selector);
}

}  // namespace

bool IsClassRequest(const Sim::UsbTransfer &Transfer) { return (Transfer.Setup.RequestType & 0x7F) == 0x21; }

std::vector<TransferStep> NameDriverSteps(const std::vector<Sim::UsbTransfer> &Transfers, uint8_t Port,
                                          RoadShape Shape) {
  std::vector<TransferStep> Steps(Transfers.size());
  std::vector<size_t> Mine;
  for (size_t I = 0; I < Transfers.size(); ++I) {
    if (Transfers[I].Port == Port) {
      Mine.push_back(I);
    } else {
      Steps[I].Step = Steps[I].Operation = "other device";
    }
  }
  const std::vector<Operation> Ops = FoldOperations(FoldRequests(Transfers, Mine));

  // Each operation's step, without instance numbers yet.
  std::vector<std::string> Names(Ops.size());
  std::vector<bool> Restarts(Ops.size(), false);
  FlashNamer Flash(Shape);
  bool WindowOpened = false;
  bool WindowClosed = false;
  std::string SpiCommand;
  for (size_t K = 0; K < Ops.size(); ++K) {
    const Operation &Op = Ops[K];
    switch (Op.What) {
      case Operation::Kind::Standard:
      case Operation::Kind::Probe:
        Names[K] = "camera discovery";
        break;
      case Operation::Kind::RegisterRead:
      case Operation::Kind::RegisterWrite:
        if (InRange(static_cast<uint16_t>(Op.Address), 0x2C24, 0x2C2C)) {
          // One command of the SPI controller: from its start (0x10 to
          // 0x2C25) to the last poll, named by the opcode it sends first.
          if (SpiCommand.empty() ||
              (Op.What == Operation::Kind::RegisterWrite && Op.Address == 0x2C25 && Op.Value == 0x10)) {
            SpiCommand = SpiCommandName(Ops, K);
          }
          Names[K] = SpiCommand;
        } else {
          SpiCommand.clear();
          bool Restart = false;
          Names[K] = RegisterStep(Op, WindowOpened, WindowClosed, Restart);
          Restarts[K] = Restart;
        }
        break;
      case Operation::Kind::Write:
      case Operation::Kind::Read:
      case Operation::Kind::Erase:
        Names[K] = Flash.Name(Op, WindowOpened && !WindowClosed, WindowClosed);
        break;
      case Operation::Kind::CommandTable:
        Names[K] = "command-set load";
        break;
      case Operation::Kind::Length:
        // The length the command-set load ends with, the one a sector read
        // starts with (named after the read below), or one on its own.
        Names[K] = (K > 0 && Ops[K - 1].What == Operation::Kind::CommandTable) ? "command-set load" : "";
        break;
      case Operation::Kind::WriteEnable:
        Names[K] = "flash write enable";
        break;
      case Operation::Kind::Digest:
        Names[K] = "signed digest";
        break;
      case Operation::Kind::Identification:
        Names[K] = "flash identification";
        break;
      case Operation::Kind::Dword:
        Names[K] = "PRO block read";
        break;
      case Operation::Kind::Other:
        Names[K] = OperationText(Op);
        break;
    }
  }
  for (size_t K = Ops.size(); K-- > 0;) {
    // The command-table slot loaded for an identification through the unit
    // belongs to the identification.
    if (Ops[K].What == Operation::Kind::CommandTable && K + 1 < Ops.size() &&
        (Ops[K + 1].What == Operation::Kind::Identification ||
         (Ops[K + 1].What == Operation::Kind::CommandTable && Names[K + 1] == "flash identification"))) {
      Names[K] = "flash identification";
    }
    if (Names[K].empty()) {
      Names[K] = (K + 1 < Ops.size() && Ops[K + 1].What == Operation::Kind::Read) ? Names[K + 1] : "chunk length read";
    }
  }

  // Instances: a run of operations with the same step is one instance,
  // named with its first flash address; a step seen again later gets its
  // ordinal.
  std::map<std::string, unsigned> Seen;
  std::string Current;
  for (size_t K = 0; K < Ops.size(); ++K) {
    const Operation &Op = Ops[K];
    if (K == 0 || Names[K] != Names[K - 1]) {
      std::string Instance = Names[K];
      const bool FlashOp = Op.What == Operation::Kind::Write || Op.What == Operation::Kind::Read ||
                           Op.What == Operation::Kind::Erase;
      if (FlashOp) {
        Instance += Format(" at 0x%X", Op.Address);
      }
      const unsigned Ordinal = ++Seen[Instance];
      if (Ordinal > 1) {
        Instance += Format(" (%u%s)", Ordinal, Ordinal == 2 ? "nd" : Ordinal == 3 ? "rd" : "th");
      }
      Current = Instance;
    }
    const std::string Text = OperationText(Op);
    for (size_t I = Op.First; I <= Op.Last; ++I) {
      if (Transfers[I].Port != Port) {
        continue;
      }
      TransferStep &S = Steps[I];
      S.Step = Current;
      S.Operation = Text;
      S.OperationKind = Op.What == Operation::Kind::Erase   ? TransferStep::Kind::Erase
                        : Op.What == Operation::Kind::Write ? TransferStep::Kind::Write
                        : Op.What == Operation::Kind::Read  ? TransferStep::Kind::Read
                                                            : TransferStep::Kind::Other;
      if (Op.What == Operation::Kind::Write && I >= Op.DataFirst) {
        S.DataPhase = true;
        S.Operation += ", data phase";
      } else if (Op.What == Operation::Kind::Write || Op.What == Operation::Kind::Read) {
        S.Operation += ", address phase";
      }
      S.Restart = Restarts[K] && I == Op.Last;
    }
  }
  return Steps;
}

}  // namespace Camfw
