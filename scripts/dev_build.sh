#!/usr/bin/env bash
# Build the extension modules into src/tamrel for development:
#   scripts/dev_build.sh [build-dir] [target...]   then   PYTHONPATH=src pytest
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/dev}; shift || true
cmake -S . -B "$dir" -G Ninja -DTAMREL_INPLACE=ON -DCMAKE_BUILD_TYPE=Release \
  -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
if [ $# -gt 0 ]; then
  for t in "$@"; do cmake --build "$dir" --target "$t"; done
else
  cmake --build "$dir"
fi
