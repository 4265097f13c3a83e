#!/usr/bin/env bash
# Installs everything the test suite needs and runs it: the C++ unit tests of
# the engine, then pytest against the installed package (run as a script, not
# "python -m", so that the source tree does not shadow the installed package),
# then the type checks. velmora is rebuilt only when something it is built
# from changed. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
. scripts/venv.sh

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
if [ ! -f /usr/include/gtest/gtest.h ]; then
  step "installing GoogleTest (libgtest-dev)"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq libgtest-dev >/dev/null
fi

ensure_venv "${VELMORA_VENV:-$PWD/.venv}" test

JOBS=$(nproc 2>/dev/null || echo 2)
step "C++ unit tests: building"
cmake -S . -B build/cpp-tests -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=ON \
  -DVELMORA_TEST_HOOKS=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build build/cpp-tests -j "$JOBS" | { grep -vE '^\[ *[0-9]+%\] (Built target|Linking)' || true; }
step "C++ unit tests: running"
ctest --test-dir build/cpp-tests --output-on-failure -j "$JOBS" | tail -n 3

step "Python tests"
VELMORA_HOOKS_MODULE_DIR="$PWD/build/cpp-tests/src/python" "$VENV/bin/pytest" -q "$@"

# Outside the source tree, so that both check the installed package: its stub
# against the built module, and the README's quick start against the stub.
step "type stubs (stubtest); the examples and velmora._index (mypy --strict)"
typing_dir=$(mktemp -d)
trap 'rm -rf "$typing_dir"' EXIT
cp examples/quickstart.py examples/sharded_numpy.py "$typing_dir/"
(cd "$typing_dir" && "$VENV/bin/python" -m mypy.stubtest velmora._velmora_rs velmora._index_core \
  && "$VENV/bin/python" -m mypy --strict --no-incremental quickstart.py sharded_numpy.py \
  && "$VENV/bin/python" -m mypy --strict --no-incremental -p velmora._index)
step "all tests passed"
