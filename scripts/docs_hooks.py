"""MkDocs hooks of the documentation build (mkdocs.yml loads them).

- The benchmark charts stay where the bench writes them, in bench/results/.
  A page links them by their path in the repository (`../bench/results/
  latest.png` from docs/), which the code host shows as it is; the site gets
  a copy of each chart under bench/results/ and the link is pointed there.
- Every example program must be on a page: a file of examples/ that no page
  includes (`--8<-- "examples/NAME"`) is reported, which fails a strict
  build, so that a new example cannot go undocumented.
"""

from __future__ import annotations

import logging
import posixpath
import re
from pathlib import Path
from typing import Any

from mkdocs.structure.files import File, Files

log = logging.getLogger("mkdocs.plugins.torvi_docs")

ROOT = Path(__file__).resolve().parent.parent
CHARTS = "bench/results"
EXAMPLES = ROOT / "examples"
CHART_LINK = re.compile(r"\]\((?:\.\./)+" + re.escape(CHARTS) + r"/")
INCLUDE = re.compile(r'^\s*--8<--\s+"(examples/[^"]+)"', re.M)

included: set[str] = set()


def on_pre_build(config: Any, **kwargs: Any) -> None:
    included.clear()


def on_files(files: Files, config: Any, **kwargs: Any) -> Files:
    for chart in sorted((ROOT / CHARTS).glob("*.png")):
        uri = f"{CHARTS}/{chart.name}"
        files.append(File.generated(config, uri, abs_src_path=str(chart)))
    return files


def on_page_markdown(markdown: str, page: Any, **kwargs: Any) -> str:
    included.update(INCLUDE.findall(markdown))
    # From the page's folder in the site to bench/results/ at its root.
    up = posixpath.relpath(".", posixpath.dirname(page.file.src_uri) or ".")
    prefix = "" if up == "." else f"{up}/"
    return CHART_LINK.sub(f"]({prefix}{CHARTS}/", markdown)


def on_post_build(config: Any, **kwargs: Any) -> None:
    examples = {
        path.relative_to(ROOT).as_posix()
        for path in EXAMPLES.rglob("*")
        if path.is_file() and path.suffix in {".py", ".cpp", ".txt"}
    }
    for missing in sorted(examples - included):
        log.warning("%s is on no page: include it in docs/examples.md", missing)
