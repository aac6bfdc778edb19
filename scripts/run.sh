#!/usr/bin/env bash
# Installs what building needs, builds murlen-discovery, murlen-monitor and
# their demo into build-release/, and runs the demo: the discovery lists the
# simulated boards and the monitor opens the address it gave, with the demo in
# the IDE's place.
#   scripts/run.sh             the demo
#   scripts/run.sh discovery   the discovery itself on this terminal: type
#                              HELLO 1 "me", START_SYNC (or START, LIST), STOP, QUIT
#   scripts/run.sh monitor     the monitor itself on this terminal: type
#                              HELLO 1 "me", DESCRIBE, OPEN 127.0.0.1:PORT ADDRESS, CLOSE, QUIT
#   scripts/run.sh sim         the monitor on one simulated board, no hardware needed:
#                              prints the address to OPEN, the pty that plays the
#                              board and the command that runs the discovery on its
#                              testbed; typed lines unplug, plug and restart the
#                              board; runs until QUIT or Ctrl-C
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-demo}" in
  demo | discovery | monitor | sim) what="${1:-demo}" ;;
  *) echo "usage: $0 [demo|discovery|monitor|sim]" >&2; exit 2 ;;
esac

scripts/install-deps.sh run
echo "building build-release/ ..." >&2
mkdir -p build-release
log=build-release/build.log
if ! { cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
       cmake --build build-release -j "$(nproc)" \
         --target murlen-monitor murlen-discovery murlen-demo murlen-sim-board; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "the build failed; its log is $log" >&2
  exit 1
fi

case "$what" in
  sim) exec umockdev-wrapper build-release/demo/murlen-sim-board build-release/murlen-monitor ;;
  discovery | monitor)
    echo "murlen-$what reads commands from this terminal: type HELLO 1 \"me\" first" \
         "(build-release/murlen-$what --help says more; QUIT ends it)" >&2
    exec "build-release/murlen-$what" ;;
esac
umockdev-wrapper build-release/demo/murlen-demo build-release/murlen-monitor \
  build-release/murlen-discovery
echo
echo "To run a tool by hand on this terminal: scripts/run.sh discovery, scripts/run.sh monitor"
echo "(a real board) or scripts/run.sh sim (a simulated board, no hardware needed);"
echo "see \"A session by hand\" in README.md."
