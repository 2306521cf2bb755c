#!/usr/bin/env bash
# Builds CameraUpdatePkg/CameraUpdatePkg.dsc with EDK II's own build system
# against a given tianocore/edk2 checkout, for X64, with the GCC (GCC5 on trees
# that predate it), CLANGDWARF and CLANGPDB toolchains, DEBUG and RELEASE, and
# checks each resulting CameraUpdateDxe.efi: PE32+ for x86-64 with
# Subsystem 11 (EFI boot service driver). Exits non-zero if any build fails or
# any image is not what a DXE driver must be.
#
# The edk2 checkout is only read. The script works in a scratch WORKSPACE,
# build/edk2/<tree-name>/ under this repository, holding a copy of just the
# parts of the tree the build needs (BaseTools and the packages below),
# BaseTools' C tools built once in that copy, and the Build/ output. The copy
# is refreshed when the checkout's commit changes (or with --refresh). This
# repository itself is the second PACKAGES_PATH entry, so CameraUpdatePkg is
# built where it is, never copied.
#
# Git submodules are not fetched (there may be no network). The package build
# only needs the include folders that MdePkg.dec and MdeModulePkg.dec name
# inside submodules, so those are created empty in the copy.
#
# Usage: scripts/edk2-build.sh EDK2_TREE [options] [-- extra build options]
#   --toolchain LIST   comma-separated subset of GCC,CLANGDWARF,CLANGPDB
#                      (GCC means GCC5 on trees that have no GCC toolchain;
#                      GCC5 asks for GCC5 on trees that still have it)
#   --target LIST      comma-separated subset of DEBUG,RELEASE
#   --qemu-q35         build the QEMU q35 variant (-D QEMU_Q35=TRUE)
#   -D NAME=VALUE      passed to EDK II's build (may be repeated)
#   --scratch DIR      scratch WORKSPACE (default build/edk2/<tree-name>)
#   --refresh          copy the tree again even if the commit is unchanged
#   --clean            remove the scratch copy's Build/ output first
#   --verbose          show build's output instead of only its log's tail
#   anything after --  passed to EDK II's build unchanged
set -euo pipefail

usage() {
  sed -n '/^# Usage:/,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
}

die() {
  echo "edk2-build: $*" >&2
  exit 1
}

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DSC=CameraUpdatePkg/CameraUpdatePkg.dsc
LLVM_DIR=/usr/lib/llvm-19/bin

# The parts of an edk2 tree the package build reads: the tools, the packages
# CameraUpdateDxe.inf names, and those the QEMU q35 variant's libraries come
# from (PcAtChipsetPkg's ACPI timer library, OvmfPkg's debug port library).
COPY_ITEMS=(BaseTools MdePkg MdeModulePkg PcAtChipsetPkg OvmfPkg edksetup.sh .gitmodules)

TREE=""
TOOLCHAINS="GCC,CLANGDWARF,CLANGPDB"
TARGETS="DEBUG,RELEASE"
SCRATCH=""
REFRESH=0
CLEAN=0
VERBOSE=0
BUILD_EXTRA=()

while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --toolchain|--toolchains) TOOLCHAINS=${2:?--toolchain needs a value}; shift 2 ;;
    --toolchain=*) TOOLCHAINS=${1#*=}; shift ;;
    --target|--targets) TARGETS=${2:?--target needs a value}; shift 2 ;;
    --target=*) TARGETS=${1#*=}; shift ;;
    --qemu-q35) BUILD_EXTRA+=(-D QEMU_Q35=TRUE); shift ;;
    -D) BUILD_EXTRA+=(-D "${2:?-D needs NAME=VALUE}"); shift 2 ;;
    -D*) BUILD_EXTRA+=(-D "${1#-D}"); shift ;;
    --scratch) SCRATCH=${2:?--scratch needs a directory}; shift 2 ;;
    --scratch=*) SCRATCH=${1#*=}; shift ;;
    --refresh) REFRESH=1; shift ;;
    --clean) CLEAN=1; shift ;;
    -v|--verbose) VERBOSE=1; shift ;;
    --) shift; BUILD_EXTRA+=("$@"); break ;;
    -*) usage >&2; die "unknown option $1" ;;
    *) [ -z "$TREE" ] || die "more than one EDK2_TREE given: $TREE, $1"; TREE=$1; shift ;;
  esac
done

[ -n "$TREE" ] || { usage >&2; die "EDK2_TREE is required"; }
[ -d "$TREE" ] || die "$TREE is not a directory"
TREE=$(cd "$TREE" && pwd)
for item in BaseTools MdePkg MdeModulePkg edksetup.sh; do
  [ -e "$TREE/$item" ] || die "$TREE has no $item: not an edk2 checkout"
