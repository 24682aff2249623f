#!/usr/bin/env bash
# Builds kestrun.dll for x86_64 and i686 with mingw-w64 and proves one of
# them on the Windows side, headless, in a 64-bit Wine prefix:
#   - --arch x86_64 (the default) also checks both DLLs as files: one export,
#     DriverProc at ordinal 1; only system DLLs imported; dialog resource 102
#     in language 1033 (objdump -p);
#   - under Wine, for the DLL of --arch: the cross-built test programs; the
#     Video for Windows host (tests/windows/vfw_host.cpp) through the
#     platform's codec manager and AVIFile; its compressed frames and RGB
#     decodes equal those of the Linux build; ffprobe reads its AVIs;
#     kestrun.inf installs both DLLs, the host finds this one by its registry
#     value (and through ICInfo, ICLocate, ICGetDisplayFormat and sequence
#     compression), and removal undoes it all; the installer of
#     scripts/package-windows.sh does the same in a fresh prefix, installs
#     over itself, and its uninstaller leaves nothing behind but a foreign
#     driver's value.
# i686 runs the 32-bit programs beside the 64-bit ones (WoW64), with Debian's
# wine32:i386. On a machine that cannot run 32-bit programs it says so and
# exits 77, which CTest reports as a skip.
#
#   run-wine-tests.sh --kestrun PATH --native-tests DIR [--arch x86_64|i686]
#                     [--build-root DIR] [--no-build] [--keep]
#
# --kestrun: the Linux command-line tool (for raw-encode and raw-decode).
# --native-tests: the Linux test programs' folder; they are run once in the
#   Windows tests' folder to fill the sample-clip cache, since ffmpeg cannot
#   be called from inside Wine.
# --build-root: where build-x86_64 and build-i686 go (default: a folder
#   $TMPDIR/kestrun-windows-build).
# --keep: leave the Wine prefix and the files compared, for a look after a
#   failure; the folder is printed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build_root="${TMPDIR:-/tmp}/kestrun-windows-build"
kestrun=""
native_tests=""
build=1
keep=0
arch=x86_64
while (($#)); do
  case "$1" in
    --kestrun) kestrun=$2; shift 2 ;;
    --native-tests) native_tests=$2; shift 2 ;;
    --build-root) build_root=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    --keep) keep=1; shift ;;
    *) echo "run-wine-tests.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[[ $arch == x86_64 || $arch == i686 ]] || { echo "run-wine-tests.sh: --arch is x86_64 or i686" >&2; exit 2; }
[[ -x "$kestrun" ]] || { echo "run-wine-tests.sh: --kestrun must name the Linux kestrun tool" >&2; exit 2; }
[[ -d "$native_tests" ]] || { echo "run-wine-tests.sh: --native-tests must name the Linux tests folder" >&2; exit 2; }
for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump \
            i686-w64-mingw32-objdump wine wineserver ffmpeg ffprobe cmake; do
  command -v "$tool" >/dev/null || { echo "run-wine-tests.sh: $tool is missing (scripts/setup-debian.sh --windows)" >&2; exit 2; }
done

