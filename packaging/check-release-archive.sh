#!/usr/bin/env bash
# Builds the release-archive target of a build tree and checks the result:
# the checksum file verifies, the archive holds exactly the tool package's
# files with the right modes, LICENSE and README.md are the source tree's,
# and the packed executable runs.
#
#   packaging/check-release-archive.sh BUILD_DIR ARCHIVE_NAME
set -euo pipefail

build=$1 name=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)

cmake --build "$build" --target release-archive
cd "$build"

fail() {
  echo "FAIL: $*"
  exit 1
}

[ -f "$name" ] || fail "no $name"
[ -f "$name.sha256" ] || fail "no $name.sha256"
# sha256sum's format, naming the archive without a directory.
grep -Eqx "[0-9a-f]{64}  $name" "$name.sha256" || fail "$name.sha256: $(cat "$name.sha256")"
sha256sum -c --strict "$name.sha256" || fail "checksum does not match"

expected='murlen-monitor/
murlen-monitor/LICENSE
murlen-monitor/README.md
murlen-monitor/murlen-monitor'
listed=$(tar -tzf "$name")
[ "$listed" = "$expected" ] || fail "archive holds:
$listed"

# Modes and owners, as `tar -tv` shows them: "MODE OWNER/GROUP SIZE ... PATH".
while read -r mode owner _ _ _ path; do
  case $path in
    murlen-monitor/ | murlen-monitor/murlen-monitor) want=rwxr-xr-x ;;
    *) want=rw-r--r-- ;;
  esac
  [ "${mode:1}" = "$want" ] || fail "$path has mode $mode"
  [ "$owner" = 0/0 ] || fail "$path is owned by $owner"
done < <(tar -tvz --numeric-owner -f "$name")

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar -C "$unpacked" -xzf "$name"
cmp "$unpacked/murlen-monitor/LICENSE" "$source_dir/LICENSE" || fail "LICENSE differs"
cmp "$unpacked/murlen-monitor/README.md" "$source_dir/README.md" || fail "README.md differs"

# With no input the monitor answers nothing and ends with status 0.
out=$(timeout 20 "$unpacked/murlen-monitor/murlen-monitor" </dev/null) ||
  fail "the packed executable ended with status $?"
[ -z "$out" ] || fail "the packed executable wrote: $out"
echo "ok: $name"
