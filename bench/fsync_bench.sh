#!/usr/bin/env bash
# What waiting for the disk costs a join: reelknit as it runs by default (the
# output synced to the disk, then renamed over its name, then its folder
# synced) against reelknit --no-fsync, and against --no-fsync followed by a
# `sync`, which pays for the same writeback after the join instead of during
# it. On the disk under --dir (ext4 here) and on a loop-mounted XFS with
# reflinks, where the media data's blocks are shared and only the movie box
# and the partial blocks are new. Needs root for the mount. See bench/README.md.
set -eEuo pipefail
source "$(dirname "$0")/common.sh"
trap 'echo "error: $0 stopped at line $LINENO" >&2' ERR

usage() {
  cat <<EOF2
usage: $0 [options]
  --size MiB         chapter size (default 1024)
  --count N          chapters per join (default 3)
  --runs N           timed runs of each variant, after one warm-up run (default 5)
  --file-systems L   from disk,xfs (default both; disk is the file system of --dir)
  --dir DIR          where the image and the disk's files go (default \${TMPDIR:-/tmp}/reelknit-bench)
  --image-gib N      size of the sparse XFS image (default 16)
  --no-build         use build/release/reelknit as it is
EOF2
}

size=1024 count=3 runs=5 file_systems=disk,xfs dir=${TMPDIR:-/tmp}/reelknit-bench image_gib=16 build=1
while [ $# -gt 0 ]; do
  case $1 in
    --size) size=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --file-systems) file_systems=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --image-gib) image_gib=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

need_tools
IFS=, read -r -a fs_list <<<"$file_systems"
if [[ ,$file_systems, == *,xfs,* ]]; then
  [ "$(id -u)" -eq 0 ] || die "mounting the XFS image needs root"
  for tool in mkfs.xfs losetup; do command -v "$tool" >/dev/null || die "missing: $tool"; done
fi
[ $build -eq 1 ] && build_release
[ -x "$reelknit" ] || die "no $reelknit; build it or drop --no-build"
mkdir -p "$dir"
# The inputs and one output on the disk, or in the image.
check_disk "$dir" $((count * size * 2 + 1024))

mount_point="$dir/mnt" image="$dir/image" loop_device=""
cleanup() {
  set +e
  drop_scratch_file_system
  rm -rf "$mount_point" "$dir/fsync-disk" "$dir/time.txt"
}
trap cleanup EXIT

median() { sort -n | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

results="$dir/fsync-results.md"
: >"$results"
machine=$(describe_machine "$dir")
for fs in "${fs_list[@]}"; do
  case $fs in
    disk)
      work="$dir/fsync-disk"
      mkdir -p "$work"
      label="$(findmnt -n -o FSTYPE -T "$dir") (the disk)"
      ;;
    xfs)
      truncate -s "${image_gib}G" "$image"
      mkfs.xfs -q -m reflink=1 "$image"
      # Like the disk, the image goes through the page cache (no direct I/O):
      # an fsync then writes the loop device's dirty pages out to the image file.
      loop_device=$(losetup --find --show "$image")
      mkdir -p "$mount_point"
      mount "$loop_device" "$mount_point"
      work=$mount_point
      label="XFS, reflink=1 (loop)"
      ;;
    *) die "no such file system: $fs" ;;
  esac
  [ -f "$dir/clip.mp4" ] && cp "$dir/clip.mp4" "$work/clip.mp4"
  make_chapters "$work" "$count" "$size"
  [ -f "$dir/clip.mp4" ] || cp "$work/clip.mp4" "$dir/clip.mp4"
  inputs=()
  for ((i = 0; i < count; i++)); do inputs+=("$work/ch-${size}M-$i.mp4"); done
  csv="$dir/fsync-results-$fs.csv"
  echo "variant,run,wall_ms,load1" >"$csv"
  echo "== $label: ${count} x ${size} MiB, ${runs} runs after a warm-up" >&2
  for ((run = 0; run <= runs; run++)); do
    for variant in fsync no-fsync no-fsync+sync; do
      rm -f "$work/out.mp4"
      sync
      load=$(cut -d' ' -f1 /proc/loadavg)
      flags=()
      [ "$variant" = fsync ] || flags=(--no-fsync)
      t0=$(now_ms)
      "$reelknit" "${inputs[@]}" "${flags[@]}" --out "$work/out.mp4" >/dev/null
      [ "$variant" = no-fsync+sync ] && sync
      t1=$(now_ms)
      [ "$run" -gt 0 ] && echo "$variant,$run,$((t1 - t0)),$load" >>"$csv"
      echo "   run $run $variant: $((t1 - t0)) ms" >&2
    done
  done
  rm -f "$work/out.mp4"
  column() { awk -F, -v v="$1" 'NR > 1 && $1 == v { print $3 }' "$csv"; }
  base=$(column no-fsync | median)
  {
    echo
    echo "#### $label: ${count} x ${size} MiB, median of ${runs} runs"
    echo
    echo "Load average (1 min) during the runs: $(awk -F, 'NR > 1 { print $4 }' "$csv" | sort -n | awk '{ a[NR] = $1 } END { printf "%s to %s", a[1], a[NR] }')"
    echo
    echo "| variant | median wall (s) | min (s) | max (s) | ratio to --no-fsync |"
    echo "|---|---:|---:|---:|---:|"
    for variant in fsync no-fsync no-fsync+sync; do
      name=$variant
      case $variant in
        fsync) name='reelknit (default: fsync, rename, folder fsync)' ;;
        no-fsync) name='reelknit --no-fsync' ;;
        no-fsync+sync) name='reelknit --no-fsync, then `sync`' ;;
      esac
      column "$variant" | sort -n | awk -v n="$name" -v b="$base" '{ a[NR] = $1 } END {
        m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
        printf "| %s | %.3f | %.3f | %.3f | %.2f |\n", n, m / 1000, a[1] / 1000, a[NR] / 1000, m / b }'
    done
  } | tee -a "$results"
  case $fs in
    disk) rm -rf "$work" ;;
    xfs) drop_scratch_file_system ;;
  esac
done

echo
echo "### Machine"
echo
echo "$machine"
echo "- load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Tables: $results; raw runs: $dir/fsync-results-*.csv"