done

# ---------------------------------------------------------------------------
# Prerequisites. Each entry: how to test for it, and the Debian package.
# ---------------------------------------------------------------------------
check_prerequisites() {
  local missing=() entry test pkg
  local entries=(
    "cmd:nasm|nasm"
    "file:/usr/include/uuid/uuid.h|uuid-dev"
    "cmd:python3|python3"
    "cmd:make|make"
    "cmd:gcc|gcc"
    "cmd:g++|g++"
    "file:$LLVM_DIR/clang|clang-19"
    "file:$LLVM_DIR/ld.lld|lld-19"
    "file:$LLVM_DIR/lld-link|lld-19"
    "file:$LLVM_DIR/llvm-ar|llvm-19"
    "file:$LLVM_DIR/llvm-lib|llvm-19"
    "file:$LLVM_DIR/llvm-objcopy|llvm-19"
    "file:$LLVM_DIR/llvm-rc|llvm-19"
  )
  for entry in "${entries[@]}"; do
    test=${entry%|*}
    pkg=${entry#*|}
    case "$test" in
      cmd:*) command -v "${test#cmd:}" >/dev/null 2>&1 && continue ;;
      file:*) [ -e "${test#file:}" ] && continue ;;
    esac
    case " ${missing[*]-} " in *" $pkg "*) ;; *) missing+=("$pkg") ;; esac
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "edk2-build: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  else
    die "missing prerequisites; install them with: sudo apt-get install ${missing[*]}"
  fi
}

# ---------------------------------------------------------------------------
# Scratch WORKSPACE: a copy of the needed parts of the tree.
# ---------------------------------------------------------------------------
tree_identity() {
  # The commit, plus a marker when the checkout has local changes, so that
  # editing the tree (or checking out another commit) refreshes the copy.
  if git -C "$TREE" rev-parse --verify -q HEAD >/dev/null 2>&1; then
    local head dirty=""
    head=$(git -C "$TREE" rev-parse HEAD)
    if [ -n "$(git -C "$TREE" status --porcelain --untracked-files=no -- "${COPY_ITEMS[@]}" 2>/dev/null)" ]; then
      dirty=" (with local changes)"
    fi
    echo "$TREE $head$dirty"
  else
    echo "$TREE (not a git checkout)"
  fi
}

