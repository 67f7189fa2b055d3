#!/usr/bin/env bash
# Times a join of chapter-like files by reelknit against the floor of plain
# copies (cat of the same inputs, cp of one file as large as all of them) and
# against ffmpeg's concat demuxer in stream-copy mode. Warm cache, several runs
# each, interleaved, medians reported. See bench/README.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() {
  cat <<EOF
usage: $0 [options]
  --count N        chapters to join (default 3)
  --size MIB       size of each chapter in MiB (default 1024)
  --runs N         timed runs of each tool, after one warm-up run (default 5)
  --tools LIST     comma-separated, from reelknit,cat,cp,ffmpeg (default all)
  --dir DIR        where the files go (default \${TMPDIR:-/tmp}/reelknit-bench)
  --max-load L     before each round, wait (up to 5 minutes) for the 1-minute load to drop below L (default: no wait)
  --keep           keep the generated files (they are removed otherwise)
  --no-build       use build/release/reelknit as it is
  --compare BIN    also time another reelknit binary (an older build, say) on the same inputs
  --kernel-road    also time joins whose media data goes the kernel road (bench/join_road kernel:
                   copy_file_range between local files too)
EOF
}

count=3 size=1024 runs=5 tools=reelknit,cat,cp,ffmpeg dir=${TMPDIR:-/tmp}/reelknit-bench
max_load="" keep=0 build=1 compare="" kernel_road=0
while [ $# -gt 0 ]; do
  case $1 in
    --count) count=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --tools) tools=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --max-load) max_load=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --no-build) build=0; shift ;;
    --compare) compare=$2; shift 2 ;;
    --kernel-road) kernel_road=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

[ -n "$compare" ] && tools="$tools,compare"
[ $kernel_road -eq 1 ] && tools="$tools,kernel"
need_tools
[ $build -eq 1 ] && build_release
[ -x "$reelknit" ] || die "no $reelknit; build it or drop --no-build"
[ $kernel_road -eq 1 ] && build_join_road
mkdir -p "$dir"
# inputs + the one large file for cp + one output, in MiB
check_disk "$dir" $((count * size * 3 + 100))
if [ $keep -eq 0 ]; then
  trap 'rm -f "$dir"/ch-*.mp4 "$dir"/all.bin "$dir"/out.mp4 "$dir"/list.txt "$dir"/time.txt "$dir"/err.txt' EXIT
fi

make_chapters "$dir" "$count" "$size"
inputs=()
: >"$dir/list.txt"
for ((i = 0; i < count; i++)); do
  inputs+=("$dir/ch-${size}M-$i.mp4")
  echo "file '$dir/ch-${size}M-$i.mp4'" >>"$dir/list.txt"
done
if [[ ,$tools, == *,cp,* ]]; then
  echo "== making one file as large as all inputs together" >&2
  cat "${inputs[@]}" >"$dir/all.bin"
fi
total_bytes=$(stat -c %s "${inputs[@]}" | awk '{ s += $1 } END { print s }')

out="$dir/out.mp4"
csv="$dir/results-${count}x${size}M.csv"
echo "tool,run,wall_ms,user_s,sys_s,max_rss_kib,load1" >"$csv"

command_of() {
  case $1 in
    # --no-fsync: no tool here waits for the disk (fsync_bench.sh times the wait).
    reelknit) echo "$reelknit ${inputs[*]} --no-fsync --out $out" ;;
    compare) echo "$compare ${inputs[*]} --out $out" ;;
    kernel) echo "$join_road kernel $out ${inputs[*]}" ;;
    cat) echo "sh -c 'exec cat \"\$@\" >$out' cat ${inputs[*]}" ;;
    cp) echo "cp --reflink=never $dir/all.bin $out" ;;
    # -ignore_unknown: plain -map 0 refuses the timecode (data) track.
    ffmpeg) echo "ffmpeg -nostdin -v error -y -f concat -safe 0 -i $dir/list.txt -map 0 -ignore_unknown -c copy $out" ;;
  esac
}

