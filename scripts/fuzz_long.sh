#!/usr/bin/env bash
# Long fuzz sessions, outside the test command: runs each libFuzzer target
# (all of them, or those named) for a given time or number of runs, one at a
# time, from its seed corpus in tests/fuzz/corpus/, then merges back into
# that corpus only the new inputs that reach coverage it lacks (libFuzzer's
# -merge=1: the seeds already there stay as they are, regression seeds
# included). Prints, and writes to build/fuzz/long/summary.txt, each
# target's runs, coverage (edges and features), corpus growth and
# failures; a failing input is left in build/fuzz/artifacts/long-NAME-*.
#
#   bash scripts/fuzz_long.sh --time 600 [label_image base64 ...]
#   bash scripts/fuzz_long.sh --runs 10000000 reconcile
#
# FUZZ_JOBS runs that many targets at once (default 1: a long session on a
# shared machine takes one core).
source "$(dirname "$0")/prologue.sh"
cd "$root"
limit=(-max_total_time=600)
names=()
while [ $# -gt 0 ]; do
  case $1 in
    --time) limit=(-max_total_time="$2"); shift 2 ;;
    --runs) limit=(-runs="$2"); shift 2 ;;
    -*) echo "usage: $0 [--time SECONDS | --runs N] [target ...]" >&2; exit 2 ;;
    *) names+=("$1"); shift ;;
  esac
done
bash scripts/fuzz.sh --build-only
if [ ${#names[@]} -eq 0 ]; then
  for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] && names+=("$(basename "$target" | sed 's/^fuzz_//')")
  done
fi
mkdir -p build/fuzz/artifacts build/fuzz/long

# One target's session; its summary line goes to build/fuzz/long/NAME.summary.
Session() {
  local name=$1 target=build/fuzz/fuzz/fuzz_$1 work=build/fuzz/long/$1 log=build/fuzz/long/$1.log
  local seeds=tests/fuzz/corpus/$1 status=0 runs cov ft before after found
  rm -rf "$work"; mkdir -p "$work" "$seeds"
  cp "$seeds"/* "$work"/ 2>/dev/null || true
  # The image step starts from the print suites' table of damaged images too.
  if [ "$name" = label_image ]; then python3 -m pylib.damaged_images "$work"; fi
  "$target" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/long-"$name"- "$work" >"$log" 2>&1 || status=$?
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' | tail -n1 || true)
  cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -n1 | grep -Eo '[0-9]+' || true)
  ft=$(grep -Eo 'ft: [0-9]+' "$log" | tail -n1 | grep -Eo '[0-9]+' || true)
  before=$(ls "$seeds" | wc -l)
  # Only inputs that add coverage the seeds lack join them.
  "$target" -merge=1 -timeout=10 -rss_limit_mb=2048 "$seeds" "$work" >>"$log" 2>&1 || true
  after=$(ls "$seeds" | wc -l)
  found=$(ls build/fuzz/artifacts/long-"$name"-* 2>/dev/null | wc -l || true)
  echo "$name: ${runs:-?} runs, cov ${cov:-?} edges, ft ${ft:-?} features, corpus $before -> $after seeds, $found failing input(s)$([ "$status" -ne 0 ] && echo ", stopped with status $status (see $log)")" \
    >build/fuzz/long/"$name".summary
  return "$status"
}

status=0
parallel=${FUZZ_JOBS:-1}
for ((first = 0; first < ${#names[@]}; first += parallel)); do
  pids=()
  for name in "${names[@]:first:parallel}"; do
    Session "$name" & pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
for name in "${names[@]}"; do cat build/fuzz/long/"$name".summary; done | tee build/fuzz/long/summary.txt
exit $status
