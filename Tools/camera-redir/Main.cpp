// camera-redir: serves the simulated camera to QEMU over usb-redir.
//
//   camera-redir --socket PATH [--isp LETTER] [--vid HEX] [--pid HEX]
//                [--bcd HEX] [--unplugged]
//
// Listens on the unix socket PATH (start it before QEMU, whose usb-redir
// chardev connects to it), plays usbredir's USB-host role for one camera and
// prints a line per request to stderr. The camera (its flash among it) lives
// as long as the program: a new connection finds the same camera.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "Sim/Camera/Camera.h"
#include "Sim/UsbRedir/UsbRedirServer.h"

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

void Usage() {
  std::fprintf(stderr,
               "usage: camera-redir --socket PATH [--isp LETTER] [--vid HEX] [--pid HEX] [--bcd HEX] [--unplugged]\n"
               "  --isp LETTER   the camera's ISP generation (f g h i j k l m n p q); default: the bench camera\n"
               "  --vid/--pid/--bcd HEX   the identity on the bus (default 30C9 / 004A / 0100)\n"
               "  --unplugged    answer the peer but never connect a device\n");
}

bool ParseHex16(const char *Text, uint16_t &Value) {
  char *End = nullptr;
  const unsigned long Parsed = std::strtoul(Text, &End, 16);
  if (End == Text || *End != '\0' || Parsed > 0xFFFF) {
    return false;
  }
  Value = static_cast<uint16_t>(Parsed);
  return true;
}

uint64_t MonotonicNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void Log(const std::string &Line) { std::fprintf(stderr, "camera-redir: %s\n", Line.c_str()); }

}  // namespace

int main(int Argc, char **Argv) {
  std::string SocketPath;
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
  }
  close(Listener);
  unlink(SocketPath.c_str());
  return 0;
}
