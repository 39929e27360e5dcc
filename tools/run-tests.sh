#!/usr/bin/env bash
# The whole test suite from a fresh checkout: installs what it needs, builds
# the Windows DLL (mingw-w64), the TSan tree, the fuzz tree (clang with ASan
# and UBSan, which also builds the unit tests) and the Linux .so, then runs
# every test in one ctest run: unit tests (plain, ASan+UBSan, TSan), the fuzz
# targets (each for a bounded time on its checked-in corpus) and the system
# tests against the .so, the TSan build, the ASan+UBSan build and the DLL
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
for preset in windows native-tsan fuzz native; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
ctest --preset native "$@"
