#!/bin/sh
# Checks every #include "..." of the package's source folders against the
# layer allow-list and fails on an include the list does not allow.
# Usage: check-layers.sh SOURCE_DIR [ALLOW_LIST]   (default SOURCE_DIR/tools/layers.txt)
set -eu
root=$1
allow=${2:-$root/tools/layers.txt}
[ -f "$allow" ] || { echo "check-layers: no allow-list $allow" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
allow=$(cd "$(dirname "$allow")" && pwd)/$(basename "$allow")
cd "$root"
# Only the folders that have a rule are walked; tests, tools and build trees
# are not layers.
folders=$(awk '!/^[ \t]*(#|$)/ && $1 != "exception:" { sub(/:$/, "", $1); split($1, p, "/"); print p[1] }' "$allow" | sort -u)
existing=""
for f in $folders; do [ -d "$f" ] && existing="$existing $f"; done
[ -n "$existing" ] || { echo "check-layers: no source folder of the allow-list under $root" >&2; exit 2; }
# shellcheck disable=SC2086
find $existing -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) | sort |
    xargs awk -f "$here/check-layers.awk" "$allow"
