// camfw: the user-facing host tool around CameraUpdateDxe.
//
//   camfw simulate   the driver's whole job on the simulated platform
//   camfw inspect    what an image or capsule holds, as the driver reads it
//   camfw capsule    an image wrapped in a capsule for the camera
//   camfw sign       the test signer's trailer on a two-slot image
//   camfw sample     sample images for the simulated cameras
//   camfw figures    the reliability figures: fault sweeps, fuzzing, benchmarks
//
// Errors are reported as one sentence on stderr: exit status 2 for a
// command line camfw does not understand, 1 for anything else that fails.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "Sim/Guid.h"
#include "Tools/camfw/CapsuleFile.h"
#include "Tools/camfw/FileBytes.h"
#include "Tools/camfw/Figures.h"
#include "Tools/camfw/ImageReport.h"
#include "Tools/camfw/SampleImages.h"
#include "Tools/camfw/Simulation.h"

namespace {

const char kUsage[] =
    "usage: camfw COMMAND [ARGUMENTS]\n"
    "\n"
    "  camfw simulate [CAPSULE...] [--camera KIND] [--bcd HEX] [--trace]\n"
    "                 [--chunk N] [--register ADDR=VALUE]... [--bus immediate|enumerated]\n"
    "                 [--ec present|absent] [--flash-out FILE] [--requests-out FILE]\n"
    "      Boot the simulated platform with one camera: a normal boot, a boot in\n"
    "      flash-update mode with the capsules (without any, a sample capsule built\n"
    "      for the camera), then boots until one ends without a reset. Reports the\n"
    "      progress bar, the ESRT before and after, the roads the driver took, the\n"
    "      flash ranges that changed, the \"Setup\" bytes it wrote, the USB\n"
    "      transfers and the virtual time. --bcd sets the sample's bcdDevice\n"
    "      (default 0200); --trace lists each boot's steps and the calls they made.\n"
    "      --chunk sets the chunk the camera's unit moves and --register a register\n"
    "      its ISP's boot sets (hexadecimal; camera-redir takes the same options);\n"
    "      --bus enumerated makes the bus see a restarted camera only once the\n"
    "      driver's notification has returned, as EDK II's USB bus does (default\n"
    "      immediate); --ec absent leaves the embedded controller's ports empty (all\n"
    "      ones, as on QEMU); --flash-out writes the camera's flash at the end to FILE,\n"
    "      --requests-out the requests that reached it, boot by boot, as camera-redir\n"
    "      logs them.\n"
    "  camfw inspect FILE [--chunk N]\n"
    "      Describe an image, or the image inside a capsule: kind, header format,\n"
    "      slots, version words and data, markers, the signature trailer and the\n"
    "      digest recovered from it, checked against the window digest for chunks\n"
    "      of N bytes (default 64).\n"
    "  camfw capsule IMAGE -o FILE [--guid GUID] [--flags HEX]\n"
    "      Wrap IMAGE in a capsule: a 28-byte EFI_CAPSULE_HEADER with the camera's\n"
    "      firmware class A6A82337-904E-4742-9ECA-CF8E7DE4DE17 and the flags\n"
    "      10000 (PERSIST_ACROSS_RESET) unless told otherwise, then the image.\n"
    "  camfw sign IMAGE -o FILE [--chunk N]\n"
    "      Append the test signer's 160-byte trailer to an image with a two-slot\n"
    "      header, signing the SHA-256 of what the driver writes inside the\n"
    "      update window in chunks of N bytes (default 64).\n"
    "  camfw sample -o FILE [--camera KIND] [--bcd HEX] [--chunk N] [--unsigned]\n"
    "                 [--header-version N] [--slot-length N]\n"
    "      Build a sample image for a camera generation, carrying bcdDevice HEX\n"
    "      (default 0200); two-slot samples are signed unless --unsigned, and their\n"
    "      header carries Version N (default 2; the cameras' factory header has 1)\n"
    "      and --slot-length bytes of slot data (default 0x2000).\n"
    "  camfw figures [--section NAME]... [--road KEY]... [--stride N] [--build DIR]\n"
    "      Measure and print the reliability figures, one section per source:\n"
    "      power-cuts (the power cut at every extension-unit transfer of each road's\n"
    "      update, then the update again), double-cuts (two cuts on the two-slot road),\n"
    "      transfer-faults (each transfer failing once, and twice in a row), fuzz,\n"
    "      benchmarks and tables (what other builds left under DIR, default build).\n"
    "      --road picks roads (g n-whole n-bank p-slot p-fallback p-header); --stride N\n"
    "      tries every N-th transfer (and the first of every step) instead of all.\n"
    "  camfw help\n"
    "\n"
    "KIND is the camera's ISP generation: f g h i j k l m (whole image), n (banked)\n"
    "or p q (two slots); the default is p. HEX numbers are hexadecimal with or\n"
    "without 0x; N is decimal or 0x-hexadecimal.\n";

// A command line camfw does not understand.
class UsageError : public Camfw::Error {
 public:
  using Camfw::Error::Error;
};

// The arguments of one command: positional ones and options with a value.
struct Arguments {
  std::vector<std::string> Positional;
  std::vector<std::pair<std::string, std::string>> Options;
  std::vector<std::string> Flags;

