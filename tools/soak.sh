#!/bin/sh
# Monkey soak: plays games with random input for as long as asked and fails on the first
# crash, hang, leak or sanitizer report.
#
#   sh tools/soak.sh [--seconds N] [--seed S] [--build DIR] [--run-seconds E] [GAME...]
#
# N is the wall-clock budget of the whole soak (default 60), shared evenly by the games
# (default: games/demo and games/kitchen_sink). Each run plays one game headless on the
# stepped clock for E seconds of engine time (default 900) with a monkey's input made from
# its seed: clicks anywhere, right clicks, moves, the wheel, Enter, Space, Ctrl held and
# released, Esc answered both ways, Page Up and letters. Runs follow one another, each with
# the next seed, until the game's share of the time is used up (a run may end early: the
# monkey quit through the close screen, or the game ended); every game runs at least once.
# The first seed is S (default: the date in seconds); each run's seed is printed, and
#   sh tools/soak.sh --seconds 0 --seed SEED --run-seconds E GAME
# replays exactly that run (--seconds 0: one run a game). --build DIR runs DIR/kestrune
# (a sanitizer build: build-asan).
#
# The kitchen sink's resident size settles within its first 300 s of engine time (caches
# and the allocator filling up), so a run of 900 s judges its memory past that. A run that has
# started goes to its end: a soak lasts its time plus at most one run.
#
# A run fails on: an exit code other than 0; the watchdog (no frame drawn for 5 s of engine
# time); a signal; no exit within the wall-clock guard (SOAK_WALL_LIMIT seconds, default
# 300 + E / 2; a run of 900 s takes under a minute, a few under a sanitizer: a thread that
# spins without waiting holds the stepped clock still, and only the guard sees that); a
# sanitizer report or a thread left running at exit in its output; resident memory (VmRSS)
# in the last quarter of a run that went its whole time 5% or more above the middle of the
# run, for the games that play the same content round after round (the folder names in
# SOAK_MEMORY_GAMES, default kitchen_sink). A story such as the demo holds
# more as the reader gets further (the pictures, sounds and pages met so far), so its growth
# is shown but not judged.
# A failed run's input, output and memory samples stay in DIR/soak-out/GAME-SEED/.
# With SOAK_KEEP=1 in the environment every run's files stay there.
# Exit code: 0 when every run passed, 1 on a failure, 2 on bad use.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
seed=$(date +%s)
build="$root/build"
run_seconds=900
games=""

usage() {
    sed -n '2,/^set -u/p' "$0" | sed -e '/^set -u/d' -e 's/^# \{0,1\}//' -e 's/^#$//'
}

while [ $# -gt 0 ]; do
    case "$1" in
    --seconds | --seed | --build | --run-seconds)
        if [ $# -lt 2 ]; then
            echo "soak: $1 needs a value" >&2
            exit 2
        fi
        case "$1" in
        --seconds) seconds=$2 ;;
        --seed) seed=$2 ;;
        --build) build=$2 ;;
        --run-seconds) run_seconds=$2 ;;
        esac
        shift 2
        ;;
    -h | --help)
        usage
        exit 0
        ;;
    -*)
        echo "soak: unknown option $1" >&2
        usage >&2
        exit 2
        ;;
    *)
        games="$games $1"
        shift
        ;;
    esac
done
for n in "$seconds" "$seed" "$run_seconds"; do
    case "$n" in
    '' | *[!0-9]*)
        echo "soak: --seconds, --seed and --run-seconds want whole numbers, got \"$n\"" >&2
        exit 2
        ;;
    esac
done
if [ "$run_seconds" -lt 1 ]; then
    echo "soak: --run-seconds must be at least 1" >&2
    exit 2
fi
[ -n "$games" ] || games="$root/games/demo $root/games/kitchen_sink"
bin="$build/kestrune"
if [ ! -x "$bin" ]; then
    echo "soak: no program $bin (build it first)" >&2
    exit 2
