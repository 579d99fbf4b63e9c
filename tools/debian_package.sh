#!/usr/bin/env bash
# Builds the Debian package from a copy of the tree in FOLDER (default
# build/debian-package), so that the checkout and its build folders stay as they
# are: the package lands in FOLDER as velloc_VERSION_ARCH.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-build/debian-package}
rm -rf "$folder"
mkdir -p "$folder/src"
if git rev-parse --git-dir >/dev/null 2>&1; then
  git ls-files -co --exclude-standard -z | grep -zv '^build/' | tar --null -cf - -T - |
    tar -xf - -C "$folder/src"
else
  tar --exclude=./build -cf - . | tar -xf - -C "$folder/src"
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
(cd "$folder/src" && VELLOC_CMAKE_OPTIONS="${launcher[*]}" dpkg-buildpackage -b -us -uc -j"$(nproc)")
ls "$folder"/velloc_*.deb
