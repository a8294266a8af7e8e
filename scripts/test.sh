#!/usr/bin/env bash
# Builds tapvela for Linux and for Windows (cross) and runs every test: the Linux ones natively on an Xvfb
# display, the Windows ones under Wine, and the Linux suite again under the sanitizers, then the fuzzers.
#
# Three roads run side by side, each with its own X display and Wine prefix, so that their tests never meet
# (a key typed on one display, a clipboard, Wine's single-instance guard):
#   windows    the cross build, then the Wine suite, then the fuzz build and its targets
#   linux      the native build, then its tests (the end-to-end test also drives the Windows bundle)
#   sanitizer  the AddressSanitizer build and its tests
# The sanitizer and fuzz builds run at a lower priority: the tests beside them mostly wait, and they take that
# time.
# Its builds keep line tables only (-g1, clang's -gline-tables-only), what a sanitizer's report needs: full debug
# information over instrumented Beast code made two server files take 10 minutes of the run.
# Each road's output is shown whole when it ends; a line tells when each stage starts.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh" || exit 1

jobs=$(nproc)
work=$(mktemp -d "${TMPDIR:-/tmp}/tapvela-test.XXXXXX")
roads=()
displays=()
cleanup() {
    trap - EXIT INT TERM
    local pid
    # Each road is a process group of its own (job control below): the builds and tests in it stop with it.
    for pid in "${roads[@]}"; do
        kill -TERM -- "-$pid" >/dev/null 2>&1
    done
    for pid in "${roads[@]}"; do
        wait "$pid" >/dev/null 2>&1
    done
    local prefix
    for prefix in "$work"/wine-*; do
        [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    done
    for pid in "${displays[@]}"; do
        kill "$pid" >/dev/null 2>&1
    done
    # A PostgreSQL cluster of the tests runs in a session of its own: a run cut short stops it here.
    local cluster
    for cluster in build/linux/tests/server/postgres build/linux-asan/tests/server/postgres; do
        [ -e "$cluster" ] && "$root/scripts/postgres-for-tests.sh" stop "$cluster" >/dev/null 2>&1
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
set -m

# An X display of our own (Xvfb), for a road's X11 code and Wine's windows; its number goes into $display.
display=98
new_display() {
    display=$((display + 1))
    while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb-$display.log" 2>&1 &
    displays+=($!)
    for _ in $(seq 50); do
        DISPLAY=":$display" xdpyinfo >/dev/null 2>&1 && break
        sleep 0.1
    done
}

# ---- what a road does; each runs in a subshell of its own and counts into $work/<road>.count ----

stage() { echo "== $*" | tee -a "$work/stages.log"; }

# Configures and builds a preset; when that fails, shows the configure log and says "<what> failed". A road that
# sets $priority (a nice value) builds at that priority.
priority=0
build() {
    local preset=$1 what=$2
    if nice -n "$priority" cmake --preset "$preset" >"$work/$preset-configure.log" 2>&1 &&
        nice -n "$priority" cmake --build --preset "$preset" -j "$jobs"; then
        touch "$work/$preset.built"
        return 0
    fi
    cat "$work/$preset-configure.log"
    echo "$what failed"
    return 1
}
# The counts of a ctest log: passed and failed go into the road's file.
count_results() {
    local log=$1 count=$2 line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        echo "0 1" >>"$count"
        return
    fi
    local total bad
    bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    echo "$((total - bad)) $bad" >>"$count"
}
# The tests that failed in a build's last ctest run, joined by "|", when each of them failed only because
# LeakSanitizer's own tracer crashed at its exit ("Tracer caught signal 11"), after every check of the test had
# passed and before the leak check could run: a known fault of the sanitizer's runtime (google/sanitizers#1353).
# Fails when there is none, or when any failure is of another kind.
tracer_crashes() {
    local dir=$1/Testing/Temporary name names=()
    [ -s "$dir/LastTestsFailed.log" ] || return 1
    while IFS=: read -r _ name; do
        awk -v name="$name" '
            $2 == "Test:" && $3 == name { inside = 1 }
            inside && /^Tracer caught signal/ { tracer = 1 }
            inside && /LeakSanitizer has encountered a fatal error/ { fatal = 1 }
            inside && (/^FAIL!/ || /ERROR: (Address|Leak)Sanitizer/ || /runtime error:/) { other = 1 }
            inside && index($0, "\"" name "\" end time") == 1 { exit }
            END { exit !(tracer && fatal && !other) }' "$dir/LastTest.log" || return 1
        names+=("$name")
    done <"$dir/LastTestsFailed.log"
    (
        IFS='|'
        echo "${names[*]}"
    )
}
# Runs a preset's tests with ctest's further arguments and counts their results. A test whose leak check
# could not run because the sanitizer's tracer crashed runs once more, and counts as passed only if it then
# passes, leak check and all. Returns ctest's verdict.
run_tests() {
    local preset=$1 count=$2 result crashed
    shift 2
    ctest --preset "$preset" "$@" 2>&1 | tee "$work/$preset.log"
    result=${PIPESTATUS[0]}
    if [ "$result" -ne 0 ] && crashed=$(tracer_crashes "build/$preset"); then
        echo "== LeakSanitizer's tracer crashed at the exit of $crashed, whose checks had passed: once more"
        if ctest --preset "$preset" -R "^($crashed)\$" 2>&1 | tee "$work/$preset-again.log" && [ "${PIPESTATUS[0]}" -eq 0 ]; then
            # The failures of the first run were those tests only: all of them passed now.
            sed -i -E 's/^([0-9]+)% tests passed, [0-9]+ tests failed out of ([0-9]+)/100% tests passed, 0 tests failed out of \2/' "$work/$preset.log"
            result=0
        fi
    fi
    count_results "$work/$preset.log" "$count"
    return "$result"
}
not_run() { echo "0 1" >>"$1"; }
# Waits (for up to 2 hours) until another road has built a preset, or says that it will not.
await_build() {
    local preset=$1
    for _ in $(seq 72000); do
        [ -e "$work/$preset.built" ] && return 0
        [ -e "$work/$preset.failed" ] && return 1
        sleep 0.1
    done
    return 1
}

# Each road gets its display, its Wine prefix and its own XDG folders. The Linux suites run Wine only for the
# end-to-end test, which wants windows as a desktop holds them.
road_env() {
    export DISPLAY=":$1"
    export WINEPREFIX="$work/wine-$2"
    local xdg=$work/xdg-$2
    mkdir -p "$xdg/config" "$xdg/cache" "$xdg/data" "$xdg/runtime"
    chmod 700 "$xdg/runtime"
    export XDG_CONFIG_HOME="$xdg/config" XDG_CACHE_HOME="$xdg/cache" XDG_DATA_HOME="$xdg/data" XDG_RUNTIME_DIR="$xdg/runtime"
    "$root/cmake/wine-prefix.sh" "$WINEPREFIX" ${3:-}
}

windows_road() {
    local count=$work/windows.count status=0
    road_env "$1" windows
    stage "Windows build (mingw-w64)"
    if build windows "Windows build"; then
        stage "Windows tests (Wine)"
        # The tests share the prefix's wineserver and its desktop: one at a time.
        run_tests windows "$count" || status=1
    else
        touch "$work/windows.failed"
        not_run "$count"
        status=1
    fi
    fuzz "$count" || status=1
    return $status
}

# Each parser fuzzed for a bounded time from its corpus in tests/fuzz/corpus (clang's libFuzzer).
fuzz() {
    local count=$1
    priority=10
    stage "Fuzz build"
    if ! build linux-fuzz "Fuzz build"; then
        not_run "$count"
        return 1
    fi
    stage "Fuzz targets"
    run_tests linux-fuzz "$count" -j "$jobs"
    local result=$?
    awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^stat::number_of_executed_units:/ { print "  " name ": " $2 " inputs run" }' \
        build/linux-fuzz/Testing/Temporary/LastTest.log
    return $result
}

linux_road() {
    local count=$work/linux.count
    road_env "$1" linux managed
    stage "Linux build"
    if ! build linux "Linux build"; then
        not_run "$count"
        return 1
    fi
    # The end-to-end test drives the Windows bundle too.
    await_build windows
    stage "Linux tests"
    run_tests linux "$count" -j "$jobs"
}

sanitizer_road() {
    local count=$work/sanitizer.count status=0
    road_env "$1" sanitizer managed
    # The Linux suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer: a memory fault, a leak
    # or undefined behaviour fails the test that meets it.
    stage "Linux build under AddressSanitizer and UndefinedBehaviorSanitizer"
    priority=10
    if build linux-asan "Linux build under the sanitizers"; then
        await_build windows
        stage "Linux tests under AddressSanitizer and UndefinedBehaviorSanitizer"
        # The process tests run once, on SQLite; PostgreSQL's store meets the sanitizers in its own unit test
        # and in the tests of several instances on one database.
        run_tests linux-asan "$count" -j "$jobs" \
            -E '^(servertest|server|servercommands|pairing|delivery|server_attacks|e2e_linux)_postgres$' || status=1
    else
        not_run "$count"
        status=1
    fi
    return $status
}

# ---- the three roads, side by side ----

start=$(date +%s)
names=()
for road in windows linux sanitizer; do
    new_display
    "${road}_road" "$display" </dev/null >"$work/$road.out" 2>&1 &
    roads+=($!)
    names+=("$road")
done
# A stage's first line as it starts, so that a long run shows where it is.
tail -n +1 -F "$work/stages.log" 2>/dev/null &
follower=$!

status=0
for i in "${!roads[@]}"; do
    wait "${roads[$i]}" || status=1
    road_end=$(date +%s)
    echo "== ${names[$i]} road ended after $((road_end - start)) s; its output:"
    cat "$work/${names[$i]}.out"
done
kill "$follower" >/dev/null 2>&1
wait "$follower" 2>/dev/null
roads=()

passed=0
failed=0
for road in "${names[@]}"; do
    while read -r p f; do
        passed=$((passed + p))
        failed=$((failed + f))
    done <"$work/$road.count"
done
[ "$failed" -eq 0 ] || status=1
echo "total: $passed passed, $failed failed, in $(($(date +%s) - start)) s"
exit $status
