#!/bin/bash
# Runs a test program as an unprivileged user, for the cases where root's
# power over file permissions would hide what they check (read-only files
# and folders). The test command runs as root on CI, from a clone that may
# lie in a folder closed to other users (root's home): a program that user
# cannot reach is run from a copy in a folder of its own. The user is
# "nobody", or VELKIN_TEST_USER, or else a system user made for the tests.
# Exits 77 (skipped) only when no user can be switched to here.
#   run-unprivileged.sh PROGRAM [ARGUMENTS...]
set -u
if [ "$(id -u)" -ne 0 ]; then
    exec "$@"                      # already unprivileged
fi
if ! command -v setpriv >/dev/null; then
    echo "run-unprivileged: setpriv (util-linux) is missing" >&2
    exit 77
fi
user=${VELKIN_TEST_USER:-nobody}
if ! id -u "$user" >/dev/null 2>&1; then
    user=velkin-test
    if ! id -u "$user" >/dev/null 2>&1 &&
       ! useradd --system --no-create-home --shell /usr/sbin/nologin "$user" >/dev/null 2>&1; then
        echo "run-unprivileged: no unprivileged user, and none could be made" >&2
        exit 77
    fi
fi
uid=$(id -u "$user")
gid=$(id -g "$user")
as_user() { setpriv --reuid="$uid" --regid="$gid" --clear-groups "$@"; }
if ! as_user true 2>/dev/null; then
    echo "run-unprivileged: cannot switch to user $user here" >&2
    exit 77
fi

program=$1
shift
copy=
if ! as_user test -x "$program"; then
    copy=$(mktemp -d /tmp/velkin-unprivileged-XXXXXX)
    chmod 755 "$copy"
    cp "$program" "$copy/" && chmod 755 "$copy/$(basename "$program")"
    program=$copy/$(basename "$program")
    if ! as_user test -x "$program"; then
        echo "run-unprivileged: $user cannot run even a copy of the program" >&2
        rm -rf "$copy"
        exit 77
    fi
fi
cd /tmp
as_user env HOME=/tmp "$program" "$@"
status=$?
[ -z "$copy" ] || rm -rf "$copy"
exit $status
