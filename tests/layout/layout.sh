#!/usr/bin/env bash
# The tree's layout: every folder of code and the folders it includes from, read
# from its `#include "folder/..."` lines. Fails when a folder includes from one
# that is not below it in the layers that docs/developing.md draws (its fenced
# `layers` block, top first), when a folder is in no layer or a layer names no
# folder, when two folders include one another, directly or round a loop, when a
# file defines code in a top-level namespace other than its folder's (declarations
# ahead aside), when one folder holds more than MAX_SHARE percent of the code's
# lines, or when a file of the programs (tests, benchmarks,
# fuzz targets and scripts aside) has more than MAX_LINES lines. Prints the folder
# graph and the files still over the bound either way.
# Usage: layout.sh SOURCE_ROOT [MAX_SHARE] [MAX_LINES]
set -euo pipefail
root="${1:?usage: layout.sh SOURCE_ROOT [MAX_SHARE] [MAX_LINES]}"
max_share="${2:-15}"
max_lines="${3:-600}"
cd "$root"

# Folders of code: the top-level folders holding C++ files, tests and build trees aside.
folders=()
for dir in */; do
    dir="${dir%/}"
    case "$dir" in
    tests | build* | .*) continue ;;
    esac
    if [ -n "$(find "$dir" -name '*.cpp' -o -name '*.h' | head -1)" ]; then
        folders+=("$dir")
    fi
done

total=0
declare -A lines
for dir in "${folders[@]}"; do
    n=$(find "$dir" \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | wc -l)
    lines[$dir]=$n
    total=$((total + n))
done

failed=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
echo "folder graph (lines, share of ${total}: the folders it includes from)"
for dir in "${folders[@]}"; do
    deps=$(find "$dir" \( -name '*.cpp' -o -name '*.h' \) -print0 |
        xargs -0 sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([A-Za-z0-9_]*\)\/.*/\1/p' |
        sort -u)
    used=()
    for dep in $deps; do
        if [ "$dep" != "$dir" ] && [ -n "${lines[$dep]+set}" ]; then
            used+=("$dep")
            echo "$dep $dir" >>"$edges"
        fi
    done
    share=$((lines[$dir] * 1000 / total))
    printf '  %-10s %6d %3d.%d %%  -> %s\n' "$dir" "${lines[$dir]}" $((share / 10)) $((share % 10)) \
        "${used[*]:-}"
    if [ $((lines[$dir] * 100)) -gt $((total * max_share)) ]; then
        echo "FAIL: $dir holds more than ${max_share} % of the code" >&2
        failed=1
    fi
    # Every folder is a node, also one that includes none.
    echo "$dir $dir" >>"$edges"
done

# The layers, top first, one a line, from the fenced `layers` block of the
# developer's page; a `#` starts a remark. A folder includes only from folders on
# lines below its own: not from its own line, nor from above.
layers_doc=docs/developing.md
declare -A layer_of
depth=0
if [ -f "$layers_doc" ]; then
    while IFS= read -r row; do
        row="${row%%#*}"
        [ -n "${row//[[:space:]]/}" ] || continue
        depth=$((depth + 1))
        for name in $row; do
            if [ -n "${layer_of[$name]+set}" ]; then
                echo "FAIL: $name is in two layers of $layers_doc" >&2
                failed=1
            fi
            layer_of[$name]=$depth
        done
    done < <(awk '/^```layers[[:space:]]*$/ { on = 1; next } on && /^```/ { exit } on' "$layers_doc")
fi
if [ "$depth" = 0 ]; then
    echo "FAIL: $layers_doc has no layers block (\`\`\`layers, top first) drawing the folders" >&2
    failed=1
else
    echo "layers: $depth, top first as $layers_doc draws them"
    for dir in "${folders[@]}"; do
        if [ -z "${layer_of[$dir]+set}" ]; then
            echo "FAIL: $dir is in no layer of $layers_doc: place it" >&2
            failed=1
        fi
    done
    for name in "${!layer_of[@]}"; do
        if [ -z "${lines[$name]+set}" ]; then
            echo "FAIL: a layer of $layers_doc names $name, which is no folder of code" >&2
            failed=1
        fi
    done
    # Every include from another folder of code, with its file and line.
    for dir in "${folders[@]}"; do
        [ -n "${layer_of[$dir]+set}" ] || continue
        while IFS=: read -r file at dep; do
            if [ "$dep" = "$dir" ] || [ -z "${layer_of[$dep]+set}" ]; then
                continue
            fi
            if [ "${layer_of[$dep]}" -le "${layer_of[$dir]}" ]; then
                echo "FAIL: $file:$at includes from $dep/, which is not below $dir in the layers" >&2
                failed=1
            fi
        done < <(find "$dir" \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z |
            xargs -0 grep -Hn '' /dev/null |
            sed -n 's/^\([^:]*\):\([0-9]*\):[[:space:]]*#[[:space:]]*include[[:space:]]*"\([A-Za-z0-9_]*\)\/.*/\1:\2:\3/p')
    done
fi

