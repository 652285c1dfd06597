#!/usr/bin/env bash
# The one test command: builds and tests everything on Debian 12, reading no
# standard input. Run as root, it first installs the Debian packages it lacks;
# without root it names them and goes on.
#
# Then: the Linux program with its unit and end-to-end tests, the Windows exe
# (32-bit, and the 64-bit twin that 64-bit Wine can run) with its Wine tests,
# and the sanitizer build; each workflow fails if any test fails or none ran.
# The release build, which has no tests, is built for the warnings that only
# the optimiser shows. Last, the release packages (.deb and Windows zip) are
# built from those builds and checked, and the fuzzers run.
set -euo pipefail
cd "$(dirname "$0")/.."

# wine32 is an i386 package; 64-bit Wine runs the Windows tests where the
# kernel cannot start 32-bit programs. dpkg-dev (dpkg-shlibdeps), file (for
# CPack's look at the binary), man-db and unzip are for building and checking
# the packages, valgrind for one end-to-end test.
packages=(
  cmake make g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64
  python3-pytest python3-pexpect python3-pytest-timeout valgrind
  dpkg-dev file man-db unzip
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f '${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' || missing+=("$package")
done
if ((${#missing[@]})); then
  if [[ $(id -u) == 0 ]]; then
    echo "=== installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture i386
    # A mirror caught mid-sync fails an index now and then: try again, and
    # if one index still fails, install from the ones that came.
    for attempt in 1 2 3; do
      apt-get update -o Acquire::Retries=3 </dev/null && break
      sleep $((attempt * 10))
    done
    install() { apt-get install -y -o Acquire::Retries=3 "$@" </dev/null; }
    if ! install "${missing[@]}" && ! { sleep 20; install "${missing[@]}"; }; then
      # Without the i386 index of security updates, 32-bit Wine cannot match
      # the 64-bit libraries installed: the 64-bit exe then runs the Windows
      # tests alone, as on a kernel that cannot start 32-bit programs.
      rest=()
      for package in "${missing[@]}"; do [[ $package == wine32:i386 ]] || rest+=("$package"); done
      install "${rest[@]}"
      export PATHWARDEN_WINE32_UNAVAILABLE="32-bit Wine (wine32:i386) could not be installed from this mirror"
      echo "=== $PATHWARDEN_WINE32_UNAVAILABLE; the 32-bit exe's Wine tests are skipped" >&2
    fi
  else
    echo "=== missing (run as root to install them): ${missing[*]}" >&2
  fi
fi

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
