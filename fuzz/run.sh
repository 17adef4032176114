#!/usr/bin/env bash
# Runs fuzz targets for a given time each, some at once:
#   fuzz/run.sh BUILD_DIR SECONDS JOBS [TARGET...]   (no TARGET: every fuzz/*_fuzz.cpp)
# Inputs a run finds go to BUILD_DIR/fuzz-corpus/<target>; fuzz/corpus/<target>
# (the seeds and kept reproducers) is only read. A crash, leak or timeout
# leaves its input in BUILD_DIR/fuzz-findings/ and makes the script fail.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) seconds=$2 jobs=$3
shift 3
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$here"/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
mkdir -p "$build/fuzz-findings"

run_one() {
  local name=$1 dict=()
  local work="$build/fuzz-corpus/$name" log="$build/fuzz-findings/$name.log"
  mkdir -p "$work" "$here/corpus/$name"
  [ -f "$here/dict/$name.dict" ] && dict=(-dict="$here/dict/$name.dict")
  if "$build/fuzz/$name" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
       -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$build/fuzz-findings/$name-" \
       "${dict[@]}" "$work" "$here/corpus/$name" >"$log" 2>&1; then
    echo "$name: $(awk '/^stat::number_of_executed_units/ {print $2}' "$log") runs," \
         "$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1), corpus $(ls "$work" | wc -l)"
  else
    echo "$name: FAILED (log $log)"
    tail -60 "$log"
    return 1
  fi
}
export -f run_one
export build seconds here
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}'
