#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, then runs each for SECONDS (default 60), one after
# the other, starting from its seed corpus tests/fuzz/corpus/<target>. New inputs collect in
# build/fuzz/corpus/<target>; a crash, leak or timeout is written to build/fuzz/findings/ and
# makes the script fail.
#   bash scripts/fuzz.sh          # 60 s per target
#   bash scripts/fuzz.sh 600      # the long run
#   bash scripts/fuzz.sh 0        # the seed corpora only: the smoke pass of CI
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/setup.sh
source scripts/clang_env.sh

build=build/fuzz
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fsanitize=fuzzer-no-link -fno-omit-frame-pointer -g"
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_CXX_COMPILER="$CORVEL_CLANG" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" \
  -DCORVEL_BUILD_FUZZ=ON -DCORVEL_BUILD_PYTHON=OFF -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$build" -j 2

mkdir -p "$build/findings"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=0
for seeds in tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  log="$build/$target.log"
  if [ "$seconds" = 0 ]; then
    run=(-runs=0 "$seeds")
  else
    run=(-max_total_time="$seconds" "$corpus" "$seeds")
  fi
  if "$build/tests/fuzz/$target" "${run[@]}" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
       -print_final_stats=1 -artifact_prefix="$build/findings/$target-" >"$log" 2>&1; then
    result=ok
  else
    result="FAILED (see $log)"
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  printf '%-16s %s: %s runs, %s\n' "$target" "$result" "${runs:-?}" "${cov:-no coverage line}"
done
exit "$failed"
