#!/usr/bin/env bash
# Runs the Python tests that feed the module hostile input under an
# AddressSanitizer + UndefinedBehaviorSanitizer build of velmora, and fails on
# the first report. The sanitized build lives in its own environment
# (.venv-asan) and build folder, apart from the ordinary one.
#
# The interpreter itself is not instrumented, so the ASan runtime is preloaded
# ahead of it; CPython's own allocations would drown leak reports, hence
# detect_leaks=0. pytest captures at the sys level only, so that a report
# written to file descriptor 2 by a process the sanitizer stops is seen.
# Arguments go to pytest (test files relative to tests/python); by default
# the conversion, batch, borrowing, hostile-input and index tests run.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
. scripts/venv.sh
ensure_venv "${VELMORA_ASAN_VENV:-$PWD/.venv-asan}" test \
  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.VELMORA_SANITIZE=ON

args=("$@")
if [ ${#args[@]} -eq 0 ]; then
  args=(test_conversions.py test_batch.py test_borrowing.py test_buffer_inputs.py
        test_hostile_inputs.py test_store_basics.py test_search.py test_index.py test_index_files.py
        test_rerank.py)
fi

step "Python tests under AddressSanitizer and UndefinedBehaviorSanitizer"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# From the test folder, outside the package's source, so that the installed
# (sanitized) package is imported; test files are named relative to it.
(cd tests/python && LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$VENV/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "${args[@]}") 2>&1 | tee "$log" || status=$?
if grep -qE "ERROR: AddressSanitizer|runtime error:|SUMMARY: (Address|UndefinedBehavior)Sanitizer" "$log"; then
  echo "sanitizer report above: failing" >&2
  exit 1
fi
exit "$status"
