#!/usr/bin/env bash
# Installs the module (and with it the torvi-virtual-device program) into the
# project's virtual environment and runs the demo against virtual devices.
# It installs only what the demo needs (g++, the environment, the module,
# numpy); scripts/test.sh installs what the tests need besides. Several demos
# may run at once from one checkout.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
ensure_compiler_and_venv

echo "== installing TorviHardwareAPI into $venv"
install_module
# The demo reads the haptic loop's record, which comes as numpy arrays.
"$python" -c "import numpy" 2>/dev/null || {
    echo "== installing numpy into $venv"
    "$python" -m pip install -q "numpy>=1.22"
}
# Its physics part steps a MuJoCo scene: the engine's version the module is
# built for (the extra "physics" in pyproject.toml).
"$python" -c "import mujoco" 2>/dev/null || {
    echo "== installing mujoco into $venv"
    "$python" -m pip install -q "mujoco==4.0.1"
}
echo "== running examples/demo.py"
cd "$root/examples"
exec "$python" demo.py