failures=0
checks=0
skipped=0
pass() { checks=$((checks + 1)); echo "ok: $*"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAILED: $*"; }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

build64="$build_root/build-x86_64"
build32="$build_root/build-i686"
if ((build)); then
  for target in x86_64 i686; do
    dir="$build_root/build-$target"
    cmake -S "$source_dir" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-mingw-$target.cmake" \
      -DKESTRUN_BENCH=OFF -DKESTRUN_TOOLS=OFF >/dev/null
    cmake --build "$dir" -j"$(nproc)" >"$build_root/build-$target.log" 2>&1 ||
      { tail -40 "$build_root/build-$target.log"; echo "FAILED: $target build"; exit 1; }
  done
fi

# --- The DLLs as files -------------------------------------------------------
# objdump -p prints the export table as "[   0] +base[   1] ..." lines and
# the names as "[   0] NAME"; the resource tree as nested "Entry: ID:" lines.
check_dll() {
  local arch=$1 objdump=$2 dll=$3 format=$4
  local dump
  dump=$("$objdump" -p "$dll")
  check "$arch: $format image" grep -q "file format $format" <<<"$dump"

  local ordinals names
  ordinals=$(awk '/^Export Address Table -- Ordinal Base/{t=1; next} t&&/^$/{t=0} t' <<<"$dump")
  names=$(awk '/^\[Ordinal\/Name Pointer\] Table/{t=1; next} t&&/^$/{t=0} t' <<<"$dump")
  check "$arch: ordinal base 1" grep -q "^Export Address Table -- Ordinal Base 1$" <<<"$dump"
  check "$arch: one export, at ordinal 1" test "$(grep -c . <<<"$ordinals")" = 1 -a \
    "$(grep -c '+base\[   1\]' <<<"$ordinals")" = 1
  check "$arch: its name is DriverProc" test "$(sed 's/^[[:space:]]*//' <<<"$names")" = "[   0] DriverProc"

  local imports allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll winmm.dll msvcrt.dll " bad=""
  imports=$(awk '/DLL Name:/{print $3}' <<<"$dump")
  for name in $imports; do
    [[ "$allowed" == *" ${name,,} "* ]] || bad+=" $name"
  done
  check "$arch: imports only system DLLs ($(echo $imports))" test -z "$bad" -a -n "$imports"

  # Type 5 (RT_DIALOG) > id 0x66 (102) > language 0x409 (1033); each level of
  # the tree is indented two blanks more than the one above.
  check "$arch: dialog resource 102, language 1033" awk '
      /^The \.rsrc Resource Directory section:/ { t = 1; next }
      t && /^$/ { t = 0 }
      t && /Entry: ID:/ {
        match($0, /^[0-9a-f]+ +/); d = RLENGTH - length($1); id = $4; sub(/,$/, "", id)
        if (base == "") base = d
        level = (d - base) / 2
        if (level == 0) type = id; else if (level == 1) name = id
        else if (type == "0x000005" && name == "0x000066" && id == "0x000409") found = 1
      }
      END { exit !found }' <<<"$dump"
}
system_imports_only() {
  local bad
  bad=$("$1" -p "$2" | awk '/DLL Name:/{print tolower($3)}' |
    grep -v -E '^(kernel32|user32|gdi32|advapi32|winmm|msvcrt|msvfw32|avifil32|ole32)\.dll$' || true)
  [[ -z "$bad" ]]
}
if [[ $arch == x86_64 ]]; then
  check_dll x86_64 x86_64-w64-mingw32-objdump "$build64/bin/kestrun.dll" pei-x86-64
  check_dll i686 i686-w64-mingw32-objdump "$build32/bin/kestrun.dll" pei-i386
  for program in "$build32"/tests/test_*.exe "$build32/bin/vfw_host.exe"; do
    check "i686: $(basename "$program") needs only system DLLs" \
      system_imports_only i686-w64-mingw32-objdump "$program"
  done
fi

# --- Wine --------------------------------------------------------------------
# The 64-bit loader for everything on the 64-bit side, even where wine32 is
# installed (then plain "wine" starts the 32-bit rundll32 and reg).
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
# As Debian's wine script sets it: Wine starts a child of the other bitness
# with this name, "64" added or taken off.
if [[ -x $wine32 ]]; then export WINELOADER=$wine32; else export WINELOADER=$wine64; fi
if [[ $arch == i686 ]]; then
  if ! "$source_dir/scripts/runs-32-bit.sh"; then
    echo "skipped: this machine cannot run 32-bit programs, so the i686 DLL, its tests and its host were not run"
    exit 77
  fi
  [[ -x $wine32 ]] || { echo "FAILED: wine32 is missing (scripts/setup-debian.sh --windows installs it)"; exit 1; }
  wine_arch=("$wine32")
  build_arch=$build32
else
  wine_arch=("$wine64")
  build_arch=$build64
fi

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  timeout 20 wineserver -k >/dev/null 2>&1 || true
  if ((keep)); then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

winpath() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); echo "Z:${p//\//\\}"; }
run() { local limit=$1; shift; timeout --kill-after=10 "$limit" "$@"; }
# Windows programs end their lines with CR LF.
unix_lines() { sed -i 's/\r$//' "$1"; }

