#!/usr/bin/env bash
# Builds and tests everything: the Linux program with its unit and end-to-end
# tests, the Windows exe (32-bit, and the 64-bit twin that 64-bit Wine can run)
# with its Wine tests, and the sanitizer build. Each workflow fails if any test
# fails or none ran. The release build has no tests of its own; it is built
# because some warnings appear only with the optimiser on. Last, the release
# packages (.deb and Windows zip) are built from those builds and checked, and
# the fuzzers run.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in linux-debug linux-release windows-i686 windows-x64 linux-asan; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done

echo "=== packages"
timeout 1800 tests/package_test.sh

# Each fuzzer runs for a minute on a copy of its seed corpus (FUZZ_SECONDS
# changes that; 0 leaves fuzzing out).
if [ "${FUZZ_SECONDS:-60}" -gt 0 ]; then
  echo "=== fuzzing"
  timeout 900 tests/fuzz/run.sh "${FUZZ_SECONDS:-60}"
fi
