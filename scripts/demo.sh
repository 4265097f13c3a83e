#!/usr/bin/env bash
# Runs the demo: creates (once) .venv on CPython 3.12, installs velmora with
# numpy and tqdm into it (rebuilding only when its sources changed), and runs
# "python -m velmora" with the given options, for example:
#   bash scripts/demo.sh --n 20000 --bits 3
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT_START=$(date +%s)
. scripts/venv.sh
find_python 3.12

# The options are checked before anything is built: the demo's own parser,
# read from the source tree, needs neither numpy nor the compiled module.
status=0
"$PYTHON" -P - "$@" <<'PY' || status=$?
import importlib.util, sys
options_spec = importlib.util.spec_from_file_location("velmora_demo_options", "velmora/_demo.py")
demo = importlib.util.module_from_spec(options_spec)
options_spec.loader.exec_module(demo)
try:
    demo.parser().parse_args(sys.argv[1:])
except SystemExit as stop:
    sys.exit(10 if stop.code == 0 else stop.code)  # 10: --help was answered
PY
case $status in
  0) ;;
  10) exit 0 ;;
  *) exit "$status" ;;
esac

ensure_venv "${VELMORA_VENV:-$PWD/.venv}" demo >&2
# -P keeps the source tree, which has no built module, off the import path.
exec "$VENV/bin/python" -P -m velmora "$@"
