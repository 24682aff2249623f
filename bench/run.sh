#!/usr/bin/env bash
# Side-by-side speed and size of our paths and FFmpeg's lossless peers on the
# same 1920x1080 4:2:2 frames, one thread each, medians of repeated runs.
#
#   bench/run.sh [CLIP] [FRAMES] [REPEATS]      (default: the built-in sample, 60 frames, 3 runs)
#
# Builds in release mode into build-bench/ and fetches nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
clip=${1:-samples/city-720x405.mpg}
frames=${2:-60}
repeats=${3:-3}
# The same allocator settings for every program: with glibc's default
# trimming, FFmpeg's encoders spend much of their time in page faults.
export GLIBC_TUNABLES=glibc.malloc.trim_threshold=1073741824:glibc.malloc.mmap_threshold=33554432

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKESTRUN_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target kestrun kestrun_bench >/dev/null
kestrun=build-bench/bin/kestrun
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -v error -i "$clip" -frames:v "$frames" -vf scale=1920:1080 -pix_fmt yuyv422 -f rawvideo "$work/raw.yuy2"
raw_bytes=$(stat -c %s "$work/raw.yuy2")
n=$((raw_bytes / (1920 * 1080 * 2)))
# The peers get the same pictures in their own planar layout, so no
# conversion counts against them; ours take the packed frames a host hands over.
ffmpeg -nostdin -v error -f rawvideo -pix_fmt yuyv422 -s 1920x1080 -i "$work/raw.yuy2" -pix_fmt yuv422p -f rawvideo "$work/raw.422p"
rawin=(-f rawvideo -pix_fmt yuv422p -s 1920x1080 -r 25 -i "$work/raw.422p")

# median_seconds COMMAND...: runs the command $repeats times, prints the median wall time.
median_seconds() {
  local times=()
  for ((i = 0; i < repeats; i++)); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    times+=("$(awk "BEGIN{print $end - $start}")")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}'
}

declare -A enc dec size
measure_peer() { # name codec-options...
  local name=$1; shift
  enc[$name]=$(median_seconds ffmpeg -nostdin -v error -threads 1 "${rawin[@]}" -threads 1 "$@" -y "$work/$name.avi")
  dec[$name]=$(median_seconds ffmpeg -nostdin -v error -threads 1 -i "$work/$name.avi" -threads 1 -f null -)
  size[$name]=$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$work/$name.avi" | awk '{s+=$1} END{print s}')
}
measure_ours() { # name quality
  local name=$1 quality=$2
  enc[$name]=$(median_seconds $kestrun raw-encode -s 1920x1080 -f yuy2 -q "$quality" --threads 1 --quiet "$work/raw.yuy2" "$work/$name.ksha")
  # Decoded pictures go to /dev/null, as the peers' go to FFmpeg's null muxer.
  dec[$name]=$(median_seconds $kestrun raw-decode -s 1920x1080 -f yuy2 --threads 1 --quiet "$work/$name.ksha" /dev/null)
  size[$name]=$(($(stat -c %s "$work/$name.ksha") - 8 * n))
}

measure_ours "kestrun HUFY" 0
measure_ours "kestrun LZYV" 10000
peers=(ffvhuff huffyuv utvideo ffv1)
measure_peer ffvhuff -c:v ffvhuff -pred median
measure_peer huffyuv -c:v huffyuv -pred median
measure_peer utvideo -c:v utvideo -pred median
measure_peer ffv1 -c:v ffv1 -level 3

mb=$(awk -v b="$raw_bytes" -v n="$n" 'BEGIN{print b / n / 1e6}') # MB of 4:2:2 picture per frame
echo "$n frames of $clip at 1920x1080 4:2:2, one thread, median of $repeats runs (whole commands)"
echo
printf '%-14s %9s %9s %9s %9s %7s\n' coder "enc fps" "enc MB/s" "dec fps" "dec MB/s" ratio
for name in "kestrun HUFY" "kestrun LZYV" "${peers[@]}"; do
  awk -v name="$name" -v n="$n" -v mb="$mb" -v e="${enc[$name]}" -v d="${dec[$name]}" -v s="${size[$name]}" -v raw="$raw_bytes" \
      'BEGIN{printf "%-14s %9.1f %9.1f %9.1f %9.1f %7.3f\n", name, n/e, n*mb/e, n/d, n*mb/d, s/raw}'
