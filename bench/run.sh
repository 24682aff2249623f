#!/usr/bin/env bash
# Side-by-side speed and size of our paths and FFmpeg's lossless peers on the
# same 4:2:2 frames (1920x1080, or --size), one thread each, medians of
# repeated runs; then our commands and stages again at every processor level
# the machine has below its own (KESTRUN_CPU), so that each level's speed is
# known on any machine.
#
#   bench/run.sh [--size WxH] [--top-level-only] [CLIP] [FRAMES] [REPEATS]
#                (default: 1920x1080, the built-in sample, 60 frames, 7 rounds)
#
# Builds in release mode into build-bench/ and fetches nothing. The clip is
# looped when it is shorter than FRAMES and scaled to the size.
set -euo pipefail
cd "$(dirname "$0")/.."
picture_size=1920x1080
all_levels=1
while (($#)) && [[ $1 == --* ]]; do
  case "$1" in
    --size) picture_size=$2; shift 2 ;;
    --top-level-only) all_levels=0; shift ;;
    *) echo "bench/run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[[ $picture_size =~ ^([0-9]+)x([0-9]+)$ ]] && ((BASH_REMATCH[1] % 2 == 0)) ||
  { echo "bench/run.sh: --size takes WxH with an even width" >&2; exit 2; }
width=${BASH_REMATCH[1]} height=${BASH_REMATCH[2]}
clip=${1:-samples/city-720x405.mpg}
frames=${2:-60}
repeats=${3:-7}
# The same allocator settings for every program: with glibc's default
# trimming, FFmpeg's encoders spend much of their time in page faults.
export GLIBC_TUNABLES=glibc.malloc.trim_threshold=1073741824:glibc.malloc.mmap_threshold=33554432

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKESTRUN_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target kestrun kestrun_bench >/dev/null
kestrun=build-bench/bin/kestrun
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -v error -stream_loop -1 -i "$clip" -frames:v "$frames" -vf scale=$width:$height -pix_fmt yuyv422 \
  -f rawvideo "$work/raw.yuy2"
raw_bytes=$(stat -c %s "$work/raw.yuy2")
n=$((raw_bytes / (width * height * 2)))
# The peers get the same pictures in their own planar layout, so no
# conversion counts against them; ours take the packed frames a host hands over.
ffmpeg -nostdin -v error -f rawvideo -pix_fmt yuyv422 -s $picture_size -i "$work/raw.yuy2" -pix_fmt yuv422p -f rawvideo "$work/raw.422p"
ffmpeg -nostdin -v error -f rawvideo -pix_fmt yuyv422 -s $picture_size -i "$work/raw.yuy2" -vf vflip -pix_fmt bgr24 -f rawvideo "$work/raw.rgb24"
# The AVI commands start by loading FFmpeg's libraries and probing the file
# (about 60 ms, on one thread): they get the frames three times over, so that
# their two-thread figures are not mostly that start.
ffmpeg -nostdin -v error -stream_loop 2 -f rawvideo -pix_fmt yuyv422 -s $picture_size -r 25 -i "$work/raw.yuy2" \
  -c:v rawvideo "$work/source.avi"
rawin="-f rawvideo -pix_fmt yuv422p -s $picture_size -r 25 -i $work/raw.422p"
W=$work
raw="$kestrun raw-encode -s $picture_size --quiet"
unraw="$kestrun raw-decode -s $picture_size --quiet"

# Jobs: a name, the file it writes (removed before every run, so that no run
# pays for replacing an earlier one), and its command line. Every round runs
# each job once, in this order or its reverse; the first round only warms up. Figures that
# compare two jobs are medians of their per-round ratios, and the jobs of each
# comparison run next to each other, so that a machine whose speed drifts
# from second to second (a shared host) affects both sides alike.
jobs=()
declare -A job_output job_command times
job() { jobs+=("$1"); job_output[$1]=$2; job_command[$1]=$3; times[$1]=""; }
peers=(ffvhuff huffyuv utvideo ffv1)
declare -A peer_options=([ffvhuff]="-c:v ffvhuff -pred median" [huffyuv]="-c:v huffyuv -pred median"
                         [utvideo]="-c:v utvideo -pred median" [ffv1]="-c:v ffv1 -level 3")
