#!/usr/bin/env bash
# Times the two roads of a large copy on their own, with a chapter as the
# source: copy_file_range(2) in 8 MiB calls and read/write through a buffer of
# 256 KiB or 1 MiB, each to an output offset that is the source offset (48), one page
# further (4144), or 8 bytes off (56) as in a join whose input has an 8-byte
# mdat header. Prints the median system CPU and wall time of each. Linux only.
set -euo pipefail
source "$(dirname "$0")/common.sh"

size=1024 runs=5 dir=${TMPDIR:-/tmp}/reelknit-bench keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--size MIB (default 1024)] [--runs N (default 5)] [--dir DIR] [--keep]" >&2; exit 2 ;;
  esac
done

need_tools
mkdir -p "$dir"
check_disk "$dir" $((size * 2 + 100))
[ $keep -eq 0 ] && trap 'rm -f "$dir"/ch-${size}M-0.mp4 "$dir"/roads.out "$dir"/copy_roads "$dir"/roads.csv' EXIT
cc -O2 -o "$dir/copy_roads" "$bench_dir/copy_roads.c"
make_chapters "$dir" 1 "$size"
source_file="$dir/ch-${size}M-0.mp4"

: >"$dir/roads.csv"
for ((run = 0; run <= runs; run++)); do
  for road in "kernel 8192" "buffered 1024" "buffered 256"; do
    for offset in 48 4144 56; do
      rm -f "$dir/roads.out"
      sync
      /usr/bin/time -f '%e %S' -o "$dir/time.txt" "$dir/copy_roads" $road "$source_file" "$dir/roads.out" $offset
      [ $run -gt 0 ] && echo "${road/ /-},$offset,$(tr ' ' , <"$dir/time.txt")" >>"$dir/roads.csv"
    done
  done
done
rm -f "$dir/time.txt"

echo "### One ${size} MiB copy from offset 48, median of $runs runs (load average $(cut -d' ' -f1-3 /proc/loadavg))"
echo
echo "| road | output offset | median wall (s) | median system CPU (s) |"
echo "|---|---:|---:|---:|"
median() { sort -n | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
for road in kernel-8192 buffered-1024 buffered-256; do
  for offset in 48 4144 56; do
    wall=$(awk -F, -v r=$road -v o=$offset '$1 == r && $2 == o { print $3 }' "$dir/roads.csv" | median)
    sys=$(awk -F, -v r=$road -v o=$offset '$1 == r && $2 == o { print $4 }' "$dir/roads.csv" | median)
    case $road in
      kernel-8192) label="copy_file_range, 8 MiB calls" ;;
      buffered-1024) label="read/write, 1 MiB buffer" ;;
      buffered-256) label="read/write, 256 KiB buffer" ;;
    esac
    echo "| $label | $offset | $wall | $sys |"
  done
done
