#!/bin/bash
# The encrypt and decrypt commands of the real program against the tool
# chain a user would otherwise run for the same job, on one file, and the
# digest on each compression path against OpenSSL on the same file:
#
#   bench/commands_bench.sh [MiB] [FOLDER]        (defaults: 256, /var/tmp)
#
#   encrypt command            Encrypt FILE: keyed digest, encrypted copy,
#                              erasing of FILE
#   its tool chain             openssl dgst -whirlpool FILE; cp FILE COPY;
#                              shred -n 3 -u FILE
#   decrypt command            Decrypt "FILE (encrypted)": plaintext, digest
#                              check, erasing of the encrypted file
#   its tool chain             cp COPY FILE; openssl dgst -whirlpool FILE;
#                              shred -n 3 -u COPY
#
# Times are wall-clock seconds of whole processes (GNU time), with the
# input in the page cache and nothing dirty at the start of each step;
# peak memory is the largest resident set. The four steps run ROUNDS times
# (default 3), interleaved, so that a disk or processor that other work
# slows down slows both sides alike; each round's figures are printed, and
# the medians with their ratios. VELKIN_DIGEST_PATH, when set, applies to
# the commands and to the digest figures alike. VELKIN_BUILD_DIR names
# another build folder (its native/ build is used).
#
# Needs the native build (velkin, velkin-keydrive, bench/digest_bench),
# openssl with its legacy provider (Whirlpool), shred, cp and GNU time.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELKIN_BUILD_DIR:-$root/build}/native
mib=${1:-256}
base=${2:-/var/tmp}
rounds=${ROUNDS:-3}

bench=commands_bench
. "$root/bench/toolchain.sh"
need_programs velkin velkin-keydrive bench/digest_bench
need_tools shred cp
work_folder "$base" velkin-bench

# A key for one encryption of the file per round, with room to spare.
"$build/velkin-keydrive" make drive --size "$((rounds * (mib + 1) + 16))M" >/dev/null 2>&1
head -c "$((mib << 20))" /dev/urandom > original.bin

echo "One file of $mib MiB in $work, $rounds rounds (digest path: ${VELKIN_DIGEST_PATH:-the fastest this processor runs})"
echo "  round   chain enc   Encrypt   chain dec   Decrypt   (seconds)"
chain_enc=() enc=() chain_dec=() dec=() peaks_chain=() peaks_enc=() peaks_dec=()
for round in $(seq 1 "$rounds"); do
    cp original.bin chain.bin
    timed bash -c "$whirlpool chain.bin > chain.digest && cp chain.bin chain.copy && shred -n 3 -u chain.bin"
    chain_enc+=("$seconds") peaks_chain+=("$peak")

    cp original.bin plain.bin
    timed drive/Encrypt "$work/plain.bin"
    enc+=("$seconds") peaks_enc+=("$peak")
    [ -f "plain.bin (encrypted)" ] && [ ! -e plain.bin ] || fail "the encrypt command left no encrypted file"

    timed bash -c "cp chain.copy chain.bin && $whirlpool chain.bin > chain.digest && shred -n 3 -u chain.copy"
    chain_dec+=("$seconds") peaks_chain+=("$peak")
    rm -f chain.bin

    timed drive/Decrypt "$work/plain.bin (encrypted)"
    dec+=("$seconds") peaks_dec+=("$peak")
    cmp -s original.bin plain.bin && [ ! -e "plain.bin (encrypted)" ] || fail "the decrypt command did not restore the file"
    rm -f plain.bin
    printf '  %5d   %9.2f   %7.2f   %9.2f   %7.2f\n' "$round" "${chain_enc[-1]}" "${enc[-1]}" "${chain_dec[-1]}" "${dec[-1]}"
done

row() {   # row LABEL SECONDS PEAK_KIB [REFERENCE_SECONDS]
    if [ -n "${4:-}" ]; then
        awk -v l="$1" -v s="$2" -v p="$3" -v r="$4" \
            'BEGIN { printf "  %-44s %7.2f s %8.1f MiB   %5.2f x the tool chain\n", l, s, p / 1024, s / r }'
    else
        awk -v l="$1" -v s="$2" -v p="$3" 'BEGIN { printf "  %-44s %7.2f s %8.1f MiB\n", l, s, p / 1024 }'
    fi
}

m_chain_enc=$(median "${chain_enc[@]}") m_enc=$(median "${enc[@]}")
m_chain_dec=$(median "${chain_dec[@]}") m_dec=$(median "${dec[@]}")
echo "Medians (peak memory: the largest of the rounds):"
echo "Encrypting:"
row "tool chain: openssl dgst, cp, shred -n 3 -u" "$m_chain_enc" "$(largest "${peaks_chain[@]}")"
row "encrypt command" "$m_enc" "$(largest "${peaks_enc[@]}")" "$m_chain_enc"
echo "Decrypting:"
row "tool chain: cp, openssl dgst, shred -n 3 -u" "$m_chain_dec" "$(largest "${peaks_chain[@]}")"
row "decrypt command" "$m_dec" "$(largest "${peaks_dec[@]}")" "$m_chain_dec"
echo

"$build/bench/digest_bench" --file "$work/original.bin"
