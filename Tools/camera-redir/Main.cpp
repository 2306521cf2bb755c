// camera-redir: serves the simulated camera to QEMU over usb-redir.
//
//   camera-redir --socket PATH [--isp LETTER] [--vid HEX] [--pid HEX]
//                [--bcd HEX] [--chunk N] [--register ADDR=VALUE]...
//                [--flash-out FILE] [--unplugged]
//
// Listens on the unix socket PATH (start it before QEMU, whose usb-redir
// chardev connects to it), plays usbredir's USB-host role for one camera and
// prints a line per request to stderr. The camera (its flash among it) lives
// as long as the program: a new connection (the next run of QEMU) finds the
// same flash on a camera that is powered on again. With --flash-out the
// flash is written to FILE whenever a connection ends.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Sim/Camera/Camera.h"
#include "Sim/UsbRedir/UsbRedirServer.h"

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

bool ParseHex16(const char *Text, uint16_t &Value) {
  char *End = nullptr;
  const unsigned long Parsed = std::strtoul(Text, &End, 16);
  if (End == Text || *End != '\0' || Parsed > 0xFFFF) {
    return false;
  }
  Value = static_cast<uint16_t>(Parsed);
  return true;
}

void Usage() {
  std::fprintf(stderr,
               "usage: camera-redir --socket PATH [--isp LETTER] [--vid HEX] [--pid HEX] [--bcd HEX]\n"
               "                    [--chunk N] [--register ADDR=VALUE]... [--flash-out FILE] [--unplugged]\n"
               "  --isp LETTER   the camera's ISP generation (f g h i j k l m n p q); default: the bench camera\n"
               "  --vid/--pid/--bcd HEX   the identity on the bus (default 30C9 / 004A / 0100)\n"
               "  --chunk N      the flash-data chunk the extension unit moves (1..4096; default the profile's)\n"
               "  --register ADDR=VALUE   a register the ISP's boot sets (hexadecimal), e.g. 20DC=01\n"
               "  --flash-out FILE   write the camera's flash to FILE whenever a connection ends\n"
               "  --unplugged    answer the peer but never connect a device\n");
}

// A number written in decimal, or in hexadecimal after 0x.
bool ParseCount(const char *Text, unsigned long Max, unsigned long &Value) {
  char *End = nullptr;
  errno = 0;
  const unsigned long Parsed = std::strtoul(Text, &End, 0);
  if (End == Text || *End != '\0' || errno != 0 || Parsed == 0 || Parsed > Max || Text[0] == '-') {
    return false;
  }
  Value = Parsed;
  return true;
}

// "ADDR=VALUE", both hexadecimal: a 16-bit register address and a byte.
bool ParseRegister(const std::string &Text, uint16_t &Address, uint8_t &Value) {
  const size_t Equals = Text.find('=');
  uint16_t Byte = 0;
  if (Equals == std::string::npos || !ParseHex16(Text.substr(0, Equals).c_str(), Address) ||
      !ParseHex16(Text.substr(Equals + 1).c_str(), Byte) || Byte > 0xFF) {
    return false;
  }
  Value = static_cast<uint8_t>(Byte);
  return true;
}

// Writes the flash to Path through a file beside it, renamed into place, so
// that a reader never sees half of it.
bool WriteFlash(const std::string &Path, const std::vector<uint8_t> &Flash) {
  const std::string Temporary = Path + ".part";
  std::FILE *File = std::fopen(Temporary.c_str(), "wb");
  if (File == nullptr) {
    return false;
  }
  const bool Written = std::fwrite(Flash.data(), 1, Flash.size(), File) == Flash.size();
  if (std::fclose(File) != 0 || !Written) {
    std::remove(Temporary.c_str());
    return false;
  }
  return std::rename(Temporary.c_str(), Path.c_str()) == 0;
}

uint64_t MonotonicNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

const uint64_t gStartNs = MonotonicNs();

// Each line carries the seconds since the program started, so that a log
// shows how long the steps of an update took on the camera's side.
void Log(const std::string &Line) {
  const double Seconds = static_cast<double>(MonotonicNs() - gStartNs) / 1e9;
  std::fprintf(stderr, "camera-redir: [%10.3f] %s\n", Seconds, Line.c_str());
}

}  // namespace

