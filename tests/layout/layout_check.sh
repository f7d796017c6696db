#!/usr/bin/env bash
# The layout check on small trees made for each case: it must pass a tree that
# keeps the rules and fail, naming the file or folders, on one that breaks them.
# Usage: layout_check.sh LAYOUT_SCRIPT
set -euo pipefail
script="${1:?usage: layout_check.sh LAYOUT_SCRIPT}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# lines FILE N: a C++ file of N lines.
lines() {
    mkdir -p "$(dirname "$1")"
    : >"$1"
    for ((i = 0; i < $2; i++)); do echo "int v$i;" >>"$1"; done
}

# layers ROW...: the developer's page with the layers block, a row a line, top first.
layers() {
    mkdir -p docs
    {
        echo '# Carrying the work on'
        echo '```layers'
        printf '%s\n' "$@"
        echo '```'
    } >docs/developing.md
}

# Each case: its name, the exit status it expects, the text its output must hold,
# and the files that make its tree beside a small base of two folders. A case that
# writes no page of its own gets one with `high` on top, `low` at the bottom and
# every other folder of its tree between them.
failures=0
check() {
    local name="$1" want="$2" says="$3"
    shift 3
    local tree="$work/$name"
    mkdir -p "$tree/low" "$tree/high"
    echo 'int low;' >"$tree/low/low.h"
    printf '#include "low/low.h"\n' >"$tree/high/high.cpp"
    (cd "$tree" && "$@")
    if [ ! -f "$tree/docs/developing.md" ]; then
        local others
        others=$(cd "$tree" && for d in */; do
            d="${d%/}"
            case "$d" in high | low | tests | docs) continue ;; esac
            if [ -n "$(find "$d" -name '*.cpp' -o -name '*.h' | head -1)" ]; then
                printf '%s ' "$d"
            fi
        done)
        (cd "$tree" && layers high "$others" low)
    fi
    local got=0
    bash "$script" "$tree" 100 600 >"$tree.out" 2>&1 || got=$?
    if [ "$got" != "$want" ] || ! grep -qF -- "$says" "$tree.out"; then
        echo "FAIL: $name: exit $got (want $want), output without '$says':" >&2
        sed 's/^/    /' "$tree.out" >&2
        failures=$((failures + 1))
    else
        echo "ok: $name"
    fi
}

check "a tree within the rules" 0 "none" true
check "a file at the bound" 0 "none" lines low/edge.cpp 600
check "a new file over the bound" 1 "low/long.cpp has 601 lines" lines low/long.cpp 601
check "a header over the bound" 1 "high/long.h has 700 lines" lines high/long.h 700
check "a page script over the bound" 1 "web/page/app.js has 601 lines" \
    eval 'lines web/page/app.js 601 && lines web/server.cpp 10'
# The files that were over the bound when it came have been split: none of them
# is let through any more, at its old length or shorter.
check "a split file back at its old length" 1 "scpi/instrument.cpp has 1098 lines" \
    lines scpi/instrument.cpp 1098
check "a split file back over, shorter" 1 "ctl/tool.cpp has 650 lines" lines ctl/tool.cpp 650
check "a split window back over" 1 "bus/buswindow.cpp has 741 lines" lines bus/buswindow.cpp 741
check "a split file within the bound" 0 "none" lines scpi/instrument.cpp 300
check "tests and benchmarks aside" 0 "none" \
    eval 'lines tests/x/tst_x.cpp 900 && lines bench/b.cpp 900 && lines fuzz/f.cpp 900'
check "a loop between folders" 1 "round a loop" \
    eval 'printf "#include \"high/high.h\"\n" >low/loop.cpp && echo "int h;" >high/high.h'

