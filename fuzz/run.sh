#!/usr/bin/env bash
# Runs each fuzz target for a set time, two at a time (the machine has two cores), each from
# its generated seeds and the corpus it has grown so far. Fails when any target finds a crash.
# Usage: fuzz/run.sh BUILD_DIR SECONDS TARGET...
set -uo pipefail
build=$1 seconds=$2
shift 2
declare -A seed_dir=([wal_fuzz]=wal [collection_fuzz]=collection [import_fuzz]=import
                     [filter_fuzz]=filter [text_fuzz]=text)
mkdir -p "$build/artifacts" "$build/logs"

run() {
  local target=$1 corpus="$build/corpus/$1"
  mkdir -p "$corpus"
  cp -n "$build/seeds/${seed_dir[$target]}"/* "$corpus"/ 2>/dev/null
  local extra=()
  # The embedded interpreter keeps caches alive across inputs; they are not leaks of ours.
  [[ $target == filter_fuzz ]] && extra+=(-detect_leaks=0)
  # 512 MB: no input of a few kilobytes may make a loader allocate more than that.
  "$build/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=512 \
    -artifact_prefix="$build/artifacts/$target-" "${extra[@]}" "$corpus" \
    >"$build/logs/$target.log" 2>&1
  local rc=$?
  local execs
  execs=$(grep -o 'Done [0-9]* runs' "$build/logs/$target.log" | grep -o '[0-9]*')
  if ((rc == 0)); then
    echo "fuzz: $target ran ${seconds}s, ${execs:-?} inputs, no crash"
  else
    echo "fuzz: $target FAILED (exit $rc); see $build/logs/$target.log"
    tail -40 "$build/logs/$target.log"
  fi
  return $rc
}

status=0
targets=("$@")
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for t in "${targets[@]:i:2}"; do
    run "$t" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || status=1; done
done
exit $status
