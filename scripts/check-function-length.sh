#!/usr/bin/env bash
# Lists the functions longer than a limit (80 lines unless
# --limit says otherwise) in the C++ files (*.cpp, *.h) of the given folders,
# by default every source layer. A function's length is the number of its
# lines from the first line of its header to its closing brace, blank and
# comment lines included.
#
#   bash scripts/check-function-length.sh [--limit LINES] [FOLDER...]
#
# Prints "file:line: name has N lines" for each such function (the line of its
# header) and fails (exit status 1) when there is one.
#
# The scan removes comments, string and character literals (raw strings too)
# and preprocessor lines, then follows the braces. An opening brace outside any
# function whose header ends in a parameter list (after qualifiers such as
# const, noexcept, override or a trailing return type) opens a function, a
# lambda at namespace scope included; the braces of namespaces, classes,
# enumerations and initialisers are only followed. Functions defined inside a
# class body count on their own.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=80
folders=()
while (($#)); do
    case $1 in
        --limit)
            [[ $# -ge 2 && $2 =~ ^[0-9]+$ ]] || { echo "usage: $0 [--limit LINES] [FOLDER...]" >&2; exit 2; }
            limit=$2
            shift 2
            ;;
        -h | --help)
            sed -n '2,11s/^# \{0,1\}//p' "$0"
            exit 0
            ;;
        -*)
            echo "usage: $0 [--limit LINES] [FOLDER...]" >&2
            exit 2
            ;;
        *)
            folders+=("${1%/}")
            shift
            ;;
    esac