  // Options taking a value (WithValue) and flags (Switches); anything else
  // starting with "-" is refused.
  Arguments(int Argc, char **Argv, const std::vector<std::string> &WithValue, const std::vector<std::string> &Switches) {
    for (int I = 2; I < Argc; ++I) {
      const std::string A = Argv[I];
      if (A.size() > 1 && A[0] == '-') {
        if (std::find(WithValue.begin(), WithValue.end(), A) != WithValue.end()) {
          if (I + 1 >= Argc) {
            throw UsageError("option " + A + " needs a value");
          }
          Options.emplace_back(A, Argv[++I]);
        } else if (std::find(Switches.begin(), Switches.end(), A) != Switches.end()) {
          Flags.push_back(A);
        } else {
          throw UsageError(std::string("camfw ") + Argv[1] + " has no option " + A);
        }
      } else {
        Positional.push_back(A);
      }
    }
  }

  // The option's last value, or Default.
  std::string Get(const std::string &Name, const std::string &Default = "") const {
    std::string Value = Default;
    for (const auto &O : Options) {
      if (O.first == Name) {
        Value = O.second;
      }
    }
    return Value;
  }
  bool Has(const std::string &Name) const {
    return std::find(Flags.begin(), Flags.end(), Name) != Flags.end() ||
           std::any_of(Options.begin(), Options.end(), [&](const auto &O) { return O.first == Name; });
  }
  std::string Output(const char *Command) const {
    if (!Has("-o")) {
      throw UsageError(std::string("camfw ") + Command + " needs -o FILE for its output");
    }
    return Get("-o");
  }
  std::string OneInput(const char *Command, const char *What) const {
    if (Positional.size() != 1) {
      throw UsageError(std::string("camfw ") + Command + " takes one " + What +
                       (Positional.empty() ? ", and none was given" : Camfw::Format(", not %zu", Positional.size())));
    }
    return Positional[0];
  }
};

char CameraKind(const Arguments &Args) {
  const std::string Kind = Args.Get("--camera", "p");
  if (Kind.size() != 1) {
    throw Camfw::Error("unknown camera kind \"" + Kind + "\" (known: f g h i j k l m n p q)");
  }
  Camfw::CheckCameraKind(Kind[0]);
  return Kind[0];
}

uint16_t Bcd(const Arguments &Args) {
  return static_cast<uint16_t>(Camfw::ParseNumber(Args.Get("--bcd", "0200"), "bcdDevice", 0xFFFF, true));
}

size_t Chunk(const Arguments &Args) {
  const size_t N = Camfw::ParseNumber(Args.Get("--chunk", "64"), "the chunk length", 4096);
  if (N == 0) {
    throw Camfw::Error("a chunk length of 0 bytes is not one the camera uses (1..4096)");
  }
  return N;
}

// "ADDR=VALUE": a register address (16 bits) and a byte, both hexadecimal.
std::pair<uint16_t, uint8_t> Register(const std::string &Text) {
  const size_t Equals = Text.find('=');
  if (Equals == std::string::npos) {
    throw UsageError("--register takes ADDR=VALUE (hexadecimal, e.g. 20DC=01), not \"" + Text + "\"");
  }
  return {static_cast<uint16_t>(Camfw::ParseNumber(Text.substr(0, Equals), "the register address", 0xFFFF, true)),
          static_cast<uint8_t>(Camfw::ParseNumber(Text.substr(Equals + 1), "the register value", 0xFF, true))};
}

int CommandSimulate(int Argc, char **Argv) {
  const Arguments Args(Argc, Argv, {"--camera", "--bcd", "--capsule", "--chunk", "--register", "--bus", "--ec", "--flash-out",
                        "--requests-out"},
                       {"--trace"});
  Camfw::SimulateOptions Options;
  Options.Camera = CameraKind(Args);
  if (Args.Has("--chunk")) {
    Options.Chunk = static_cast<uint16_t>(Chunk(Args));
  }
  for (const auto &O : Args.Options) {
    if (O.first == "--register") {
      const std::pair<uint16_t, uint8_t> R = Register(O.second);
      Options.BootRegisters[R.first] = R.second;
    }
  }
  const std::string Bus = Args.Get("--bus", "immediate");
  if (Bus != "immediate" && Bus != "enumerated") {
    throw UsageError("--bus is immediate or enumerated, not \"" + Bus + "\"");
  }
  Options.EnumeratedBus = Bus == "enumerated";
  const std::string Ec = Args.Get("--ec", "present");
  if (Ec != "present" && Ec != "absent") {
    throw UsageError("--ec is present or absent, not \"" + Ec + "\"");
  }
  Options.EcAbsent = Ec == "absent";
  Options.FlashOut = Args.Get("--flash-out");
  Options.RequestsOut = Args.Get("--requests-out");
  Options.SampleBcd = Bcd(Args);
  Options.Trace = Args.Has("--trace");
  Options.Terminal = isatty(fileno(stdout)) != 0;
  Options.Capsules = Args.Positional;
  for (const auto &O : Args.Options) {
    if (O.first == "--capsule") {
      Options.Capsules.push_back(O.second);
    }
  }
  if (!Options.Capsules.empty() && Args.Has("--bcd")) {
    throw UsageError("--bcd sets the sample's version; it does not apply to capsule files");
  }
  return Camfw::Simulate(Options, stdout);
}

int CommandInspect(int Argc, char **Argv) {
  const Arguments Args(Argc, Argv, {"--chunk"}, {});
  const std::string File = Args.OneInput("inspect", "FILE");
  Camfw::InspectOptions Options;
  Options.Chunk = Chunk(Args);
  std::fputs(Camfw::InspectFile(File, Camfw::ReadFile(File), Options).c_str(), stdout);
  return 0;
}

int CommandCapsule(int Argc, char **Argv) {
  const Arguments Args(Argc, Argv, {"-o", "--guid", "--flags"}, {});
  const std::string Input = Args.OneInput("capsule", "IMAGE");
  const std::string Output = Args.Output("capsule");
  const EFI_GUID Guid = Args.Has("--guid") ? Camfw::ParseGuid(Args.Get("--guid")) : Camfw::kCameraFirmwareClass;
  const uint32_t Flags = static_cast<uint32_t>(
      Camfw::ParseNumber(Args.Get("--flags", "10000"), "the capsule flags", 0xFFFFFFFF, true));
  const Camfw::Bytes Image = Camfw::ReadFile(Input);
  if (Image.empty()) {
    throw Camfw::Error(Input + " is empty; a capsule needs an image to carry");
  }
  if (Camfw::ParseCapsule(Image)) {
    throw Camfw::Error(Input + " is a capsule already; camfw capsule wraps an image");
  }
  const Camfw::Bytes Capsule = Camfw::BuildCapsule(Image, Guid, Flags);
  Camfw::WriteFile(Output, Capsule);
  std::printf("%s: capsule of %zu bytes (28-byte header, GUID %s, flags %s) around %s (%zu bytes)\n", Output.c_str(),
              Capsule.size(), Sim::GuidToString(Guid).c_str(), Camfw::DescribeCapsuleFlags(Flags).c_str(),
              Input.c_str(), Image.size());
  return 0;
}

int CommandSign(int Argc, char **Argv) {
  const Arguments Args(Argc, Argv, {"-o", "--chunk"}, {});
  const std::string Input = Args.OneInput("sign", "IMAGE");
  const std::string Output = Args.Output("sign");
  const size_t ChunkLength = Chunk(Args);
  const Camfw::Bytes Image = Camfw::ReadFile(Input);
  if (Camfw::ParseCapsule(Image)) {
    throw Camfw::Error(Input + " is a capsule; camfw sign signs the image itself (sign first, then wrap it)");
  }
  if (Image.empty()) {
    throw Camfw::Error(Input + " is empty: there is no image to sign");
  }
  TestSigner::Digest Digest{};
  Camfw::Bytes Signed;
  try {
    Signed = Camfw::SignImage(Image, ChunkLength, &Digest);
  } catch (const Camfw::Error &E) {
    throw Camfw::Error(Input + ": " + E.what());
  }
  Camfw::WriteFile(Output, Signed);
  std::printf("%s: %zu bytes, %s and the 160-byte trailer signing %s (the window bytes in chunks of %zu)\n",
              Output.c_str(), Signed.size(), Input.c_str(), Camfw::Hex(Digest.data(), Digest.size()).c_str(),
              ChunkLength);
  return 0;
}

int CommandSample(int Argc, char **Argv) {
  const Arguments Args(Argc, Argv, {"-o", "--camera", "--bcd", "--chunk", "--header-version", "--slot-length"},
                       {"--unsigned"});
  if (!Args.Positional.empty()) {
    throw UsageError("camfw sample takes no file but -o FILE, and was given " + Args.Positional[0]);
  }
  const std::string Output = Args.Output("sample");
  Camfw::SampleOptions Options;
  Options.Camera = CameraKind(Args);
  Options.BcdDevice = Bcd(Args);
  Options.Chunk = Chunk(Args);
  Options.Sign = !Args.Has("--unsigned");
  Options.HeaderVersion = static_cast<uint32_t>(
      Camfw::ParseNumber(Args.Get("--header-version", "2"), "the header version", 0xFFFFFFFF));
  Options.SlotLength = Camfw::ParseNumber(Args.Get("--slot-length", "0x2000"), "the slot length", 0xFFFFFFFF);
  const bool TwoSlot = Options.Camera == 'p' || Options.Camera == 'q';
  for (const char *TwoSlotOption : {"--header-version", "--slot-length"}) {
    if (Args.Has(TwoSlotOption) && !TwoSlot) {
      throw UsageError(std::string(TwoSlotOption) + " is for two-slot samples; a sample for '" +
                       std::string(1, Options.Camera) + "' has no slots");
    }
  }
  const Camfw::Bytes Image = Camfw::SampleImage(Options);
  Camfw::WriteFile(Output, Image);
  std::printf("%s: sample image for '%c', %zu bytes, bcdDevice 0x%04X%s%s\n", Output.c_str(), Options.Camera,
              Image.size(), Options.BcdDevice,
              TwoSlot ? Camfw::Format(", header version %u", Options.HeaderVersion).c_str() : "",
              TwoSlot ? (Options.Sign ? ", signed" : ", unsigned") : "");
  return 0;
}

int CommandFigures(int Argc, char **Argv) {
  const Arguments Args(Argc, Argv, {"--section", "--road", "--stride", "--build"}, {});
  if (!Args.Positional.empty()) {
    throw UsageError("camfw figures takes no file, and was given " + Args.Positional[0]);
  }
  Camfw::FiguresOptions Options;
  for (const auto &O : Args.Options) {
    if (O.first == "--section") {
      Options.Sections.push_back(O.second);
    } else if (O.first == "--road") {
      Options.Roads.push_back(O.second);
    }
  }
  const size_t Stride = Camfw::ParseNumber(Args.Get("--stride", "1"), "the stride", 1000000);
  if (Stride == 0) {
    throw Camfw::Error("a stride of 0 tries nothing; 1 tries every transfer");
  }
  Options.CutStride = Options.DoubleStride = Options.FaultStride = Stride;
  Options.BuildDir = Args.Get("--build", "build");
  Camfw::PrintFigures(Options, stdout);
  return 0;
}

}  // namespace

int main(int Argc, char **Argv) {
  const std::string Command = Argc >= 2 ? Argv[1] : "";
  try {
    if (Command == "simulate") {
      return CommandSimulate(Argc, Argv);
    }
    if (Command == "inspect") {
      return CommandInspect(Argc, Argv);
    }
    if (Command == "capsule") {
      return CommandCapsule(Argc, Argv);
    }
    if (Command == "sign") {
      return CommandSign(Argc, Argv);
    }
    if (Command == "sample") {
      return CommandSample(Argc, Argv);
    }
    if (Command == "figures") {
      return CommandFigures(Argc, Argv);
    }
    if (Command == "help" || Command == "--help" || Command == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    throw UsageError(Command.empty() ? "no command given" : "unknown command \"" + Command + "\"");
  } catch (const UsageError &E) {
    std::fprintf(stderr, "camfw: %s\n%s", E.what(), "run \"camfw help\" for the commands and their options\n");
    return 2;
  } catch (const Camfw::Error &E) {
    std::fprintf(stderr, "camfw: %s\n", E.what());
    return 1;
  }
}
