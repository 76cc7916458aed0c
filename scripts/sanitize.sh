#!/usr/bin/env bash
# Both test suites under AddressSanitizer and UndefinedBehaviorSanitizer, then the C++ suite
# (the threaded watchdog tests among it) under ThreadSanitizer. Each build has its own
# directory (build/asan, build/tsan); the .venv's installed package is left alone: the Python
# suite imports the instrumented extension from build/asan/pkg. Any sanitizer report fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake=.venv/bin/cmake
jobs=2  # the machine is shared

configure() {  # configure DIR FLAGS EXTRA...
  local dir=$1 flags=$2
  shift 2
  "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
    -DCORVEL_BUILD_TESTS=ON "$@" >/dev/null
  "$cmake" --build "$dir" -j "$jobs"
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build/asan "-fsanitize=address,undefined -fno-sanitize-recover=undefined" -DCORVEL_BUILD_PYTHON=ON
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" .venv/bin/ctest --test-dir build/asan --output-on-failure -j "$jobs"
# The interpreter is not instrumented: the runtime must be loaded first (with libstdc++, which
# the interpreter does not link, so that ASan finds the C++ throw it wraps), Python's own
# allocator bypassed so that ASan sees every block, and the interpreter's leaks at exit ignored.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)" PYTHONMALLOC=malloc ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
# The package's Python files go beside the instrumented corvel_charter._trail.
cp -r python/corvel_charter/. build/asan/pkg/corvel_charter/
cp -r python/_corvel_core-stubs build/asan/pkg/
export PYTHONPATH="$PWD/build/asan/pkg"
.venv/bin/python -c 'import _corvel_core, corvel_charter._trail as t, sys; sys.exit(0 if "/build/asan/" in _corvel_core.__file__ and "/build/asan/" in t.__file__ else "not the instrumented build: " + _corvel_core.__file__)'
.venv/bin/python -m pytest -q -p no:cacheprovider tests/python
unset LD_PRELOAD PYTHONMALLOC ASAN_OPTIONS PYTHONPATH

echo "== ThreadSanitizer"
configure build/tsan "-fsanitize=thread" -DCORVEL_BUILD_PYTHON=OFF
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" .venv/bin/ctest --test-dir build/tsan --output-on-failure -j "$jobs"
echo "sanitize: no reports"
