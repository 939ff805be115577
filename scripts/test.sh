#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build, the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, the tests of what
# runs on several threads (the bridge, the scans, the browser, recovery)
# under ThreadSanitizer, and a short run of each fuzz target (libFuzzer,
# clang). First the Windows build (mingw-w64): its unit tests run under
# Wine, and the release build's tests compare it with the Linux program.
#   scripts/test.sh [--quick]     --quick: the release build only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=(default asan tsan fuzz)
[ "${1:-}" = "--quick" ] && presets=(default)

if [ "${1:-}" != "--quick" ]; then
  echo "== windows"
  scripts/build-windows.sh --tests
  ctest --preset windows
fi

for preset in "${presets[@]}"; do
  echo "== $preset"
  extra=()
  [ "$preset" = fuzz ] && extra=(-DQUENLAR_FUZZ_SECONDS="${QUENLAR_FUZZ_SECONDS:-20}")
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  cmake --build --preset "$preset" -j "${JOBS:-2}"
  only=()
  [ "$preset" != default ] && only=(-E windows_program)  # the Windows program is compared once
  [ "$preset" = tsan ] && only=(-R "Bridge|NtfsScan|Fat32|Exfat|Browse|Recover|FileContent|Store|Host|FolderPath|ui_protocol|ui_lifecycle|ui_sessions")
  # The sanitizer builds try the two-document protocol five times rather than
  # twenty, and the browser's large filter with 200,000 results rather than
  # 2,000,000; the clang build leaves both to the others.
  [ "$preset" = fuzz ] && only=(-E "windows_program|ui_sessions|ui_pages")
  tries=20 large=2000000
  [ "$preset" != default ] && tries=5 large=200000
  QUENLAR_TRIES=$tries QUENLAR_LARGE_FILES=$large ctest --preset "$preset" -j "${JOBS:-2}" "${only[@]}"
done
