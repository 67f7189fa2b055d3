#!/usr/bin/env bash
# Times the two roads of a large copy on their own, with a chapter as the
# source (from offset 48): copy_file_range(2) in 8 MiB calls to an output
# offset that is the source offset (48), one page further (4144), or 8 bytes
# off (56) as in a join whose input has an 8-byte mdat header; and read/write
# through buffers of 128 KiB to 1 MiB to offset 56. Prints the median wall
# time and system CPU of each. Linux only.
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
roads=("kernel 8192 48" "kernel 8192 4144" "kernel 8192 56"
  "buffered 1024 56" "buffered 512 56" "buffered 256 56" "buffered 128 56")
for ((run = 0; run <= runs; run++)); do
  for road in "${roads[@]}"; do
    read -r kind kib offset <<<"$road"
    rm -f "$dir/roads.out"
    sync
    /usr/bin/time -f '%e %S' -o "$dir/time.txt" "$dir/copy_roads" "$kind" "$kib" "$source_file" "$dir/roads.out" "$offset"
    [ $run -gt 0 ] && echo "$kind,$kib,$offset,$(tr ' ' , <"$dir/time.txt")" >>"$dir/roads.csv"
  done
done
rm -f "$dir/time.txt"

echo "### One ${size} MiB copy from offset 48, median of $runs runs (load average $(cut -d' ' -f1-3 /proc/loadavg))"
echo
echo "| road | output offset | median wall (s) | median system CPU (s) |"
echo "|---|---:|---:|---:|"
median() { sort -n | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
for road in "${roads[@]}"; do
  read -r kind kib offset <<<"$road"
  pick() { awk -F, -v k="$kind" -v b="$kib" -v o="$offset" -v c="$1" '$1 == k && $2 == b && $3 == o { print $c }' "$dir/roads.csv"; }
  label="copy_file_range, $((kib / 1024)) MiB calls"
  [ "$kind" = buffered ] && label="read/write, $kib KiB buffer"
  echo "| $label | $offset | $(pick 4 | median) | $(pick 5 | median) |"
done
