#!/bin/bash
# A dropped folder of many small files on a key drive that is a USB stick:
# the encrypt and decrypt commands of the real program against the tool
# chain a user would otherwise run, file by file, on the same folder:
#
#   bench/folder_bench.sh [FILES] [KiB] [DELAY_MS] [FOLDER]
#                                   (defaults: 200 files of 4 KiB, 20 ms, /var/tmp)
#
#   Encrypt FOLDER             every file encrypted beside itself, its
#                              plaintext erased
#   its tool chain             per file: openssl dgst -whirlpool F;
#                              cp F COPY; shred -n 3 -u F
#   Decrypt FOLDER             every encrypted file decrypted, checked and
#                              erased
#   its tool chain             per file: cp COPY F; openssl dgst -whirlpool F;
#                              shred -n 3 -u COPY
#
# The key drive lies in FOLDER beside the files, but every flush (fsync,
# fdatasync) of a file or folder on it is made DELAY_MS slower by a
# preloaded shim (bench/flushdelay.cpp), as on a USB stick; flushes on the
# user's disk cost what they cost. Printed: wall-clock seconds, peak memory,
# the ratio to the tool chain, and the flushes per file on each drive. With
# strace installed, an extra run that is not timed counts the write system
# calls on the key drive per file (on Windows each write to a removable
# drive goes to the device at once). ROUNDS (default 1) repeats the timed
# steps, interleaved, and prints medians. VELKIN_BUILD_DIR names another
# build folder (its native/ build is used).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELKIN_BUILD_DIR:-$root/build}/native
files=${1:-200}
kib=${2:-4}
delay=${3:-20}
base=${4:-/var/tmp}
rounds=${ROUNDS:-1}
shim=$build/bench/libvelkin_flushdelay.so

bench=folder_bench
. "$root/bench/toolchain.sh"
need_programs velkin velkin-keydrive bench/libvelkin_flushdelay.so
need_tools shred cp cmp
work_folder "$base" velkin-folder-bench

# Key for every encryption of the folder (a file takes its header, its
# chunks and up to two blocks more), with room to spare.
per_file_kib=$((kib + 3))
"$build/velkin-keydrive" make drive --size "$(( (rounds + 1) * files * per_file_kib / 1024 + 16 ))M" >/dev/null 2>&1 \
    || fail "cannot make the key drive"
drive=$work/drive

mkdir original
for i in $(seq 1 "$files"); do
    head -c "$((kib * 1024))" /dev/urandom > "original/file-$i.bin"
done

# Put before the program: its key drive's flushes made slow.
slow=(env LD_PRELOAD="$shim" VELKIN_FLUSH_PREFIX="$drive" VELKIN_FLUSH_DELAY_MS="$delay"
      VELKIN_FLUSH_LOG="$work/flushes.txt")

check_encrypted() {
    local n
    n=$(find data -type f -name '* (encrypted)' | wc -l)
    [ "$n" -eq "$files" ] && [ "$(find data -type f | wc -l)" -eq "$files" ] \
        || fail "the encrypt command left $n encrypted files and $(find data -type f | wc -l) files in all"
}
check_decrypted() {
    for i in $(seq 1 "$files"); do
        cmp -s "original/file-$i.bin" "data/file-$i.bin" || fail "file-$i.bin did not come back"
    done
    [ "$(find data -type f | wc -l)" -eq "$files" ] || fail "the decrypt command left files behind"
}

# flushes: the counts the shim appended for the last run, per file.
flushes_per_file() {
    awk -v n="$files" '{ k = $1; o = $2 } END { printf "%.2f %.2f\n", k / n, o / n }' flushes.txt
    rm -f flushes.txt
}

chain_encrypt='for f in chain/*; do '"$whirlpool"' "$f" > /dev/null && cp "$f" "$f.copy" && shred -n 3 -u "$f"; done'
chain_decrypt='for c in chain/*.copy; do f=${c%.copy}; cp "$c" "$f" && '"$whirlpool"' "$f" > /dev/null && shred -n 3 -u "$c"; done'

echo "A folder of $files files of $kib KiB in $work; every flush on the key drive $delay ms slower; $rounds round(s)"
echo "  round   chain enc   Encrypt   chain dec   Decrypt   (seconds)   key-drive flushes per file: enc dec   user's disk: enc dec"
chain_enc=() enc=() chain_dec=() dec=() peaks=()
for round in $(seq 1 "$rounds"); do
    rm -rf chain data && cp -r original chain && cp -r original data
    timed bash -c "$chain_encrypt"
    chain_enc+=("$seconds")
    timed "${slow[@]}" "$drive/Encrypt" "$work/data"
    enc+=("$seconds") peaks+=("$peak")
    check_encrypted
    read -r key_enc user_enc < <(flushes_per_file)

    timed bash -c "$chain_decrypt"
    chain_dec+=("$seconds")
    timed "${slow[@]}" "$drive/Decrypt" "$work/data"
    dec+=("$seconds") peaks+=("$peak")
    check_decrypted
    read -r key_dec user_dec < <(flushes_per_file)
    printf '  %5d   %9.2f   %7.2f   %9.2f   %7.2f               %5.2f %5.2f          %5.2f %5.2f\n' \
        "$round" "${chain_enc[-1]}" "${enc[-1]}" "${chain_dec[-1]}" "${dec[-1]}" \
        "$key_enc" "$key_dec" "$user_enc" "$user_dec"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
m_chain_enc=$(median "${chain_enc[@]}") m_enc=$(median "${enc[@]}")
m_chain_dec=$(median "${chain_dec[@]}") m_dec=$(median "${dec[@]}")
echo "Medians:"
echo "  tool chain, encrypting: ${m_chain_enc} s;  Encrypt: ${m_enc} s = $(ratio "$m_enc" "$m_chain_enc") x the tool chain"
echo "  tool chain, decrypting: ${m_chain_dec} s;  Decrypt: ${m_dec} s = $(ratio "$m_dec" "$m_chain_dec") x the tool chain"
awk -v p="$(largest "${peaks[@]}")" 'BEGIN { printf "  peak memory of the commands: %.1f MiB\n", p / 1024 }'

if command -v strace >/dev/null; then
    # Write system calls on the key drive, per file (not timed: strace slows
    # every call).
    writes_on_drive() {   # writes_on_drive TRACE
        grep -E '^[0-9]+ +(write|pwrite64|writev)\(' "$1" | grep -c "<$drive/" || true
    }
    rm -rf data && cp -r original data
    strace -f -y -o enc.trace -e trace=write,pwrite64,writev "$drive/Encrypt" "$work/data" >/dev/null 2>&1 \
        || fail "Encrypt under strace failed"
    check_encrypted
    strace -f -y -o dec.trace -e trace=write,pwrite64,writev "$drive/Decrypt" "$work/data" >/dev/null 2>&1 \
        || fail "Decrypt under strace failed"
    check_decrypted
    awk -v e="$(writes_on_drive enc.trace)" -v d="$(writes_on_drive dec.trace)" -v n="$files" \
        'BEGIN { printf "  write calls on the key drive per file: Encrypt %.2f, Decrypt %.2f\n", e / n, d / n }'
fi
