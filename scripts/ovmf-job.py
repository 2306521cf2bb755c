#!/usr/bin/env python3
"""The driver's whole job in real firmware: three boots of OVMF under QEMU
against one emulated camera (camera-redir) and one variable store.

  ovmf-job.py --camera KIND [--chunk N] [--register ADDR=VALUE]...
              [--header-version N] [--slot-length N] [--bcd HEX]
              [--restart-evidence] [--driver FILE] [--debug-log]
              [--ovmf-from-env VARIABLE] [--full-bus]
              [--out DIR] [--timeout SECONDS]

  boot 1  no capsule: the ESRT entry shows the camera's bcdDevice (0x100);
  boot 2  \\capsule.bin on the ESP (camfw sample + camfw capsule): the harness
          puts the boot in flash-update mode, the driver applies the capsule
          and resets cold, which ends QEMU (-no-reboot) before the harness
          prints anything after the trigger; a screenshot is taken while the
          update runs and the progress bar looked for in it;
  boot 3  no capsule: the ESRT entry shows the new bcdDevice, "Setup" holds
          the image's version data at 1979..1982 and 1999..2062.

The camera's flash, written out by camera-redir after boots 2 and 3, must
equal byte for byte the flash that camfw simulate ends with for the same
camera and capsule on a bus that enumerates as EDK II's does, without an
embedded controller; the "Setup" bytes and the ESRT versions must be the
ones the simulation reports, and the requests of each boot (after the
firmware's USB bus configured the camera) the ones the simulated camera
received, in the same order.

--restart-evidence runs a road that restarts the ISP in the middle of the
update and records what the firmware did instead of requiring success: it
fails only when a boot hangs (QEMU killed after --timeout) or the harness
never ran.

--driver runs another driver image in place of the uefi preset's
CameraUpdateDxeQemu.efi (one that EDK II's own build made, for instance).
--debug-log keeps the firmware's debug console (I/O port 0x402, which a
DEBUG OVMF writes its log to) in debug-N.log for each boot, and fails the
job on a line that reports a failed ASSERT, a TPL raised below the current
one ("FATAL ERROR - RaiseTpl ...") or a driver image the core could not
place at its preferred base ("ConvertPages: failed to find range"). A DEBUG
firmware stops in a loop at a failed ASSERT: the boot is ended as soon as
the log shows one.

--ovmf-from-env VARIABLE takes OVMF_CODE.fd and OVMF_VARS.fd from the
directory the environment variable names. Unset, the job is skipped (exit 0,
"ovmf-job: skipped: ..."); set to a directory without those files, it fails.

--full-bus puts a USB keyboard (QEMU's USB port 1) and a USB stick (port 2,
a blank raw image in --out) on the camera's xHCI controller, the camera on
port 3, and asks the harness (a marker file on the ESP) to stop the class
drivers of every USB device but the camera before the driver loads. QEMU's
xHCI numbers its USB 3 root-hub ports first, then its USB 2 ones: the stick
(USB 3) gets the second root-hub port, the keyboard (full speed) and the
camera (high speed) USB 2 ports 5 and 7. EDK II's USB bus enumerates the
root hub's ports in order and LocateHandleBuffer returns a protocol's
handles in the order it was installed on them, so the driver's camera
search meets the stick's and the keyboard's interfaces, unconnected, before
the camera's.
Each boot must show that order and both class devices connected by the
firmware and then disconnected; after the driver ran (boots 1 and 3) neither
may be connected again: the driver's search binds nothing but the camera.

Environment: UEFI_BUILD (default build/uefi: BOOTX64.EFI,
CameraUpdateDxeQemu.efi), HOST_BUILD (default build/host: camfw,
camera-redir), OVMF_CODE / OVMF_VARS (Debian's 4 MiB images).
Exit status: 0 when every check passed, 1 otherwise, 2 when something to run
is missing.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCREEN = os.path.join(ROOT, "scripts", "ovmf-screen.py")
FW_CLASS = "A6A82337-904E-4742-9ECA-CF8E7DE4DE17"
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


class Job:
    def __init__(self, args):
        self.args = args
        self.uefi = os.path.abspath(os.environ.get("UEFI_BUILD", os.path.join(ROOT, "build", "uefi")))
        host = os.path.abspath(os.environ.get("HOST_BUILD", os.path.join(ROOT, "build", "host")))
        self.camfw = os.path.join(host, "camfw")
        self.redir = os.path.join(host, "camera-redir")
        self.ovmf_code = os.environ.get("OVMF_CODE", "/usr/share/OVMF/OVMF_CODE_4M.fd")
        self.ovmf_vars = os.environ.get("OVMF_VARS", "/usr/share/OVMF/OVMF_VARS_4M.fd")
        self.ovmf_dir = None
        if args.ovmf_from_env:
            self.ovmf_dir = os.environ.get(args.ovmf_from_env) or None
            if self.ovmf_dir:
                self.ovmf_code = os.path.join(self.ovmf_dir, "OVMF_CODE.fd")
                self.ovmf_vars = os.path.join(self.ovmf_dir, "OVMF_VARS.fd")
        self.driver = os.path.abspath(args.driver or os.path.join(self.uefi, "CameraUpdateDxeQemu.efi"))
        self.out = os.path.abspath(args.out)
        self.failures = []
        self.redir_proc = None
        self.debug_log = None

    # -- reporting ---------------------------------------------------------

    def say(self, text):
        print("ovmf-job: " + text, flush=True)
        with open(os.path.join(self.out, "report.txt"), "a") as f:
            f.write(text + "\n")

    def expect(self, condition, what):
        self.say("%s: %s" % ("ok" if condition else "FAILED", what))
        if not condition:
            self.failures.append(what)
        return condition

    # -- set-up --------------------------------------------------------------

    def missing(self):
        files = [os.path.join(self.uefi, "BOOTX64.EFI"), self.driver,
                 self.camfw, self.redir, self.ovmf_code, self.ovmf_vars]
        gone = [f for f in files if not os.path.exists(f)]
        if shutil.which("qemu-system-x86_64") is None:
            gone.append("qemu-system-x86_64")
        return gone

    def run(self, argv, output=None):
        result = subprocess.run(argv, cwd=self.out, capture_output=True, text=True)
        if output:
            with open(os.path.join(self.out, output), "w") as f:
                f.write(result.stdout)
        if result.returncode != 0:
            raise RuntimeError("%s failed (%d): %s%s" % (" ".join(argv), result.returncode, result.stdout,
                                                          result.stderr))
        return result.stdout

    def camera_options(self):
        options = ["--chunk", str(self.args.chunk)] if self.args.chunk else []
        for register in self.args.register:
            options += ["--register", register]
        return options

    def make_capsule(self):
        sample = [self.camfw, "sample", "--camera", self.args.camera, "--bcd", self.args.bcd, "-o", "image.bin"]
        if self.args.chunk:
            sample += ["--chunk", str(self.args.chunk)]
        if self.args.header_version is not None:
            sample += ["--header-version", str(self.args.header_version)]
        if self.args.slot_length:
            sample += ["--slot-length", str(self.args.slot_length)]
        self.say(self.run(sample).strip())
        self.say(self.run([self.camfw, "capsule", "image.bin", "-o", "capsule.bin"]).strip())

    def simulate(self):
        """The same job on the simulator: the expected ESRT, Setup bytes and flash."""
        text = self.run([self.camfw, "simulate", "capsule.bin", "--camera", self.args.camera, "--bus", "enumerated",
                         "--ec", "absent", "--flash-out", "sim-flash.bin", "--requests-out", "sim-requests.txt"]
                        + self.camera_options(), "simulation.txt")
        # Boot by boot, (virtual seconds, request) of what reached the camera.
        self.sim_requests = {}
        with open(os.path.join(self.out, "sim-requests.txt")) as f:
            for line in f.read().splitlines():
                m = re.match(r"\[ *([0-9.]+)\] (.*)$", line)
                if line.startswith("boot "):
                    boot = self.sim_requests.setdefault(int(line[5:]), [])
                elif m:
                    boot.append((float(m.group(1)), m.group(2)))
        versions = re.findall(r"ESRT after the update \(boot \d+\):\n +FwClass \S+ +FwType \d+ +FwVersion 0x([0-9A-F]+)",
                              text)
        setup = {}
        for first, last, value in re.findall(r"^ +(\d+)\.\.(\d+) +(?:device version|version data)[^0-9]*?"
                                             r"(0x[0-9A-F]{4}|[0-9a-f]{64}|32 zero bytes)", text, re.M):
            if value.startswith("0x"):
                word = int(value, 16)
                setup[int(first)] = "%02X%02X" % (word & 0xFF, word >> 8)
            elif value == "32 zero bytes":
                setup[int(first)] = "00" * 32
            else:
                setup[int(first)] = value.upper()
        boot2 = re.search(r"^Boot 2: .*?^ +ended in a cold reset \(EFI_SUCCESS\) at ([0-9.]+) s", text, re.M | re.S)
        return {
            "version": int(versions[0], 16) if versions else None,
            "setup": setup,
            "result": re.search(r"^Result: (.*)$", text, re.M).group(1),
            "update_virtual_s": float(boot2.group(1)) if boot2 else None,
        }

    def start_camera(self):
        self.sock = os.path.join(self.out, "camera.sock")
        self.redir_log = os.path.join(self.out, "camera-redir.log")
        argv = [self.redir, "--socket", self.sock, "--isp", self.args.camera, "--flash-out",
                os.path.join(self.out, "redir-flash.bin")] + self.camera_options()
        self.redir_proc = subprocess.Popen(argv, stderr=open(self.redir_log, "w"), stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if "listening on" in self.redir_text() or self.redir_proc.poll() is not None:
                break
            time.sleep(0.05)
        if "listening on" not in self.redir_text():
            raise RuntimeError("camera-redir did not start:\n" + self.redir_text())

    def redir_text(self):
        with open(self.redir_log, errors="replace") as f:
            return f.read()

    def stop_camera(self):
        if self.redir_proc is not None and self.redir_proc.poll() is None:
            self.redir_proc.terminate()
            self.redir_proc.wait(10)

    # -- one boot ------------------------------------------------------------

    def boot(self, number, capsule, screenshot=False):
        esp = os.path.join(self.out, "esp")
        target = os.path.join(esp, "capsule.bin")
        if capsule:
            shutil.copyfile(os.path.join(self.out, "capsule.bin"), target)
        elif os.path.exists(target):
            os.remove(target)
        serial = os.path.join(self.out, "serial-%d.log" % number)
        monitor = os.path.join(self.out, "monitor.sock")
        flashes_before = self.redir_text().count("flash written to")
        redir_lines_before = len(self.redir_text().splitlines())
        argv = ["qemu-system-x86_64", "-machine", "q35", "-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults",
                "-nic", "none", "-vga", "std", "-display", "none", "-serial", "file:" + serial,
                "-monitor", "unix:%s,server,nowait" % monitor, "-no-reboot",
                "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + self.ovmf_code,
                "-drive", "if=pflash,format=raw,unit=1,file=" + os.path.join(self.out, "vars.fd"),
                "-drive", "format=raw,file=fat:rw:" + esp,
                "-device", "qemu-xhci,id=xhci",
                "-chardev", "socket,id=r0,path=" + self.sock + ",server=off",
                "-device", "usb-redir,chardev=r0,bus=xhci.0" + ",port=3" * self.args.full_bus]
        if self.args.full_bus:
            argv += ["-device", "usb-kbd,bus=xhci.0,port=1",
                     "-drive", "if=none,id=stick,format=raw,file=" + os.path.join(self.out, "stick.img"),
                     "-device", "usb-storage,bus=xhci.0,port=2,drive=stick"]
        debug_log = os.path.join(self.out, "debug-%d.log" % number)
        if self.args.debug_log:
            argv += ["-debugcon", "file:" + debug_log, "-global", "isa-debugcon.iobase=0x402"]
        start = time.monotonic()
        qemu = subprocess.Popen(argv, stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(self.out, "qemu-%d.log" % number), "w"))
        self.debug_log = debug_log if self.args.debug_log else None
        shot = None
        if screenshot:
            shot = self.screenshot_during_update(qemu, serial, redir_lines_before, start)
        status, stopped = self.wait_for_qemu(qemu, start)
        seconds = time.monotonic() - start
        text = ""
        if os.path.exists(serial):
            with open(serial, errors="replace") as f:
                text = ANSI.sub("", f.read()).replace("\r", "")
        lines = [l for l in text.splitlines() if l.startswith("HARNESS ")]
        with open(os.path.join(self.out, "harness-%d.txt" % number), "w") as f:
            f.write("\n".join(lines) + "\n")
        # camera-redir writes the flash once it saw QEMU's end of the connection.
        deadline = time.monotonic() + 10
        while self.redir_text().count("flash written to") == flashes_before and time.monotonic() < deadline:
            time.sleep(0.05)
        flash = os.path.join(self.out, "flash-after-boot-%d.bin" % number)
        if self.redir_text().count("flash written to") > flashes_before:
            shutil.copyfile(os.path.join(self.out, "redir-flash.bin"), flash)
        else:
            flash = None
        redir_lines = self.redir_text().splitlines()[redir_lines_before:]
        if self.args.debug_log:
            self.check_debug_log(number, debug_log)
        self.say("boot %d: %s, QEMU %s after %.1f s" % (
            number, "flash-update mode (capsule on the ESP)" if capsule else "normal boot",
            ("killed (%s)" % stopped) if status is None else "exited with status %d" % status, seconds))
        return {"status": status, "seconds": seconds, "lines": lines, "flash": flash, "shot": shot,
                "redir": redir_lines}

    def stopped_at_assert(self):
        """Whether the boot's debug log (with --debug-log) shows a failed
        ASSERT, after which a DEBUG firmware loops for ever."""
        if not self.debug_log or not os.path.exists(self.debug_log):
            return False
        with open(self.debug_log, errors="replace") as f:
            return self.DEBUG_STOPS.search(f.read()) is not None

    def wait_for_qemu(self, qemu, start):
        """Waits for QEMU's exit. Once the debug log shows a failed ASSERT,
        QEMU is given 2 s more (for the log to be complete) and killed.
        Returns (status or None, why it was killed)."""
        deadline = start + self.args.timeout
        asserted = None
        while True:
            try:
                return qemu.wait(0.5), None
            except subprocess.TimeoutExpired:
                pass
            now = time.monotonic()
            if asserted is None and self.stopped_at_assert():
                asserted = now
            if now >= deadline or (asserted is not None and now - asserted >= 2):
                qemu.kill()
                qemu.wait()
                return None, "timed out" if asserted is None else "stopped at a failed ASSERT"

    def screenshot_during_update(self, qemu, serial, redir_lines_before, start):
        """Waits until the driver set up its bar (the second set-up of the
        boot: the harness's self-test draws the first) and has sent a few
        chunks of flash data, then takes the screenshot."""
        shot = os.path.join(self.out, "update.ppm")
        deadline = start + self.args.timeout
        setups = 0
        while qemu.poll() is None and time.monotonic() < deadline and not self.stopped_at_assert():
            if os.path.exists(serial):
                with open(serial, errors="replace") as f:
                    setups = f.read().count("HARNESS progress setup")
            if setups >= 2:
                break
            time.sleep(0.1)
        writes_at_setup = None
        while qemu.poll() is None and time.monotonic() < deadline and not self.stopped_at_assert():
            writes = sum(1 for l in self.redir_text().splitlines()[redir_lines_before:]
                         if "control 0x21 0x01 wValue 0x0F00" in l and "success" in l)
            if writes_at_setup is None:
                writes_at_setup = writes
            if writes - writes_at_setup >= self.args.shot_after:
                try:
                    result = subprocess.run([sys.executable, SCREEN, "take", os.path.join(self.out, "monitor.sock"),
                                             shot], capture_output=True, text=True, timeout=30)
                    self.say("screenshot after %d chunk writes since the driver's bar appeared, %.1f s into boot 2: %s" %
                             (writes - writes_at_setup, time.monotonic() - start,
                              (result.stdout + result.stderr).strip()))
                    return shot if result.returncode == 0 else None
                except subprocess.TimeoutExpired:
                    return None
            time.sleep(0.05)
        self.say("no screenshot: the update was never seen under way (%d bar set-ups)" % setups)
        return None

    # -- the checks ----------------------------------------------------------

    @staticmethod
    def find(lines, pattern):
        for line in lines:
            m = re.search(pattern, line)
            if m:
                return m
        return None

    def esrt_version(self, boot):
        m = self.find(boot["lines"], r"^HARNESS esrt fwclass=%s fwtype=2 fwversion=0x([0-9A-F]+) " % FW_CLASS)
        return int(m.group(1), 16) if m else None

    def setup_bytes(self, boot):
        found = {}
        for line in boot["lines"]:
            m = re.match(r"^HARNESS setup bytes (\d+)\.\.(\d+)=([0-9A-F]+)$", line)
            if m:
                found[int(m.group(1))] = m.group(3)
        return found

    def same_flash(self, path):
        if path is None:
            return False
        with open(path, "rb") as a, open(os.path.join(self.out, "sim-flash.bin"), "rb") as b:
            return a.read() == b.read()

    def flash_difference(self, path):
        with open(path, "rb") as a, open(os.path.join(self.out, "sim-flash.bin"), "rb") as b:
            x, y = a.read(), b.read()
        if len(x) != len(y):
            return "sizes %d and %d" % (len(x), len(y))
        diff = [i for i in range(len(x)) if x[i] != y[i]]
        return "%d byte(s) differ, first at 0x%X, last at 0x%X" % (len(diff), diff[0], diff[-1]) if diff else "none"

    def timed(self, boot, words):
        m = self.find(boot["lines"], r"^HARNESS %s.* t=(\d+) ms$" % words)
        return int(m.group(1)) if m else None

    def update_timing(self, boot):
        """The harness's clock inside boot 2: the hook's last slot comes just
        before the embedded controller's step; the driver's bar set-up after
        the controller's step, the 15 ms delay and the update's start."""
        hook = self.timed(boot, "hook slot2")
        setups = [int(m.group(1)) for m in (re.search(r" t=(\d+) ms$", l) for l in boot["lines"]
                                            if l.startswith("HARNESS progress setup")) if m]
        full = self.timed(boot, "progress full")
        if hook is not None and len(setups) >= 2:
            self.say("harness clock: hook slot 2 at %d ms, the driver's bar set up %d ms later%s" % (
                hook, setups[1] - hook, "" if full is None else ", full %d ms after that" % (full - setups[1])))
        elif hook is not None:
            self.say("harness clock: hook slot 2 at %d ms; the driver set no bar up" % hook)
        return hook, setups, full

    @staticmethod
    def stamped(lines):
        """camera-redir's lines as (seconds, text)."""
        out = []
        for line in lines:
            m = re.match(r"camera-redir: \[ *([0-9.]+)\] (.*)$", line)
            if m:
                out.append((float(m.group(1)), m.group(2)))
        return out

    @staticmethod
    def controller_step(stamped):
        """The longest pause between two of the driver's extension-unit
        requests before its first SET_CUR: the one between the ESRT entry's
        requests and the update's first, which holds the hook, the embedded
        controller's step, the 15 ms delay and the 10 ms before each
        transfer. In ms, on the clock of the (seconds, request) pairs."""
        unit = [t for t, s in stamped if s.startswith("control ") and "wIndex 0x0400" in s]
        first_set = [t for t, s in stamped if s.startswith("control 0x21 0x01 ")]
        if not first_set:
            return None
        before = [t for t in unit if t <= first_set[0]]
        gaps = [b - a for a, b in zip(before, before[1:])]
        return max(gaps) * 1000 if gaps else None

    def compare_timing(self, boot):
        """Boot 2 on the camera's clock and on the simulation's: the
        controller's step, and the update from its first extension-unit
        request to its last."""
        real = [(t, s) for t, s in self.stamped(boot["redir"]) if s.startswith("control ")]
        sim = self.sim_requests.get(2, [])
        spans = []
        for pairs in (real, sim):
            unit = [t for t, s in pairs if "wIndex 0x0400" in s]
            spans.append((unit[-1] - unit[2], len(unit) - 3) if len(unit) > 3 else (0.0, 0))
        real_step, sim_step = self.controller_step(real), self.controller_step(sim)
        self.say("timing, boot 2: controller's step %s ms in QEMU, %s ms simulated; the update's %d requests after "
                 "the ESRT entry's took %.2f s in QEMU (%.1f ms each), %.2f s simulated (%.1f ms each)" % (
                     "?" if real_step is None else "%.0f" % real_step, "?" if sim_step is None else "%.0f" % sim_step,
                     spans[0][1], spans[0][0], spans[0][0] * 1000 / max(spans[0][1], 1), spans[1][0],
                     spans[1][0] * 1000 / max(spans[1][1], 1)))

    def same_requests(self, number, boot):
        """The requests the camera received in this boot once the firmware's
        USB bus had configured it (the driver's, since the bus enumerates the
        camera before the harness runs), as camera-redir logged them, against
        the simulation's for the same boot."""
        stamped = [t for _, t in self.stamped(boot["redir"])]
        configured = next((i for i, t in enumerate(stamped) if t.startswith("set_configuration")), len(stamped))
        real = [t for t in stamped[configured:] if t.startswith("control ")]
        sim = [t for _, t in self.sim_requests.get(number, [])]
        if real == sim:
            units = sum(1 for t in real if "wIndex 0x0400" in t)
            return True, "%d requests after the bus configured the camera (%d to its extension unit), the same as " \
                         "simulated, in the same order" % (len(real), units)
        first = next((i for i, (a, b) in enumerate(zip(real, sim)) if a != b), min(len(real), len(sim)))
        return False, "%d requests after the bus configured the camera, %d simulated; the first difference is request " \
                      "%d: %s / simulated %s" % (
            len(real), len(sim), first, real[first] if first < len(real) else "none",
            sim[first] if first < len(sim) else "none")

    def check_requests(self, number, boot, evidence):
        same, text = self.same_requests(number, boot)
        if evidence:
            self.say("boot %d: %s" % (number, text))
        else:
            self.expect(same, "boot %d: %s" % (number, text))

    def check_boot1(self, boot):
        self.expect(boot["status"] == 0 and "HARNESS done" in boot["lines"], "boot 1 ran the harness to its end")
        self.expect(self.find(boot["lines"], r"^HARNESS capsule file=\S+ absent$") is not None,
                    "boot 1 found no capsule file")
        self.expect("HARNESS esrt repository loaded entries=0" in boot["lines"],
                    "boot 1 started with an empty ESRT repository")
        version = self.esrt_version(boot)
        self.expect(version == 0x100, "boot 1: the ESRT entry shows the camera's bcdDevice 0x100 (got %s)" %
                    (None if version is None else hex(version)))

    def check_boot2(self, boot, expected, evidence):
        lines = boot["lines"]
        size = os.path.getsize(os.path.join(self.out, "capsule.bin"))
        loaded = self.find(lines, r"^HARNESS capsule file=\S+ size=%d " % size) is not None
        hobs = self.find(lines, r"^HARNESS hob list boot mode=0x12 firmware hobs=\d+ capsule hob length=%d status=0x0$"
                         % size)
        no_ec = self.find(lines, r"^HARNESS ec status port=0x66 value=0xFF$") is not None
        driver_started = "HARNESS driver status=0x0" in lines
        returned = any(l.startswith("HARNESS trigger status=") for l in lines)
        reset = boot["status"] == 0 and driver_started and not returned and "HARNESS done" not in lines
        hook, setups, full = self.update_timing(boot)
        unplaced = self.timed(boot, "progress step without a bar set up")
        if unplaced is not None:
            self.say("boot 2: the driver stepped the bar at %d ms without setting it up first" % unplaced)
        if evidence:
            self.expect(boot["status"] is not None, "boot 2 ended (it did not hang)")
            self.expect(loaded and hobs is not None and driver_started, "boot 2 loaded the capsule and the driver")
            self.say("boot 2: the driver %s" % (
                "reset the machine inside the trigger (no harness line after it)" if reset else
                "returned from the trigger without a reset" if returned else "did not get to the trigger's end"))
            return reset
        self.expect("HARNESS esrt repository loaded entries=1" in lines,
                    "boot 2: the ESRT repository holds the entry boot 1 registered")
        self.expect(loaded, "boot 2: the harness read the %d-byte capsule from the ESP" % size)
        self.expect(hobs is not None, "boot 2: the HOB list says BOOT_ON_FLASH_UPDATE and holds the capsule's HOB")
        self.expect(no_ec, "boot 2: the embedded controller's status port reads 0xFF (QEMU has none)")
        gap = self.controller_step(self.stamped(boot["redir"]))
        self.expect(gap is not None and gap < 1000,
                    "boot 2: the controller's step ended within its bounds: %s from the driver's last ESRT request "
                    "to its first update request on the camera's clock" % (
                        "no update request" if gap is None else "%.0f ms" % gap))
        self.expect(hook is not None and len(setups) >= 2 and full is not None,
                    "boot 2: the update ran past the controller's step (hook slot 2, the driver's bar, a full bar)")
        self.expect(reset, "boot 2: QEMU exited through the driver's cold reset (no harness line after the trigger)")
        if boot["shot"]:
            png = os.path.join(self.out, "update.png")
            result = subprocess.run([sys.executable, SCREEN, "check", boot["shot"], "--png", png],
                                    capture_output=True, text=True)
            for line in result.stdout.strip().splitlines():
                self.say("screenshot: " + line)
            self.expect(result.returncode == 0, "boot 2: the screenshot shows the driver's bar under way (%s)" % png)
        else:
            self.expect(False, "boot 2: a screenshot was taken while the update ran")
        same = self.same_flash(boot["flash"])
        self.expect(same, "after boot 2 camera-redir's flash equals the simulator's byte for byte%s" % (
            "" if same or boot["flash"] is None else " (%s)" % self.flash_difference(boot["flash"])))
        return reset

    def setup_others(self, boot):
        m = self.find(boot["lines"], r"^HARNESS setup attributes=(\S+) size=(\d+) others=(\S+)$")
        return m.groups() if m else None

    def check_boot3(self, boot, expected, evidence, boot1):
        version = self.esrt_version(boot)
        before, after = self.setup_others(boot1), self.setup_others(boot)
        setup = self.setup_bytes(boot)
        same = self.same_flash(boot["flash"])
        if evidence:
            self.expect(boot["status"] is not None, "boot 3 ended (it did not hang)")
            self.say("boot 3: ESRT fwversion %s (the simulator on an EDK II-like bus: 0x%X)" % (
                None if version is None else "0x%X" % version, expected["version"]))
            self.say("boot 3: camera-redir's flash %s the simulator's (%s)" % (
                "equals" if same else "differs from", "none" if same or boot["flash"] is None
                else self.flash_difference(boot["flash"])))
            self.say("boot 3: Setup bytes %s" % " ".join("%d=%s" % kv for kv in sorted(setup.items())))
            return
        self.expect(boot["status"] == 0 and "HARNESS done" in boot["lines"], "boot 3 ran the harness to its end")
        self.expect(version == expected["version"] and version != 0x100,
                    "boot 3: the ESRT entry shows the new bcdDevice 0x%X (got %s)" % (
                        expected["version"], None if version is None else hex(version)))
        want = {1979: expected["setup"].get(1979, "?") + expected["setup"].get(1981, "?"),
                1999: expected["setup"].get(1999), 2031: expected["setup"].get(2031)}
        self.expect(setup == want, "boot 3: Setup 1979..1982 = %s, 1999..2030 = %s, 2031..2062 = %s as simulated" % (
            setup.get(1979), setup.get(1999), setup.get(2031)))
        self.expect(before is not None and before == after,
                    "boot 3: Setup's attributes, size and every other byte are as boot 1 found them (%s; then %s)" % (
                        " ".join(after or ["none"]), " ".join(before or ["none"])))
        self.expect(same, "after boot 3 camera-redir's flash equals the simulator's byte for byte%s" % (
            "" if same or boot["flash"] is None else " (%s)" % self.flash_difference(boot["flash"])))

    def evidence_from_camera(self, boot):
        """What camera-redir saw in boot 2: the restarts, and whether the
        driver talked to the camera after it came back."""
        stamps = self.stamped(boot["redir"])
        # The first device_connect is QEMU's start; later ones are restarts.
        restarts = [t for t, s in stamps if s.startswith("device_connect")][1:]
        disconnects = [t for t, s in stamps if s == "device_disconnect"]
        controls = [t for t, s in stamps if s.startswith("control ")]
        self.say("camera side, boot 2: %d device_disconnect, %d device_connect after the first, %d control requests" %
                 (len(disconnects), len(restarts), len(controls)))
        if disconnects and restarts:
            back = restarts[0]
            after = [t for t in controls if t > back]
            last = stamps[-1][0]
            self.say("camera side: off the bus at %.3f s, back at %.3f s; %d control request(s) after it came back "
                     "(the first %.3f s later); connection ended %.3f s after it came back" % (
                         disconnects[0], back, len(after), (after[0] - back) if after else 0.0, last - back))
            asked = [t for t, s in stamps if s.startswith("restart requested")]
            sim = self.sim_requests.get(2, [])
            if asked and sim and self.expected["update_virtual_s"] is not None:
                self.say("from the restart request to the end of boot 2: %.2f s in QEMU (the connection's end), "
                         "%.2f s simulated (the reset)" % (last - asked[0], self.expected["update_virtual_s"] - sim[-1][0]))

    # -- the firmware's debug log ------------------------------------------
    DEBUG_FAULTS = re.compile(r"ASSERT[ _\[]|FATAL ERROR|RaiseTpl|ConvertPages: failed to find range")
    DEBUG_STOPS = re.compile(r"ASSERT[ _\[]")

    def check_debug_log(self, number, path):
        """Fails on a failed ASSERT, a RaiseTpl error or a load at a base the
        core could not allocate. The log of a release firmware is empty: that
        is noted."""
        if not os.path.exists(path) or os.path.getsize(path) == 0:
            self.say("boot %d: the firmware wrote no debug log (a RELEASE build?)" % number)
            return
        with open(path, errors="replace") as f:
            lines = f.read().replace("\r", "").splitlines()
        faults = [l for l in lines if self.DEBUG_FAULTS.search(l)]
        self.expect(not faults, "boot %d: the debug log has no ASSERT, RaiseTpl error or ConvertPages failure (%s)" % (
            number, "; ".join(faults[:3]) if faults else "none"))
        loads = [l for l in lines if "CameraUpdateDxe" in l]
        self.say("boot %d: debug log %d lines; lines naming the driver: %d" % (number, len(lines), len(loads)))

    # -- the full bus ----------------------------------------------------------
    USBIO_LINE = re.compile(r"^HARNESS usbio (found|before|after) index=(\d+) handle=(\S+) port=(\d+) interface=(\d+) "
                            r"vid=0x([0-9A-F]{4}) pid=0x([0-9A-F]{4}) class=0x([0-9A-F]{2}) subclass=0x[0-9A-F]{2} "
                            r"protocol=0x[0-9A-F]{2} bydriver=(\d+)$")
    CLASS_NAMES = {"03": "keyboard", "08": "stick"}

    def usb_handles(self, boot, stage):
        """The harness's lines for one stage, in LocateHandleBuffer order, as
        dicts; each names the device (camera, keyboard, stick or other)."""
        handles = []
        for line in boot["lines"]:
            m = self.USBIO_LINE.match(line)
            if m and m.group(1) == stage:
                camera = (m.group(6), m.group(7)) == ("30C9", "004A")
                handles.append({"index": int(m.group(2)), "handle": m.group(3), "port": int(m.group(4)),
                                "interface": int(m.group(5)), "class": m.group(8), "bydriver": int(m.group(9)),
                                "name": "camera" if camera else self.CLASS_NAMES.get(m.group(8), "other")})
        return handles

    @staticmethod
    def describe(handles):
        return ", ".join("%s(port %d if %d%s)" % (h["name"], h["port"], h["interface"],
                                                  " driver" if h["bydriver"] else "") for h in handles)

    def check_full_bus(self, number, boot, driver_returns):
        """The keyboard's and the stick's interfaces come before the camera's
        in the handle order; the firmware had connected both, the harness
        disconnected them, and (when the boot gets past the driver) they are
        still unconnected after the driver ran."""
        found, before, after = (self.usb_handles(boot, s) for s in ("found", "before", "after"))
        self.say("boot %d: USB I/O handles as the firmware left them: %s" % (number, self.describe(found) or "none"))
        classes = [h for h in before if h["name"] in ("keyboard", "stick")]
        cameras = [h for h in before if h["name"] == "camera"]
        others = [h for h in before if h["name"] != "camera"]
        self.expect(sorted(h["name"] for h in classes) == ["keyboard", "stick"] and cameras and
                    max(h["index"] for h in others) < min(h["index"] for h in cameras),
                    "boot %d: the driver's search meets the class devices first: %s" % (
                        number, self.describe(before) or "no handles"))
        connected = sorted(h["name"] for h in found if h["name"] in ("keyboard", "stick") and h["bydriver"])
        self.expect(connected == ["keyboard", "stick"],
                    "boot %d: the firmware had connected the keyboard and the stick (class drivers exist that a "
                    "ConnectController would start)" % number)
        disconnects = [l for l in boot["lines"] if l.startswith("HARNESS usbio disconnect ")]
        self.expect(len(disconnects) == len(others) and all(l.endswith(" status=0x0") for l in disconnects) and
                    all(h["bydriver"] == 0 for h in others),
                    "boot %d: the harness disconnected them before loading the driver (%d disconnect(s), %s)" % (
                        number, len(disconnects), "none held" if all(h["bydriver"] == 0 for h in others) else
                        "still held: " + self.describe([h for h in others if h["bydriver"]])))
        if not driver_returns:
            return
        self.say("boot %d: USB I/O handles after the driver ran: %s" % (number, self.describe(after) or "none"))
        same = [(h["handle"], h["name"]) for h in after] == [(h["handle"], h["name"]) for h in before]
        rebound = [h for h in after if h["name"] != "camera" and h["bydriver"]]
        self.expect(after and same and not rebound,
                    "boot %d: after the driver ran the keyboard and the stick are still unconnected%s" % (
                        number, "" if after and same and not rebound else
                        " (connected again: %s)" % self.describe(rebound) if rebound else
                        " (no handle lines after the driver)" if not after else " (the handles changed)"))

    # -- the job -------------------------------------------------------------

    def main(self):
        if self.args.ovmf_from_env:
            if self.ovmf_dir is None:
                print("ovmf-job: skipped: %s is not set (the directory of a DEBUG OVMF_CODE.fd and OVMF_VARS.fd)" %
                      self.args.ovmf_from_env)
                return 0
            absent = [f for f in (self.ovmf_code, self.ovmf_vars) if not os.path.isfile(f)]
            if absent:
                print("ovmf-job: FAILED: %s=%s, but %s %s not there" % (
                    self.args.ovmf_from_env, self.ovmf_dir, " and ".join(absent), "is" if len(absent) == 1 else "are"),
                      file=sys.stderr)
                return 1
        gone = self.missing()
        if gone:
            print("ovmf-job: missing %s (build the uefi preset, and camfw and camera-redir in the host build)" %
                  ", ".join(gone), file=sys.stderr)
            return 2
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(os.path.join(self.out, "esp", "EFI", "BOOT"))
        shutil.copyfile(os.path.join(self.uefi, "BOOTX64.EFI"), os.path.join(self.out, "esp", "EFI", "BOOT", "BOOTX64.EFI"))
        shutil.copyfile(self.driver, os.path.join(self.out, "esp", "CameraUpdateDxeQemu.efi"))
        shutil.copyfile(self.ovmf_vars, os.path.join(self.out, "vars.fd"))
        if self.args.full_bus:
            # A blank 1 MiB stick: the mass-storage driver binds to it all the same.
            with open(os.path.join(self.out, "stick.img"), "wb") as f:
                f.truncate(1024 * 1024)
            with open(os.path.join(self.out, "esp", "disconnect-usb-class-drivers"), "w") as f:
                f.write("stop the class drivers of every USB device but the camera\n")
        evidence = self.args.restart_evidence
        began = time.monotonic()
        try:
            self.say("camera '%s'%s; artefacts in %s" % (self.args.camera, "".join(
                " " + o for o in self.camera_options()), self.out))
            self.make_capsule()
            expected = self.expected = self.simulate()
            self.say("simulator (a bus enumerating as EDK II's, no embedded controller): %s; boot 2 ends in its reset "
                     "after %s s of virtual time" % (
                expected["result"], expected["update_virtual_s"]))
            self.start_camera()
            boot1 = self.boot(1, False)
            self.check_boot1(boot1)
            if self.args.full_bus:
                self.check_full_bus(1, boot1, True)
            self.check_requests(1, boot1, evidence)
            boot2 = self.boot(2, True, screenshot=not evidence)
            self.check_boot2(boot2, expected, evidence)
            if self.args.full_bus:
                self.check_full_bus(2, boot2, False)
            self.check_requests(2, boot2, evidence)
            self.compare_timing(boot2)
            if evidence:
                self.evidence_from_camera(boot2)
            boot3 = self.boot(3, False)
            self.check_boot3(boot3, expected, evidence, boot1)
            if self.args.full_bus:
                self.check_full_bus(3, boot3, True)
            self.check_requests(3, boot3, evidence)
            total = time.monotonic() - began
            self.say("times: boot 1 %.1f s, boot 2 %.1f s, boot 3 %.1f s; the whole job %.1f s" % (
                boot1["seconds"], boot2["seconds"], boot3["seconds"], total))
        except RuntimeError as error:
            self.failures.append(str(error))
            self.say("FAILED: %s" % error)
        finally:
            self.stop_camera()
        if self.failures:
            self.say("%d check(s) failed" % len(self.failures))
            return 1
        self.say("passed" if not evidence else "evidence recorded (no boot hung)")
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--camera", required=True, help="the ISP generation (camfw's KIND)")
    parser.add_argument("--chunk", type=lambda s: int(s, 0), default=0, help="the camera's chunk (and the signature's)")
    parser.add_argument("--register", action="append", default=[], help="ADDR=VALUE the camera's boot sets")
    parser.add_argument("--header-version", type=int, default=None, help="the two-slot sample's header version")
    parser.add_argument("--slot-length", type=lambda s: int(s, 0), default=0, help="the two-slot sample's slot data")
    parser.add_argument("--bcd", default="0200", help="the sample's bcdDevice")
    parser.add_argument("--restart-evidence", action="store_true", help="record the outcome; fail only on a hang")
    parser.add_argument("--driver", default=None, help="the driver image to load (default: the uefi preset's)")
    parser.add_argument("--debug-log", action="store_true", help="keep the firmware's debug log; fail on ASSERT")
    parser.add_argument("--ovmf-from-env", default=None, metavar="VARIABLE",
                        help="OVMF_CODE.fd and OVMF_VARS.fd from the directory this variable names (unset: skip)")
    parser.add_argument("--full-bus", action="store_true",
                        help="a USB keyboard and stick before the camera, their class drivers stopped")
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "ovmf-job"), help="artefact directory")
    parser.add_argument("--timeout", type=float, default=300, help="seconds one boot may take")
    parser.add_argument("--shot-after", type=int, default=3,
                        help="chunk writes after the driver's bar appears before the screenshot")
    return Job(parser.parse_args()).main()


if __name__ == "__main__":
    sys.exit(main())
