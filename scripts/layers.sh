#!/bin/sh
# SPDX-FileCopyrightText: the probo-colvo authors
# SPDX-License-Identifier: BSD-2-Clause
# layers.sh [SOURCE_DIR [BUILD_DIR]]: checks the layering of the product's
# code. Each folder may include only from itself and the folders below it:
#
#   lib <- standin <- platform/FreeBSD <- probo
#   lib <- colvo (the daemon and its core) <- tools/mkrrd, tools/graph,
#                                              tools/top, tools/export
#   lib <- tools/lines (reading colvo's lines) <- tools/top, tools/export
#
# and lib's own rooms, each above the ones before it:
#
#   lib/daemon (plumbing) <- lib/wire (what travels, and the catalogue of
#   stream types it is made of) <- lib/records (the configuration records)
#   <- lib/configfile (the configuration language, read into records)
#
# and the files of one folder (a file with its header, x.cpp and x.h, is one
# file here; a program's main file is one of its own, as the header of the
# same name serves the program's other files) never reach each other in a circle, neither by their includes
# nor, with BUILD_DIR, by the functions their compiled objects call of each
# other (a header shared by several files hides those). tests/, bench/ and
# fuzz/ stand above everything and are not checked. Prints each fault;
# status 1 when there is one.
set -eu
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
build=${2:-}
cd "$top"

# folder and the folders it may include from, itself first
lib='lib/configfile lib/records lib/wire lib/daemon'
LAYERS="lib/daemon lib/daemon
lib/wire lib/wire lib/daemon
lib/records lib/records lib/wire lib/daemon
lib/configfile lib/configfile lib/records lib/wire lib/daemon
standin standin $lib
platform/FreeBSD platform/FreeBSD standin $lib
probo probo platform/FreeBSD standin $lib
colvo colvo $lib
tools/lines tools/lines $lib
tools/mkrrd tools/mkrrd colvo $lib
tools/graph tools/graph colvo $lib
tools/top tools/top tools/lines colvo $lib
tools/export tools/export tools/lines colvo $lib"

folders=$(echo "$LAYERS" | cut -d' ' -f1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every file of the product, by its path from the top.
for f in $folders; do
    [ -d "$f" ] || continue
    find "$f" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.h.in' -o -name '*.proto' \)
done | sort >"$work/files"

# include edges: "kind from to evidence", the file a name means found as the
# compiler would (beside the includer, else in a folder of the product).
while read -r file; do
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file" |
        while read -r name; do
        dir=$(dirname "$file")
        case $name in config.h) name=config.h.in ;; *.pb-c.h) name=${name%.pb-c.h}.proto ;; esac
        if [ -f "$dir/$name" ]; then
            echo "include $file $dir/$name $name"
        else
            found=$(grep -E "(^|/)$name\$" "$work/files" | head -1 || true)
            echo "include $file ${found:-?} $name"
        fi
    done
done <"$work/files" >"$work/edges"

# call edges: an object that needs a function another object defines. Only
# C++ names count: C names are the platform's interfaces, which the
# stand-in answers on Linux for anyone who calls them.
if [ -n "$build" ]; then
    find "$build" -path '*/CMakeFiles/*.dir/*.o' | while read -r object; do
            rel=${object#"$build"/}
            case $rel in tests/* | bench/* | fuzz/*) continue ;; esac
            source=$(echo "$rel" | sed 's#/CMakeFiles/[^/]*\.dir/#/#; s#\.o$##')
            [ -f "$source" ] || continue
            nm -P "$object" 2>/dev/null | awk -v src="$source" '
                $1 ~ /^_Z/ && $2 == "U" { print "need", src, $1 }
                $1 ~ /^_Z/ && $2 ~ /^[TDBR]$/ { print "have", src, $1 }'
        done | sort -u >"$work/symbols"
    awk '$1 == "have" { owner[$3] = $2 }
         $1 == "need" && ($3 in owner) && owner[$3] != $2 { print "call", $2, owner[$3], $3 }' \
        "$work/symbols" >>"$work/edges"
fi

echo "$LAYERS" >"$work/layers"
grep -l '^int main(' $(cat "$work/files") >"$work/mains" || true
awk '
function folder_of(path,   best, f) {
    best = ""
    for (f in allowed_row)
        if (index(path, f "/") == 1 && length(f) > length(best))
            best = f
    return best
}
# x.cpp and x.h are one file: the folder and the name without its suffix.
function room_of(path) {
    if (path in mains)
        return path
    sub(/\.h\.in$/, "", path)
    sub(/\.(cpp|h)$/, "", path)
    return path
}
FILENAME ~ /mains$/ {
    mains[$1] = 1
    next
}
FILENAME ~ /layers$/ {
    allowed_row[$1] = 1
    for (i = 2; i <= NF; i++)
        allowed[$1, $i] = 1
    next
}
{
    kind = $1; from = $2; to = $3; what = $4
    if (to == "?") {
        printf "unknown include: %s includes \"%s\", which is no file of the product\n", from, what
        faults++
        next
    }
    a = folder_of(from); b = folder_of(to)
    if (!((a, b) in allowed)) {
        printf "%s across the layers: %s (%s) %s %s (%s): %s\n", kind, from, a,
               kind == "include" ? "includes" : "calls", to, b, what
        faults++
    }
    if (a != b)
        next
    x = room_of(from); y = room_of(to)
    if (x == y)
        next
    nodes[a, x] = 1; nodes[a, y] = 1
    if (!((x, y) in reach)) {
        reach[x, y] = 1
        why[x, y] = kind " " what
    }
}
END {
    # the rooms of each folder, then which reach which
    for (key in nodes) {
        split(key, part, SUBSEP)
        members[part[1]] = members[part[1]] " " part[2]
    }
    for (f in members) {
        n = split(substr(members[f], 2), room, " ")
        for (i = 1; i <= n; i++)
            for (j = 1; j <= n; j++)
                if ((room[i], room[j]) in reach)
                    closed[room[i], room[j]] = 1
        for (k = 1; k <= n; k++)
            for (i = 1; i <= n; i++)
                for (j = 1; j <= n; j++)
                    if ((room[i], room[k]) in closed && (room[k], room[j]) in closed)
                        closed[room[i], room[j]] = 1
        for (i = 1; i <= n; i++)
            for (j = i + 1; j <= n; j++) {
                p = room[i]; q = room[j]
                if ((p, q) in closed && (q, p) in closed) {
                    printf "circle in %s: %s and %s reach each other", f, p, q
                    if ((p, q) in reach)
                        printf " (%s -> %s: %s)", p, q, why[p, q]
                    if ((q, p) in reach)
                        printf " (%s -> %s: %s)", q, p, why[q, p]
                    printf "\n"
                    faults++
                }
            }
    }
    exit (faults > 0)
}' "$work/mains" "$work/layers" "$work/edges" || exit 1
edges=$(wc -l <"$work/edges")
echo "layers kept: $edges includes and calls, none across the layers, no circle"
