#!/usr/bin/env bash
# Builds and installs the package into .venv. Extra arguments are scikit-build-core settings,
# for example -C cmake.define.CORVEL_BUILD_TESTS=ON. The build tree is kept in build/ so that
# a second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
.venv/bin/python -m pip install -q --no-build-isolation --no-deps "$@" .
