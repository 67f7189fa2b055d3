#!/usr/bin/env bash
# Times joins where the media data's blocks can be shared (XFS with reflinks,
# Btrfs, each in a sparse image file mounted through a loop device) and where
# they cannot (the disk under --dir, ext4 here): reelknit against `cp` of the
# inputs, `cp --reflink=always` of one file of their total size, and ffmpeg's
# concat demuxer in stream copy. Besides wall and CPU time it reports the new
# blocks each output took (df before and after). Needs root for the mounts.
# See bench/README.md.
set -eEuo pipefail
source "$(dirname "$0")/common.sh"
trap 'echo "error: $0 stopped at line $LINENO" >&2' ERR

usage() {
  cat <<EOF
usage: $0 [options]
  --sizes LIST       chapter sizes in MiB, comma-separated (default 1024,4096)
  --count N          chapters per join (default 3)
  --runs N           timed runs of each tool, after one warm-up run (default 3)
  --file-systems L   from xfs,btrfs,disk (default all three; disk is the file system of --dir)
  --tools LIST       from reelknit,cp,reflink,ffmpeg,compare (default reelknit,cp,reflink,ffmpeg)
  --compare BIN      also time another reelknit binary (an older build, say)
  --dir DIR          where the images and the disk's files go (default \${TMPDIR:-/tmp}/reelknit-bench)
  --image-gib N      size of each sparse image (default 44)
  --max-load L       before each round, wait (up to 5 minutes) for the 1-minute load to drop below L
  --no-build         use build/release/reelknit as it is
EOF
}

sizes=1024,4096 count=3 runs=3 file_systems=xfs,btrfs,disk tools=reelknit,cp,reflink,ffmpeg compare=""
dir=${TMPDIR:-/tmp}/reelknit-bench image_gib=44 max_load="" build=1
while [ $# -gt 0 ]; do
  case $1 in
    --sizes) sizes=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --file-systems) file_systems=$2; shift 2 ;;
    --tools) tools=$2; shift 2 ;;
    --compare) compare=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --image-gib) image_gib=$2; shift 2 ;;
    --max-load) max_load=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

[ -n "$compare" ] && [[ ,$tools, != *,compare,* ]] && tools="$tools,compare"
[ "$(id -u)" -eq 0 ] || die "mounting the images needs root"
need_tools
for tool in mkfs.xfs mkfs.btrfs losetup fstrim; do command -v "$tool" >/dev/null || die "missing: $tool"; done
[ $build -eq 1 ] && build_release
[ -x "$reelknit" ] || die "no $reelknit; build it or drop --no-build"
IFS=, read -r -a size_list <<<"$sizes"
IFS=, read -r -a fs_list <<<"$file_systems"
IFS=, read -r -a tool_list <<<"$tools"
largest=$(printf '%s\n' "${size_list[@]}" | sort -n | tail -1)
mkdir -p "$dir"
# The inputs, one file as large as all of them, and one output at a time; the
# images only take what is written to them (fstrim gives back what is deleted).
check_disk "$dir" $((count * largest * 3 + 2048))

mount_point="$dir/mnt" image="$dir/image" loop_device=""
cleanup() {
  set +e
  drop_scratch_file_system
  rm -rf "$mount_point" "$dir/disk" "$dir/time.txt" "$dir/err.txt" "$dir/clip.mp4"
}
trap cleanup EXIT

# A fresh file system of type $1 in a sparse image, mounted at $mount_point.
# The loop device reads and writes the image directly, so the machine's
# memory does not cache every block twice.
make_file_system() {
  local type=$1
  truncate -s "${image_gib}G" "$image"
  case $type in
    xfs) mkfs.xfs -q -m reflink=1 "$image" ;;
    btrfs) mkfs.btrfs -q "$image" >/dev/null ;;
  esac
  loop_device=$(losetup --find --show --direct-io=on "$image" 2>/dev/null || losetup --find --show "$image")
  mkdir -p "$mount_point"
  mount "$loop_device" "$mount_point"
}


# Used bytes of the file system holding $1, once everything is on its blocks.
used_bytes() {
  sync -f "$1"
  df -B1 --output=used "$1" | tail -1 | tr -d ' '
}

