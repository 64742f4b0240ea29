#!/usr/bin/env bash
# The documentation site, from docs/ and mkdocs.yml:
#   bash scripts/docs.sh            serves it at http://127.0.0.1:8000, rebuilt on each change
#   bash scripts/docs.sh --build    builds it into $build/site, failing on any warning
#                                   (a broken reference, a missing page, a dead link)
# Further arguments go to mkdocs. It installs requirements-docs.txt into the
# project's environment when that file changed. Building needs no network
# and not the module: the reference is read from stubs/ and src/torvi.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
make_venv "$venv" python3
prepare_docs_tools

# Material prints a notice about a future MkDocs on every run.
export NO_MKDOCS_2_WARNING=1
if [ "${1:-}" = --build ]; then
    shift
    echo "== building the documentation into $build/site"
    exec "$python" -m mkdocs build --strict --site-dir "$build/site" "$@"
fi
exec "$python" -m mkdocs serve --strict "$@"
