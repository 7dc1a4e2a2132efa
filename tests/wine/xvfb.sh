# Starting a virtual X display for programs run under Wine; sourced by
# wine-env.sh and run-under-wine.sh.

# Starts Xvfb on a free display (Xvfb picks it and reports it through
# -displayfd); sets velkin_wine_display and velkin_wine_xvfb_pid.
velkin_wine_start_xvfb() {
    local numberFile
    numberFile=$(mktemp "${TMPDIR:-/tmp}/velkin-xvfb.XXXXXX") || return 1
    # Only the number file stays open in the server: it must hold no pipe of
    # the caller (a test runner would wait for it) and no lock file.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$numberFile" </dev/null >/dev/null 2>&1 8>&- 9>&- &
    local pid=$!
    local i=0
    while [ $i -lt 200 ]; do
        if [ -s "$numberFile" ]; then
            velkin_wine_display=$(tr -dc 0-9 <"$numberFile")
            rm -f "$numberFile"
            velkin_wine_xvfb_pid=$pid
            return 0
        fi
        kill -0 $pid 2>/dev/null || break
        sleep 0.05
        i=$((i + 1))
    done
    kill $pid 2>/dev/null
    rm -f "$numberFile"
    return 1
}
