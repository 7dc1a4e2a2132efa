#!/bin/bash
# Runs a Windows program of the cross build under Wine and passes its exit
# code through: the emulator that CTest puts in front of every test command.
#
#   run-under-wine.sh PROGRAM.exe [ARGUMENTS...]
#
# WINEPREFIX and DISPLAY are used as they are when set (source wine-env.sh
# once for a whole test run: it sets both and cleans up afterwards).
# Without WINEPREFIX a private prefix under ${TMPDIR:-/tmp}/velkin-wine-UID
# is made once and kept. Without DISPLAY a virtual X display is started for
# the prefix and kept running for later runs, so that every program of the
# prefix (the program under test and the helper watching its windows) draws
# on the same screen; its process id and number are in $WINEPREFIX.xvfb.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine=${VELKIN_WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=-all
# No prompts to install Mono or Gecko while a prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX="${TMPDIR:-/tmp}/velkin-wine-$(id -u)/prefix"
fi
mkdir -p "$(dirname "$WINEPREFIX")"

if [ -z "${DISPLAY:-}" ]; then
    . "$here/xvfb.sh"
    record="$WINEPREFIX.xvfb"
    display=$(
        exec 8>"$WINEPREFIX.xvfb.lock"
        flock 8
        pid= number=
        [ -f "$record" ] && read -r pid number <"$record"
        if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null || [ ! -e "/tmp/.X11-unix/X$number" ]; then
            velkin_wine_start_xvfb || exit 1
            echo "$velkin_wine_xvfb_pid $velkin_wine_display" >"$record"
            number=$velkin_wine_display
        fi
        echo "$number"
    )
    if [ -z "$display" ]; then
        echo "run-under-wine: cannot start Xvfb" >&2
        exit 125
    fi
    export DISPLAY=:$display
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # One initialisation per prefix; the lock keeps parallel tests from racing.
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            mkdir -p "$WINEPREFIX"
            "$wine" wineboot -i >/dev/null 2>&1
            wineserver -w
        fi
    ) 9>"$WINEPREFIX.lock"
fi

exec "$wine" "$@"
