#!/usr/bin/env bash
# Boots the firmware harness in OVMF under QEMU against the emulated camera
# and prints the harness's HARNESS lines from the serial log. Builds nothing:
# run `cmake --workflow --preset uefi` (BOOTX64.EFI, CameraUpdateDxeQemu.efi)
# and build the host target camera-redir first.
#
#   scripts/ovmf-run.sh [--unplugged] [--isp LETTER] [--probe] [--timeout SECONDS] [--keep]
#
#   --unplugged   camera-redir answers QEMU but never connects a device: the
#                 bus has no camera
#   --isp LETTER  passed to camera-redir: the camera's ISP generation
#   --probe       boot ProbeX64.EFI (the USB hot-plug probe) in place of the
#                 harness; its PROBE lines are printed too
#   --timeout S   kill QEMU after S seconds (default 120)
#   --keep        keep the work directory (ESP, vars, logs) and print its path
#
# Environment: UEFI_BUILD (default build/uefi), CAMERA_REDIR (default
# build/host/camera-redir), OVMF_CODE / OVMF_VARS (Debian's 4 MiB images).
# Exit status: 0 when the log holds "HARNESS done", 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

unplugged=0
isp=""
probe=0
timeout_s=120
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --unplugged) unplugged=1 ;;
    --isp) isp="$2"; shift ;;
    --probe) probe=1 ;;
    --timeout) timeout_s="$2"; shift ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [--unplugged] [--isp LETTER] [--probe] [--timeout SECONDS] [--keep]" >&2; exit 2 ;;
  esac
  shift
done

uefi_build="${UEFI_BUILD:-build/uefi}"
redir="${CAMERA_REDIR:-build/host/camera-redir}"
ovmf_code="${OVMF_CODE:-/usr/share/OVMF/OVMF_CODE_4M.fd}"
ovmf_vars="${OVMF_VARS:-/usr/share/OVMF/OVMF_VARS_4M.fd}"
boot_image="$uefi_build/BOOTX64.EFI"
[ "$probe" = 1 ] && boot_image="$uefi_build/ProbeX64.EFI"
for f in "$boot_image" "$uefi_build/CameraUpdateDxeQemu.efi" "$redir" "$ovmf_code" "$ovmf_vars"; do
  if [ ! -e "$f" ]; then
    echo "ovmf-run: missing $f (build it first: cmake --workflow --preset uefi; the host target camera-redir)" >&2
    exit 2
  fi
done
command -v qemu-system-x86_64 >/dev/null || { echo "ovmf-run: qemu-system-x86_64 not installed" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/ovmf-run.XXXXXX")"
redir_pid=""
cleanup() {
  if [ -n "$redir_pid" ]; then
    kill "$redir_pid" 2>/dev/null || true
    wait "$redir_pid" 2>/dev/null || true
  fi
  if [ "$keep" = 1 ]; then
    echo "ovmf-run: work directory kept: $work" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# The ESP: the harness where the firmware's removable-media boot looks for
# it, the driver at the root where the harness loads it from.
mkdir -p "$work/esp/EFI/BOOT"
cp "$boot_image" "$work/esp/EFI/BOOT/BOOTX64.EFI"
cp "$uefi_build/CameraUpdateDxeQemu.efi" "$work/esp/CameraUpdateDxeQemu.efi"
cp "$ovmf_vars" "$work/vars.fd"

# The camera must listen before QEMU connects to it.
sock="$work/camera.sock"
redir_args=(--socket "$sock")
[ "$unplugged" = 1 ] && redir_args+=(--unplugged)
[ -n "$isp" ] && redir_args+=(--isp "$isp")
"$redir" "${redir_args[@]}" 2>"$work/camera-redir.log" &
redir_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/camera-redir.log" 2>/dev/null && break
  kill -0 "$redir_pid" 2>/dev/null || break
  sleep 0.05
done
if ! grep -q "listening on" "$work/camera-redir.log"; then
  echo "ovmf-run: camera-redir did not start:" >&2
  cat "$work/camera-redir.log" >&2
  exit 1
fi

start=$(date +%s.%N)
set +e
timeout "$timeout_s" qemu-system-x86_64 \
  -machine q35 -accel tcg -m 256 -smp 1 -nodefaults -nic none -vga std \
  -display none -serial "file:$work/serial.log" -monitor "unix:$work/mon.sock,server,nowait" -no-reboot \
  -drive "if=pflash,format=raw,unit=0,readonly=on,file=$ovmf_code" \
  -drive "if=pflash,format=raw,unit=1,file=$work/vars.fd" \
  -drive "format=raw,file=fat:rw:$work/esp" \
  -device qemu-xhci,id=xhci \
  -chardev "socket,id=r0,path=$sock,server=off" \
  -device usb-redir,chardev=r0,bus=xhci.0 \
  2>"$work/qemu.log"
qemu_status=$?
set -e
end=$(date +%s.%N)

# OVMF writes terminal escape sequences (CSI ... letter) and CRs to serial.
sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g' "$work/serial.log" >"$work/serial.txt"
grep -aE '^(HARNESS|PROBE) ' "$work/serial.txt" || true
printf 'ovmf-run: qemu exit %s after %.1f s%s\n' "$qemu_status" "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" \
  "$([ "$qemu_status" = 124 ] && echo " (timed out)")" >&2

if grep -aq '^HARNESS done' "$work/serial.txt"; then
  exit 0
fi
echo "ovmf-run: no 'HARNESS done' in the serial log; its tail, QEMU's and camera-redir's stderr:" >&2
tail -n 30 "$work/serial.txt" >&2
cat "$work/qemu.log" >&2
tail -n 30 "$work/camera-redir.log" >&2
exit 1
