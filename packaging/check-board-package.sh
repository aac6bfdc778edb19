#!/usr/bin/env bash
# Checks the example board package that scripts/release.sh made in OUT:
# packaging/board_package.py check (the index, platform.txt and boards.txt
# agree; every archive's size and checksum), then the index against the IDE's
# package index schemas with ../shared/tools/check-package-index.py, where that
# tool lies beside the clone (it needs python3-jsonschema).
#
#   packaging/check-board-package.sh OUT [board_package.py check options]
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$1
shift
# /usr/bin/python3: Debian's, which has python3-jsonschema.
/usr/bin/python3 "$source_dir/packaging/board_package.py" check "$@" "$out/package_murlen_index.json"
validator=$source_dir/../shared/tools/check-package-index.py
if [ -f "$validator" ]; then
  /usr/bin/python3 "$validator" "$out/package_murlen_index.json"
else
  echo "skipped the schema check: no $validator"
fi
