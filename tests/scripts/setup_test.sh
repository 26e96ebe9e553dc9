#!/usr/bin/env bash
# scripts/setup installs the missing packages as root with apt-get, as an ordinary user through
# sudo, and with neither fails with one message on stderr that names the missing packages and the
# command to run as root; with nothing missing it does nothing. The script runs with a PATH of
# stubs only: dpkg-query reports the packages a case names as missing, id -u answers the case's
# user, and apt-get and sudo only record how they were called, so nothing is installed.
#   setup_test.sh <source folder>
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

stubs="$work/stubs"
mkdir -p "$stubs"
for tool in bash grep; do ln -s "$(command -v "$tool")" "$stubs/$tool"; done
cat >"$stubs/dpkg-query" <<'EOF'
#!/bin/sh
for package; do :; done
case " $STUB_MISSING " in
*" $package "*) printf 'unknown ok not-installed'; exit 1 ;;
esac
printf 'install ok installed'
EOF
printf '#!/bin/sh\necho "$STUB_UID"\n' >"$stubs/id"
printf '#!/bin/sh\necho "apt-get $*" >>"$STUB_CALLS"\n' >"$stubs/apt-get"
printf '#!/bin/sh\necho "sudo $*" >>"$STUB_CALLS"\n' >"$stubs/sudo.stub"
chmod +x "$stubs/dpkg-query" "$stubs/id" "$stubs/apt-get" "$stubs/sudo.stub"

install="install -y -qq --no-install-recommends libgtest-dev socat"
# case | user id | sudo on the PATH | missing packages | exit status | calls, ";"-separated | on stderr
cases=(
    "ordinary user without sudo|1000|no|socat libgtest-dev|1||apt-get install libgtest-dev socat"
    "ordinary user with sudo|1000|yes|socat libgtest-dev|0|sudo apt-get update -qq;sudo apt-get $install|"
    "root|0|yes|socat libgtest-dev|0|apt-get update -qq;apt-get $install|"
    "nothing missing, without sudo|1000|no||0||"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name uid sudo missing status calls message <<<"$row"
    rm -f "$stubs/sudo" "$work/calls"
    [[ $sudo == yes ]] && ln -s sudo.stub "$stubs/sudo"
    STUB_UID=$uid STUB_MISSING=$missing STUB_CALLS="$work/calls" PATH="$stubs" \
        "$root/scripts/setup" >"$work/out" 2>"$work/err"
    got=$?
    [[ $got -eq $status ]] || fail "$name: exit status $got, expected $status"
    recorded=$(paste -sd ';' "$work/calls" 2>/dev/null)
    [[ "$recorded" == "$calls" ]] || fail "$name: called '$recorded', expected '$calls'"
    if [[ -n "$message" ]]; then
        # One message, on stderr only, naming every missing package and the command for root.
        [[ ! -s "$work/out" ]] || fail "$name: printed on stdout: $(cat "$work/out")"
        text=$(cat "$work/err")
        for words in "missing" "libgtest-dev socat" "root" "$message"; do
            [[ "$text" == *"$words"* ]] || fail "$name: stderr does not say '$words'"
        done
        [[ "$text" != *"not found"* ]] || fail "$name: a command was not found"
    elif [[ $status -eq 0 && -z "$calls" ]]; then
        [[ ! -s "$work/out" && ! -s "$work/err" ]] || fail "$name: printed $(cat "$work/out" "$work/err")"
    fi
    if [[ $failed -ne 0 ]]; then
        echo "--- what scripts/setup printed ($name)"
        cat "$work/out" "$work/err"
        exit 1
    fi
done
echo "scripts/setup installs as root or through sudo, and names the command for root without either"
