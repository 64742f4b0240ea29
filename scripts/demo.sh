#!/usr/bin/env bash
# Installs the module (and with it the torvi-virtual-device program) into the
# project's virtual environment and runs the demo against virtual devices.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bash "$root/scripts/bootstrap.sh"

echo "== installing TorviHardwareAPI into $venv"
"$python" -m pip install -q "$root"
echo "== running examples/demo.py"
cd "$root/examples"
exec "$python" demo.py
