#!/bin/bash
# A key drive made by the Linux build reads the same under the Windows build
# (run under Wine): same key number, same usage, sound for both checks, and
# the Windows program's status command, started from the drive mapped as a
# drive letter, logs the same key number.
#
#   cross_read.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
set -eu
native=$1
windows=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine="$here/../wine/run-under-wine.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/velkin-cross-read-XXXXXX")
trap 'rm -rf "$work"; [ -n "${letter:-}" ] && rm -f "$letter"' EXIT
drive=$work/drive

fail() { echo "cross_read: $*" >&2; exit 1; }

"$native/velkin-keydrive" make "$drive" --size 4M --program "$native/velkin" >/dev/null 2>&1 \
    || fail "make failed"
# The Windows program beside the Linux one, as a Windows key drive has it.
cp "$windows/velkin.exe" "$drive/Status.exe"
# Some usage, so that the percentage is not 0: high water mark 1000 of 4095.
printf '\xe8\x03\x00\x00\x01\x00\x00\x00\xff\x0f\x00\x00' > "$drive/SETTINGS/STATUS.DAT"

linux_status=$("$native/velkin-keydrive" status "$drive") || fail "native status failed"
windows_status=$("$wine" "$windows/velkin-keydrive.exe" status "$drive" | tr -d '\r') \
    || fail "Windows status failed"
echo "Linux:   $linux_status" | tr '\n' ' '; echo
echo "Windows: $windows_status" | tr '\n' ' '; echo
[ "$linux_status" = "$windows_status" ] || fail "the builds read the drive differently"
grep -q "Key usage: 24.4%" <<<"$linux_status" || fail "unexpected usage"

"$native/velkin-keydrive" check "$drive" >/dev/null || fail "native check failed"
"$wine" "$windows/velkin-keydrive.exe" check "$drive" >/dev/null || fail "Windows check failed"

# The program itself under Wine, started as K:\Status.exe from the drive.
export WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/velkin-wine-$(id -u)/prefix}
"$wine" "$windows/velkin-keydrive.exe" >/dev/null 2>&1 || true   # makes the prefix if needed
for l in k l m n p q r s t u v w x y; do
    if [ ! -e "$WINEPREFIX/dosdevices/$l:" ]; then
        letter="$WINEPREFIX/dosdevices/$l:"
        drive_letter=${l^^}
        break
    fi
done
[ -n "${letter:-}" ] || fail "no free drive letter"
ln -s "$drive" "$letter"
"$wine" "$drive_letter:\\Status.exe" || fail "Status.exe failed"
number=$(sed -n 's/^Key number: //p' <<<"$linux_status")
grep -q "Key number:          $number" "$drive/LOG/log.txt" || { cat "$drive/LOG/log.txt"; fail "Status.exe logged another key number"; }
grep -q "Key usage:           24.4% " "$drive/LOG/log.txt" || { cat "$drive/LOG/log.txt"; fail "Status.exe logged another usage"; }
grep -a "Key\|Program" "$drive/LOG/log.txt" | tr -d "\r"
echo "cross_read: the drive reads the same on both builds"

# Partner drives split by the Linux build: each reads the same on both builds,
# with its own range, and the Windows check finds their ranges apart.
partner=$work/partner
"$native/velkin-keydrive" split "$drive" "$partner" >/dev/null 2>&1 || fail "split failed"
for d in "$drive" "$partner"; do
    linux_status=$("$native/velkin-keydrive" status "$d") || fail "native status of $d failed"
    windows_status=$("$wine" "$windows/velkin-keydrive.exe" status "$d" | tr -d '\r') \
        || fail "Windows status of $d failed"
    [ "$linux_status" = "$windows_status" ] || fail "the builds read $d differently:
$linux_status
$windows_status"
done
grep -q "Range: key blocks 2548 to 4095" <<<"$linux_status" || fail "unexpected range of the partner: $linux_status"
windows_check=$("$wine" "$windows/velkin-keydrive.exe" check "$drive" "$partner" | tr -d '\r') \
    || fail "Windows check of the pair failed"
grep -q "ranges apart" <<<"$windows_check" || fail "the Windows check does not see the ranges apart"
echo "cross_read: partner drives split on Linux read the same on both builds"