# One run of one tool: no output file and no dirty pages before it; wall time
# from the clock around it, CPU and peak RSS from /usr/bin/time.
measure() {
  local tool=$1 run=$2 t0 t1 user sys rss load
  rm -f "$out"
  sync
  load=$(cut -d' ' -f1 /proc/loadavg)
  t0=$(date +%s%N)
  if ! eval /usr/bin/time -f "'%U %S %M'" -o "$dir/time.txt" "$(command_of "$tool")" >/dev/null 2>"$dir/err.txt"; then
    cat "$dir/err.txt" >&2
    die "$tool failed"
  fi
  t1=$(date +%s%N)
  read -r user sys rss <"$dir/time.txt"
  [ "$run" -gt 0 ] && echo "$tool,$run,$(((t1 - t0) / 1000000)),$user,$sys,$rss,$load" >>"$csv"
  return 0
}

wait_for_quiet() {
  [ -n "$max_load" ] || return 0
  local waited=0
  while awk -v l="$(cut -d' ' -f1 /proc/loadavg)" -v m="$max_load" 'BEGIN { exit !(l >= m) }' && [ $waited -lt 300 ]; do
    sleep 10
    waited=$((waited + 10))
  done
}

IFS=, read -r -a tool_list <<<"$tools"
echo "== ${count} x ${size} MiB ($total_bytes bytes), ${runs} runs after a warm-up, tools: ${tools}" >&2
machine=$(describe_machine "$dir")
for ((run = 0; run <= runs; run++)); do
  wait_for_quiet
  for tool in "${tool_list[@]}"; do
    measure "$tool" "$run"
    echo "   run $run $tool done" >&2
  done
done
rm -f "$out"

# The table: medians over the runs, peak RSS the largest seen.
echo
echo "### ${count} x ${size} MiB ($(awk -v b="$total_bytes" 'BEGIN { printf "%.2f GiB", b / 1073741824 }') in total), median of ${runs} runs"
echo
echo "$machine"
echo "- load average (1 min) during the runs: $(awk -F, 'NR > 1 { print $7 }' "$csv" | sort -n | awk '{ a[NR] = $1 } END { printf "%s to %s", a[1], a[NR] }')"
echo
echo "| tool | median wall (s) | ratio to cat | median user CPU (s) | median system CPU (s) | peak RSS (MiB) |"
echo "|---|---:|---:|---:|---:|---:|"
median() { sort -n | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
column() { awk -F, -v t="$1" -v c="$2" 'NR > 1 && $1 == t { print $c }' "$csv"; }
cat_wall=$(column cat 3 | median)
for tool in "${tool_list[@]}"; do
  wall=$(column "$tool" 3 | median)
  user=$(column "$tool" 4 | median)
  sys=$(column "$tool" 5 | median)
  rss=$(column "$tool" 6 | sort -n | tail -1)
  ratio="–"
  [[ ,$tools, == *,cat,* ]] && ratio=$(awk -v w="$wall" -v c="$cat_wall" 'BEGIN { printf "%.2f", w / c }')
  label=$tool
  case $tool in
    cat) label='`cat` of the inputs' ;;
    cp) label='`cp --reflink=never` of one file of the same total size' ;;
    ffmpeg) label='ffmpeg concat demuxer, `-c copy`' ;;
    compare) label="reelknit at $compare" ;;
    kernel) label='reelknit on the kernel road (`join_road kernel`: copy_file_range on local files)' ;;
  esac
  awk -v l="$label" -v w="$wall" -v r="$ratio" -v u="$user" -v s="$sys" -v m="$rss" \
    'BEGIN { printf "| %s | %.3f | %s | %.2f | %.2f | %.1f |\n", l, w / 1000, r, u, s, m / 1024 }'
done
echo
echo "Raw runs: $csv"
