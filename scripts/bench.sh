#!/usr/bin/env bash
# The benchmark: installs what it needs, builds Release into build-bench, with
# the monitor in its release form (MURLEN_PORTABLE: static libstdc++, unused
# sections dropped, as scripts/release.sh builds it), and
# runs it under umockdev-wrapper, as root for the simulator's private network
# namespace. Arguments go to murlen-bench (--quick, --rounds N, --mib N,
# --part NAME, --monitor PATH).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DMURLEN_PORTABLE=ON >/dev/null
cmake --build build-bench -j "$(nproc)" --target murlen-bench murlen-min-relay murlen-monitor >/dev/null
exec umockdev-wrapper build-bench/bench/murlen-bench "$@"
