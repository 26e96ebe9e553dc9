#!/usr/bin/env bash
# scripts/run --help (and -h) prints the script's own options at once: within a second (the best of
# three runs, so that one stall of a loaded machine does not count), exit status 0, without setup
# or a build. The script runs from a copy of the tree's scripts whose setup, and a cmake and ninja
# found first on the PATH, only record that they were called, so a script that builds is caught
# without building anything.
#   run_help_test.sh <source folder>
set -uo pipefail
root=$1
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
mkdir -p "$copy/scripts" "$copy/bin"
cp "$root/scripts/run" "$copy/scripts/run"
for stub in scripts/setup bin/cmake bin/ninja; do
    printf '#!/bin/sh\necho "%s" >>"%s/called"\n' "$stub" "$copy" >"$copy/$stub"
    chmod +x "$copy/$stub"
done
export PATH="$copy/bin:$PATH"
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

for option in --help -h; do
    best=
    for _ in 1 2 3; do
        start=$(date +%s%N)
        "$copy/scripts/run" "$option" >"$copy/out" 2>&1
        status=$?
        took=$((($(date +%s%N) - start) / 1000000))
        [[ -z "$best" || $took -lt $best ]] && best=$took
    done
    [[ $status -eq 0 ]] || fail "scripts/run $option exited with status $status"
    ((best < 1000)) || fail "scripts/run $option took $best ms"
    head -n 1 "$copy/out" | grep -q "^usage: scripts/run " || fail "scripts/run $option printed no usage line"
    # The text as one line, wherever it wraps.
    text=$(tr -s ' \n' '  ' <"$copy/out")
    for words in --demo --conversion "--build DIR" --help "graphical session" "first run builds for a few minutes"; do
        [[ "$text" == *"$words"* ]] || fail "scripts/run $option does not say '$words'"
    done
done
[[ ! -e "$copy/called" ]] || fail "scripts/run --help ran $(sort -u "$copy/called" | tr '\n' ' ')"
[[ ! -e "$copy/build" ]] || fail "scripts/run --help made a build folder"

if [[ $failed -ne 0 ]]; then
    echo "--- what scripts/run $option printed"
    cat "$copy/out"
    exit 1
fi
echo "scripts/run --help and -h printed the script's options in $best ms or less, without a build"