# The layers as the page draws them: only its `layers` block counts, remarks and
# blank lines aside; an include runs down only, never up nor within a layer.
fence='```'
remarked_layers() {
    mkdir -p mid docs
    printf '#include "low/low.h"\n' >mid/mid.cpp
    printf '%s\n' "${fence}sh" "low" "$fence" "${fence}layers" "high  # the top" "" \
        "mid" "# a remark" "low" "$fence" "after the block" >docs/developing.md
}
check "layers with remarks" 0 "layers: 3" remarked_layers
check "an include up the layers" 1 "mid/up.cpp:2 includes from high/, which is not below mid" \
    eval 'mkdir -p mid && printf "// up\n#include \"high/high.h\"\n" >mid/up.cpp &&
          layers high mid low'
check "an include within a layer" 1 "high/high.cpp:1 includes from low/, which is not below high" \
    layers "high low"
check "a folder in no layer" 1 "extra is in no layer" \
    eval 'mkdir -p extra && echo "int x;" >extra/x.cpp && layers high low'
check "a layer naming no folder" 1 "names gone, which is no folder" layers high gone low
check "a folder in two layers" 1 "low is in two layers" layers low high low
check "a page without layers" 1 "has no layers block" \
    eval 'mkdir -p docs && echo "# Carrying the work on" >docs/developing.md'

# Each folder's code in one namespace named for it; another folder's namespace
# opened only to declare its names ahead. Each row: the case, the exit status, what
# the output says, then the file and its text.
namespace_rows=(
    "its folder's namespace|0|none|low/a.h|namespace low {\nint a();\nnamespace reg {\nint r;\n}\n} // namespace low\n"
    "nested by a qualified name|0|none|low/b.h|namespace low::detail {\nint b();\n}\n"
    "declarations ahead|0|none|high/h.h|namespace low {\nclass A;\nstruct B;\nenum class C : int;\ntemplate <typename T> class D;\n} // namespace low\nnamespace high {\nclass H {};\n}\n"
    "outside every namespace|0|none|high/main.cpp|namespace {\nint helper() { return 1; }\n}\nint main() { return helper(); }\n"
    "alias and using-directive|0|none|high/u.cpp|namespace mb = low;\nusing namespace low;\nnamespace high {\nint u();\n}\n"
    "words in comments and strings|0|none|high/c.cpp|// namespace supply { int x; }\n/* namespace supply {\nint y; } */\nconst char *s = \"namespace supply { int z; }\";\n#define OPEN namespace supply {\nnamespace high {\nint c;\n}\n"
    "tests aside|0|none|tests/x/tst_x.cpp|namespace supply {\nint x;\n}\n"
    "code in a retired namespace|1|high/old.cpp:2 defines code in namespace supply, not high|high/old.cpp|// old\nnamespace supply {\nint f() { return 1; }\n} // namespace supply\n"
    "code in another folder's namespace|1|high/bad.h:1 defines code in namespace low, not high|high/bad.h|namespace low {\nclass A {};\n}\n"
    "a second namespace beside the folder's|1|low/two.h:4 defines code in namespace other, not low|low/two.h|namespace low {\nint a;\n}\nnamespace other {\nint b;\n}\n"
    "a declaration ahead beside code|1|high/mix.h:1 defines code in namespace low, not high|high/mix.h|namespace low {\nclass A;\nint helper();\n}\n"
    "another folder's by a qualified name|1|high/q.h:1 defines code in namespace low, not high|high/q.h|namespace low::deep {\nint x;\n}\n"
    "a function's body after a brace in a string|1|high/s.cpp:2 defines code in namespace low, not high|high/s.cpp|const char *open = \"{\";\nnamespace low {\nint f() { return '}'; }\n}\n"
)
for row in "${namespace_rows[@]}"; do
    IFS='|' read -r name want says file text <<<"$row"
    # shellcheck disable=SC2016
    check "$name" "$want" "$says" \
        bash -c 'mkdir -p "$(dirname "$0")" && printf "%b" "$1" >"$0"' "$file" "$text"
done

if [ "$failures" != 0 ]; then
    echo "$failures case(s) failed" >&2
    exit 1
fi
