#!/usr/bin/env bash
# Installs what building and testing the project needs, on a fresh Debian
# machine: GoogleTest from Debian's packages, Python packages into .venv.
# Safe to run again; it only installs what is missing.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${TORVI_VENV:-$root/.venv}"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_packages=()
[ -f /usr/include/gtest/gtest.h ] || apt_packages+=(libgtest-dev)
command -v g++ >/dev/null || apt_packages+=(g++)
# Error lines switch the process to the en_US.utf8 locale; the tests check
# that where the locale exists, so make it exist.
need_locale=0
locale -a 2>/dev/null | grep -qix 'en_US.utf8' || need_locale=1
if [ "$need_locale" -eq 1 ] && ! command -v localedef >/dev/null; then apt_packages+=(locales); fi
if [ "${#apt_packages[@]}" -gt 0 ]; then
    echo "== installing ${apt_packages[*]} from Debian's packages"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${apt_packages[@]}" >/dev/null
fi
if [ "$need_locale" -eq 1 ]; then
    as_root localedef -i en_US -f UTF-8 en_US.UTF-8 || echo "(en_US.utf8 locale not generated; its test will skip)"
fi

if [ ! -x "$venv/bin/python" ]; then
    echo "== creating the virtual environment $venv"
    python3 -m venv "$venv"
fi
stamp="$venv/.requirements-dev.txt"
if ! cmp -s "$root/requirements-dev.txt" "$stamp"; then
    echo "== installing Python packages into $venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q -r "$root/requirements-dev.txt"
    cp "$root/requirements-dev.txt" "$stamp"
fi
