#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build, the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, and a short run of
# each fuzz target (libFuzzer, clang).
#   scripts/test.sh [--quick]     --quick: the release build only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=(default asan fuzz)
[ "${1:-}" = "--quick" ] && presets=(default)

for preset in "${presets[@]}"; do
  echo "== $preset"
  extra=()
  [ "$preset" = fuzz ] && extra=(-DQUENLAR_FUZZ_SECONDS="${QUENLAR_FUZZ_SECONDS:-20}")
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  cmake --build --preset "$preset" -j "${JOBS:-2}"
  ctest --preset "$preset" -j "${JOBS:-2}"
done
