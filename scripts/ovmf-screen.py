#!/usr/bin/env python3
"""The screen of a QEMU run: take a screenshot through QEMU's monitor, and
find the driver's progress bar in it.

  ovmf-screen.py take MONITOR_SOCKET SHOT.ppm
      Sends "screendump SHOT.ppm" to the human monitor on the unix socket and
      waits until the file is whole.
  ovmf-screen.py check SHOT.ppm [--png OUT.png] [--min-steps N]
      Reads the PPM (P6, maxval 255) and looks for the bar where the driver
      places it for a screen of H x V pixels: X = H/5, Y = V - 10, width 3H/5,
      height 10. The firmware harness draws it as a one-pixel frame of
      (0xC0, 0xC0, 0xC0) around an inside that fills from the left with
      (0x30, 0xC0, 0x30) over black. Prints the frame's state and how much of
      the inside is filled (in steps of the bar's 100), writes the picture as
      a PNG when asked, and exits 1 unless the frame is whole, the filled part
      is one run from the left edge and at least N steps (default 1) are
      filled.
  ovmf-screen.py selftest
      Checks the checker on screens it draws itself: a bar a third full is
      found with its steps; no bar, a broken frame, a fill that does not start
      at the left edge and an empty bar (with the default --min-steps) are not.

Standard library only: the PNG is written with zlib.
"""
import os
import socket
import struct
import sys
import time
import zlib

FRAME = (0xC0, 0xC0, 0xC0)
FILL = (0x30, 0xC0, 0x30)
EMPTY = (0x00, 0x00, 0x00)
STEPS = 100  # the bar's Maximum as the driver sets it up


def read_until(sock, marker, deadline):
    data = b""
    while marker not in data:
        if time.monotonic() > deadline:
            raise TimeoutError("no %r from the monitor" % marker)
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("the monitor closed the connection")
        data += chunk
    return data


def take(monitor, path):
    deadline = time.monotonic() + 20
    if os.path.exists(path):
        os.remove(path)
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(20)
        sock.connect(monitor)
        read_until(sock, b"(qemu) ", deadline)
        sock.sendall(("screendump %s\n" % path).encode())
        read_until(sock, b"(qemu) ", deadline)
    # The file is whole once its size is the header's promise.
    while time.monotonic() < deadline:
        try:
            width, height, _ = read_ppm(path)
            return width, height
        except (OSError, ValueError):
            time.sleep(0.05)
    raise TimeoutError("%s was not written whole" % path)


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while pos < len(data) and data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while end < len(data) and not data[end:end + 1].isspace():
            end += 1
        if end == pos:
            raise ValueError("%s: a short PPM header" % path)
        fields.append(data[pos:end])
        pos = end
    pos += 1  # the one whitespace byte after maxval
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError("%s: not a P6 PPM with maxval 255" % path)
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos:]
    if len(pixels) != width * height * 3:
        raise ValueError("%s: %d pixel bytes, %d expected" % (path, len(pixels), width * height * 3))
    return width, height, pixels


