#!/usr/bin/env bash
# Build the extension modules with AddressSanitizer + UndefinedBehaviorSanitizer into a
# scratch copy of the package and run the test suite against it, the robustness module
# with more generated examples:
#   scripts/sanitize.sh [scratch-dir] [pytest args...]
# The interpreter is not instrumented, so libasan is preloaded. Leak checking is off
# (CPython's own allocations at exit would drown any report). A memory error stops the
# test process; undefined-behaviour reports are listed at the end; either fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scratch=${1:-build/sanitize}; shift || true
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
start=$(date +%s)

flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=address -g -O1"
cmake -S . -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
cmake --build "$scratch/build"

# The Python sources, with the instrumented modules in place of any built ones.
rm -rf "$scratch/pkg" "$scratch/reports"
mkdir -p "$scratch/pkg" "$scratch/reports"
cp -r src/tamrel "$scratch/pkg/"
find "$scratch/pkg" -name '*.so' -delete
cp "$scratch"/build/frailzone*.so "$scratch"/build/_scan*.so "$scratch/pkg/tamrel/diagnoser/"
cp "$scratch"/build/xgboost*.so "$scratch/pkg/tamrel/models/xgb2/"

# libstdc++ too: the interpreter does not link it, and libasan must find its __cxa_throw.
export LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1"
export TAMREL_ROBUSTNESS_EXAMPLES=${TAMREL_ROBUSTNESS_EXAMPLES:-300}
export PYTHONPATH="$scratch/pkg"
# --capture=sys leaves the file descriptors alone, so the sanitizers' reports (written to
# the process's standard error) reach the log instead of pytest's per-test capture.
log="$scratch/reports/pytest.log"
set +e
# The browser test is left out: Chromium will not start with the sanitizers' runtime preloaded,
# and it runs none of the project's compiled code.
(cd "$root" && python3 -m pytest -q -p no:cacheprovider --capture=sys tests \
   --deselect tests/report/test_report_browser.py::test_report_in_a_real_browser "$@" 2>&1) | tee "$log"
status=${PIPESTATUS[0]}
set -e

elapsed=$(( $(date +%s) - start ))
findings=$(grep -hE 'runtime error|ERROR: AddressSanitizer' "$log" | sed -E 's/^\.*//; s/0x[0-9a-f]+/ADDR/g' | sort | uniq -c || true)
if [ -n "$findings" ]; then
  echo "sanitizer reports (full text in $log):"
  echo "$findings"
  status=1
fi
echo "sanitizer run: ${elapsed}s, exit status $status"
exit $status
