#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) and cppcheck over the project's own sources and exits
# non-zero on any finding. Builds into build-tidy first: clang-tidy reads compile_commands.json
# and needs the generated moc/ui files.
# Usage: scripts/static-analysis.sh [build-dir]   (default: build-tidy)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tidy}
folders=(app service ui cli demo-service tests benchmarks)

"$root/scripts/install-deps.sh" clang-tidy cppcheck
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DPM_BUILD_TESTS=ON -DPM_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

status=0
cd "$root"

echo "== clang-tidy"
# Only the compile database's entries under the source folders: not the generated files.
root_re=$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|]/\\&/g')
files_re="^$root_re/($(IFS='|'; echo "${folders[*]}"))/.*\.cpp$"
tidy_log=$(mktemp)
trap 'rm -f "$tidy_log"' EXIT
# g++'s warning flags in the database are unknown to clang.
tidy_status=0
run-clang-tidy -quiet -p "$build" -j "$(nproc)" -extra-arg=-Wno-unknown-warning-option \
    "$files_re" >"$tidy_log" 2>&1 || tidy_status=$?
# Leave out the per-file command lines and the counts of (mostly Qt's, suppressed) warnings.
esc=$'\e'
counts="^($esc\\[[0-9;]*m)*[0-9]+ warnings?( and [0-9]+ errors?)? generated\\.\$"
grep -vE "^clang-tidy(-[0-9]+)? |$counts" "$tidy_log" || true
if [[ $tidy_status -ne 0 ]]; then
    echo "clang-tidy: findings above" >&2
    status=1
fi

echo "== cppcheck"
includes=()
for folder in "${folders[@]}" tests/support; do
    includes+=(-I "$folder")
done
# Qt's headers are not read (--library=qt describes them), nor the generated ui_*.h/*.moc.
suppressions=(
    --suppress=missingIncludeSystem
    # ClientUnderTest's QWidget members make it non-copyable; cppcheck does not read Qt's headers.
    --suppress=noCopyConstructor:tests/support/ClientUnderTest.cpp
    --suppress=noOperatorEq:tests/support/ClientUnderTest.cpp
)
if ! cppcheck --quiet -j "$(nproc)" --std=c++17 --language=c++ \
        --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
        --library=qt --library="$root/scripts/cppcheck-qt.cfg" "${suppressions[@]}" \
        "${includes[@]}" "${folders[@]}"; then
    echo "cppcheck: findings above" >&2
    status=1
fi

if [[ $status -eq 0 ]]; then
    echo "static analysis: no findings"
fi
exit "$status"
