# Sets up Wine for a whole test run: a virtual X display (Xvfb) and a
# private Wine prefix, both made once and shared by every program that runs
# under Wine until velkin_wine_cleanup is called. Source it from bash.
#
#   . tests/wine/wine-env.sh      # exports DISPLAY, WINEPREFIX, WINEDEBUG
#   ... run tests ...
#   velkin_wine_cleanup           # stops wineserver and Xvfb, removes the prefix
#
# A DISPLAY or WINEPREFIX already set in the environment is used as it is
# and left alone by the cleanup.

VELKIN_WINE=${VELKIN_WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=${WINEDEBUG:--all}
# No prompts to install Mono or Gecko while the prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

velkin_wine_xvfb_pid=
velkin_wine_own_prefix=
. "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"

# Makes a Wine prefix in the given folder once (wineboot -i), then leaves it.
velkin_wine_init_prefix() {
    local prefix=$1
    if [ ! -f "$prefix/system.reg" ]; then
        mkdir -p "$prefix"
        WINEPREFIX="$prefix" "$VELKIN_WINE" wineboot -i >/dev/null 2>&1
        WINEPREFIX="$prefix" wineserver -w
    fi
}

if [ -z "${DISPLAY:-}" ]; then
    velkin_wine_start_xvfb || {
        echo "wine-env: cannot start Xvfb" >&2
        return 1 2>/dev/null || exit 1
    }
    export DISPLAY=:$velkin_wine_display
fi

if [ -z "${WINEPREFIX:-}" ]; then
    velkin_wine_own_prefix=$(mktemp -d "${TMPDIR:-/tmp}/velkin-wine.XXXXXX")
    export WINEPREFIX=$velkin_wine_own_prefix/prefix
fi
velkin_wine_init_prefix "$WINEPREFIX"

velkin_wine_cleanup() {
    if [ -n "$velkin_wine_own_prefix" ]; then
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
        rm -rf "$velkin_wine_own_prefix"
        velkin_wine_own_prefix=
    fi
    if [ -n "$velkin_wine_xvfb_pid" ]; then
        kill "$velkin_wine_xvfb_pid" 2>/dev/null
        velkin_wine_xvfb_pid=
    fi
}