# Every folder defines its code in one top-level namespace named for it; another
# folder's namespace is opened only to declare its names ahead (`class X;`).
# Comments, strings and preprocessor lines are read past; code outside every
# namespace (main, an anonymous namespace) is left alone.
read -r -d '' namespace_check <<'AWK' || true
# The text with comments, strings and preprocessor lines blanked, newlines kept.
{ text = text $0 "\n" }
function clean(s,    out, i, n, c, d, state, prev, delim, e) {
    out = ""; n = length(s); state = 0; prev = ""
    for (i = 1; i <= n; i++) {
        c = substr(s, i, 1); d = substr(s, i, 2)
        if (state == 0) {
            if (d == "//") { state = 1; i++; continue }
            if (d == "/*") { state = 2; i++; continue }
            if (c == "#" && (prev == "" || prev == "\n" || atLineStart)) { state = 5; continue }
            if (c == "R" && substr(s, i + 1, 1) == "\"") {
                e = index(substr(s, i + 2), "(")
                delim = ")" substr(s, i + 2, e - 1) "\""
                e = index(substr(s, i + 2 + e), delim)
                i = i + 1 + index(substr(s, i + 2), "(") + e + length(delim) - 1
                out = out "\"\""; prev = "\""; continue
            }
            if (c == "\"") { state = 3; out = out c; prev = c; continue }
            if (c == "'" && prev !~ /[0-9]/) { state = 4; out = out c; prev = c; continue }
            if (c == "\n") atLineStart = 1
            else if (c != " " && c != "\t") atLineStart = 0
            out = out c; prev = c; continue
        }
        if (c == "\n") { out = out c; prev = c; atLineStart = 1 }
        if (state == 1) { if (c == "\n") state = 0; continue }
        if (state == 2) { if (d == "*/") { state = 0; i++ } continue }
        if (state == 5) { if (c == "\\" && substr(s, i + 1, 1) == "\n") { out = out "\n"; i++ } else if (c == "\n") state = 0; continue }
        if (c == "\\") { i++; continue }
        if ((state == 3 && c == "\"") || (state == 4 && c == "'")) { state = 0; out = out c; prev = c }
    }
    return out
}
# Whether a namespace's body declares names ahead and nothing else.
function forwardOnly(body,    n, parts, k, p) {
    gsub(/namespace[[:space:]]+[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\{/, "", body)
    gsub(/\}/, ";", body)
    if (index(body, "{") > 0 || index(body, "(") > 0 || index(body, "=") > 0) return 0
    n = split(body, parts, ";")
    for (k = 1; k <= n; k++) {
        p = parts[k]
        gsub(/[[:space:]]+/, " ", p); sub(/^ /, "", p); sub(/ $/, "", p)
        if (p == "") continue
        sub(/^template ?<[^>]*> ?/, "", p)
        if (p !~ /^(class|struct|union|enum( class| struct)?) [A-Za-z_][A-Za-z0-9_]*( ?: ?[A-Za-z_][A-Za-z0-9_: ]*)?$/)
            return 0
    }
    return 1
}
END {
    src = clean(text); n = length(src); depth = 0; line = 1; bad = 0
    for (i = 1; i <= n; i++) {
        c = substr(src, i, 1)
        if (c == "\n") { line++; continue }
        if (c == "{") { depth++; continue }
        if (c == "}") { depth--; continue }
        if (depth != 0 || c != "n" || (i > 1 && substr(src, i - 1, 1) ~ /[A-Za-z0-9_]/)) continue
        rest = substr(src, i, 400)
        if (!match(rest, /^namespace[[:space:]]+[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z_][A-Za-z0-9_]*)*[[:space:]]*\{/))
            continue
        head = substr(rest, 1, RLENGTH)
        name = head
        sub(/^namespace[[:space:]]+/, "", name); sub(/[[:space:]]*\{$/, "", name); sub(/::.*/, "", name)
        at = line
        j = i + RLENGTH; d = 1
        while (j <= n && d > 0) {
            ch = substr(src, j, 1)
            if (ch == "{") d++
            else if (ch == "}") d--
            j++
        }
        body = substr(src, i + RLENGTH, j - 1 - (i + RLENGTH))
        line += gsub(/\n/, "\n", head) + gsub(/\n/, "\n", body)
        i = j - 1
        if (name != folder && !forwardOnly(body)) {
            printf "FAIL: %s:%d defines code in namespace %s, not %s: only declarations ahead (class X;) may open another folder's\n", file, at, name, folder > "/dev/stderr"
            bad = 1
        }
    }
    exit bad
}
AWK
echo "namespaces: one a folder, named for it"
for dir in "${folders[@]}"; do
    while IFS= read -r -d '' file; do
        file="${file#./}"
        # Only a file that opens a namespace other than its folder's is read closely.
        grep -E "namespace[[:space:]]+[A-Za-z_]" "$file" |
            grep -qvE "namespace[[:space:]]+$dir([^A-Za-z0-9_]|$)" || continue
        awk -v file="$file" -v folder="$dir" "$namespace_check" "$file" || failed=1
    done < <(find "$dir" \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
done

# tsort names the folders of a loop on its error output.
if ! tsort "$edges" >/dev/null 2>"$edges.loops"; then
    echo "FAIL: folders that include one another round a loop:" >&2
    grep -v 'input contains a loop' "$edges.loops" | sed 's/^tsort: /  /' >&2
    failed=1
fi
rm -f "$edges.loops"

# Every file of the programs against the bound on its lines.
echo "files over ${max_lines} lines"
over=0
for dir in "${folders[@]}"; do
    case "$dir" in
    bench | fuzz | scripts) continue ;;
    esac
    while IFS= read -r -d '' file; do
        file="${file#./}"
        n=$(wc -l <"$file")
        if [ "$n" -le "$max_lines" ]; then
            continue
        fi
        over=1
        echo "FAIL: $file has $n lines, more than ${max_lines}: split it by its jobs" >&2
        failed=1
    done < <(find "$dir" \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.js' \
        -o -name '*.css' -o -name '*.html' \) -print0 | sort -z)
done
if [ "$over" = 0 ]; then
    echo "  none"
fi
exit $failed
