#!/bin/sh
# Builds the storage fuzz targets with clang and libFuzzer (address and undefined-behaviour
# sanitizers) straight from the sources, then runs each one for a bounded time.
#
#   sh fuzz/run.sh [SECONDS [TARGET...]]   default 60 seconds for each of all nine targets
#   targets: archive_index vksf vksi bmp png jpeg wav ogg movie
#   FUZZ_OUT=dir  CXX=clang++-14      where to build and keep corpora; which compiler
#
# Seeds come from tests/fixtures/storage. A target that finds a crash leaves the input
# as FUZZ_OUT/<target>/crash-* and the script exits 1.
set -eu
SECONDS_EACH=${1:-60}
[ $# -gt 0 ] && shift
TARGETS=${*:-archive_index vksf vksi bmp png jpeg wav ogg movie}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${FUZZ_OUT:-$ROOT/fuzz-out}
CXX=${CXX:-clang++}
FLAGS="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined -I$ROOT/src"
LIBS="$(pkg-config --libs libpng libjpeg zlib vorbisfile libavformat libavcodec libswscale libswresample libavutil) -lpthread"

mkdir -p "$OUT/obj"
OBJS=""
for src in "$ROOT"/src/storage/*.cpp "$ROOT"/src/sound/decoders.cpp "$ROOT"/src/platform/files.cpp \
           "$ROOT"/src/platform/encoding.cpp "$ROOT"/src/platform/memory.cpp \
           "$ROOT"/src/platform/movie_decoder.cpp; do
    obj="$OUT/obj/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ]; then
        $CXX $FLAGS -fsanitize=fuzzer-no-link $(pkg-config --cflags libpng libjpeg zlib) -c "$src" -o "$obj"
    fi
    OBJS="$OBJS $obj"
done

seeds_for() {
    case "$1" in
        archive_index) echo "*.vka" ;;
        vksf) echo "*.vkf" ;;
        vksi) echo "*.vksi" ;;
        bmp) echo "*.bmp" ;;
        png) echo "*.png" ;;
        jpeg) echo "*.jpg" ;;
        wav) echo "*.wav" ;;
        ogg) echo "*.ogg" ;;
        movie) echo "*.mkv" ;;
    esac
}

status=0
summary=""
for target in $TARGETS; do
    dir="$OUT/$target"
    mkdir -p "$dir/corpus"
    $CXX $FLAGS -fsanitize=fuzzer "$ROOT/fuzz/fuzz_$target.cpp" $OBJS $LIBS -o "$dir/fuzz_$target"
    for seed in "$ROOT"/tests/fixtures/storage/$(seeds_for $target); do
        [ -f "$seed" ] && cp "$seed" "$dir/corpus/"
    done
    echo "== fuzz_$target for ${SECONDS_EACH}s"
    if "$dir/fuzz_$target" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" >"$dir/log.txt" 2>&1; then
        result="no crash"
    else
        result="CRASH: see $dir/log.txt"
        status=1
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/log.txt" | grep -o '[0-9]*$' || echo "?")
    cov=$(grep -o 'cov: [0-9]*' "$dir/log.txt" | tail -1 || true)
    summary="$summary
fuzz_$target: $runs runs, $cov, $result"
done
echo "$summary"
exit $status
