#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer) in their
# own build folder and runs them for a bounded time, shared between them:
#   decrypt_fuzz  the decoder (probe and decryption of arbitrary files)
#   tar_fuzz      the workspace's tar reader, the member merge and the writer
#
#   tests/fuzz/run-fuzz.sh [seconds] [build-dir]
#
# Exits nonzero when a build fails or a fuzzer finds a crash, a leak or a
# broken invariant; the reproducer is left in the build folder.
set -eu

SECONDS_TO_RUN=${1:-60}
SOURCE_DIR=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=${2:-${VELKIN_FUZZ_BUILD_DIR:-$SOURCE_DIR/../build-fuzz}}
CLANG=${CLANG:-clang}
CLANGXX=${CLANGXX:-clang++}

mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

# The core (the sources of velkincore on POSIX), instrumented for coverage
# and AddressSanitizer.
CXXFLAGS="-std=c++17 -g -O1 -Wall -Wextra -fsanitize=fuzzer-no-link,address -I$SOURCE_DIR"
mkdir -p "$BUILD_DIR/obj"
SOURCES=$(cd "$SOURCE_DIR" && ls app/*.cpp workspace/*.cpp walk/*.cpp codec/*.cpp key/*.cpp digest/*.cpp ui/*.cpp \
  drive/*.cpp diag/*.cpp platform/*.cpp platform/posix/*.cpp tools/tar/tararchive.cpp 2>/dev/null)
OBJECTS=""
for src in $SOURCES; do
  obj="$BUILD_DIR/obj/$(echo "$src" | tr '/' '_').o"
  OBJECTS="$OBJECTS $obj"
  if [ ! -f "$obj" ] || [ "$SOURCE_DIR/$src" -nt "$obj" ]; then
    echo "compiling $src" >&2
    # shellcheck disable=SC2086
    "$CLANGXX" $CXXFLAGS -c "$SOURCE_DIR/$src" -o "$obj"
  fi
done

for target in decrypt_fuzz tar_fuzz; do
  "$CLANGXX" -std=c++17 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address \
    -I"$SOURCE_DIR" "$SOURCE_DIR/tests/fuzz/$target.cpp" \
    $OBJECTS -lpthread -o "$BUILD_DIR/$target"
done

mkdir -p "$BUILD_DIR/corpus" "$BUILD_DIR/tar-corpus" "$BUILD_DIR/artifacts"
# A seed the mutator can grow from: flags 0, a plain header with plainLength
# 3000 and the stored name "a.txt", and a body of 3000 bytes.
SEED="$BUILD_DIR/corpus/seed-named"
if [ ! -f "$SEED" ]; then
  {
    printf '\000'
    head -c 264 /dev/zero
    printf '\270\013\000\000\000\000\000\000'
    printf 'a\000.\000t\000x\000t\000'
    head -c 742 /dev/zero
    head -c 3000 /dev/zero | tr '\000' 'q'
  } >"$SEED"
fi
# Seeds of the tar reader: a workspace's shapes in ustar and pax (a marker,
# a folder, a long name, a name that is no UTF-8), made by Python's tarfile.
TAR_SEED="$BUILD_DIR/tar-corpus/seed-workspace"
if [ ! -f "$TAR_SEED" ] && command -v python3 >/dev/null; then
  python3 - "$TAR_SEED" <<'PY'
import io, sys, tarfile
with tarfile.open(sys.argv[1], "w", format=tarfile.PAX_FORMAT, encoding="utf-8", errors="surrogateescape") as t:
    for name, data in (("!          !           !", b"m" * 1100), ("dir/", None), ("dir/" + "n" * 120, b"long"),
                       ("caf\udce9.txt", b"latin-1"), ("plain.txt", b"x" * 600)):
        info = tarfile.TarInfo(name.rstrip("/"))
        if data is None:
            info.type = tarfile.DIRTYPE
            t.addfile(info)
        else:
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
PY
fi

cd "$BUILD_DIR"
# Each fuzzer's step-by-step output goes to a log; the run prints its
# summary, and the end of the log when it found something.
status=0
HALF=$(( (SECONDS_TO_RUN + 1) / 2 ))
for run in "decrypt_fuzz corpus 8192" "tar_fuzz tar-corpus 16384"; do
  set -- $run
  LOG="$BUILD_DIR/$1.log"
  echo "== $1 for $HALF s"
  code=0
  "./$1" -max_total_time="$HALF" -max_len="$3" -timeout=20 \
    -artifact_prefix="$BUILD_DIR/artifacts/$1-" -print_final_stats=1 "$BUILD_DIR/$2" \
    >"$LOG" 2>&1 || code=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )' "$LOG" || true
  if [ "$code" -ne 0 ]; then
    echo "fuzzing $1 found a problem (exit $code); the end of $LOG:"
    tail -n 60 "$LOG"
    status=$code
  fi
done
exit "$status"
