#!/usr/bin/env bash
# The main job on the built-in sample clip: a raw round trip through
# raw-encode and raw-decode with both coders, with sizes and a byte check.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh >/dev/null
kestrun=build/bin/kestrun
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -v error -i samples/city-720x405.mpg -pix_fmt yuyv422 -f rawvideo "$work/clip.yuy2"
raw=$(stat -c %s "$work/clip.yuy2")
echo "sample: samples/city-720x405.mpg, 720x405 YUY2, $((raw / (720 * 405 * 2))) frames, $raw bytes"
for quality in 0 10000; do
  $kestrun raw-encode -s 720x405 -f yuy2 -q "$quality" --quiet "$work/clip.yuy2" "$work/clip.ksha"
  $kestrun raw-decode -s 720x405 -f yuy2 --quiet "$work/clip.ksha" "$work/back.yuy2"
  coded=$(stat -c %s "$work/clip.ksha")
  coder=$([[ $quality -lt 6000 ]] && echo "Huffman (HUFY)" || echo "deflate (LZYV)")
  if cmp -s "$work/clip.yuy2" "$work/back.yuy2"; then same="identical"; else same="DIFFERENT"; fi
  printf '%-15s %10d bytes  ratio %.3f  round trip %s\n' "$coder" "$coded" "$(awk "BEGIN{print $coded/$raw}")" "$same"
  [[ $same == identical ]]
done
