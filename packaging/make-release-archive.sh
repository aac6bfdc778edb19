#!/usr/bin/env bash
# Makes a tool archive for one host, laid out as the IDE unpacks a tool, and
# its checksum file:
#
#   ARCHIVE                 murlen-monitor-VERSION-HOST.tar.gz
#     murlen-monitor/EXECUTABLE ...         each executable given
#     murlen-monitor/60-murlen-monitor.rules
#     murlen-monitor/LICENSE
#     murlen-monitor/README.md              packaging/README-archive.md, filled in
#   ARCHIVE.sha256          in sha256sum's format
#
#   make-release-archive.sh ARCHIVE VERSION HOST BASE EXECUTABLE...
#
# BASE names the system the executables were built on (for the README).
# STRIP, when set in the environment, is the strip program used on the packed
# copies of the executables. README_TEMPLATE names the README's template
# (packaging/README-archive.md by default); PACKAGER the package the IDE
# installs the tool from, for the path of the udev rules in the README
# (murlen by default; board_package.py fill writes the index's own). Entries are sorted and owned by root, gzip stores
# no name or time, and every file gets SOURCE_DATE_EPOCH as its time (0 when it
# is unset), so the same files give the same archive byte for byte. Prints the
# archive's size and checksum.
set -euo pipefail

if [ $# -lt 5 ]; then
  echo "usage: $0 ARCHIVE VERSION HOST BASE EXECUTABLE..." >&2
  exit 2
fi
archive=$1 version=$2 host=$3 base=$4
shift 4
source_dir=$(cd "$(dirname "$0")/.." && pwd)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/murlen-monitor
mkdir -m 0755 "$top"
tools=""
for executable in "$@"; do
  name=$(basename "$executable")
  install -m 0755 "$executable" "$top/$name"
  if [ -n "${STRIP:-}" ]; then
    "$STRIP" --strip-unneeded "$top/$name"
  fi
  tools="$tools $name"
done
install -m 0644 "$source_dir/LICENSE" "$top/LICENSE"
install -m 0644 "$source_dir/packaging/60-murlen-monitor.rules" "$top/60-murlen-monitor.rules"

# What the packed executables need, as their symbol versions say: the
# highest GLIBC_, and the highest GLIBCXX_ when libstdc++ is not linked in.
glibc=$(readelf -VW "$top"/murlen-* | sed -nE 's/.*Name: GLIBC_([0-9.]+).*/\1/p' | sort -V | tail -n 1)
glibcxx=$(readelf -VW "$top"/murlen-* | sed -nE 's/.*Name: GLIBCXX_([0-9.]+).*/\1/p' | sort -V | tail -n 1)
needs="glibc $glibc or newer"
[ -z "$glibcxx" ] || needs="$needs, the shared libstdc++ with GLIBCXX_$glibcxx"
first_tool=$(basename "$1")
case " $tools " in *" murlen-monitor "*) first_tool=murlen-monitor ;; esac

# The README speaks of the executables this archive holds and no others: a
# block between "@if NAME" and "@end" stays only when NAME is packed.
awk -v tools="$tools " -v version="$version" -v host="$host" -v base="$base" -v needs="$needs" \
    -v packager="${PACKAGER:-murlen}" -v tool="$first_tool" '
  /^@if / { keep = index(tools, " " $2 " ") > 0; next }
  /^@end$/ { keep = 1; next }
  keep == 0 { next }
  { gsub(/@VERSION@/, version); gsub(/@HOST@/, host); gsub(/@BASE@/, base); gsub(/@NEEDS@/, needs)
    gsub(/@PACKAGER@/, packager); gsub(/@TOOL@/, tool); print }
' keep=1 "${README_TEMPLATE:-$source_dir/packaging/README-archive.md}" >"$top/README.md"
chmod 0644 "$top/README.md"

tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner \
  --mtime="@${SOURCE_DATE_EPOCH:-0}" --format=gnu -cf - murlen-monitor |
  gzip -n -9 >"$archive.part"
mv "$archive.part" "$archive"

name=$(basename "$archive")
sum=$(sha256sum "$archive" | cut -d' ' -f1)
# The name alone, so that `sha256sum -c` works beside the archive.
printf '%s  %s\n' "$sum" "$name" >"$archive.sha256"

echo "$name"
echo "  holds:  $tools"
echo "  size:   $(stat -c %s "$archive") bytes"
echo "  sha256: $sum"
