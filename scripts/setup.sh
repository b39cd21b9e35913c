#!/usr/bin/env bash
# Installs what building Tessarin needs: Debian packages (when missing) and a
# virtual environment in .venv (or $TESSARIN_VENV) with the pinned build and test
# tools, then builds and installs the package into it. Safe to run again; later
# runs are incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++ pkg-config libzstd-dev libssl-dev libicu-dev
              libsimdjson-dev libgtest-dev unicode-data python3-venv python3-dev)
missing=()
for package in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

python="${PYTHON:-python3}"
venv="${TESSARIN_VENV:-.venv}"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet -r scripts/requirements-dev.txt
# The pinned tools are already in the environment, so the build uses them directly.
"$venv/bin/python" -m pip install --quiet --no-build-isolation .