run 120 "$wine64" wineboot -i >/dev/null 2>&1
run 60 wineserver -w
# A crash exits instead of waiting for a click; windows are made with Wine's
# null display driver, so the About box runs without an X server.
run 30 "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
run 30 "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null
run 60 wineserver -w

# The cross-built test programs. They cannot call ffmpeg from inside Wine,
# so the Linux programs run first and fill the sample-clip cache, which is
# then put where the Windows programs look: their working folder and their
# build tree (the cache's place depends on the test support code's build).
# Any test that Wine skips beyond those that Linux skips is a failure: the
# Windows build must run what the Linux build runs.
mkdir -p "$work/tests"
for native in "$native_tests"/test_*; do
  [[ -x "$native" && -f "$build_arch/tests/$(basename "$native").exe" ]] || continue
  (cd "$work/tests" && run 300 "$native" >"$work/$(basename "$native").native.log" 2>&1) || true
done
shopt -s nullglob
caches=("$work"/tests/sample-*.raw "$(dirname "$native_tests")"/sample-*.raw "$native_tests"/sample-*.raw)
shopt -u nullglob
for cache in "${caches[@]}"; do
  cp -n "$cache" "$work/tests/" 2>/dev/null || true
  cp -n "$cache" "$build_arch/" 2>/dev/null || true
  cp -n "$cache" "$build_arch/tests/" 2>/dev/null || true
done
tests_run=0
for program in "$build_arch"/tests/test_*.exe; do
  name=$(basename "$program" .exe)
  native_skips=""
  if [[ -f "$work/$name.native.log" ]]; then
    native_skips=$(grep -E '^\[  SKIPPED \] [^ ]+$' "$work/$name.native.log" | sort -u || true)
  fi
  status=0
  (cd "$work/tests" && run 300 "${wine_arch[@]}" "$program" >"$work/$name.log" 2>&1) || status=$?
  # A program that starts as the wineserver of the one before shuts down can
  # lose its connection ("wine client error"): Wine's race, not a failure of
  # the program, which then runs once more on a fresh server.
  if ((status != 0)) && grep -q 'wine client error' "$work/$name.log"; then
    echo "note: $name lost its wineserver; running it again"
    run 60 wineserver -w || true
    status=0
    (cd "$work/tests" && run 300 "${wine_arch[@]}" "$program" >"$work/$name.log" 2>&1) || status=$?
  fi
  unix_lines "$work/$name.log"
  if ((status == 0)); then
    count=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.$/\1/p' "$work/$name.log")
    tests_run=$((tests_run + ${count:-0}))
    skips=$(grep -E '^\[  SKIPPED \] [^ ]+$' "$work/$name.log" | sort -u || true)
    extra=$(comm -23 <(echo "$skips") <(echo "$native_skips") | grep . || true)
    if [[ -n "$extra" ]]; then
      fail "$arch: $name under Wine skipped what Linux runs: $extra"
    else
      pass "$arch: $name under Wine: ${count:-0} tests passed, $(grep -c . <<<"$skips") skipped as on Linux"
    fi
  else
    grep -E 'FAILED|Failure|error' "$work/$name.log" | head -40
    fail "$arch: $name under Wine"
  fi
done

# The host, on frames of the sample clip.
width=720 height=405 frames=4
clip="$source_dir/samples/city-720x405.mpg"
data="$work/data"
mkdir -p "$data"
ffmpeg -nostdin -v error -y -i "$clip" -frames:v $frames -pix_fmt yuyv422 -f rawvideo "$data/yuy2.raw"
ffmpeg -nostdin -v error -y -i "$clip" -frames:v $frames -pix_fmt uyvy422 -f rawvideo "$data/uyvy.raw"
# RGB24 DIBs are stored bottom-up.
ffmpeg -nostdin -v error -y -i "$clip" -frames:v $frames -vf vflip -pix_fmt bgr24 -f rawvideo "$data/rgb24.raw"
cp "$build_arch/bin/kestrun.dll" "$data/kestrun.dll"

host=("${wine_arch[@]}" "$build_arch/bin/vfw_host.exe" --dir "$(winpath "$data")" --size ${width}x$height
      --frames $frames)
