#!/bin/sh
# Builds the decryption fuzz target with clang (libFuzzer + AddressSanitizer)
# in its own build folder and runs it for a bounded time.
#
#   tests/fuzz/run-fuzz.sh [seconds] [build-dir]
#
# Exits nonzero when the build fails or the fuzzer finds a crash, a leak or
# a broken invariant; the reproducer is left in the build folder.
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
  drive/*.cpp diag/*.cpp platform/*.cpp platform/posix/*.cpp 2>/dev/null)
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

"$CLANGXX" -std=c++17 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address \
  -I"$SOURCE_DIR" "$SOURCE_DIR/tests/fuzz/decrypt_fuzz.cpp" \
  $OBJECTS -lpthread -o "$BUILD_DIR/decrypt_fuzz"

mkdir -p "$BUILD_DIR/corpus" "$BUILD_DIR/artifacts"
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
cd "$BUILD_DIR"
# The fuzzer's step-by-step output goes to a log; the run prints its summary,
# and the end of the log when it found something.
LOG="$BUILD_DIR/fuzz.log"
status=0
./decrypt_fuzz -max_total_time="$SECONDS_TO_RUN" -max_len=8192 -timeout=20 \
  -artifact_prefix="$BUILD_DIR/artifacts/" -print_final_stats=1 "$BUILD_DIR/corpus" \
  >"$LOG" 2>&1 || status=$?
grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )' "$LOG" || true
if [ "$status" -ne 0 ]; then
  echo "fuzzing found a problem (exit $status); the end of $LOG:"
  tail -n 60 "$LOG"
fi
exit "$status"