def write_png(path, width, height, pixels):
    rows = b"".join(b"\x00" + pixels[y * width * 3:(y + 1) * width * 3] for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(rows, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def check(path, png, min_steps):
    width, height, pixels = read_ppm(path)
    if png:
        write_png(png, width, height, pixels)

    def pixel(x, y):
        i = (y * width + x) * 3
        return tuple(pixels[i:i + 3])

    x0, y0, bar_w, bar_h = width // 5, height - 10, 3 * width // 5, 10
    print("screen %dx%d; the bar's place: x=%d y=%d width=%d height=%d" % (width, height, x0, y0, bar_w, bar_h))
    frame = [(x, y0) for x in range(x0, x0 + bar_w)] + [(x, y0 + bar_h - 1) for x in range(x0, x0 + bar_w)]
    frame += [(x0, y) for y in range(y0, y0 + bar_h)] + [(x0 + bar_w - 1, y) for y in range(y0, y0 + bar_h)]
    off = [p for p in frame if pixel(*p) != FRAME]
    print("frame: %d of %d pixels in the frame colour" % (len(frame) - len(off), len(frame)))

    inside = bar_w - 2
    columns = []
    for x in range(x0 + 1, x0 + bar_w - 1):
        colours = {pixel(x, y) for y in range(y0 + 1, y0 + bar_h - 1)}
        columns.append("fill" if colours == {FILL} else "empty" if colours == {EMPTY} else "other")
    filled = columns.count("fill")
    prefix = filled > 0 and all(c == "fill" for c in columns[:filled]) or filled == 0
    others = columns.count("other")
    steps = filled * STEPS // inside
    print("inside: %d of %d columns filled (%d of %d steps), %d empty, %d neither" %
          (filled, inside, steps, STEPS, columns.count("empty"), others))
    ok = not off and prefix and others == 0 and steps >= min_steps
    if not prefix:
        print("the filled columns are not one run from the bar's left edge")
    print("bar: %s" % ("found" if ok else "not as the driver draws it"))
    return 0 if ok else 1


def selftest():
    import tempfile
    width, height = 1280, 800
    x0, y0, bar_w, bar_h = width // 5, height - 10, 3 * width // 5, 10

    def screen(steps, frame=True, gap=False, start=0):
        pixels = bytearray(width * height * 3)

        def put(x, y, colour):
            i = (y * width + x) * 3
            pixels[i:i + 3] = bytes(colour)

        if frame:
            for x in range(x0, x0 + bar_w):
                put(x, y0, FRAME)
                put(x, y0 + bar_h - 1, FRAME)
            for y in range(y0, y0 + bar_h):
                put(x0, y, FRAME)
                put(x0 + bar_w - 1, y, FRAME)
        if gap:
            put(x0 + bar_w // 2, y0, EMPTY)
        for x in range(start, (bar_w - 2) * steps // STEPS + start):
            for y in range(y0 + 1, y0 + bar_h - 1):
                put(x0 + 1 + x, y, FILL)
        return b"P6\n%d %d\n255\n" % (width, height) + bytes(pixels)

    cases = [("a third", screen(33), 0), ("no bar", screen(0, frame=False), 1),
             ("a gap in the frame", screen(33, gap=True), 1), ("a fill off the left edge", screen(33, start=40), 1),
             ("an empty bar", screen(0), 1)]
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        for name, data, expected in cases:
            path = os.path.join(work, "shot.ppm")
            with open(path, "wb") as f:
                f.write(data)
            status = check(path, os.path.join(work, "shot.png"), 1)
            verdict = "ok" if status == expected else "WRONG"
            failures += status != expected
            print("selftest: %s: exit %d, expected %d: %s" % (name, status, expected, verdict))
        # The PNG holds the same pixels: its header names the size.
        with open(os.path.join(work, "shot.png"), "rb") as f:
            header = f.read(24)
        if header[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", header[16:24]) != (width, height):
            print("selftest: the PNG header is wrong")
            failures += 1
    print("selftest: %s" % ("passed" if failures == 0 else "%d failure(s)" % failures))
    return 0 if failures == 0 else 1


def main(argv):
    if len(argv) == 2 and argv[1] == "selftest":
        return selftest()
    if len(argv) == 4 and argv[1] == "take":
        width, height = take(argv[2], argv[3])
        print("screendump %s: %dx%d" % (argv[3], width, height))
        return 0
    if len(argv) >= 3 and argv[1] == "check":
        png, min_steps, rest = None, 1, argv[3:]
        while rest:
            if rest[0] == "--png" and len(rest) > 1:
                png, rest = rest[1], rest[2:]
            elif rest[0] == "--min-steps" and len(rest) > 1:
                min_steps, rest = int(rest[1]), rest[2:]
            else:
                break
        if not rest:
            return check(argv[2], png, min_steps)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