status=0
(cd "$data" && run 120 "${host[@]}" --dll "$(winpath "$data/kestrun.dll")" >"$work/host.log" 2>&1) || status=$?
unix_lines "$work/host.log"
if ((status == 0)); then
  pass "$arch: vfw_host: $(sed -n 's/^\([0-9]*\) passed, 0 failed$/\1 checks/p' "$work/host.log"),\
 $(grep -o '[0-9]* frames compared' "$work/host.log")"
else
  cat "$work/host.log"
  fail "$arch: vfw_host"
fi

# The same frames from the Linux build, whose bytes are those of every build.
frames_compared=0
for format in yuy2 uyvy rgb24; do
  for quality in 5500 9000; do
    "$kestrun" raw-encode -s ${width}x$height -f $format -q $quality --quiet "$data/$format.raw" "$work/linux.frames"
    check "$arch: $format at quality $quality: Windows frames equal the Linux build's" \
      cmp -s "$work/linux.frames" "$data/$format-q$quality.frames"
    if [[ $format == rgb24 ]]; then
      "$kestrun" raw-decode -s ${width}x$height -f rgb24 --quiet "$work/linux.frames" "$work/linux.decoded"
      check "$arch: rgb24 at quality $quality: Windows RGB decode equals the Linux build's" \
        cmp -s "$work/linux.decoded" "$data/rgb24-q$quality.decoded"
    fi
    if [[ $format == rgb24 && $quality == 5500 ]]; then
      check "$arch: frames of the AVI written through AVIMakeCompressedStream equal the Linux build's" \
        cmp -s "$work/linux.frames" "$data/kestrun-rgb24.avi.frames"
    fi
    frames_compared=$((frames_compared + frames))
  done
done

# Container inspection only: FFmpeg has no decoder for KSHA.
for avi in kestrun-rgb24.avi kestrun-yuy2.avi; do
  streams=$(ffprobe -v error -show_entries stream=codec_type,codec_tag_string,width,height,nb_frames \
    -of csv=p=0 "$data/$avi" 2>&1 || true)
  check "$arch: ffprobe $avi: one video stream, KSHA, ${width}x$height, $frames frames ($streams)" \
    test "$streams" = "video,KSHA,$width,$height,$frames"
  flags=$(ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 "$data/$avi" 2>&1 || true)
  check "$arch: ffprobe $avi: $frames packets, all key frames" \
    test "$(grep -c '^K' <<<"$flags")" = $frames -a "$(grep -c . <<<"$flags")" = $frames
done