int main(int Argc, char **Argv) {
  std::string SocketPath;
  std::string FlashOut;
  std::vector<std::pair<uint16_t, uint8_t>> Registers;
  unsigned long Chunk = 0;
  char Isp = '\0';
  bool Unplugged = false;
  uint16_t Vid = 0, Pid = 0, Bcd = 0;
  bool HaveVid = false, HavePid = false, HaveBcd = false;
  for (int I = 1; I < Argc; ++I) {
    const std::string Arg = Argv[I];
    const bool HasValue = I + 1 < Argc;
    if (Arg == "--socket" && HasValue) {
      SocketPath = Argv[++I];
    } else if (Arg == "--isp" && HasValue && std::strlen(Argv[I + 1]) == 1) {
      Isp = Argv[++I][0];
    } else if (Arg == "--vid" && HasValue && ParseHex16(Argv[I + 1], Vid)) {
      HaveVid = true;
      ++I;
    } else if (Arg == "--pid" && HasValue && ParseHex16(Argv[I + 1], Pid)) {
      HavePid = true;
      ++I;
    } else if (Arg == "--bcd" && HasValue && ParseHex16(Argv[I + 1], Bcd)) {
      HaveBcd = true;
      ++I;
    } else if (Arg == "--chunk" && HasValue && ParseCount(Argv[I + 1], 4096, Chunk)) {
      ++I;
    } else if (Arg == "--register" && HasValue) {
      uint16_t Address = 0;
      uint8_t Value = 0;
      if (!ParseRegister(Argv[++I], Address, Value)) {
        Usage();
        return 2;
      }
      Registers.emplace_back(Address, Value);
    } else if (Arg == "--flash-out" && HasValue) {
      FlashOut = Argv[++I];
    } else if (Arg == "--unplugged") {
      Unplugged = true;
    } else {
      Usage();
      return 2;
    }
  }
  if (SocketPath.empty()) {
    Usage();
    return 2;
  }

  Sim::CameraProfile Profile;
  if (Isp != '\0') {
    try {
      Profile = Sim::CameraProfile::ForIspKind(Isp);
    } catch (const std::invalid_argument &) {
      std::fprintf(stderr, "camera-redir: unknown ISP kind '%c'\n", Isp);
      return 2;
    }
  }
  if (HaveVid) Profile.VendorId = Vid;
  if (HavePid) Profile.ProductId = Pid;
  if (HaveBcd) Profile.BcdDevice = Bcd;
  if (Chunk != 0) Profile.ChunkSize = static_cast<uint16_t>(Chunk);
  for (const auto &Register : Registers) {
    Profile.BootRegisters[Register.first] = Register.second;
  }
  std::shared_ptr<Sim::Camera> Camera = Unplugged ? nullptr : std::make_shared<Sim::Camera>(Profile);

  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  if (SocketPath.size() >= sizeof(Address.sun_path)) {
    std::fprintf(stderr, "camera-redir: socket path too long\n");
    return 2;
  }
  std::memcpy(Address.sun_path, SocketPath.c_str(), SocketPath.size() + 1);
  const int Listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(SocketPath.c_str());
  if (Listener < 0 || bind(Listener, reinterpret_cast<sockaddr *>(&Address), sizeof(Address)) != 0 ||
      listen(Listener, 1) != 0) {
    std::perror("camera-redir: listen");
    return 1;
  }
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  if (Camera) {
    char Text[160];
    std::snprintf(Text, sizeof(Text), "camera: ISP '%c', %04X:%04X bcdDevice %04X, chunk %u bytes, flash %u KiB",
                  Isp == '\0' ? '-' : Isp, Profile.VendorId, Profile.ProductId, Profile.BcdDevice, Profile.ChunkSize,
                  Profile.FlashSize / 1024);
    std::string Line = Text;
    for (const auto &Register : Registers) {
      std::snprintf(Text, sizeof(Text), ", boot register %04X=%02X", Register.first, Register.second);
      Line += Text;
    }
    Log(Line);
  }
  Log("listening on " + SocketPath + (Unplugged ? " (unplugged)" : ""));

  while (!gStop) {
    pollfd Wait{Listener, POLLIN, 0};
    if (poll(&Wait, 1, 200) <= 0) {
      continue;
    }
    const int Fd = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0) {
      continue;
    }
    Log("peer connected");
    {
      Sim::UsbRedirServer Server(Fd, Camera, MonotonicNs, Log);
      bool Open = true;
      while (Open && !gStop) {
        int TimeoutMs = 200;
        if (auto Due = Server.NextDueNs()) {
          const uint64_t Now = MonotonicNs();
          TimeoutMs = *Due <= Now ? 0 : static_cast<int>(std::min<uint64_t>((*Due - Now) / 1000000 + 1, 200));
        }
        pollfd Peer{Fd, static_cast<short>(POLLIN | (Server.WantsWrite() ? POLLOUT : 0)), 0};
        const int Ready = poll(&Peer, 1, TimeoutMs);
        if (Ready > 0) {
          if ((Peer.revents & (POLLIN | POLLHUP | POLLERR)) != 0 || (Peer.revents & POLLOUT) != 0) {
            Open = Server.Service();
          }
        }
        Server.RunDue();
      }
    }
    close(Fd);
    Log("peer gone");
    if (!FlashOut.empty() && Camera) {
      if (WriteFlash(FlashOut, Camera->Flash())) {
        Log("flash written to " + FlashOut);
      } else {
        Log("cannot write the flash to " + FlashOut + ": " + std::strerror(errno));
      }
    }
  }
  close(Listener);
  unlink(SocketPath.c_str());
  return 0;
}
