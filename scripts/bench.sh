#!/usr/bin/env bash
# The benchmark: installs what it needs, builds Release into build-bench, with
# the tools in their release form (MURLEN_PORTABLE: static libstdc++, unused
# sections dropped, as scripts/release.sh builds them), and runs it under
# umockdev-wrapper, as root for the simulator's private network namespace.
#   scripts/bench.sh [ARGS]              the monitor's benchmark, murlen-bench
#                                        (--quick, --rounds N, --mib N, --part NAME,
#                                        --monitor PATH)
#   scripts/bench.sh --discovery [ARGS]  the discovery's, murlen-discovery-bench (--quick)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMURLEN_PORTABLE=ON >/dev/null
if [ "${1:-}" = --discovery ]; then
  shift
  cmake --build build-bench -j "$(nproc)" --target murlen-discovery-bench murlen-discovery >/dev/null
  exec umockdev-wrapper build-bench/bench/murlen-discovery-bench "$@"
fi
cmake --build build-bench -j "$(nproc)" --target murlen-bench murlen-min-relay murlen-monitor >/dev/null
exec umockdev-wrapper build-bench/bench/murlen-bench "$@"
