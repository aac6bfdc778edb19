#!/usr/bin/env bash
# The whole test suite: installs what it needs, checks formatting, builds with
# warnings as errors, runs the tests plain, under ASan+UBSan and under TSan,
# runs each libFuzzer target for a bounded time (scripts/fuzz.sh, FUZZ_SECONDS
# each, 60 by default), runs cppcheck, then the release with its checks
# (scripts/release.sh: as root only; about 5 minutes on a fresh machine, 1
# when its bullseye root is cached). Build trees go to build/, build-asan/,
# build-tsan/, build-fuzz/ and build-portable/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

jobs=$(nproc)
sources=$(git ls-files -- '*.cpp' '*.h' 2>/dev/null || find src tests bench -name '*.cpp' -o -name '*.h')

echo "== format"
# shellcheck disable=SC2086
clang-format --dry-run --Werror $sources

run_suite() {  # run_suite DIR SANITIZE
  echo "== build and test: ${2:-plain}"
  cmake -S . -B "$1" -DMURLEN_SANITIZE="$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$1" -j "$jobs"
  ctest --test-dir "$1" -LE bench -j "$jobs" --output-on-failure --timeout 300
}

run_suite build ""
run_suite build-asan address
run_suite build-tsan thread

scripts/fuzz.sh

echo "== cppcheck"
cppcheck --enable=warning,portability --std=c++20 --error-exitcode=1 --quiet \
  --inline-suppr -I src src

if [ "$(id -u)" -eq 0 ]; then
  scripts/release.sh
else
  echo "== release: skipped, scripts/release.sh needs root (debootstrap, chroot)"
fi
echo "== all checks passed"
