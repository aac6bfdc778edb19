#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan + UBSan) and runs
# each for a bounded time on a copy of its seed corpus, so nothing new is
# written into the repository. Fails on any finding and keeps the input that
# caused it under the build tree.
#   FUZZ_SECONDS    seconds per target (default 60)
#   FUZZ_BUILD_DIR  build tree (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(command_line identification address discovery_commands port_json)

echo "== fuzz: build"
CXX=clang++ cmake -S tests/fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for target in "${targets[@]}"; do
  corpus="$work/corpus-$target"
  findings="$build/findings-$target"
  mkdir -p "$corpus" "$findings"
  cp tests/fuzz/corpus/"$target"/* "$corpus"/
  options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$findings"/)
  if [ -f tests/fuzz/"$target".dict ]; then
    options+=(-dict=tests/fuzz/"$target".dict)
  fi
  log="$work/$target.log"
  echo "== fuzz: $target for ${seconds}s"
  if "$build/fuzz_$target" "${options[@]}" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz_$target: ${runs:-?} inputs tried, no finding"
  else
    echo "fuzz_$target: FINDING (input kept in $findings)"
    tail -n 80 "$log"
    failed=1
  fi
done
exit "$failed"
