#!/usr/bin/env bash
# Tests the wheel as a user gets it: the system's copies of the libraries the build used are
# hidden (bind mounts of an empty file, in a mount namespace of this script's own), the wheel is
# installed into a fresh virtual environment and the Python suite runs against it.
#   bash scripts/wheel_test.sh [WHEEL]     (without WHEEL, scripts/wheel.sh builds one)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${CORVEL_LIBRARIES_HIDDEN:-}" ]; then
  wheel=${1:-$(bash scripts/wheel.sh | tail -1)}
  wheel=$(realpath "$wheel")
  python=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
  as_root=()
  [ "$(id -u)" = 0 ] || as_root=(--map-root-user)
  exec unshare --mount "${as_root[@]}" env CORVEL_LIBRARIES_HIDDEN=1 PYTHON="$python" bash "$0" "$wheel"
fi

wheel=$1
empty=$(mktemp)
hidden=0
while IFS= read -r library; do
  mount --bind "$empty" "$library"
  hidden=$((hidden + 1))
done < <(find /usr/lib /usr/local/lib /lib /lib64 -xdev -type f \
           \( -name 'libsodium.so*' -o -name 'libsimdjson.so*' -o -name 'libicu*.so*' -o -name 'libutf8proc.so*' \) \
           2>/dev/null | sort -u)
echo "wheel_test: hid $hidden library files"
# The hiding must hold, or this test proves nothing.
for soname in libsodium.so.23 libsimdjson.so.14 libicuuc.so.72; do
  if "$PYTHON" -c "import ctypes, sys; ctypes.CDLL(sys.argv[1])" "$soname" 2>/dev/null; then
    echo "wheel_test: $soname still loads; the libraries are not hidden" >&2
    exit 1
  fi
done

venv=$(mktemp -d)/venv
trap 'rm -rf "$(dirname "$venv")" "$empty"' EXIT
"$PYTHON" -m venv "$venv"
"$venv/bin/python" -m pip install -q "$wheel[test]"
# The source tree keeps the package under python/, so only the installed wheel can be imported.
"$venv/bin/python" - <<'PY'
import sys, _corvel_core, corvel_charter
for module in (_corvel_core, corvel_charter):
    assert module.__file__.startswith(sys.prefix), module.__file__
print("wheel_test: importing", _corvel_core.__file__)
PY
echo "== Python tests against the installed wheel"
"$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$PWD" tests/python
