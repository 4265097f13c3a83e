#!/usr/bin/env bash
# Cross-builds the engine and the whole C++ test suite for 64-bit ARM (Linux
# aarch64) with Debian's g++-aarch64-linux-gnu and runs the tests under
# qemu-user (the determinism digests recorded on x86-64 included); checks that
# no fused multiply-add reached the engine; and cross-compiles both extension
# modules against CPython 3.12's headers to show that they build. Installs
# the cross compiler, qemu-user and GoogleTest's sources with apt-get when
# they are missing, and prints what the kernel registry chooses under the
# emulator. The build folder is build/aarch64.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
. scripts/venv.sh

TRIPLE=aarch64-linux-gnu
BUILD=build/aarch64
JOBS=$(nproc 2>/dev/null || echo 2)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
command -v "$TRIPLE-g++" >/dev/null 2>&1 || missing+=("g++-$TRIPLE")
command -v qemu-aarch64 >/dev/null 2>&1 || command -v qemu-aarch64-static >/dev/null 2>&1 || missing+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
fi
export QEMU_LD_PREFIX=/usr/$TRIPLE
EMULATOR=("$(command -v qemu-aarch64 || command -v qemu-aarch64-static)")

# The extension modules compile against CPython 3.12's headers (those of the
# host's interpreter: both are 64-bit Linux, with the same type sizes). They
# are not run: that needs an aarch64 CPython.
find_python 3.12
python_include=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("include"))')
[ -f "$python_include/Python.h" ] || { echo "error: no Python.h in $python_include" >&2; exit 1; }

step "configuring $BUILD ($TRIPLE-g++ $("$TRIPLE-g++" -dumpfullversion), tests under ${EMULATOR[0]})"
cmake -S . -B "$BUILD" -Wno-deprecated -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$TRIPLE.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DVELMORA_BUILD_TESTS=ON -DVELMORA_TEST_HOOKS=ON -DVELMORA_PYTHON_MODULE=ON -DVELMORA_BUILD_BENCH=ON \
  -DPython_EXECUTABLE="$PYTHON" -DPython_INCLUDE_DIR="$python_include" >/dev/null

step "building the engine, the C++ tests and both extension modules"
cmake --build "$BUILD" -j "$JOBS" --target velmora_tests engine_hash kernel_report _velmora_rs _index_core \
  | { grep -vE '^\[ *[0-9]+%\] (Built target|Linking)' || true; }

# -ffp-contract=off must reach every file: on aarch64 the compiler would
# otherwise fuse a * b + c into one instruction and change results.
step "checking that the engine and the modules contain no fused multiply-add"
fused=0
for binary in "$BUILD"/src/engine/libvelmora_engine.so "$BUILD"/src/python/_velmora_rs*.so \
              "$BUILD"/src/python/_index_core*.so; do
  count=$("$TRIPLE-objdump" -d "$binary" | grep -cE $'\t(fn?m(add|sub)|fml[as])\t' || true)
  echo "   $(basename "$binary"): $("$TRIPLE-readelf" -h "$binary" | sed -n 's/ *Machine: *//p'), $count fused multiply-adds"
  fused=$((fused + count))
done
for module in _velmora_rs _index_core; do
  # (grep reads all of nm's output: with -q, nm could fail on the closed pipe)
  "$TRIPLE-nm" -D --defined-only "$BUILD"/src/python/$module*.so | grep " T PyInit_$module$" >/dev/null \
    || { echo "error: $module exports no PyInit_$module" >&2; exit 1; }
done
[ "$fused" -eq 0 ] || { echo "error: fused multiply-adds in the aarch64 build" >&2; exit 1; }

step "C++ unit tests under qemu-user"
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" | grep -vE "^ *Start "

# Which kernels pass their self-tests and are chosen. The times are the
# emulator's, which say nothing about an ARM CPU's speed (nor does the CPU
# line, which is the host's).
step "the kernel registry under qemu-user (times are the emulator's, not an ARM CPU's)"
"${EMULATOR[@]}" "$BUILD/kernel_report" | sed 's/^/   /'
step "aarch64: all tests passed"
