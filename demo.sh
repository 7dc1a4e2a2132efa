#!/bin/bash
# The main job, start to end, on the native build:
#   ./demo.sh [KEY_DRIVE_FOLDER]
# Builds the program, makes a key drive (in ./demo/drive when none is given),
# encrypts a sample folder, shows what is on the disk, decrypts it again and
# shows the key's status from the drive's log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${VELKIN_BUILD_DIR:-$root/build}/native
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target velkin velkin-keydrive bkgui bkfm >/dev/null

drive=${1:-$root/demo/drive}
if [ ! -f "$drive/SETTINGS/KEY.DAT" ]; then
    echo "== making a key drive of 4 MiB in $drive"
    mkdir -p "$(dirname "$drive")"
    "$build/velkin-keydrive" make "$drive" --size 4M --program "$build/velkin"
fi
"$build/velkin-keydrive" check "$drive"

sample=$root/demo/sample
rm -rf "$sample"
mkdir -p "$sample/notes" "$sample/photos 2026"
echo "Meeting at noon. Bring the plans." > "$sample/notes/meeting.txt"
printf 'Grocery list\n- bread\n- caf\xc3\xa9\n' > "$sample/notes/liste d'achats.txt"
head -c 300000 /dev/urandom > "$sample/photos 2026/holiday.jpg"
: > "$sample/empty.txt"
(cd "$sample" && find . -type f -exec sha256sum {} + | sort -k2) > "$root/demo/before.sha256"

echo "== encrypting $sample (Encrypt on the key drive)"
"$drive/Encrypt" "$sample"
echo "-- on the disk now:"
(cd "$sample" && find . -type f | sort | sed 's/^/   /')

echo "== decrypting it again (Decrypt on the key drive)"
"$drive/Decrypt" "$sample"
echo "-- on the disk now:"
(cd "$sample" && find . -type f | sort | sed 's/^/   /')
(cd "$sample" && find . -type f -exec sha256sum {} + | sort -k2) > "$root/demo/after.sha256"
if cmp -s "$root/demo/before.sha256" "$root/demo/after.sha256"; then
    echo "-- every file came back byte for byte"
else
    echo "-- MISMATCH after decryption" >&2
    exit 1
fi

echo "== status of the key (Status on the key drive writes it to LOG/log.txt)"
"$drive/Status"
grep -a -E "Key number:|Key usage:|Program version:" "$drive/LOG/log.txt" | tail -n 3 | tr -d '\r'
