# Sourced by the project's scripts: finds a CPython (3.12 by default), and builds velmora
# into a virtual environment only when something it is built from changed.

SCRIPT_START=${SCRIPT_START:-$(date +%s)}

# "== [m:ss] text": one line per step, with the time since the script began.
step() {
  local elapsed=$(( $(date +%s) - SCRIPT_START ))
  printf '== [%d:%02d] %s\n' $((elapsed / 60)) $((elapsed % 60)) "$*"
}

# The CPython version environments are created on: 3.12 unless a script
# chooses another (test.sh --python 3.11).
PYTHON_VERSION=${PYTHON_VERSION:-3.12}

# find_python VERSION: sets PYTHON to a CPython VERSION interpreter. The
# variable PYTHON<major><minor> (PYTHON312, PYTHON311) overrides the search.
find_python() {
  local version=$1 candidate
  local override_name="PYTHON${version//./}"
  local override=${!override_name:-}
  local check="import sys, platform; assert platform.python_implementation() == 'CPython' and sys.version_info[:2] == (${version/./, })"
  if [ -n "$override" ] && "$override" -c "$check" 2>/dev/null; then
    PYTHON=$override
    return 0
  fi
  for candidate in "python$version" \
      $(command -v pyenv >/dev/null 2>&1 && ls -d "$(pyenv root)"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r) \
      "/usr/bin/python$version" "/usr/local/bin/python$version"; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "$check" 2>/dev/null; then
      PYTHON=$(command -v "$candidate")
      return 0
    fi
  done
  echo "error: CPython $version not found (set $override_name to its interpreter)" >&2
  return 1
}

# What the installed package is built from: the interpreter, the extras and
# build options, and every file of the native sources and build description,
# one line each. (The Python files are read from the checkout itself.)
build_inputs() {
  local extras=$1
  shift
  echo "python $("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0])')"
  echo "options [$extras] $*"
  find src CMakeLists.txt pyproject.toml -type f -print0 | sort -z | xargs -0 sha1sum
  # An editable install maps each module of the package to its file: a
  # module added, moved or removed needs a new install.
  find velmora -name '*.py' | sort | sed 's/^/module /'
}

# Why the stamp no longer matches, in a few words.
rebuild_reason() {
  local stamp=$1 now=$2
  if [ ! -f "$stamp" ]; then echo "first build in this environment"; return; fi
  if ! diff -q <(head -1 "$stamp") <(head -1 "$now") >/dev/null; then
    echo "the Python version changed ($(head -1 "$stamp" | cut -d' ' -f2) -> $(head -1 "$now" | cut -d' ' -f2))"
    return
  fi
  if ! diff -q <(sed -n 2p "$stamp") <(sed -n 2p "$now") >/dev/null; then
    echo "other extras or build options ($(sed -n 2p "$now" | cut -d' ' -f2-))"
    return
  fi
  local changed
  changed=$(diff <(tail -n +3 "$stamp") <(tail -n +3 "$now") | sed -n 's/^[<>] \(module \|[0-9a-f]*  \)//p' | sort -u)
  local count
  count=$(echo "$changed" | grep -c .)
  echo "$count file(s) changed: $(echo "$changed" | head -5 | tr '\n' ' ')$([ "$count" -gt 5 ] && echo '...')"
}

# ensure_venv VENV EXTRAS [PIP_OPTIONS...]: creates (once) a virtual
# environment on CPython $PYTHON_VERSION and installs the package with the given extras
# into it, unless it is already installed from the very same inputs. Each
# environment has a build folder of its own, reused between builds so that
# only what changed is recompiled, and never shared by two builds at once.
# The install is editable: the compiled modules live in the environment and
# the Python files are those of the checkout, so that Python started inside
# the checkout imports a working velmora instead of a source folder without
# its compiled modules.
ensure_venv() {
  VENV=$1
  local extras=$2
  shift 2
  find_python "$PYTHON_VERSION"
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c "import sys; assert sys.version_info[:2] == (${PYTHON_VERSION/./, })" 2>/dev/null; then
    step "creating $VENV on $("$PYTHON" -c 'import sys; print(sys.version.split()[0])')"
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
  fi
  local stamp="$VENV/.velmora-build-inputs" now
  now=$(mktemp)
  build_inputs "$extras" "$@" > "$now"
  if [ -f "$stamp" ] && cmp -s "$stamp" "$now" && "$VENV/bin/python" -P -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("velmora") is None)' 2>/dev/null; then
    step "velmora is up to date in $VENV (nothing it is built from changed)"
    rm -f "$now"
    return 0
  fi
  step "building and installing velmora[$extras] into $VENV: $(rebuild_reason "$stamp" "$now")"
  local build_dir log status=0
  build_dir="build/venv-$(printf '%s' "$VENV" | sha1sum | cut -c1-10)"
  # The build tools live in the environment itself: a build isolated in a
  # fresh temporary environment each time would reconfigure CMake from
  # scratch and recompile every file.
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
    "scikit-build-core>=0.10" "cmake>=3.21" ninja
  log=$(mktemp)
  # Dependencies as they are fetched and the compiler's progress as it
  # happens; the whole log only if the build fails.
  "$VENV/bin/python" -m pip install -v --no-build-isolation --disable-pip-version-check \
      -Cbuild-dir="$build_dir" "$@" --editable ".[${extras}]" 2>&1 \
    | tee "$log" \
    | { grep --line-buffered -E '^\s*\[[0-9]+/[0-9]+\] |^\s*\*\*\* |^(Collecting|Successfully installed) ' \
        | sed -u 's/^ */   /'; true; } \
    || status=$?
  if [ "$status" -ne 0 ]; then
    echo "error: the build failed; its last lines:" >&2
    tail -n 60 "$log" >&2
    rm -f "$log" "$now"
    return "$status"
  fi
  rm -f "$log"
  mv "$now" "$stamp"
  step "installed"
}
