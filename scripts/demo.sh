#!/usr/bin/env bash
# Installs the module (and with it the torvi-virtual-device program) into the
# project's virtual environment and runs the demo against virtual devices.
# It installs only what the demo needs (g++, the environment, the module,
# numpy, and viser for --view); scripts/test.sh installs what the tests need
# besides. Several demos may run at once from one checkout. Its arguments go
# to the demo:
#
#   bash scripts/demo.sh [--plot FILE.png] [--view [PORT]]
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
# The live view (--view) is served through viser, the extra "view".
if [[ " $* " == *" --view"* ]]; then
    "$python" -c "import viser" 2>/dev/null || {
        echo "== installing viser into $venv"
        "$python" -m pip install -q "viser>=1.0"
    }
fi
echo "== running examples/demo.py"
cd "$root/examples"
exec "$python" demo.py "$@"
