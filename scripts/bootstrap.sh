#!/usr/bin/env bash
# Installs what building and testing the project needs, on a fresh Debian
# machine: g++ and .venv (as the demo needs them), then GoogleTest from
# Debian's packages, Chromium (the browser of the view's tests), the
# en_US.utf8 locale, and the build, test, lint and documentation packages
# into .venv.
# Safe to run again; it only installs what is missing.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_compiler_and_venv

# The rest only the tests need.
apt_packages=()
[ -f /usr/include/gtest/gtest.h ] || apt_packages+=(libgtest-dev)
# The view's tests drive the system's Chromium headless (Playwright's client
# only: no browser of its own is downloaded).
[ -x /usr/bin/chromium ] || apt_packages+=(chromium)
# Error lines switch the process to the en_US.utf8 locale; the tests check
# that where the locale exists, so make it exist.
need_locale=0
locale -a 2>/dev/null | grep -qix 'en_US.utf8' || need_locale=1
if [ "$need_locale" -eq 1 ] && ! command -v localedef >/dev/null; then apt_packages+=(locales); fi
if [ "${#apt_packages[@]}" -gt 0 ]; then
    apt_install "${apt_packages[@]}"
fi
if [ "$need_locale" -eq 1 ]; then
    as_root localedef -i en_US -f UTF-8 en_US.UTF-8 || echo "(en_US.utf8 locale not generated; its test will skip)"
fi

if requirements_changed "$venv" "$root/requirements-dev.txt"; then
    echo "== installing Python packages into $venv"
    "$python" -m pip install -q --upgrade pip
    install_requirements "$venv" "$root/requirements-dev.txt"
fi
# The documentation's tools: the test command builds the site.
prepare_docs_tools
