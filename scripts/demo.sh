#!/usr/bin/env bash
# Installs the module (and with it the torvi-virtual-device program) into the
# project's virtual environment and runs the demo against virtual devices.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/bootstrap.sh"
venv="${TORVI_VENV:-$root/.venv}"

echo "== installing TorviHardwareAPI into $venv"
"$venv/bin/python" -m pip install -q "$root"
echo "== running examples/demo.py"
cd "$root/examples"
exec "$venv/bin/python" demo.py