# The same once it holds still: XFS frees a deleted file's blocks in the
# background, after the unlink has returned.
settled_used_bytes() {
  local now previous tries=0
  now=$(used_bytes "$1")
  while [ "$now" != "${previous:-}" ] && [ $tries -lt 50 ]; do
    previous=$now
    sleep 0.2
    now=$(used_bytes "$1")
    tries=$((tries + 1))
  done
  echo "$now"
}

# The new blocks a run took, in bytes. On an image only this benchmark
# writes, so df tells; the disk is shared with everything else on the
# machine, so there it is the blocks the outputs hold (which share none).
new_bytes() {
  local fs=$1 before=$2 work=$3
  if [ "$fs" = disk ]; then
    local outputs=() path
    for path in "$work/out.mp4" "$work/copies"; do [ -e "$path" ] && outputs+=("$path"); done
    sync -f "$work"
    du -s -c -B1 "${outputs[@]}" | tail -1 | cut -f1
  else
    echo $(($(used_bytes "$work") - before))
  fi
}

# Deleted files give their blocks back to the image file (and the disk).
trim() { [ "$1" = disk ] || fstrim "$mount_point" 2>/dev/null || true; }

wait_for_quiet() {
  [ -n "$max_load" ] || return 0
  local waited=0
  while awk -v l="$(cut -d' ' -f1 /proc/loadavg)" -v m="$max_load" 'BEGIN { exit !(l >= m) }' && [ $waited -lt 300 ]; do
    sleep 10
    waited=$((waited + 10))
  done
}