peer_encode() { job $1-enc $W/$1.avi "ffmpeg -nostdin -v error -threads 1 $rawin -threads 1 ${peer_options[$1]} -y $W/$1.avi"; }
peer_decode() { job $1-dec /dev/null "ffmpeg -nostdin -v error -threads 1 -i $W/$1.avi -threads 1 -f null -"; }
for t in 1 2; do job hufy-enc-$t $W/hufy.ksha "$raw -f yuy2 -q 0 --threads $t $W/raw.yuy2 $W/hufy.ksha"; done
job rgb24-enc $W/rgb.ksha "$raw -f rgb24 -q 0 --threads 1 $W/raw.rgb24 $W/rgb.ksha"
for peer in ffvhuff huffyuv utvideo; do peer_encode $peer; done
for t in 1 2; do job hufy-dec-$t /dev/null "$unraw -f yuy2 --threads $t $W/hufy.ksha /dev/null"; done
job rgb24-dec /dev/null "$unraw -f rgb24 --threads 1 $W/hufy.ksha /dev/null"
job rgb32-dec /dev/null "$unraw -f rgb32 --threads 1 $W/hufy.ksha /dev/null"
for peer in ffvhuff huffyuv utvideo; do peer_decode $peer; done
for t in 1 2; do job avi-enc-$t $W/archive.avi "$kestrun encode --quiet --threads $t $W/source.avi $W/archive.avi"; done
for t in 1 2; do job avi-dec-$t /dev/null "$kestrun decode --quiet --threads $t $W/archive.avi /dev/null"; done
for t in 1 2; do job lzyv-dec-$t /dev/null "$unraw -f yuy2 --threads $t $W/lzyv.ksha /dev/null"; done
peer_encode ffv1
peer_decode ffv1
for t in 1 2; do job lzyv-enc-$t $W/lzyv.ksha "$raw -f yuy2 -q 10000 --threads $t $W/raw.yuy2 $W/lzyv.ksha"; done
# The same commands of ours again at each processor level below the machine's.
mapfile -t levels < <(build-bench/bin/kestrun_bench --levels)
top=${levels[-1]}
lower=()
((all_levels)) && lower=("${levels[@]:0:${#levels[@]}-1}")
for level in "${lower[@]}"; do
  at="env KESTRUN_CPU=$level"
  job hufy-enc-1@$level $W/hufy-$level.ksha "$at $raw -f yuy2 -q 0 --threads 1 $W/raw.yuy2 $W/hufy-$level.ksha"
  job rgb24-enc@$level $W/rgb-$level.ksha "$at $raw -f rgb24 -q 0 --threads 1 $W/raw.rgb24 $W/rgb-$level.ksha"
  for t in 1 2; do job hufy-dec-$t@$level /dev/null "$at $unraw -f yuy2 --threads $t $W/hufy.ksha /dev/null"; done
  job rgb24-dec@$level /dev/null "$at $unraw -f rgb24 --threads 1 $W/hufy.ksha /dev/null"
  job rgb32-dec@$level /dev/null "$at $unraw -f rgb32 --threads 1 $W/hufy.ksha /dev/null"
  for t in 1 2; do job lzyv-dec-$t@$level /dev/null "$at $unraw -f yuy2 --threads $t $W/lzyv.ksha /dev/null"; done
done
# The LZYV frames must exist before the first round decodes them.
${job_command[lzyv-enc-2]} >/dev/null

