# Shared by the benchmark scripts that race the real program against the
# tool chain a user would otherwise run. Source it after setting 'bench'
# (the script's name, for messages) and 'build' (the native build folder).
#
#   need_programs PROGRAM...   the build's programs, or fail
#   need_tools TOOL...         tools on PATH, or fail; 'whirlpool' is then
#                              the command that digests with OpenSSL
#   work_folder BASE PREFIX    makes, enters and removes at exit the work
#                              folder; sets 'work'
#   timed COMMAND...           runs it with nothing dirty in the page cache;
#                              sets 'seconds' and 'peak' (KiB); a failing
#                              step ends the benchmark with its messages
#   median VALUE...  largest VALUE...

fail() { echo "$bench: $*" >&2; exit 1; }

need_programs() {
    local program
    for program in "$@"; do
        [ -e "$build/$program" ] || fail "$build/$program is missing: build the native build first"
    done
}

need_tools() {
    local tool
    for tool in openssl /usr/bin/time "$@"; do
        command -v "$tool" >/dev/null || fail "$tool is missing"
    done
    whirlpool="openssl dgst -provider legacy -provider default -whirlpool"
    $whirlpool /dev/null >/dev/null 2>&1 || fail "openssl has no Whirlpool (legacy provider)"
}

work_folder() {
    work=$(mktemp -d "$1/$2.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    cd "$work"
}

timed() {
    sync
    if ! /usr/bin/time -f "%e %M" -o time.txt "$@" >/dev/null 2>stderr.txt; then
        cat stderr.txt >&2
        fail "failed: $*"
    fi
    read -r seconds peak < time.txt
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
largest() { printf '%s\n' "$@" | sort -g | tail -1; }