# kestrun.inf, as a user runs it: the 64-bit rundll32 puts both DLLs into
# place with their Drivers32 values; the host of this bitness then finds the
# codec by its registry value; removal undoes it.
package="$work/package"
mkdir -p "$package"
cp "$source_dir/windows/kestrun.inf" "$package/"
cp "$build64/bin/kestrun.dll" "$package/kestrun64.dll"
cp "$build32/bin/kestrun.dll" "$package/kestrun32.dll"
inf=$(winpath "$package/kestrun.inf")
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
drivers32_wow='HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\Drivers32'
system32="$WINEPREFIX/drive_c/windows/system32"
syswow64="$WINEPREFIX/drive_c/windows/syswow64"
version=$(sed -n 's/^project(kestrun VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
registry_value() {
  run 30 "$wine64" reg query "$1" /v vidc.KSHA /reg:64 2>/dev/null | grep -q 'vidc.KSHA *REG_SZ *kestrun.dll'
}

run 60 "$wine64" rundll32 setupapi.dll,InstallHinfSection DefaultInstall 132 "$inf" >/dev/null 2>&1 || true
run 60 wineserver -w
check "kestrun.inf: the 64-bit DLL in System32" cmp -s "$package/kestrun64.dll" "$system32/kestrun.dll"
check "kestrun.inf: the 32-bit DLL in SysWOW64" cmp -s "$package/kestrun32.dll" "$syswow64/kestrun.dll"
check "kestrun.inf: Drivers32 vidc.KSHA = kestrun.dll" registry_value "$drivers32"
check "kestrun.inf: 32-bit Drivers32 vidc.KSHA = kestrun.dll" registry_value "$drivers32_wow"
if (cd "$data" && run 60 "${host[@]}" --registry --dll kestrun.dll >"$work/host-registry.log" 2>&1); then
  unix_lines "$work/host-registry.log"
  pass "$arch: vfw_host --registry: the installed codec is found by ICOpen, ICInfo, ICLocate and\
 ICGetDisplayFormat, $(sed -n 's/^\([0-9]*\) passed, 0 failed$/\1 checks/p' "$work/host-registry.log")"
  grep '^ICGetDisplayFormat proposes' "$work/host-registry.log" || true
else
  cat "$work/host-registry.log"
  fail "$arch: vfw_host --registry"
fi
for format in yuy2 rgb24; do
  for quality in 5000 7000; do
    "$kestrun" raw-encode -s ${width}x$height -f $format -q $quality --quiet "$data/$format.raw" "$work/linux.frames"
    check "$arch: $format sequence-compressed at quality $quality equals the Linux build's frames" \
      cmp -s "$work/linux.frames" "$data/$format-seq-q$quality.frames"
  done
done
run 60 "$wine64" rundll32 setupapi.dll,InstallHinfSection DefaultUninstall 132 "$inf" >/dev/null 2>&1 || true
run 60 wineserver -w
check "kestrun.inf removal: no kestrun.dll left" test ! -e "$system32/kestrun.dll" -a ! -e "$syswow64/kestrun.dll"
if registry_value "$drivers32" || registry_value "$drivers32_wow"; then
  fail "kestrun.inf removal: Drivers32 values are left"
else
  pass "kestrun.inf removal: no Drivers32 values left"
fi

# --- The installer -------------------------------------------------------------
# In a fresh prefix, as a user runs it: setup.exe /S puts both DLLs and both
# Drivers32 values in place and an entry in Apps & Features; the host of this
# bitness finds the codec by its registry value alone; a second run installs
# over the first in place; the uninstaller leaves a foreign vidc.KSHA alone,
# the installer refuses to replace one, and after uninstalling nothing is left.
# The 32-bit installer is the one shipped; where 32-bit programs cannot run,
# the same script built as a 64-bit program stands in for it (x86_64 run).
if [[ $arch == i686 ]]; then setup_target=x86-unicode; else setup_target=amd64-unicode; fi
if "$source_dir/scripts/package-windows.sh" --build-root "$build_root" --dist "$work/dist" \
     --target $setup_target >"$work/package.log" 2>&1; then
  setup=$(ls "$work"/dist/*-setup.exe)
  pass "package-windows.sh: $(basename "$setup") and $(cd "$work/dist" && ls *.zip)"
  export WINEPREFIX="$work/prefix-setup"
  run 120 "$wine64" wineboot -i >/dev/null 2>&1
  run 60 wineserver -w
  system32="$WINEPREFIX/drive_c/windows/system32"
  syswow64="$WINEPREFIX/drive_c/windows/syswow64"
  installed="$WINEPREFIX/drive_c/Program Files/Kestrun Archive Codec"
  uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrunArchiveCodec'
  setup_run() { local status=0; run 120 "${wine_arch[@]}" "$setup" /S || status=$?; run 60 wineserver -w; return $status; }
  # The uninstaller copies itself away and returns at once; the wineserver
  # waits for it.
  uninstall_run() { run 120 "${wine_arch[@]}" "$installed/uninstall.exe" /S || true; run 60 wineserver -w; }
  entry() { run 30 "$wine64" reg query "$uninstall_key" /v "$1" /reg:64 2>/dev/null | tr -d '\r' |
              sed -n "s/^ *$1 *REG_[A-Z]* *//p"; }
  installed_as_shipped() {
    cmp -s "$build64/bin/kestrun.dll" "$system32/kestrun.dll" && cmp -s "$build32/bin/kestrun.dll" "$syswow64/kestrun.dll" &&
      registry_value "$drivers32" && registry_value "$drivers32_wow" && [[ -f "$installed/uninstall.exe" ]]
  }
  check "setup /S: exit status 0" setup_run
  check "setup /S: both DLLs in place as kestrun.dll, both Drivers32 values, an uninstaller" installed_as_shipped
  check "setup /S: Apps & Features shows $(entry DisplayName) $(entry DisplayVersion) by $(entry Publisher),\
 $(( $(entry EstimatedSize) )) KiB" test "$(entry DisplayName)" = "Kestrun Archive Codec" -a \
    "$(entry DisplayVersion)" = "$version" -a -n "$(entry Publisher)" -a "$(( $(entry EstimatedSize) ))" -gt 0
  if (cd "$data" && run 60 "${host[@]}" --registry --dll kestrun.dll >"$work/host-setup.log" 2>&1); then
    pass "$arch: vfw_host --registry in a fresh prefix finds the codec setup.exe installed, without ICInstall"
  else
    cat "$work/host-setup.log"
    fail "$arch: vfw_host --registry after setup.exe"
  fi
  # DirectShow's AVI Decompressor over the installed codec, on an archive the
  # tool wrote; every sample equals the tool's own decode.
  ffmpeg -nostdin -v error -y -i "$clip" -frames:v $frames -pix_fmt yuyv422 -c:v rawvideo "$work/source.avi"
  "$kestrun" encode --quiet --no-fixity "$work/source.avi" "$data/archive.avi"
  for format in yuy2 rgb24; do
    lossy=(); [[ $format == rgb24 ]] && lossy=(--lossy)
    "$kestrun" decode --quiet "${lossy[@]}" --format $format "$data/archive.avi" "$data/archive-$format.raw"
    status=0
    (cd "$data" && run 120 "${wine_arch[@]}" "$build_arch/bin/dshow_host.exe" --avi "$(winpath "$data/archive.avi")" \
       --format $format --expected "$(winpath "$data/archive-$format.raw")" >"$work/dshow-$format.log" 2>&1) || status=$?
    unix_lines "$work/dshow-$format.log"
    if ((status == 0)); then
      pass "$arch: DirectShow's AVI Decompressor: $(sed -n 's/^dshow_host: \([0-9]* [a-z0-9]* samples\) compared$/\1/p' \
        "$work/dshow-$format.log") equal to kestrun decode's"
    elif ((status == 77)); then
      skipped=$((skipped + 1))
      echo "$arch: DirectShow's AVI Decompressor to $format $(grep -h '^skipped:' "$work/dshow-$format.log")"
    else
      cat "$work/dshow-$format.log"
      fail "$arch: DirectShow's AVI Decompressor to $format"
    fi
  done
  grep -h '^dshow_host: the AVI splitter' "$work/dshow-yuy2.log" || true
  check "setup /S again: installs over itself in place" setup_run
  check "setup /S again: one entry, the same files" installed_as_shipped
  run 30 "$wine64" reg add "$drivers32_wow" /v vidc.KSHA /t REG_SZ /d other.dll /f /reg:64 >/dev/null
  uninstall_run
  foreign() { run 30 "$wine64" reg query "$drivers32_wow" /v vidc.KSHA /reg:64 2>/dev/null | grep -q 'other.dll'; }
  check "uninstall /S: a vidc.KSHA naming another driver is left alone" foreign
  check "uninstall /S: its own value, both DLLs, the folder and the entry are gone" \
    eval '! registry_value "$drivers32" && [[ ! -e $system32/kestrun.dll && ! -e $syswow64/kestrun.dll && ! -e $installed ]] &&
          [[ -z $(entry DisplayName) ]]'
  status=0
  setup_run || status=$?
  check "setup /S with vidc.KSHA taken by another driver: refused (exit $status), nothing installed" \
    eval '((status == 2)) && [[ ! -e $system32/kestrun.dll && ! -e $syswow64/kestrun.dll ]] && ! registry_value "$drivers32"'
  run 30 "$wine64" reg delete "$drivers32_wow" /v vidc.KSHA /f /reg:64 >/dev/null
else
  cat "$work/package.log"
  fail "package-windows.sh"
fi

echo "windows $arch: $tests_run cross-built tests passed under Wine, $frames_compared frames compared with the Linux build"
echo "$((checks - failures)) passed, $failures failed, $skipped skipped (each said why above)"
((failures == 0))
