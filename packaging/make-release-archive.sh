#!/usr/bin/env bash
# Makes the release archive of murlen-monitor, laid out as an IDE tool
# package, and its checksum file:
#
#   ARCHIVE                 murlen-monitor-VERSION-linux-ARCH.tar.gz
#     murlen-monitor/murlen-monitor
#     murlen-monitor/LICENSE
#     murlen-monitor/README.md
#   ARCHIVE.sha256          in sha256sum's format
#
#   make-release-archive.sh EXECUTABLE LICENSE README ARCHIVE [STRIP]
#
# STRIP, when given, is the strip program used on the packed copy of the
# executable. Entries are sorted and owned by root, and gzip stores no name
# or time, so the same files give the same archive; SOURCE_DATE_EPOCH, when
# set, also fixes the files' times. Prints the archive's size and checksum.
set -euo pipefail

if [ $# -lt 4 ]; then
  echo "usage: $0 EXECUTABLE LICENSE README ARCHIVE [STRIP]" >&2
  exit 2
fi
executable=$1 license=$2 readme=$3 archive=$4 strip=${5:-}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/murlen-monitor
mkdir -m 0755 "$top"
install -m 0755 "$executable" "$top/murlen-monitor"
install -m 0644 "$license" "$top/LICENSE"
install -m 0644 "$readme" "$top/README.md"
if [ -n "$strip" ]; then
  "$strip" --strip-unneeded "$top/murlen-monitor"
fi

times=()
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  times=(--mtime="@$SOURCE_DATE_EPOCH")
fi
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner "${times[@]}" \
  -cf - murlen-monitor | gzip -n -9 >"$archive.part"
mv "$archive.part" "$archive"

name=$(basename "$archive")
sum=$(sha256sum "$archive" | cut -d' ' -f1)
# The name alone, so that `sha256sum -c` works beside the archive.
printf '%s  %s\n' "$sum" "$name" >"$archive.sha256"

echo "$name"
echo "  size:   $(stat -c %s "$archive") bytes"
echo "  sha256: $sum"
