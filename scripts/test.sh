#!/usr/bin/env bash
# Installs everything the test suite needs and runs it: the C++ unit tests of
# the engine, then pytest against the installed package (run as a script, not
# "python -m", so that the source tree does not shadow the installed package),
# then the type checks. velmora is rebuilt only when something it is built
# from changed. Arguments go to pytest, after the options: "--python X.Y"
# picks the CPython version, 3.12 (the default) in .venv, another in
# .venv-X.Y, each with C++ test builds of its own; "--no-cpp-tests" leaves the
# C++ unit tests out (they do not depend on the Python version: CI runs them
# once, with 3.12) and builds only the modules with test hooks pytest needs.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
cpp_tests=1
while [ $# -gt 0 ]; do
  case $1 in
    --python) PYTHON_VERSION=${2:?"--python needs a version, such as 3.11"}; shift 2 ;;
    --python=*) PYTHON_VERSION=${1#--python=}; shift ;;
    --no-cpp-tests) cpp_tests=0; shift ;;
    *) break ;;
  esac
done
. scripts/venv.sh
case $PYTHON_VERSION in
  3.11 | 3.12 | 3.13) ;;
  *) echo "error: velmora supports CPython 3.11, 3.12 and 3.13, not $PYTHON_VERSION" >&2; exit 2 ;;
esac
if [ "$PYTHON_VERSION" = 3.12 ]; then
  default_venv=$PWD/.venv CPP_TESTS=build/cpp-tests
else
  default_venv=$PWD/.venv-$PYTHON_VERSION CPP_TESTS=build/cpp-tests-$PYTHON_VERSION
fi

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
if [ ! -f /usr/include/gtest/gtest.h ]; then
  step "installing GoogleTest (libgtest-dev)"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq libgtest-dev >/dev/null
fi

ensure_venv "${VELMORA_VENV:-$default_venv}" test

JOBS=$(nproc 2>/dev/null || echo 2)
if [ "$cpp_tests" = 1 ]; then
  step "C++ unit tests: building"
  targets=()
else
  step "C++ unit tests left out (--no-cpp-tests): building the modules with test hooks"
  targets=(--target _velmora_rs _index_core)
fi
cmake -S . -B "$CPP_TESTS" -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=ON \
  -DVELMORA_TEST_HOOKS=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build "$CPP_TESTS" -j "$JOBS" "${targets[@]}" | { grep -vE '^\[ *[0-9]+%\] (Built target|Linking)' || true; }
if [ "$cpp_tests" = 1 ]; then
  step "C++ unit tests: running"
  ctest --test-dir "$CPP_TESTS" --output-on-failure -j "$JOBS" | tail -n 3
fi

step "Python tests"
VELMORA_HOOKS_MODULE_DIR="$PWD/$CPP_TESTS/src/python" "$VENV/bin/pytest" -q "$@"

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
