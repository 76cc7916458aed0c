#!/usr/bin/env bash
# Builds and installs the package, then walks through the documented road.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
exec .venv/bin/python -m corvel_charter demo