prepare_scratch() {
  local identity stamp item
  identity=$(tree_identity)
  stamp="$SCRATCH/.edk2-source"
  if [ $REFRESH -eq 0 ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$identity" ]; then
    echo "edk2-build: reusing $SCRATCH"
    return 0
  fi
  if [ -e "$SCRATCH" ]; then
    echo "edk2-build: removing stale copy $SCRATCH"
    rm -rf "$SCRATCH"
  fi
  echo "edk2-build: copying ${COPY_ITEMS[*]} from $TREE to $SCRATCH"
  mkdir -p "$SCRATCH/Conf"
  for item in "${COPY_ITEMS[@]}"; do
    if [ -e "$TREE/$item" ]; then
      cp -a "$TREE/$item" "$SCRATCH/"
    else
      echo "edk2-build: note: $TREE has no $item"
    fi
  done
  create_submodule_includes
  echo "$identity" >"$stamp"
}

# Every [Includes] folder of the copied packages' DEC files that lies inside a
# git submodule and is absent is created empty: the build only checks that
# the folders exist, and the package's modules include nothing from them.
create_submodule_includes() {
  [ -f "$SCRATCH/.gitmodules" ] || return 0
  python3 - "$SCRATCH" <<'PY'
import glob, os, re, sys
scratch = sys.argv[1]
subs = [m.group(1).strip() for m in
        re.finditer(r'^\s*path\s*=\s*(.+)$', open(os.path.join(scratch, '.gitmodules')).read(), re.M)]
for dec in sorted(glob.glob(os.path.join(scratch, '*', '*.dec'))):
    pkg = os.path.basename(os.path.dirname(dec))
    section = ''
    for line in open(dec, encoding='utf-8', errors='replace'):
        line = line.split('#', 1)[0].strip()
        if not line:
            continue
        if line.startswith('['):
            section = line.lower()
            continue
        if not section.startswith('[includes'):
            continue
        rel = os.path.normpath(os.path.join(pkg, line.replace('\\', '/')))
        full = os.path.join(scratch, rel)
        if os.path.isdir(full):
            continue
        if any(rel == s or rel.startswith(s + '/') for s in subs):
            os.makedirs(full)
            print('edk2-build: created empty submodule include folder ' + rel)
PY
}

# BaseTools' C tools (GenFw and friends), built once per copy. The tools
# whose sources live in submodules (BrotliCompress) fail to build without
# them; the package build does not use them, so only GenFw is required.
build_basetools() {
  local bin="$SCRATCH/BaseTools/Source/C/bin" log="$SCRATCH/basetools.log"
  if [ -x "$bin/GenFw" ]; then
    return 0
  fi
  echo "edk2-build: building BaseTools C tools (log: $log)"
  if ! make -k -j2 -C "$SCRATCH/BaseTools/Source/C" >"$log" 2>&1; then
    echo "edk2-build: some BaseTools C tools failed to build (tolerated if GenFw built)"
  fi
  [ -x "$bin/GenFw" ] || { tail -n 30 "$log" >&2; die "GenFw did not build"; }
  echo "edk2-build: BaseTools C tools built: $(cd "$bin" && printf '%s ' *)"
}

# ---------------------------------------------------------------------------
# Image check: PE32+ for x86-64, Subsystem 11.
# ---------------------------------------------------------------------------
check_image() {
  python3 - "$1" <<'PY'
import struct, sys
path = sys.argv[1]
data = open(path, 'rb').read()
problems = []
if data[:2] != b'MZ':
    problems.append('no MZ header')
    print('size=%d %s' % (len(data), '; '.join(problems)))
    sys.exit(1)
pe = struct.unpack_from('<I', data, 0x3C)[0]
if data[pe:pe + 4] != b'PE\0\0':
    problems.append('no PE signature')
    print('size=%d %s' % (len(data), '; '.join(problems)))
    sys.exit(1)
machine = struct.unpack_from('<H', data, pe + 4)[0]
opt = pe + 24
magic = struct.unpack_from('<H', data, opt)[0]
subsystem = struct.unpack_from('<H', data, opt + 68)[0]
if machine != 0x8664:
    problems.append('machine 0x%04X is not x86-64' % machine)
if magic != 0x20B:
    problems.append('optional-header magic 0x%03X is not PE32+' % magic)
if subsystem != 11:
    problems.append('subsystem %d is not 11 (EFI boot service driver)' % subsystem)
print('size=%d magic=0x%03X(%s) machine=0x%04X subsystem=%d%s' % (
    len(data), magic, 'PE32+' if magic == 0x20B else 'not PE32+', machine, subsystem,
    ('  BAD: ' + '; '.join(problems)) if problems else ''))
sys.exit(1 if problems else 0)
PY
}

# ---------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------
check_prerequisites

[ -n "$SCRATCH" ] || SCRATCH="$ROOT/build/edk2/$(basename "$TREE")"
mkdir -p "$(dirname "$SCRATCH")"
SCRATCH=$(cd "$(dirname "$SCRATCH")" && pwd)/$(basename "$SCRATCH")
case "$SCRATCH/" in "$TREE"/*) die "the scratch folder must not be inside $TREE" ;; esac
case "$SCRATCH" in *" "*) die "EDK II does not accept spaces in paths: $SCRATCH" ;; esac
case "$ROOT" in *" "*) die "EDK II does not accept spaces in paths: $ROOT" ;; esac

prepare_scratch
build_basetools

# The GCC toolchain is called GCC in current trees and GCC5 in older ones;
# trees of the transition (edk2-stable202505 among them) have both, GCC5
# deprecated. GCC picks the current name; GCC5 asks for GCC5 where it exists.
TOOLS_DEF="$SCRATCH/BaseTools/Conf/tools_def.template"
has_toolchain() { grep -qE "^\*_$1_X64_CC_PATH" "$TOOLS_DEF"; }
if has_toolchain GCC; then
  GCC_NAME=GCC
else
  GCC_NAME=GCC5
fi

IFS=, read -r -a tc_list <<<"$TOOLCHAINS"
IFS=, read -r -a target_list <<<"$TARGETS"
for i in "${!tc_list[@]}"; do
  case "${tc_list[$i]}" in
    GCC) tc_list[i]=$GCC_NAME ;;
    GCC5) has_toolchain GCC5 || tc_list[i]=$GCC_NAME ;;
    CLANGDWARF|CLANGPDB) ;;
    *) die "unknown toolchain ${tc_list[$i]} (GCC, CLANGDWARF, CLANGPDB)" ;;
  esac
done
for t in "${target_list[@]}"; do
  case "$t" in DEBUG|RELEASE) ;; *) die "unknown target $t (DEBUG, RELEASE)" ;; esac
done

# The environment edksetup.sh would give, with the scratch copy as WORKSPACE
# and this repository after it on PACKAGES_PATH. CLANG_BIN is a prefix in
# tools_def, hence the trailing slash. The LLVM folder also goes at the end of
# PATH because some tools_def entries name llvm-objcopy without a prefix.
export WORKSPACE="$SCRATCH"
export EDK_TOOLS_PATH="$SCRATCH/BaseTools"
export PACKAGES_PATH="$SCRATCH:$ROOT"
export CONF_PATH="$SCRATCH/Conf"
export CLANG_BIN="$LLVM_DIR/"
export PYTHON_COMMAND=python3
export PATH="$PATH:$LLVM_DIR"
# edksetup.sh is written for interactive shells (unset variables, non-zero
# statuses), so it is sourced with -e and -u off. It copies the Conf/*.txt
# templates into the scratch copy and puts BaseTools' wrappers on PATH.
cd "$SCRATCH"
set +eu
# shellcheck disable=SC1091
. ./edksetup.sh BaseTools >"$SCRATCH/edksetup.log" 2>&1
setup_rc=$?
set -eu
cd "$ROOT"
if [ $setup_rc -ne 0 ] || [ ! -f "$CONF_PATH/tools_def.txt" ] || ! command -v build >/dev/null; then
  cat "$SCRATCH/edksetup.log" >&2
  die "edksetup.sh failed"
fi

tree_commit=$(git -C "$TREE" rev-parse HEAD 2>/dev/null || echo unknown)
echo "edk2-build: tree $TREE at $tree_commit, GCC toolchain name $GCC_NAME"
echo "edk2-build: WORKSPACE=$WORKSPACE"
echo "edk2-build: PACKAGES_PATH=$PACKAGES_PATH"
[ ${#BUILD_EXTRA[@]} -eq 0 ] || echo "edk2-build: extra build options: ${BUILD_EXTRA[*]}"

if [ $CLEAN -eq 1 ]; then
  echo "edk2-build: removing $SCRATCH/Build"
  rm -rf "$SCRATCH/Build"
fi
mkdir -p "$SCRATCH/logs"
variant_suffix=""
if [ ${#BUILD_EXTRA[@]} -gt 0 ]; then
  variant_suffix="-$(printf '%s' "${BUILD_EXTRA[*]}" | tr -c 'A-Za-z0-9=' '_')"
fi
start_all=$SECONDS
failures=0
results=()
for tc in "${tc_list[@]}"; do
  for target in "${target_list[@]}"; do
    tag="${target}_${tc}"
    log="$SCRATCH/logs/$tag$variant_suffix.log"
    report="$SCRATCH/logs/$tag$variant_suffix.report"
    cmd=(build -p "$DSC" -a X64 -t "$tc" -b "$target" -n 2 ${BUILD_EXTRA[@]+"${BUILD_EXTRA[@]}"})
    echo
    echo "=== $tag: ${cmd[*]}"
    rm -f "$report"
    # The build report names the output directory the DSC chose (it depends
    # on the variant) and lists the flags the module was built with.
    cmd+=(-y "$report" -Y BUILD_FLAGS)
    start=$SECONDS
    rc=0
    if [ $VERBOSE -eq 1 ]; then
      (cd "$SCRATCH" && "${cmd[@]}") 2>&1 | tee "$log" || rc=$?
    else
      (cd "$SCRATCH" && "${cmd[@]}") >"$log" 2>&1 || rc=$?
    fi
    took=$((SECONDS - start))
    warnings=$(grep -ciE '(^|[^-a-z])warning([^a-z]|$)' "$log" || true)
    if [ $rc -ne 0 ]; then
      echo "--- build failed (exit $rc, ${took}s); last lines of $log:"
      tail -n 40 "$log"
      results+=("$tag FAILED (build exit $rc) log=$log")
      failures=$((failures + 1))
      continue
    fi
    outdir=$(sed -n 's/^Output Path: *//p' "$report" 2>/dev/null | head -n 1)
    efi="$outdir/$tag/X64/CameraUpdateDxe.efi"
    if [ -z "$outdir" ] || [ ! -f "$efi" ]; then
      results+=("$tag FAILED (build succeeded but there is no ${efi:-CameraUpdateDxe.efi})")
      failures=$((failures + 1))
      continue
    fi
    rc=0
    info=$(check_image "$efi") || rc=$?
    echo "--- ok in ${took}s, $warnings warning line(s) in $log"
    echo "    $efi"
    echo "    $info"
    if [ $rc -ne 0 ]; then
      results+=("$tag BAD IMAGE $info $efi")
      failures=$((failures + 1))
    else
      results+=("$tag ok ${took}s $info $efi")
    fi
  done
done

echo
echo "=== Summary ($(basename "$TREE") at $tree_commit, ${BUILD_EXTRA[*]-default variant}, total $((SECONDS - start_all))s)"
for r in "${results[@]}"; do
  echo "  $r"
done
if [ $failures -ne 0 ]; then
  echo "edk2-build: $failures build(s) failed" >&2
  exit 1
fi
