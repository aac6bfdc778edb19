#!/usr/bin/env bash
# Installs what building needs, builds murlen-monitor and its demo into
# build-release/, and runs the demo: the monitor on simulated boards, with the
# demo in the IDE's place.
#   scripts/run.sh            the demo
#   scripts/run.sh monitor    the monitor itself on this terminal: type
#                             HELLO 1 "me", DESCRIBE, OPEN 127.0.0.1:PORT ADDRESS, CLOSE, QUIT
#   scripts/run.sh sim        the same on one simulated board, no hardware needed:
#                             prints the address to OPEN and the pty that plays
#                             the board, and runs until QUIT or Ctrl-C
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-demo}" in
  demo | monitor | sim) what="${1:-demo}" ;;
  *) echo "usage: $0 [demo|monitor|sim]" >&2; exit 2 ;;
esac

scripts/install-deps.sh run
echo "building build-release/ ..." >&2
mkdir -p build-release
log=build-release/build.log
if ! { cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
       cmake --build build-release -j "$(nproc)" --target murlen-monitor murlen-demo murlen-sim-board; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "the build failed; its log is $log" >&2
  exit 1
fi

if [ "$what" = monitor ]; then
  exec build-release/murlen-monitor
fi
if [ "$what" = sim ]; then
  exec umockdev-wrapper build-release/demo/murlen-sim-board build-release/murlen-monitor
fi
umockdev-wrapper build-release/demo/murlen-demo build-release/murlen-monitor
echo
echo "To run the monitor by hand on this terminal: scripts/run.sh monitor (a real board)"
echo "or scripts/run.sh sim (a simulated board, no hardware needed)"
echo "(or build-release/murlen-monitor; see \"A session by hand\" in README.md)."
