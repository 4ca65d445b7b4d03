#!/bin/sh
# The include check on a small tree of its own: the tree passes as made, an
# upward include makes it fail naming the file, the line and the edge, and a
# sideways include between siblings fails too. Usage: fixture.sh CHECKER SCRATCH_DIR
set -u
checker=$1
tree=$2/layers-fixture
rm -rf "$tree"
mkdir -p "$tree/platform" "$tree/core" "$tree/image" "$tree/display" "$tree/analysis" "$tree/tests"
cat > "$tree/layers.txt" <<'LIST'
platform:
core: platform
image: core platform
display: image core platform
analysis: image core platform
exception: analysis/known.cpp display/view.h
LIST
printf '#pragma once\n' > "$tree/platform/files.h"
printf '#include "platform/files.h"\n#include <tcl.h>\n' > "$tree/core/runtime.h"
printf '#include "core/runtime.h"\n#include "ramimage.h"\n' > "$tree/image/ramimage.cpp"
printf '#pragma once\n' > "$tree/image/ramimage.h"
printf '#include "image/ramimage.h"\n' > "$tree/display/view.h"
printf '#include "display/view.h"\n' > "$tree/analysis/known.cpp"
printf '#include "display/view.h"\n' > "$tree/tests/free.cpp"

fail() { echo "FAIL: $*"; exit 1; }

out=$("$checker" "$tree" "$tree/layers.txt" 2>&1) || fail "the clean tree was refused: $out"

printf '#include "core/runtime.h"\n\n#include "image/ramimage.h"\n' > "$tree/core/upward.cpp"
out=$("$checker" "$tree" "$tree/layers.txt" 2>&1) && fail "an upward include passed"
[ "$out" = "core/upward.cpp:3: core may not include image/ramimage.h (edge core -> image)
1 include(s) outside the layer allow-list" ] || fail "unexpected report: $out"
rm "$tree/core/upward.cpp"

printf '#include "display/view.h"\n' > "$tree/analysis/sideways.cpp"
out=$("$checker" "$tree" "$tree/layers.txt" 2>&1) && fail "a sideways include passed"
case $out in
"analysis/sideways.cpp:1: analysis may not include display/view.h (edge analysis -> display)"*) ;;
*) fail "unexpected report: $out" ;;
esac
echo "ok"
