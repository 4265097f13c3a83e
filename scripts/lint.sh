#!/usr/bin/env bash
# Checks the formatting and lint of the tree: clang-format over the C++ sources
# (src/, tests/cpp/, bench/), ruff's linter and formatter over the Python files.
# Fails on any diff or finding. The tools, pinned in pyproject.toml's "lint"
# dependency group, live in an environment of their own (build/lint-tools).
# --fix rewrites the files instead of checking them.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
. scripts/venv.sh
fix=0
case "${1:-}" in
  --fix) fix=1 ;;
  "") ;;
  *) echo "usage: bash scripts/lint.sh [--fix]" >&2; exit 2 ;;
esac

tools=build/lint-tools
find_python "$PYTHON_VERSION"
stamp="$tools/.lint-group"
wanted=$(sed -n '/^\[dependency-groups\]/,/^\[/p' pyproject.toml)
if [ ! -x "$tools/bin/ruff" ] || [ ! -x "$tools/bin/clang-format" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  step "installing the lint tools into $tools"
  rm -rf "$tools"
  "$PYTHON" -m venv "$tools"
  "$tools/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade "pip>=25.1"
  "$tools/bin/python" -m pip install --quiet --disable-pip-version-check --group lint
  printf '%s' "$wanted" > "$stamp"
fi

mapfile -t cpp < <(git ls-files --cached --others --exclude-standard -- 'src/*.cpp' 'src/*.h' 'tests/cpp/*.cpp' \
  'tests/cpp/*.h' 'bench/*.cpp' 'bench/*.h')
status=0
if [ "$fix" = 1 ]; then
  step "clang-format: formatting ${#cpp[@]} files"
  "$tools/bin/clang-format" -i "${cpp[@]}"
  step "ruff: fixing and formatting"
  "$tools/bin/ruff" check --fix --quiet . || status=1
  "$tools/bin/ruff" format --quiet .
else
  step "clang-format: checking ${#cpp[@]} files"
  "$tools/bin/clang-format" --dry-run -Werror "${cpp[@]}" || status=1
  step "ruff check"
  "$tools/bin/ruff" check --quiet . || status=1
  step "ruff format --check"
  "$tools/bin/ruff" format --check --quiet . || status=1
fi
if [ "$status" -ne 0 ]; then
  step "lint failed: 'bash scripts/lint.sh --fix' rewrites what the formatters can"
  exit 1
fi
step "lint passed"
