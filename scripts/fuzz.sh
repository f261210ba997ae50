#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 45), as many at once as build jobs, from its seed
# corpus in tests/fuzz/corpus/. New
# inputs go to a scratch copy, so the corpora in the repo stay small. Prints
# each target's exec count; a crash fails the run and leaves the input in
# build/fuzz/artifacts/. With --build-only it stops after the build.
source "$(dirname "$0")/prologue.sh"
cd "$root"
seconds=${FUZZ_SECONDS:-45}
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPG_FUZZ=ON -DPG_TESTS=OFF >/dev/null
if ! cmake --build build/fuzz -j"$jobs" >build/fuzz-build.log 2>&1; then
  tail -n 40 build/fuzz-build.log; exit 1
fi
if [ "${1:-}" = --build-only ]; then exit 0; fi
mkdir -p build/fuzz/artifacts

# One target for its time from a scratch copy of its corpus; its verdict goes
# to build/fuzz/NAME.verdict, and a crash leaves the target's own log there.
RunTarget() {
  local target=$1 name work log runs
  name=$(basename "$target"); name=${name#fuzz_}
  work=build/fuzz/corpus-run/$name
  log=build/fuzz/$name.log
  rm -rf "$work"; mkdir -p "$work"
  cp tests/fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  # The image step starts from the print suites' table of damaged images.
  if [ "$name" = label_image ]; then python3 -m pylib.damaged_images "$work"; fi
  if "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix=build/fuzz/artifacts/"$name"- "$work" >"$log" 2>&1; then
    runs=$(grep -Eo 'Done [0-9]+ runs' "$log" | tail -n1 | grep -Eo '[0-9]+' || true)
    echo "fuzz $name: ${runs:-?} execs in ${seconds}s, no failure" >build/fuzz/"$name".verdict
  else
    { echo "fuzz $name: FAILED (see $log)"; tail -n 30 "$log"; } >build/fuzz/"$name".verdict
    return 1
  fi
}

# A target runs on one core: as many at a time as there are build jobs, each
# for its whole time, so the command waits a share of the sum.
targets=()
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] && targets+=("$target")
done
rm -f build/fuzz/*.verdict
status=0
for ((first = 0; first < ${#targets[@]}; first += jobs)); do
  pids=()
  for target in "${targets[@]:first:jobs}"; do
    RunTarget "$target" & pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
for target in "${targets[@]}"; do
  name=$(basename "$target"); name=${name#fuzz_}
  cat build/fuzz/"$name".verdict 2>/dev/null || echo "fuzz $name: FAILED before it ran"
done
exit $status