median() { sort -n | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# One series: `count` chapters of `size` MiB in `work` on file system `fs`.
series() {
  local fs=$1 size=$2 work=$3
  local inputs=() i total_bytes out="$work/out.mp4" csv="$dir/clone-results-$fs-${count}x${size}M.csv"
  make_chapters "$work" "$count" "$size"
  : >"$work/list.txt"
  for ((i = 0; i < count; i++)); do
    inputs+=("$work/ch-${size}M-$i.mp4")
    echo "file '$work/ch-${size}M-$i.mp4'" >>"$work/list.txt"
  done
  total_bytes=$(stat -c %s "${inputs[@]}" | awk '{ s += $1 } END { printf "%.0f", s }')
  local series_tools=()
  for tool in "${tool_list[@]}"; do
    [ "$tool" = reflink ] && [ "$fs" = disk ] && continue
    series_tools+=("$tool")
  done
  if [[ " ${series_tools[*]} " == *" reflink "* ]]; then
    echo "== making one file as large as all inputs together" >&2
    cat "${inputs[@]}" >"$work/all.bin"
  fi

  command_of() {
    case $1 in
      reelknit) echo "$reelknit ${inputs[*]} --out $out" ;;
      compare) echo "$compare ${inputs[*]} --out $out" ;;
      # --reflink=never: coreutils 9 would otherwise share the blocks too.
      cp) echo "cp --reflink=never ${inputs[*]} $work/copies" ;;
      reflink) echo "cp --reflink=always $work/all.bin $out" ;;
      # -ignore_unknown: plain -map 0 refuses the timecode (data) track.
      ffmpeg) echo "ffmpeg -nostdin -v error -y -f concat -safe 0 -i $work/list.txt -map 0 -ignore_unknown -c copy $out" ;;
    esac
  }

  # One run: no output and no dirty page before it; wall time from the clock
  # around it, CPU from /usr/bin/time, new blocks from df before and after.
  measure() {
    local tool=$1 run=$2 t0 t1 user sys rss load before taken
    rm -rf "$out" "$work/copies"
    sync
    trim "$fs"
    mkdir -p "$work/copies"
    before=$(settled_used_bytes "$work")
    load=$(cut -d' ' -f1 /proc/loadavg)
    t0=$(date +%s%N)
    if ! eval /usr/bin/time -f "'%U %S %M'" -o "$dir/time.txt" "$(command_of "$tool")" >/dev/null 2>"$dir/err.txt"; then
      cat "$dir/err.txt" >&2
      die "$tool failed on $fs"
    fi
    t1=$(date +%s%N)
    taken=$(new_bytes "$fs" "$before" "$work")
    read -r user sys rss <"$dir/time.txt"
    [ "$run" -gt 0 ] && echo "$tool,$run,$(((t1 - t0) / 1000000)),$user,$sys,$rss,$load,$taken" >>"$csv"
    return 0
  }

  echo "tool,run,wall_ms,user_s,sys_s,max_rss_kib,load1,new_bytes" >"$csv"
  echo "== $fs: ${count} x ${size} MiB ($total_bytes bytes), ${runs} runs after a warm-up, tools: ${series_tools[*]}" >&2
  for ((run = 0; run <= runs; run++)); do
    wait_for_quiet
    for tool in "${series_tools[@]}"; do
      measure "$tool" "$run"
      echo "   run $run $tool done" >&2
    done
  done
  rm -rf "$out" "$work/copies" "$work/all.bin"

  local fs_label=$fs
  [ "$fs" = disk ] && fs_label="$(findmnt -n -o FSTYPE -T "$work") (the disk)"
  [ "$fs" = xfs ] && fs_label="XFS, reflink=1 (loop)"
  [ "$fs" = btrfs ] && fs_label="Btrfs (loop)"
  column() { awk -F, -v t="$1" -v c="$2" 'NR > 1 && $1 == t { print $c }' "$csv"; }
  local cp_wall
  cp_wall=$(column cp 3 | median)
  {
    echo
    echo "#### $fs_label: ${count} x ${size} MiB ($(awk -v b="$total_bytes" 'BEGIN { printf "%.2f GiB", b / 1073741824 }')), median of ${runs} runs"
    echo
    echo "Load average (1 min) during the runs: $(awk -F, 'NR > 1 { print $7 }' "$csv" | sort -n | awk '{ a[NR] = $1 } END { printf "%s to %s", a[1], a[NR] }')"
    echo
    echo "| tool | median wall (s) | ratio to cp | median user CPU (s) | median system CPU (s) | new blocks (MiB) | new blocks / inputs' size |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    for tool in "${series_tools[@]}"; do
      local wall user sys taken ratio="–" label=$tool
      wall=$(column "$tool" 3 | median)
      user=$(column "$tool" 4 | median)
      sys=$(column "$tool" 5 | median)
      taken=$(column "$tool" 8 | median)
      [ -n "$cp_wall" ] && ratio=$(awk -v w="$wall" -v c="$cp_wall" 'BEGIN { printf "%.3f", w / c }')
      case $tool in
        cp) label='`cp --reflink=never` of the inputs' ;;
        reflink) label='`cp --reflink=always` of one file of the same total size' ;;
        ffmpeg) label='ffmpeg concat demuxer, `-c copy`' ;;
        compare) label="reelknit at $compare" ;;
      esac
      awk -v l="$label" -v w="$wall" -v r="$ratio" -v u="$user" -v s="$sys" -v t="$taken" -v b="$total_bytes" \
        'BEGIN { printf "| %s | %.3f | %s | %.2f | %.2f | %.1f | %.3f %% |\n", l, w / 1000, r, u, s, t / 1048576, 100 * t / b }'
    done
  } | tee -a "$dir/clone-results.md"
  rm -f "${inputs[@]}" "$work/list.txt"
}

machine=$(describe_machine "$dir")
: >"$dir/clone-results.md"
for fs in "${fs_list[@]}"; do
  case $fs in
    xfs | btrfs)
      make_file_system "$fs"
      work=$mount_point
      ;;
    disk)
      work="$dir/disk"
      mkdir -p "$work"
      ;;
    *) die "no such file system: $fs" ;;
  esac
  cp "$dir/clip.mp4" "$work/clip.mp4" 2>/dev/null || true
  for size in "${size_list[@]}"; do series "$fs" "$size" "$work"; done
  [ -f "$work/clip.mp4" ] && [ ! -f "$dir/clip.mp4" ] && cp "$work/clip.mp4" "$dir/clip.mp4"
  rm -f "$work/clip.mp4"
  case $fs in
    xfs | btrfs) drop_scratch_file_system ;;
    disk) rm -rf "$work" ;;
  esac
done

echo
echo "### Machine"
echo
echo "$machine"
echo "- load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Tables: $dir/clone-results.md; raw runs: $dir/clone-results-*.csv"
