#!/usr/bin/env bash
# Installs the module into the project's virtual environment and runs the demo.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/bootstrap.sh"
venv="${TORVI_VENV:-$root/.venv}"

echo "== installing TorviHardwareAPI into $venv"
"$venv/bin/python" -m pip install -q "$root"
cd "$root/examples"
exec "$venv/bin/python" demo.py
