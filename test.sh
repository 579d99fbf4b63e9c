#!/usr/bin/env bash
# Builds with warnings as errors and runs every test under CTest, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz target for a
# bounded time. Installs the Debian packages it needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")"
source tools/packages.sh
ensure_packages "${VELLOC_RUNTIME_PACKAGES[@]}" "${VELLOC_TEST_PACKAGES[@]}" \
  "${VELLOC_PACKAGING_PACKAGES[@]}"
# The demo tests start demo.sh, which fetches its widget with npm: installed here
# once, not by demo runs side by side.
command -v npm >/dev/null || ensure_packages "${VELLOC_DEMO_PACKAGES[@]}"

jobs=$(nproc)
fuzz_seconds=${VELLOC_FUZZ_SECONDS:-20}

echo "== Build and test"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLOC_WERROR=ON \
  -DVELLOC_BENCH=ON
cmake --build build/release
(cd build/release && ctest --output-on-failure -j "$jobs")

echo "== Manual pages and the Debian package"
for page in man/*.8; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page: $warnings"
    exit 1
  fi
done
tools/debian_package.sh build/debian-package
lintian --fail-on error,warning build/debian-package/velloc_*.changes
# Installs, upgrades, removes and purges the package on this machine (root only;
# skipped, saying why, elsewhere).
/usr/bin/python3 tests/package/debian_package_test.py build/debian-package/velloc_*.deb

echo "== Build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLOC_SANITIZE=ON \
  -DVELLOC_WERROR=ON -DVELLOC_BENCH=OFF
cmake --build build/sanitize
(cd build/sanitize && ctest --output-on-failure -j "$jobs")

echo "== Fuzz targets, ${fuzz_seconds}s each"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELLOC_FUZZ=ON -DVELLOC_WERROR=ON -DVELLOC_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
targets=()
for source in tests/fuzz/*_fuzz.cpp; do
  [ -e "$source" ] && targets+=("$(basename "$source" .cpp)")
done
if [ ${#targets[@]} -gt 0 ]; then
  cmake --build build/fuzz --target "${targets[@]}"
  for target in "${targets[@]}"; do
    corpus=$(mktemp -d)
    log=$(mktemp)
    echo "-- $target"
    if ! (cd build/fuzz && ./tests/"$target" -max_total_time="$fuzz_seconds" \
        -rss_limit_mb=2048 -timeout=10 "$corpus" >"$log" 2>&1); then
      tail -n 40 "$log"
      echo "fuzz target $target failed"
      exit 1
    fi
    tail -n 1 "$log"
    rm -rf "$corpus" "$log"
  done
fi
echo "All tests passed."
