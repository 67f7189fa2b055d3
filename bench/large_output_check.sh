#!/usr/bin/env bash
# Joins two chapters of about 2.5 GiB each, so the output's media data runs
# past 4 GiB, and lets ffprobe judge the result: every packet of the output
# must be read without an error, be the same packet as in the inputs (stream,
# size, CRC32), and the packets past 4 GiB must be found there (64-bit chunk
# offsets above 2^32). See bench/README.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

size=2560 dir=${TMPDIR:-/tmp}/reelknit-bench keep=0 build=1
while [ $# -gt 0 ]; do
  case $1 in
    --size) size=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --no-build) build=0; shift ;;
    --reelknit) reelknit=$2; build=0; shift 2 ;;
    *) echo "usage: $0 [--size MIB_PER_INPUT (default 2560)] [--dir DIR] [--keep] [--no-build] [--reelknit BINARY]" >&2; exit 2 ;;
  esac
done

need_tools
[ $build -eq 1 ] && build_release
mkdir -p "$dir"
check_disk "$dir" $((size * 4 + 100))
if [ $keep -eq 0 ]; then
  trap 'rm -f "$dir"/ch-${size}M-*.mp4 "$dir"/large.mp4 "$dir"/packets-*.txt "$dir"/time.txt' EXIT
fi
make_chapters "$dir" 2 "$size"
inputs=("$dir/ch-${size}M-0.mp4" "$dir/ch-${size}M-1.mp4")
out="$dir/large.mp4"

echo "== joining" >&2
start=$(date +%s%N)
/usr/bin/time -f '%U %S %M' -o "$dir/time.txt" "$reelknit" "${inputs[@]}" --out "$out" >/dev/null
wall_ms=$((($(date +%s%N) - start) / 1000000))
read -r user sys rss <"$dir/time.txt"

# One line per packet: stream, size, CRC32 of the data, position in the file.
packets() {
  ffprobe -v error -show_data_hash CRC32 -show_entries packet=stream_index,size,pos,data_hash -of flat "$1" 2>"$2" |
    awk -F= '{ split($1, k, "."); gsub(/"/, "", $2); v[k[3], k[4]] = $2; if (k[3] + 1 > n) n = k[3] + 1 }
             END { for (i = 0; i < n; i++) print v[i, "stream_index"], v[i, "size"], v[i, "data_hash"], v[i, "pos"] }'
}

echo "== reading every packet with ffprobe" >&2
packets "${inputs[0]}" "$dir/packets-err-0.txt" >"$dir/packets-in0.txt"
packets "${inputs[1]}" "$dir/packets-err-1.txt" >"$dir/packets-in1.txt"
packets "$out" "$dir/packets-err-out.txt" >"$dir/packets-out.txt"

out_size=$(stat -c %s "$out")
errors=$(cat "$dir/packets-err-out.txt" | wc -l)
# Per stream, the output's packets are the first input's followed by the
# second's; a timecode track keeps the first input's one sample, which
# already counts on through the whole recording.
mismatch=0
for stream in $(awk '{ print $1 }' "$dir/packets-out.txt" | sort -u); do
  tag=$(ffprobe -v error -select_streams "$stream" -show_entries stream=codec_tag_string -of csv=p=0 "$out")
  sources=("$dir/packets-in0.txt" "$dir/packets-in1.txt")
  [ "$tag" = tmcd ] && sources=("$dir/packets-in0.txt")
  expected=$(cat "${sources[@]}" | awk -v s="$stream" '$1 == s { print $1, $2, $3 }' | md5sum)
  actual=$(awk -v s="$stream" '$1 == s { print $1, $2, $3 }' "$dir/packets-out.txt" | md5sum)
  [ "$expected" = "$actual" ] || { echo "stream $stream ($tag): the packets differ from the inputs'" >&2; mismatch=1; }
done
count=$(wc -l <"$dir/packets-out.txt")
above=$(awk '$4 > 4294967296' "$dir/packets-out.txt" | wc -l)
max_pos=$(awk '$4 > m { m = $4 } END { printf "%.0f", m }' "$dir/packets-out.txt")

echo
echo "### Output past 4 GiB: 2 x ${size} MiB"
echo
describe_machine "$dir"
echo
echo "- output: $out_size bytes ($(awk -v b="$out_size" 'BEGIN { printf "%.2f GiB", b / 1073741824 }'))"
echo "- join by $reelknit: ${wall_ms} ms wall, user ${user} s, system ${sys} s, peak RSS $((rss / 1024)) MiB"
echo "- ffprobe -v error over every packet of the output: $errors error lines"
echo "- packets: $count; identical to the inputs' in order, size and CRC32 per stream (timecode: the first input's sample): $([ $mismatch -eq 0 ] && echo yes || echo NO)"
echo "- packets whose pos is above 2^32: $above; largest pos: $max_pos"
echo "- last three packets (stream size crc pos):"
tail -3 "$dir/packets-out.txt" | sed 's/^/  - /'
[ "$errors" -eq 0 ] && [ $mismatch -eq 0 ] && [ "$above" -gt 0 ] || die "the check failed"
echo "- result: PASS"
