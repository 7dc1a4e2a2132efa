#!/bin/bash
# Runs a test program as an unprivileged user, for the cases where root's
# power over file permissions would hide what they check (read-only files
# and folders). Exits 77 (skipped) when that is not possible here.
#   run-unprivileged.sh PROGRAM [ARGUMENTS...]
set -u
if [ "$(id -u)" -ne 0 ]; then
    exec "$@"                      # already unprivileged
fi
command -v setpriv >/dev/null || exit 77
uid=$(id -u nobody 2>/dev/null || echo 65534)
gid=$(id -g nobody 2>/dev/null || echo 65534)
# The program must be reachable by that user.
setpriv --reuid="$uid" --regid="$gid" --clear-groups test -x "$1" || exit 77
cd /tmp && exec setpriv --reuid="$uid" --regid="$gid" --clear-groups env HOME=/tmp "$@"