fi
# glibc gives threads malloc arenas of their own, and each keeps the memory it once held: with
# the engine's many short-lived threads (a process, each sound and its fades) the resident
# size then climbs for minutes before it levels off, and that would hide a leak or fake one.
# Two arenas show what the program keeps. (Sanitizer builds have their own allocator.)
arenas=${MALLOC_ARENA_MAX:-2}
guard=${SOAK_WALL_LIMIT:-$((300 + run_seconds / 2))}
out_root="$build/soak-out"
work=$(mktemp -d "${TMPDIR:-/tmp}/soak.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; exit 1' INT TERM

set -- $games
game_count=$#
share=$((seconds / game_count))
echo "soak: seed $seed, $seconds s over $game_count game(s), $run_seconds s of engine time a run ($bin)"

# The monkey's input for one run: timed lines of the --input format, sorted by time.
make_input() { # seed engine-seconds
    awk -v seed="$1" -v secs="$2" '
    function x() { return int(rand() * 1024) }
    function y() { return int(rand() * 576) }
    function at(t, what) { if (t < end) print t, what }
    function press(t, name) { at(t, "key " name); at(t + 40 + int(rand() * 200), "keyup " name) }
    BEGIN {
        srand(seed)
        quitter = seed % 4 == 0
        end = secs * 1000
        letters = "abcdefghijklmnopqrstuvwxyz"
        t = 300 + int(rand() * 1500)
        while (t < end) {
            r = rand()
            if (r < 0.26) at(t, "click " x() " " y())
            else if (r < 0.38) at(t, "move " x() " " y())
            else if (r < 0.43) {
                at(t, "rclick " x() " " y())
                # The right click opens the popup menu, whose last line opens the close
                # screen. A run that must not quit shuts the menu with Esc (which opens
                # the close screen when the menu did not open) and then answers N.
                if (!quitter) {
                    t += 300
                    press(t, "escape")
                    t += 300 + int(rand() * 700)
                    press(t, "n")
                    t += 250
                }
            }
            else if (r < 0.51) at(t, "wheel " (rand() < 0.5 ? "up" : "down"))
            else if (r < 0.61) press(t, "return")
            else if (r < 0.67) press(t, "space")
            else if (r < 0.72) { at(t, "key ctrl"); at(t + 100 + int(rand() * 3000), "keyup ctrl") }
            else if (r < 0.76) {
                # Esc opens the close screen; a later Enter or Y quits, Esc or N goes back.
                # One run in four quits now and then; the others always go back, so that
                # they last their whole time and their memory can be judged. They go back
                # with N: the screen does not open while a command cannot be interrupted,
                # and then an Esc meant as the answer would open it instead, for the next
                # Enter to answer.
                if (quitter && rand() < 0.3) answer = rand() < 0.5 ? "return" : "y"
                else if (quitter) answer = rand() < 0.5 ? "escape" : "n"
                else answer = "n"
                # Nothing is held when the screen opens, and nothing else is pressed until
                # the answer: a stray Enter or Y would answer.
                t += 300
                press(t, "escape")
                t += 300 + int(rand() * 1500)
                press(t, answer)
                t += 250
            }
            else if (r < 0.81) press(t, "pageup")
            else press(t, substr(letters, 1 + int(rand() * 26), 1))
            t += 20 + int(rand() * rand() * 2500)
        }
    }' | sort -s -n -k1,1
}

# Reads the memory samples (kB, one a line) and prints how many percent the last quarter of
# the run (without its last half second: shutdown) lies above the middle of the run (35% to
# 65%), or "-" when the run was too short to judge. Each part is measured by its lower tenth:
# effects and text pages allocate and free large buffers all along, which makes the peaks
# jump by a fifth; what a leak raises is the floor.
memory_growth() {
    awk 'function floor_of(from, to,   n, i, j, t, w) {
        n = 0
        for (i = from; i <= to; i++) w[++n] = v[i]
        for (i = 2; i <= n; i++) {
            t = w[i]
            for (j = i - 1; j >= 1 && w[j] > t; j--) w[j + 1] = w[j]
            w[j + 1] = t
        }
        return w[1 + int((n - 1) * 0.1)]
    }
    { v[NR] = $1 }
    END {
        if (NR < 20) { print "-"; exit }
        mid = floor_of(int(NR * 0.35), int(NR * 0.65))
        last = floor_of(int(NR * 0.75), NR - 3)
        printf "%.1f\n", (last - mid) * 100 / mid
    }' "$1"
}