done
if ((${#folders[@]} == 0)); then
    for d in xu runtime numerics kernel models project tools main; do [[ -d $d ]] && folders+=("$d"); done
fi
for d in "${folders[@]}"; do
    [[ -e $d ]] || { echo "$0: no folder $d" >&2; exit 2; }
done

mapfile -t files < <(find "${folders[@]}" -type f \( -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort)
((${#files[@]})) || { echo "Function length check passed: no C++ files in ${folders[*]}"; exit 0; }

report=$(awk -v limit="$limit" '
function reset_file() {
    in_comment = 0; in_raw = 0; raw_end = ""; continued = 0
    depth = 0; function_depth = 0; pending = ""; pending_line = 0
}
# The text of a header after its qualifiers are cut: it ends in ")" when the
# brace that follows opens a function.
function strip_qualifiers(t,    changed) {
    changed = 1
    while (changed) {
        changed = 0
        sub(/[ \t]+$/, "", t)
        if (match(t, /->[^()]*$/) && index(substr(t, 1, RSTART - 1), ")")) { t = substr(t, 1, RSTART - 1); changed = 1; continue }
        if (match(t, /(const|volatile|noexcept|override|final|mutable|&&|&)$/)) {
            if (RSTART == 1 || substr(t, RSTART - 1, 1) ~ /[^A-Za-z0-9_]/ || substr(t, RSTART, 1) == "&") {
                t = substr(t, 1, RSTART - 1); changed = 1; continue
            }
        }
        if (t ~ /\)$/) {
            # noexcept(...) is a qualifier, not the parameter list.
            open = matching_open(t)
            if (open > 0 && substr(t, 1, open - 1) ~ /noexcept[ \t]*$/) {
                t = substr(t, 1, open - 1); sub(/noexcept[ \t]*$/, "", t); changed = 1
            }
        }
    }
    return t
}
# Position of the "(" that matches the ")" ending t, 0 when there is none.
function matching_open(t,    i, c, level) {
    level = 0
    for (i = length(t); i > 0; i--) {
        c = substr(t, i, 1)
        if (c == ")") level++
        else if (c == "(") { level--; if (level == 0) return i }
    }
    return 0
}
# A constructor header keeps its member initialisers after a single ":" that
# follows the parameter list; the header proper ends before it. "" when the
# brace that follows belongs to an initialiser.
function cut_initialisers(t,    i, c, level, before, tail) {
    level = 0
    for (i = 1; i <= length(t); i++) {
        c = substr(t, i, 1)
        if (c == "(") level++
        else if (c == ")") level--
        else if (c == ":" && level == 0 && substr(t, i + 1, 1) != ":" && substr(t, i - 1, 1) != ":") {
            before = substr(t, 1, i - 1)
            sub(/[ \t]+$/, "", before)
            if (before ~ /\)$/ || before ~ /noexcept$/) {
                # The brace of an initialiser such as "value_{v}" opens no body.
                tail = substr(t, i + 1)
                sub(/[ \t]+$/, "", tail)
                return tail ~ /[)}]$/ ? before : ""
            }
        }
    }
    return t
}
# The function a header names, or "" when the brace after it opens none.
function function_name(t,    open, before) {
    if (t ~ /^[ \t]*(namespace|class|struct|union|enum)([^A-Za-z0-9_]|$)/ || t ~ /^[ \t]*extern[ \t]*""[ \t]*$/) return ""
    if (t ~ /(^|[^A-Za-z0-9_])(class|struct|union|enum)[ \t]+[A-Za-z_][A-Za-z0-9_]*[^()]*$/) return ""
    t = strip_qualifiers(cut_initialisers(t))
    if (t !~ /\)$/) return ""
    open = matching_open(t)
    if (open == 0) return ""
    before = substr(t, 1, open - 1)
    sub(/[ \t]+$/, "", before)
    if (before ~ /\]$/) return "lambda"
    if (match(before, /operator[ \t]*[^A-Za-z0-9_ \t]+$/) || match(before, /operator[ \t]*\(\)$/)) return substr(before, RSTART)
    if (!match(before, /[A-Za-z_~][A-Za-z0-9_:~]*$/)) return ""
    before = substr(before, RSTART)
    if (before ~ /^(if|for|while|switch|catch|return|sizeof|decltype|alignof|requires)$/) return ""
    return before
}
function add_pending(c) {
    if (pending == "" && c ~ /[ \t]/) return
    if (pending == "") pending_line = FNR
    pending = pending c
}
function open_brace(    name) {
    depth++
    if (function_depth) return
    name = function_name(pending)
    if (name != "") {
        function_depth = depth; function_name_now = name
        function_line = pending_line
        pending = ""
        return
    }
    # Initialisers and default arguments stay part of the header around them.
    saved[depth] = pending
    pending = ""
}
function close_brace(    length_lines) {
    if (function_depth && depth == function_depth) {
        length_lines = FNR - function_line + 1
        if (length_lines > limit) printf "%s:%d: %s has %d lines\n", FILENAME, function_line, function_name_now, length_lines
        function_depth = 0
        pending = ""
    } else if (!function_depth) {
        if (saved[depth] ~ /^[ \t]*namespace([^A-Za-z0-9_]|$)/ || saved[depth] ~ /^[ \t]*extern[ \t]*""[ \t]*$/) pending = ""
        else pending = saved[depth] "{}"
        delete saved[depth]
    }
    depth--
}
FNR == 1 { reset_file() }
{
    line = $0
    if (!in_comment && !in_raw) {
        if (continued) { continued = (line ~ /\\$/); next }
        if (line ~ /^[ \t]*#/) { continued = (line ~ /\\$/); next }
    }
    n = length(line)
    i = 1
    while (i <= n) {
        c = substr(line, i, 1)
        if (in_comment) {
            if (c == "*" && substr(line, i + 1, 1) == "/") { in_comment = 0; i += 2 } else i++
            continue
        }
        if (in_raw) {
            k = index(substr(line, i), raw_end)
            if (k == 0) { i = n + 1; continue }
            i += k - 1 + length(raw_end); in_raw = 0; add_pending("\"\""); continue
        }
        if (c == "/" && substr(line, i + 1, 1) == "/") break
        if (c == "/" && substr(line, i + 1, 1) == "*") { in_comment = 1; i += 2; continue }
        if (c == "\"") {
            if (i > 1 && substr(line, i - 1, 1) == "R" && (i == 2 || substr(line, 1, i - 2) ~ /(^|[^A-Za-z0-9_])(u8|u|U|L)?$/)) {
                k = index(substr(line, i + 1), "(")
                raw_end = ")" substr(line, i + 1, k - 1) "\""
                in_raw = 1; i += k + 1; continue
            }
            for (j = i + 1; j <= n; j++) {
                d = substr(line, j, 1)
                if (d == "\\") j++
                else if (d == "\"") break
            }
            add_pending("\"\""); i = j + 1; continue
        }
        if (c == "\047") {
            # A quote inside a number separates digits.
            if (i > 1 && match(substr(line, 1, i - 1), /[A-Za-z0-9_.]+$/) && substr(line, RSTART, 1) ~ /[0-9]/) { i++; continue }
            for (j = i + 1; j <= n; j++) {
                d = substr(line, j, 1)
                if (d == "\\") j++
                else if (d == "\047") break
            }
            add_pending("c"); i = j + 1; continue
        }
        if (c == "{") { open_brace(); i++; continue }
        if (c == "}") { close_brace(); i++; continue }
        if (c == ";") { if (!function_depth) pending = ""; i++; continue }
        if (!function_depth) add_pending(c)
        i++
    }
    if (!function_depth) add_pending(" ")
}
' "${files[@]}")

if [[ -n $report ]]; then
    echo "$report"
    echo "Function length check failed: $(wc -l <<<"$report") functions over $limit lines in ${folders[*]}" >&2
    exit 1
fi
echo "Function length check passed: no function over $limit lines in ${folders[*]}"
