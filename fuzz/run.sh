#!/bin/sh
# Builds the libFuzzer targets (fuzz/fuzz_*.cpp) with clang and the address and
# undefined-behaviour sanitizers, in the CMake build that the sanitized test suite uses as
# well (FUZZ_BUILD, default build-asan), then runs each one for a bounded time.
#
#   sh fuzz/run.sh [SECONDS [TARGET...]]   default 60 seconds for each target
#   targets: archive_index vksf vksi bmp png jpeg wav ogg settings input script layout
#            cqst scene_block script_block movie records
#   FUZZ_OUT=dir    where corpora and findings are kept (default fuzz-out)
#   FUZZ_RUNS=n     also stop a target after n runs (a campaign: FUZZ_RUNS=10000000 with
#                   SECONDS=1800 runs each target to ten million runs or half an hour)
#
# Seeds come from tests/fixtures/storage, fuzz/seeds/<target> and the bundled demo. A
# target that finds a crash leaves the input as FUZZ_OUT/<target>/crash-* and the script
# exits 1.
set -eu
SECONDS_EACH=${1:-60}
[ $# -gt 0 ] && shift
TARGETS=${*:-archive_index vksf vksi bmp png jpeg wav ogg settings input script layout cqst scene_block script_block movie records}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${FUZZ_OUT:-$ROOT/fuzz-out}
BUILD=${FUZZ_BUILD:-$ROOT/build-asan}

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZE=ON -DKESTRUNE_FUZZ=ON \
    -DKESTRUNE_BENCH=OFF >/dev/null
names=""
for target in $TARGETS; do names="$names fuzz_$target"; done
# shellcheck disable=SC2086
cmake --build "$BUILD" -j"${JOBS:-2}" --target $names

seeds_for() {
    s="$ROOT/tests/fixtures/storage"
    case "$1" in
        archive_index) echo "$s/*.vka" ;;
        vksf) echo "$s/*.vkf" ;;
        vksi) echo "$s/*.vksi" ;;
        bmp) echo "$s/*.bmp" ;;
        png) echo "$s/*.png" ;;
        jpeg) echo "$s/*.jpg" ;;
        wav) echo "$s/*.wav" ;;
        ogg) echo "$s/*.ogg" ;;
        settings) echo "$ROOT/games/demo/system/System.ini" ;;
        input) echo "$ROOT/games/demo/clickthrough.in" ;;
        script) echo "$ROOT/games/demo/script/*.txt $ROOT/fuzz/seeds/script/*" ;;
        layout) echo "$ROOT/fuzz/seeds/layout/*" ;;
        cqst) echo "$s/*.cqst" ;;
        scene_block) echo "$s/*.vksd" ;;
        script_block) echo "$s/*.vkss" ;;
        movie) echo "$s/*.mkv" ;;
        records) echo "$ROOT/fuzz/seeds/records/*" ;;
    esac
}

status=0
summary=""
for target in $TARGETS; do
    dir="$OUT/$target"
    mkdir -p "$dir/corpus"
    for seed in $(seeds_for "$target"); do
        [ -f "$seed" ] && cp "$seed" "$dir/corpus/"
    done
    echo "== fuzz_$target for ${SECONDS_EACH}s"
    if LSAN_OPTIONS="suppressions=$ROOT/fuzz/lsan.supp" "$BUILD/fuzz/fuzz_$target" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} \
            -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" \
            >"$dir/log.txt" 2>&1; then
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