status=0
runs=0
for game in "$@"; do
    name=$(basename "$game")
    game_start=$(date +%s)
    s=$seed
    while :; do
        runs=$((runs + 1))
        dir="$work/$name-$s"
        mkdir -p "$dir/saves"
        make_input "$s" "$run_seconds" >"$dir/input.txt"
        last_ms=$((run_seconds * 1000 - 50))
        run_start=$(date +%s)
        MALLOC_ARENA_MAX=$arenas "$bin" --headless --stepped --seed "$s" --time-scale 8 --watchdog 5000 \
            --max-seconds "$run_seconds" --save-dir "$dir/saves" --input "$dir/input.txt" \
            --screenshot "$last_ms=$dir/end.png" "$game" >"$dir/output.txt" 2>&1 &
        pid=$!
        : >"$dir/rss.txt"
        hung=0
        while :; do
            # VmRSS while the program lives; a zombie (ended, not yet reaped) has none.
            sample=$(awk '/^State:/ { s = $2 } /^VmRSS:/ { r = $2 } END { print s, r }' \
                "/proc/$pid/status" 2>/dev/null)
            case "$sample" in
            '' | Z* | X*) break ;;
            esac
            rss=${sample#* }
            [ -n "$rss" ] && [ "$rss" != "$sample" ] && echo "$rss" >>"$dir/rss.txt"
            if [ $(($(date +%s) - run_start)) -ge "$guard" ]; then
                kill -KILL "$pid" 2>/dev/null
                hung=1
                break
            fi
            sleep 0.2
        done
        wait "$pid"
        rc=$?
        wall=$(($(date +%s) - run_start))
        peak=$(sort -n "$dir/rss.txt" | tail -n 1)
        # A screenshot still due at exit reports that the run ended before its time.
        if grep -q "the run ended before" "$dir/output.txt"; then
            ended="ended early"
        else
            ended="ran ${run_seconds} s"
        fi
        # Memory is judged on runs that went their whole time: one ended early may have spent
        # most of it warming up (glyphs, images and sounds filling their caches).
        growth=-
        [ "$ended" = "ended early" ] || growth=$(memory_growth "$dir/rss.txt")
        judged=0
        case " ${SOAK_MEMORY_GAMES:-kitchen_sink} " in *" $name "*) judged=1 ;; esac
        fault=""
        if [ "$hung" -eq 1 ]; then
            fault="hang: no exit after $guard s of wall-clock time"
        elif [ "$rc" -eq 3 ] && grep -q "watchdog" "$dir/output.txt"; then
            fault="hang: $(grep -m 1 watchdog "$dir/output.txt")"
        elif [ "$rc" -gt 128 ]; then
            fault="killed by signal $((rc - 128))"
        elif [ "$rc" -ne 0 ]; then
            fault="exit code $rc"
        fi
        if [ -z "$fault" ] && grep -q -e "ERROR: AddressSanitizer" -e "runtime error:" \
            -e "WARNING: ThreadSanitizer" -e "ERROR: LeakSanitizer" "$dir/output.txt"; then
            fault="sanitizer report"
        fi
        if [ -z "$fault" ] && grep -q "did not end within" "$dir/output.txt"; then
            fault="a thread was still running at exit"
        fi
        if [ -z "$fault" ] && [ "$judged" -eq 1 ] && [ "$growth" != "-" ] &&
            awk -v g="$growth" 'BEGIN { exit !(g >= 5) }'; then
            fault="memory grew by $growth% over the last part of the run"
        fi
        warnings=$(grep -c "warning" "$dir/output.txt")
        verdict=ok
        [ -z "$fault" ] || verdict="FAIL ($fault)"
        printf 'soak: %-13s seed %-11s %-14s %4s s wall  rss %6s kB peak, %5s%% growth  %s warning(s)  %s\n' \
            "$name" "$s" "$ended" "$wall" "${peak:--}" "$growth" "$warnings" "$verdict"
        if [ -n "$fault" ]; then
            status=1
            mkdir -p "$out_root"
            rm -rf "${out_root:?}/$name-$s"
            cp -r "$dir" "$out_root/$name-$s"
            echo "soak: the run's input, output and memory samples: $out_root/$name-$s"
            echo "soak: replay: sh tools/soak.sh --seconds 0 --seed $s --run-seconds $run_seconds --build $build $game"
            sed -n '1,40p' "$dir/output.txt" | sed 's/^/soak:   | /'
            break
        fi
        if [ -n "${SOAK_KEEP:-}" ]; then
            mkdir -p "$out_root"
            rm -rf "${out_root:?}/$name-$s"
            mv "$dir" "$out_root/$name-$s"
        fi
        rm -rf "$dir"
        s=$((s + 1))
        [ $(($(date +%s) - game_start)) -lt "$share" ] || break
    done
    [ "$status" -eq 0 ] || break
done
if [ "$status" -eq 0 ]; then
    echo "soak: passed: $runs run(s)"
else
    echo "soak: FAILED"
fi
exit "$status"
