#!/usr/bin/env bash
# Checks a board package index that board_package.py fill made: the index,
# platform.txt and boards.txt agree, every archive of ours verifies
# (board_package.py check, whose options follow the index), then the index
# against the IDE's package index schemas at their strict level with
# check-package-index.py (MURLEN_INDEX_VALIDATOR; by default
# ../shared/tools/check-package-index.py beside the clone; it needs
# python3-jsonschema). Ends with one line that says whether the schema check
# ran, and why not:
#   schema: INDEX valid at the strict level
#   schema: NOT CHECKED: REASON
#
#   packaging/check-board-package.sh INDEX [board_package.py check options]
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
index=$1
shift
# /usr/bin/python3: Debian's, which has python3-jsonschema.
/usr/bin/python3 "$source_dir/packaging/board_package.py" check "$@" "$index"
validator=${MURLEN_INDEX_VALIDATOR:-$source_dir/../shared/tools/check-package-index.py}
if [ ! -f "$validator" ]; then
  echo "schema: NOT CHECKED: no $validator (set MURLEN_INDEX_VALIDATOR to the schema checker)"
elif ! /usr/bin/python3 -c 'import jsonschema' 2>/dev/null; then
  echo "schema: NOT CHECKED: python3-jsonschema is not installed (apt-get install python3-jsonschema)"
else
  /usr/bin/python3 "$validator" --strict "$index" | sed 's/^/  /'
  echo "schema: $index valid at the strict level"
fi
