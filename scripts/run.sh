#!/usr/bin/env bash
# Installs what building needs, builds murlen-monitor and runs it on this
# terminal: type HELLO 1 "me", DESCRIBE, OPEN 127.0.0.1:PORT ADDRESS, CLOSE, QUIT.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release -j "$(nproc)" >/dev/null
exec build-release/murlen-monitor
