#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites through CTest, then the Python suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh -C cmake.define.CORVEL_BUILD_TESTS=ON -C cmake.define.CORVEL_BUILD_BENCH=ON
build_dir=$(.venv/bin/python -c 'import glob; print(sorted(glob.glob("build/cp312-*"))[-1])')
echo "== C++ tests"
.venv/bin/ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
echo "== Python tests"
# The source tree keeps the package under python/, so the installed build is what is imported.
.venv/bin/python -m pytest -q tests/python "$@"
