#!/usr/bin/env bash
# Lists the variables of the program's libraries that live in writable memory
# (namespace scope, class statics, function-local statics and thread-local
# variables): the candidates
# for mutable global state. Constants named kName, the compiler's guard
# words, vtables and type information, and the kinds' registrations are left
# out; what remains may be written after start-up. docs/internals.md lists those a run changes, and why
# each stays.
#
#   bash scripts/list-globals.sh [BUILD_DIR]     (default: build)
# Prints "file: symbol" lines, sorted, and their count last.
set -euo pipefail
build=${1:-build}
libraries=()
for name in nodrix nodrix_models nodrix_project nodrix_cli nodrix_link_program nodrix_chart_tool nodrix_wisdom_tool; do
  while IFS= read -r lib; do libraries+=("$lib"); done < <(find "$build" -name "lib$name.a" -not -path '*/tests/*')
done
if [ ${#libraries[@]} -eq 0 ]; then
  echo "No libraries under $build: build the project first" >&2
  exit 1
fi
# Tables of pointers the linker fills in (.data.rel.ro) are read-only once
# the program is loaded: constants too.
nm -C -A -f sysv --defined-only "${libraries[@]}" 2>/dev/null |
  awk -F'|' '$3 ~ /^ *[bBdD] *$/ && $7 !~ /\.data\.rel\.ro/ {
    at = index($1, ".o:"); file = substr($1, 1, at + 1); sub(/^.*[:\/]/, "", file)
    name = substr($1, at + 3); sub(/ +$/, "", name); print file ": " name }' |
  grep -v -E 'guard variable|vtable for|typeinfo|::k[A-Z][A-Za-z0-9]*$|::k[A-Z][A-Za-z0-9]*\[' |
  # The kinds' registrations and declarations are made while the program
  # starts and only read after.
  grep -v -E '::registrations?$|declaration_of<.*>\(\)::declaration$|catalogue\(\)::c$|forms_catalogue\(\)::list$' |
  sort -u > "${TMPDIR:-/tmp}/nodrix-globals.$$"
cat "${TMPDIR:-/tmp}/nodrix-globals.$$"
echo "$(wc -l < "${TMPDIR:-/tmp}/nodrix-globals.$$") variables in writable memory"
rm -f "${TMPDIR:-/tmp}/nodrix-globals.$$"