# Odd rounds run the jobs in reverse order, so that within each compared pair
# each side goes first as often as the other and a steady drift of the
# machine's speed favours neither.
reversed=()
for ((i = ${#jobs[@]} - 1; i >= 0; i--)); do reversed+=("${jobs[i]}"); done
for ((round = 0; round <= repeats; round++)); do
  if ((round % 2)); then order=("${reversed[@]}"); else order=("${jobs[@]}"); fi
  for name in "${order[@]}"; do
    [[ ${job_output[$name]} == /dev/null ]] || rm -f "${job_output[$name]}"
    # Its inputs are read first, untimed: virtual machines may lose idle page
    # cache within minutes, and a job that found its input gone would time the disk.
    for word in ${job_command[$name]}; do if [[ $word == $W/* && -f $word ]]; then cat "$word" >/dev/null; fi; done
    start=$(date +%s.%N)
    ${job_command[$name]} >/dev/null
    end=$(date +%s.%N)
    ((round == 0)) || times[$name]+=" $(awk "BEGIN{print $end - $start}")"
  done
done
median() { sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}'; }
declare -A t
for name in "${jobs[@]}"; do t[$name]=$(printf '%s\n' ${times[$name]} | median); done
# speedup A B: the median over rounds of B's time over A's (above 1: A is faster).
speedup() { paste <(printf '%s\n' ${times[$1]}) <(printf '%s\n' ${times[$2]}) | awk '{print $2 / $1}' | median; }

declare -A size=([hufy]=$(($(stat -c %s $W/hufy.ksha) - 8 * n)) [lzyv]=$(($(stat -c %s $W/lzyv.ksha) - 8 * n)))
for peer in "${peers[@]}"; do
  size[$peer]=$(ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 $W/$peer.avi | awk '{s+=$1} END{print s}')
done
mb=$(awk -v b="$raw_bytes" -v n="$n" 'BEGIN{print b / n / 1e6}') # MB of 4:2:2 picture per frame

echo "$n frames of $clip at $picture_size 4:2:2, one thread, whole commands: medians of $repeats rounds;"
echo "our kernels at $top, this machine's level (KESTRUN_CPU narrows it; the levels below are measured further on)"
echo
printf '%-14s %9s %9s %9s %9s %7s\n' coder "enc fps" "enc MB/s" "dec fps" "dec MB/s" ratio
row() { # label encode-job decode-job size
  awk -v name="$1" -v n="$n" -v mb="$mb" -v e="${t[$2]}" -v d="${t[$3]}" -v s="$4" -v raw="$raw_bytes" \
      'BEGIN{printf "%-14s %9.1f %9.1f %9.1f %9.1f %7.3f\n", name, n/e, n*mb/e, n/d, n*mb/d, s/raw}'
}
row "kestrun HUFY" hufy-enc-1 hufy-dec-1 ${size[hufy]}
row "kestrun LZYV" lzyv-enc-1 lzyv-dec-1 ${size[lzyv]}
for peer in "${peers[@]}"; do row $peer $peer-enc $peer-dec ${size[$peer]}; done

echo
echo "Ours divided by each peer (frames per second, median of per-round ratios; size: ours over the peer's, below 1 is smaller):"
printf '%-20s' ""; printf ' %9s' "${peers[@]}"; echo
for ours in hufy lzyv; do
  for what in enc dec size; do
    printf '%-20s' "kestrun ${ours^^} $what"
    for peer in "${peers[@]}"; do
      case $what in
        size) awk -v a="${size[$ours]}" -v b="${size[$peer]}" 'BEGIN{printf " %9.3f", a/b}' ;;
        *) printf ' %8.2fx' "$(speedup $ours-$what-1 $peer-$what)" ;;
      esac
    done
    echo
  done
done

echo
echo "RGB against packed 4:2:2 (kestrun HUFY, one thread; extra time over the YUY2 command):"
extra() { awk -v label="$1" -v r="$(speedup $2 $3)" 'BEGIN{printf "  %-16s %+5.0f %%\n", label, (1 / r - 1) * 100}'; }
extra "RGB24 -> frame" rgb24-enc hufy-enc-1
extra "frame -> RGB24" rgb24-dec hufy-dec-1
extra "frame -> RGB32" rgb32-dec hufy-dec-1

echo
echo "Two threads against one (kestrun, frames per second):"
for pair in "raw-encode HUFY:hufy-enc" "raw-decode HUFY:hufy-dec" "raw-encode LZYV:lzyv-enc" \
            "raw-decode LZYV:lzyv-dec" "encode (AVI, 3 x frames):avi-enc" "decode (AVI, 3 x frames):avi-dec"; do
  printf '  %-26s %.2fx\n' "${pair%%:*}" "$(speedup ${pair#*:}-2 ${pair#*:}-1)"
done

if ((${#lower[@]})); then
  echo
  echo "By processor level (kestrun, one thread but for the 2T columns, frames per second; the last row is"
  echo "the machine's own level, as above; RGB columns: extra time over the YUY2 command at the same level):"
  printf '%-10s %9s %9s %9s %9s %9s %9s %9s %8s %8s\n' level "HUFY enc" "HUFY dec" "enc/ffvh" "dec/ffvh" \
    "RGB24 in" "RGB24 out" "RGB32 out" "2T HUFY" "2T LZYV"
  percent() { awk -v r="$(speedup $1 $2)" 'BEGIN{printf " %+8.0f%%", (1 / r - 1) * 100}'; }
  for level in "${lower[@]}" "$top"; do
    at="@$level"
    [[ $level == "$top" ]] && at=""
    printf '%-10s' "$level"
    awk -v n="$n" -v e="${t[hufy-enc-1$at]}" -v d="${t[hufy-dec-1$at]}" 'BEGIN{printf " %9.1f %9.1f", n/e, n/d}'
    printf ' %8.2fx %8.2fx' "$(speedup hufy-enc-1$at ffvhuff-enc)" "$(speedup hufy-dec-1$at ffvhuff-dec)"
    percent rgb24-enc$at hufy-enc-1$at
    percent rgb24-dec$at hufy-dec-1$at
    percent rgb32-dec$at hufy-dec-1$at
    printf ' %7.2fx %7.2fx\n' "$(speedup hufy-dec-2$at hufy-dec-1$at)" "$(speedup lzyv-dec-2$at lzyv-dec-1$at)"
  done
fi

for level in "${lower[@]}" "$top"; do
  echo
  echo "Stages at $level, one thread (build-bench/bin/kestrun_bench):"
  KESTRUN_CPU=$level build-bench/bin/kestrun_bench "$clip" --frames 8 --size "$picture_size"
done
