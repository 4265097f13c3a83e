#!/usr/bin/env bash
# Runs the demo: creates (once) .venv on CPython 3.12, installs velmora with
# numpy and tqdm into it, and runs "python -m velmora" with the given options,
# for example: bash scripts/demo.sh --n 20000 --bits 3
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find-python.sh

echo "== building and installing velmora with the demo's extras into ${VELMORA_VENV:-.venv}" >&2
ensure_venv demo
# -P keeps the source tree, which has no built module, off the import path.
exec "$VENV/bin/python" -P -m velmora "$@"
