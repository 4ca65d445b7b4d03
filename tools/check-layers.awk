# Reads the allow-list (first file), then the sources; see check-layers.sh.
# A source file is ruled by the longest folder of the list that holds it. It
# may include what lies under that folder and under the folders or files the
# rule names; a known exception allows one file one include.

function under(path, prefix) { return path == prefix || index(path, prefix "/") == 1 }

function ruleOf(path,    f, best) {
    best = ""
    for (f in allowed)
        if (under(path, f) && length(f) > length(best)) best = f
    return best
}

function layerOf(path,    f) {
    f = ruleOf(path)
    if (f != "") return f
    split(path, parts, "/")
    return parts[1]
}

FNR == NR {
    if ($0 ~ /^[ \t]*(#|$)/) next
    if ($1 == "exception:") {
        exception[$2 " " $3] = 1
        next
    }
    folder = $1
    sub(/:$/, "", folder)
    list = ""
    for (i = 2; i <= NF; ++i) list = list " " $i
    allowed[folder] = list
    next
}

FNR == 1 {
    rule = ruleOf(FILENAME)
    dir = FILENAME
    sub(/\/[^\/]*$/, "", dir)
}

rule != "" && /^[ \t]*#[ \t]*include[ \t]*"/ {
    inc = $0
    sub(/^[ \t]*#[ \t]*include[ \t]*"/, "", inc)
    sub(/".*$/, "", inc)
    if (index(inc, "/") == 0) inc = dir "/" inc
    if (under(inc, rule)) next
    n = split(allowed[rule], targets, " ")
    for (i = 1; i <= n; ++i)
        if (under(inc, targets[i])) next
    if ((FILENAME " " inc) in exception) {
        used[FILENAME " " inc] = 1
        next
    }
    printf "%s:%d: %s may not include %s (edge %s -> %s)\n", FILENAME, FNR, rule, inc, rule, layerOf(inc)
    ++bad
}

END {
    for (e in exception)
        if (!(e in used)) printf "note: known exception no longer needed: %s\n", e
    if (bad) {
        printf "%d include(s) outside the layer allow-list\n", bad
        exit 1
    }
}
