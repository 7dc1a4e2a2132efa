#!/bin/bash
# The key drive tool on a large key: the time and peak memory of make and
# of check, beside their yardsticks on the same disk: writing the same
# amount of random data with dd (committed, as make commits), and reading
# KEY.DAT and INDEX.DAT once.
#
#   bench/keydrive_bench.sh [SIZE] [FOLDER] [ROUNDS]
#
# SIZE as make takes it (default 4G), FOLDER on the disk to measure (default
# /var/tmp), ROUNDS (default 1). With COLD=1 (root) the system's file cache
# is dropped before each read, so that check and the read-once yardstick
# read from the disk; otherwise both read what the cache holds of a key just
# made. VELKIN_NATIVE_BUILD names the build (default build/native).
set -euo pipefail

size=${1:-4G}
folder=${2:-/var/tmp}
rounds=${3:-1}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELKIN_NATIVE_BUILD:-$here/build/native}
tool=$build/velkin-keydrive
program=$build/velkin
[ -x "$tool" ] || { echo "no velkin-keydrive in $build (set VELKIN_NATIVE_BUILD)" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time for peak memory" >&2; exit 1; }

case $size in
    *G|*g) mib=$(( ${size%?} * 1024 )) ;;
    *M|*m) mib=${size%?} ;;
    *) echo "SIZE must be a number of M or G" >&2; exit 1 ;;
esac
(( mib % 4 == 0 )) || { echo "SIZE must be a multiple of 4M" >&2; exit 1; }

work=$(mktemp -d "$folder/keydrive-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
drive=$work/drive
measured=$work/time.txt

cold() {
    sync
    if [ "${COLD:-0}" = 1 ]; then echo 3 > /proc/sys/vm/drop_caches; fi
}

# Runs a command; sets secs and kib (peak resident memory).
measure() {
    /usr/bin/time -f "%e %M" -o "$measured" "$@" >"$work/stdout.txt" 2>"$work/stderr.txt" || {
        echo "failed: $*" >&2; cat "$work/stderr.txt" >&2; exit 1; }
    read -r secs kib < "$measured"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo "key of $size ($mib MiB) in $folder, $rounds round(s), caches $([ "${COLD:-0}" = 1 ] && echo dropped before reads || echo kept)"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %-28s %9s %12s\n' round step seconds "peak MiB"
for round in $(seq 1 "$rounds"); do
    cold
    measure dd if=/dev/urandom of="$work/random.bin" bs=4M count=$(( mib / 4 )) conv=fsync
    dd_secs=$secs
    printf '%-6s %-28s %9s %12s\n' "$round" "dd of random data" "$secs" "$(( kib / 1024 ))"
    rm -f "$work/random.bin"

    cold
    measure "$tool" make "$drive" --size "$size" --program "$program"
    make_secs=$secs make_kib=$kib
    printf '%-6s %-28s %9s %12s\n' "$round" "make" "$secs" "$(( kib / 1024 ))"

    cold
    measure cat "$drive/SETTINGS/KEY.DAT" "$drive/SETTINGS/INDEX.DAT"
    read_secs=$secs
    printf '%-6s %-28s %9s %12s\n' "$round" "read KEY.DAT, INDEX.DAT" "$secs" "$(( kib / 1024 ))"

    cold
    measure "$tool" check "$drive"
    check_secs=$secs check_kib=$kib
    printf '%-6s %-28s %9s %12s\n' "$round" "check" "$secs" "$(( kib / 1024 ))"
    grep -q "The key drive is sound." "$work/stdout.txt" || { echo "check did not find the drive sound" >&2; exit 1; }

    echo "round $round: make $(ratio "$make_secs" "$dd_secs") x dd, check $(ratio "$check_secs" "$read_secs") x" \
         "reading once; peak memory make $(( make_kib / 1024 )) MiB, check $(( check_kib / 1024 )) MiB"
    rm -rf "$drive"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