done

echo
echo "Ours divided by each peer (frames per second; size: ours over the peer's, below 1 is smaller):"
printf '%-20s' ""; printf ' %9s' "${peers[@]}"; echo
for name in "kestrun HUFY" "kestrun LZYV"; do
  for what in enc dec size; do
    printf '%-20s' "$name $what"
    for peer in "${peers[@]}"; do
      case $what in
        enc) awk -v a="${enc[$name]}" -v b="${enc[$peer]}" 'BEGIN{printf " %8.2fx", b/a}' ;;
        dec) awk -v a="${dec[$name]}" -v b="${dec[$peer]}" 'BEGIN{printf " %8.2fx", b/a}' ;;
        size) awk -v a="${size[$name]}" -v b="${size[$peer]}" 'BEGIN{printf " %9.3f", a/b}' ;;
      esac
    done
    echo
  done
done

echo
echo "RGB against packed 4:2:2 (kestrun HUFY, one thread; extra time over the YUY2 command):"
ffmpeg -nostdin -v error -f rawvideo -pix_fmt yuyv422 -s 1920x1080 -i "$work/raw.yuy2" -vf vflip -pix_fmt bgr24 -f rawvideo "$work/raw.rgb24"
rgbenc=$(median_seconds $kestrun raw-encode -s 1920x1080 -f rgb24 -q 0 --threads 1 --quiet "$work/raw.rgb24" "$work/rgb.ksha")
awk -v a="$rgbenc" -v b="${enc[kestrun HUFY]}" 'BEGIN{printf "  RGB24 -> frame    %+5.0f %%\n", (a/b - 1) * 100}'
for format in rgb24 rgb32; do
  t=$(median_seconds $kestrun raw-decode -s 1920x1080 -f $format --threads 1 --quiet "$work/kestrun HUFY.ksha" /dev/null)
  awk -v f=$format -v a="$t" -v b="${dec[kestrun HUFY]}" 'BEGIN{printf "  frame -> %-8s %+5.0f %%\n", toupper(f), (a/b - 1) * 100}'
done

echo
echo "Two threads against one (kestrun, frames per second):"
for q in 0 10000; do
  one=$(median_seconds $kestrun raw-encode -s 1920x1080 -f yuy2 -q $q --threads 1 --quiet "$work/raw.yuy2" "$work/t.ksha")
  two=$(median_seconds $kestrun raw-encode -s 1920x1080 -f yuy2 -q $q --threads 2 --quiet "$work/raw.yuy2" "$work/t.ksha")
  done1=$(median_seconds $kestrun raw-decode -s 1920x1080 -f yuy2 --threads 1 --quiet "$work/t.ksha" /dev/null)
  done2=$(median_seconds $kestrun raw-decode -s 1920x1080 -f yuy2 --threads 2 --quiet "$work/t.ksha" /dev/null)
  awk -v q=$q -v a="$one" -v b="$two" -v c="$done1" -v d="$done2" \
      'BEGIN{printf "  quality %-6d raw-encode %.2fx   raw-decode %.2fx\n", q, a/b, c/d}'
done
# The AVI commands: the raw frames wrapped as an uncompressed AVI, and back.
ffmpeg -nostdin -v error -f rawvideo -pix_fmt yuyv422 -s 1920x1080 -r 25 -i "$work/raw.yuy2" -c:v rawvideo -y "$work/source.avi"
one=$(median_seconds $kestrun encode --threads 1 --quiet "$work/source.avi" "$work/t.avi")
two=$(median_seconds $kestrun encode --threads 2 --quiet "$work/source.avi" "$work/t.avi")
done1=$(median_seconds $kestrun decode --threads 1 --quiet "$work/t.avi" /dev/null)
done2=$(median_seconds $kestrun decode --threads 2 --quiet "$work/t.avi" /dev/null)
awk -v a="$one" -v b="$two" -v c="$done1" -v d="$done2" \
    'BEGIN{printf "  AVI          encode     %.2fx   decode     %.2fx\n", a/b, c/d}'

echo
echo "Stages, one thread (build-bench/bin/kestrun_bench):"
build-bench/bin/kestrun_bench "$clip" --frames 8
