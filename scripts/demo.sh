#!/usr/bin/env bash
# Installs the module (and with it the torvi-virtual-device program) into the
# project's virtual environment and runs the demo against virtual devices.
# It installs only what the demo needs (g++, the environment, the module);
# scripts/test.sh installs what the tests need besides. Several demos may run
# at once from one checkout.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ensure_compiler_and_venv

echo "== installing TorviHardwareAPI into $venv"
install_module
echo "== running examples/demo.py"
cd "$root/examples"
exec "$python" demo.py
