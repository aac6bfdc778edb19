#!/usr/bin/env bash
# Checks a tool archive: the checksum file verifies; the archive holds exactly
# the executables named, the udev rules, LICENSE and README.md under one top
# folder, owned by root, with fixed times and the right modes; the rules and
# LICENSE are the source tree's; the README names no executable it does not
# hold; and each executable passes packaging/smoke_test.py (--version, a wrong
# argument, and a session on standard input with no board).
#
#   packaging/check-release-archive.sh [--build BUILD_DIR] ARCHIVE TOOL...
#
# --build first makes the archive with the build tree's release-archive
# target (ARCHIVE is then a name inside BUILD_DIR). RUN_PREFIX, when set, is
# put before each executable, e.g. "qemu-aarch64-static -L ROOT" to run a
# foreign processor's binaries.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --build ]; then
  cmake --build "$2" --target release-archive >/dev/null
  cd "$2"
  shift 2
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--build BUILD_DIR] ARCHIVE TOOL..." >&2
  exit 2
fi
archive=$1
shift
tools=("$@")
name=$(basename "$archive")

fail() {
  echo "FAIL: $name: $*"
  exit 1
}

[ -f "$archive" ] || fail "no such archive"
[ -f "$archive.sha256" ] || fail "no $name.sha256"
# sha256sum's format, naming the archive without a directory.
grep -Eqx "[0-9a-f]{64}  $name" "$archive.sha256" || fail "$name.sha256: $(cat "$archive.sha256")"
(cd "$(dirname "$archive")" && sha256sum -c --strict --quiet "$name.sha256") ||
  fail "checksum does not match"

expected=$(printf '%s\n' murlen-monitor/ murlen-monitor/60-murlen-monitor.rules \
  murlen-monitor/LICENSE murlen-monitor/README.md "${tools[@]/#/murlen-monitor/}" | LC_ALL=C sort)
listed=$(tar -tzf "$archive")
[ "$listed" = "$expected" ] || fail "holds:
$listed
instead of:
$expected"

# Modes, owners and times, as `tar -tv --full-time` shows them:
# "MODE OWNER/GROUP SIZE DATE TIME PATH".
want_time=$(TZ=UTC date -d "@${SOURCE_DATE_EPOCH:-0}" '+%Y-%m-%d %H:%M:%S')
while read -r mode owner _ day time path; do
  case $path in
    murlen-monitor/ | murlen-monitor/murlen-*) want=rwxr-xr-x ;;
    *) want=rw-r--r-- ;;
  esac
  [ "${mode:1}" = "$want" ] || fail "$path has mode $mode"
  [ "$owner" = 0/0 ] || fail "$path is owned by $owner"
  [ "$day $time" = "$want_time" ] || fail "$path has time $day $time, not $want_time"
done < <(TZ=UTC tar -tvz --numeric-owner --full-time -f "$archive")

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar -C "$unpacked" -xzf "$archive"
top=$unpacked/murlen-monitor
cmp -s "$top/LICENSE" "$source_dir/LICENSE" || fail "LICENSE differs from the source tree's"
cmp -s "$top/60-murlen-monitor.rules" "$source_dir/packaging/60-murlen-monitor.rules" ||
  fail "60-murlen-monitor.rules differs from the source tree's"
if grep -nE '^@(if|end)|@[A-Z]+@' "$top/README.md"; then
  fail "README.md has unfilled template lines"
fi
for tool in murlen-monitor murlen-discovery; do
  packed=0
  for t in "${tools[@]}"; do [ "$t" = "$tool" ] && packed=1; done
  if [ $packed = 0 ] && grep -q "$tool\`" "$top/README.md"; then
    fail "README.md speaks of $tool, which the archive does not hold"
  fi
done

version=$(sed -nE 's/^project\([a-z_]+ VERSION ([0-9.]+).*/\1/p' "$source_dir/CMakeLists.txt")
# shellcheck disable=SC2086
python3 "$source_dir/packaging/smoke_test.py" --version "$version" --prefix "${RUN_PREFIX:-}" \
  "${tools[@]/#/$top/}" || fail "smoke test"
echo "ok: $name"
