"""The documentation site: it builds with warnings as errors, and its API
reference has an entry for every public name of the module, of its
submodules and of the torvi package's modules, so that a name added
without its stub or its reference page fails here."""

import ast
import inspect
import os
import pkgutil
import re
import subprocess
import sys
from pathlib import Path

import pytest

import TorviHardwareAPI as T

ROOT = Path(__file__).resolve().parents[2]
TORVI = ROOT / "src" / "torvi"


@pytest.fixture(scope="module")
def reference_ids(tmp_path_factory):
    """The anchors of the built reference pages."""
    site = tmp_path_factory.mktemp("site")
    build = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(site)],
        cwd=ROOT,
        capture_output=True,
        text=True,
        env={**os.environ, "NO_MKDOCS_2_WARNING": "1"},
    )
    assert build.returncode == 0, build.stderr
    pages = (site / "reference").rglob("*.html")
    return {match for page in pages for match in re.findall(r'id="([^"]+)"', page.read_text())}


def extension_names():
    """Dotted paths of the public names of the module and of its submodules,
    and of their classes' members."""
    submodules = [value for value in vars(T).values() if inspect.ismodule(value)]
    for module in (T, *submodules):
        for name, value in vars(module).items():
            if name.startswith("_") or inspect.ismodule(value):
                continue
            yield f"{module.__name__}.{name}"
            if inspect.isclass(value):
                members = (member for member in vars(value) if not member.startswith("_"))
                yield from (f"{module.__name__}.{name}.{member}" for member in members)


def torvi_names():
    """Dotted paths of each torvi module and the names it defines at its top."""
    for module in pkgutil.iter_modules([str(TORVI)]):
        if module.name.startswith("_"):
            continue  # the package's own plumbing
        path = TORVI / (f"{module.name}/__init__.py" if module.ispkg else f"{module.name}.py")
        yield f"torvi.{module.name}"
        for node in ast.parse(path.read_text()).body:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                names = [node.name]
            elif isinstance(node, (ast.Assign, ast.AnnAssign)):
                targets = node.targets if isinstance(node, ast.Assign) else [node.target]
                names = [target.id for target in targets if isinstance(target, ast.Name)]
            else:
                continue
            public = (name for name in names if not name.startswith("_"))
            yield from (f"torvi.{module.name}.{name}" for name in public)


def test_every_public_name_has_a_reference_entry(reference_ids):
    expected = [*extension_names(), *torvi_names()]
    assert "TorviHardwareAPI.haptics.HapticLoop.add" in expected
    assert "torvi.recording.Recorder" in expected
    missing = [name for name in expected if name not in reference_ids]
    assert not missing, f"no entry in the built reference (docs/reference/, stubs/): {missing}"
