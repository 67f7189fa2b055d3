# Shared by the benchmark scripts: the release build, chapter-like inputs, the machine.
# Sourced, not run.

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(dirname "$bench_dir")
reelknit="$repo_dir/build/release/reelknit"

die() { echo "error: $*" >&2; exit 1; }

need_tools() {
  local missing=()
  for tool in ffmpeg ffprobe cmake; do command -v "$tool" >/dev/null || missing+=("$tool"); done
  [ -x /usr/bin/time ] || missing+=("/usr/bin/time (Debian package: time)")
  [ ${#missing[@]} -eq 0 ] || die "missing: ${missing[*]}"
}

# The optimised build of the reelknit program alone (no tests).
build_release() {
  echo "== building reelknit (release)" >&2
  (cd "$repo_dir" && cmake --preset release -DREELKNIT_BUILD_TESTS=OFF >/dev/null &&
    cmake --build --preset release --target reelknit -j2 >/dev/null) || die "release build failed"
  [ -x "$reelknit" ] || die "no $reelknit after the build"
}

# bench/join_road.cpp, compiled with the release build's compiler against its
# libraries: a join whose road for the media data is chosen when it runs.
join_road="$repo_dir/build/release/join_road"
build_join_road() {
  echo "== building join_road against build/release" >&2
  local cxx lib="$repo_dir/build/release/src"
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$repo_dir/build/release/CMakeCache.txt")
  [ -n "$cxx" ] || die "no compiler in build/release/CMakeCache.txt; build the release preset first"
  "$cxx" -std=c++20 -O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror -I"$repo_dir/include" -I"$repo_dir/src" "$bench_dir/join_road.cpp" \
    "$lib/join/libreelknit_join.a" "$lib/mp4/libreelknit_mp4.a" "$lib/insta360/libreelknit_insta360.a" \
    "$lib/io/libreelknit_io.a" "$lib/base/libreelknit_base.a" -ldl -o "$join_road" || die "join_road build failed"
}

# Fails unless `dir` has room for `need_mib` MiB plus 2 GiB to spare.
check_disk() {
  local dir=$1 need_mib=$2 avail_mib
  df -h "$dir" >&2
  avail_mib=$(df -Pm "$dir" | awk 'NR == 2 { print $4 }')
  [ "$avail_mib" -ge $((need_mib + 2048)) ] || die "$dir has ${avail_mib} MiB free; this run needs about $((need_mib + 2048)) MiB"
}

# Unmounts the scratch file system at $mount_point, frees its $loop_device and
# removes its $image (the caller's variables), whatever of that is there.
drop_scratch_file_system() {
  if mountpoint -q "$mount_point"; then umount "$mount_point"; fi
  if [ -n "$loop_device" ]; then losetup -d "$loop_device"; fi
  loop_device=""
  rm -f "$image"
}

# A 10-second 1080p30 H.264 + AAC clip, encoded once (a few seconds of work).
make_clip() {
  local clip=$1
  [ -s "$clip" ] && return 0
  echo "== encoding the 10 s test clip" >&2
  ffmpeg -nostdin -v error -y \
    -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 10 -c:v libx264 -preset ultrafast -qp 4 -pix_fmt yuv420p -g 30 -c:a aac -b:a 128k "$clip"
}

# One chapter of about `size_mib` MiB: the clip looped by stream copy (no
# encoding), with a timecode track that starts where chapter `index` starts,
# as a camera's chapter files do.
make_chapter() {
  local clip=$1 size_mib=$2 index=$3 out=$4
  local clip_bytes seconds start
  clip_bytes=$(stat -c %s "$clip")
  seconds=$(awk -v s="$size_mib" -v c="$clip_bytes" 'BEGIN { printf "%.3f", s * 1048576 / c * 10 }')
  start=$(awk -v i="$index" -v d="$seconds" 'BEGIN { t = int(i * d); printf "%02d:%02d:%02d:00", t / 3600, t / 60 % 60, t % 60 }')
  ffmpeg -nostdin -v error -y -stream_loop -1 -i "$clip" -t "$seconds" -map 0 -c copy -timecode "$start" "$out"
}

# `count` chapters of about `size_mib` MiB each in `dir`, named ch-<size>M-<i>.mp4; kept if present.
make_chapters() {
  local dir=$1 count=$2 size_mib=$3 i path
  make_clip "$dir/clip.mp4"
  for ((i = 0; i < count; i++)); do
    path="$dir/ch-${size_mib}M-$i.mp4"
    [ -s "$path" ] && continue
    echo "== making $path" >&2
    make_chapter "$dir/clip.mp4" "$size_mib" "$i" "$path"
  done
}

# What the numbers were measured on.
describe_machine() {
  local dir=$1
  echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), nproc $(nproc)"
  echo "- memory: $(free -g | awk '/^Mem:/ { print $2 " GiB" }')"
  echo "- kernel: $(uname -sr)"
  echo "- file system of $dir: $(findmnt -n -o FSTYPE -T "$dir") on $(findmnt -n -o SOURCE -T "$dir"), $(df -h --output=avail "$dir" | tail -1 | tr -d ' ') free"
  echo "- $(ffmpeg -version | head -1 | cut -d' ' -f1-3), $(cat --version | head -1)"
  echo "- load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
}
