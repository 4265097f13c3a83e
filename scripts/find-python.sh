# Sourced by the project's scripts: sets PYTHON312 to a CPython 3.12 interpreter.
find_python312() {
  local candidate
  if [ -n "${PYTHON312:-}" ] && "$PYTHON312" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    return 0
  fi
  for candidate in python3.12 \
      $(command -v pyenv >/dev/null 2>&1 && ls -d "$(pyenv root)"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V -r) \
      /usr/bin/python3.12 /usr/local/bin/python3.12; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
      PYTHON312=$(command -v "$candidate")
      return 0
    fi
  done
  echo "error: CPython 3.12 not found (set PYTHON312 to its interpreter)" >&2
  return 1
}

# Creates (once) the project's virtual environment on CPython 3.12 and
# installs the package with the given extras into it.
ensure_venv() {
  local extras=$1
  find_python312
  VENV=${VELMORA_VENV:-$PWD/.venv}
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    rm -rf "$VENV"
    "$PYTHON312" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check ".[${extras}]"
}
