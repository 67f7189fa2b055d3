#!/usr/bin/env bash
# Runs each fuzz target for a while to look for new inputs that break it. The
# tests only replay the seeds and fuzz/regressions/; this is where the fuzzers
# explore. The corpus grows in build/fuzz/fuzz/corpus/<target> from run to run;
# an input that breaks a target lands in build/fuzz/fuzz/artifacts/, and once
# the fault is fixed it belongs in fuzz/regressions/<target>/. See bench/README.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() {
  cat <<USAGE
usage: $0 [options] [target ...]
  --seconds N   how long each target runs (default 60)
  --no-build    use the targets in build/fuzz as they are
  targets: fuzz_join_first fuzz_join_second fuzz_trailer (default all)
USAGE
}

seconds=60 build=1 targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    -h | --help) usage; exit 0 ;;
    fuzz_*) targets+=("$1"); shift ;;
    *) usage >&2; exit 2 ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_join_first fuzz_join_second fuzz_trailer)

if [ $build -eq 1 ]; then
  echo "== building the fuzz targets (the fuzz preset)" >&2
  (cd "$repo_dir" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz >/dev/null) || die "fuzz build failed"
fi
fuzz_dir="$repo_dir/build/fuzz/fuzz"
mkdir -p "$fuzz_dir/artifacts"

failed=()
for target in "${targets[@]}"; do
  [ -x "$fuzz_dir/$target" ] || die "no $fuzz_dir/$target"
  seeds="$fuzz_dir/seeds/join"
  [ "$target" = fuzz_trailer ] && seeds="$fuzz_dir/seeds/trailer"
  # The first folder is the one libFuzzer adds new inputs to.
  inputs=("$fuzz_dir/corpus/$target" "$seeds")
  mkdir -p "${inputs[0]}"
  [ -d "$repo_dir/fuzz/regressions/$target" ] && inputs+=("$repo_dir/fuzz/regressions/$target")
  echo "== $target for ${seconds}s" >&2
  if ! "$fuzz_dir/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -artifact_prefix="$fuzz_dir/artifacts/$target-" "${inputs[@]}"; then
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "broken: ${failed[*]}; the inputs are in $fuzz_dir/artifacts/" >&2
  exit 1
fi
