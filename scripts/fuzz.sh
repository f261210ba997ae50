#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 45) from its seed corpus in tests/fuzz/corpus/. New
# inputs go to a scratch copy, so the corpora in the repo stay small. Prints
# each target's exec count; a crash fails the run and leaves the input in
# build/fuzz/artifacts/.
source "$(dirname "$0")/prologue.sh"
cd "$root"
seconds=${FUZZ_SECONDS:-45}
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPG_FUZZ=ON -DPG_TESTS=OFF >/dev/null
if ! cmake --build build/fuzz -j"$jobs" >build/fuzz-build.log 2>&1; then
  tail -n 40 build/fuzz-build.log; exit 1
fi
mkdir -p build/fuzz/artifacts
status=0
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target"); name=${name#fuzz_}
  work=build/fuzz/corpus-run/$name
  rm -rf "$work"; mkdir -p "$work"
  cp tests/fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  # The image step starts from the print suites' table of damaged images.
  if [ "$name" = label_image ]; then python3 -m pylib.damaged_images "$work"; fi
  log=build/fuzz/$name.log
  if "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix=build/fuzz/artifacts/"$name"- "$work" >"$log" 2>&1; then
    runs=$(grep -Eo 'Done [0-9]+ runs' "$log" | tail -n1 | grep -Eo '[0-9]+')
    echo "fuzz $name: ${runs:-?} execs in ${seconds}s, no failure"
  else
    echo "fuzz $name: FAILED (see $log)"; tail -n 30 "$log"; status=1
  fi
done
exit $status
