#!/usr/bin/env bash
# Runs the umockdev-labelled tests again and again, to catch a test that
# fails now and then; best while something else loads the machine (another
# build, or a second copy of this script on another build tree). Stops
# repeating a test at its first failure and fails then. The soak is left
# out: it is a long run of its own (ctest -L soak).
#   STRESS_REPEATS  runs per test (default 20)
#   STRESS_JOBS     tests at once (default 2)
# Usage: scripts/stress.sh [build tree ...]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

repeats=${STRESS_REPEATS:-20}
jobs=${STRESS_JOBS:-2}
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(build)
failed=0
for tree in "${trees[@]}"; do
  echo "== stress: $tree, each umockdev test up to $repeats times"
  if ! ctest --test-dir "$tree" -L umockdev -LE soak --repeat until-fail:"$repeats" \
       -j "$jobs" --timeout 120 --output-on-failure; then
    failed=1
  fi
done
exit "$failed"
