#!/usr/bin/env bash
# The tree's layout: every folder of code and the folders it includes from, read
# from its `#include "folder/..."` lines. Fails when two folders include one
# another, directly or round a loop, when one folder holds more than MAX_SHARE
# percent of the code's lines, or when a file of the programs (tests, benchmarks,
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
