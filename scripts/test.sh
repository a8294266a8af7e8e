#!/usr/bin/env bash
# Builds tapvela for Linux and for Windows (cross) and runs every test: the Linux ones natively on an Xvfb
# display, the Windows ones under Wine in a private prefix made for this run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh" || exit 1

jobs=$(nproc)
work=$(mktemp -d "${TMPDIR:-/tmp}/tapvela-test.XXXXXX")
xvfb_pid=""
cleanup() {
    [ -n "${WINEPREFIX:-}" ] && WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

# A display of our own for the X11 code and for Wine's windows.
display=99
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done

status=0
passed=0
failed=0
count_results() {
    local line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        return
    fi
    local total bad
    bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}

# Configures and builds a preset; when that fails, shows the configure log and says "<what> failed".
build() {
    local preset=$1 what=$2
    if cmake --preset "$preset" >"$work/$preset-configure.log" 2>&1 && cmake --build --preset "$preset" -j "$jobs"; then
        return 0
    fi
    cat "$work/$preset-configure.log"
    echo "$what failed"
    return 1
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
# passes, leak check and all.
run_tests() {
    local preset=$1 result crashed
    shift
    ctest --preset "$preset" "$@" 2>&1 | tee "$work/$preset.log"
    result=${PIPESTATUS[0]}
    count_results "$work/$preset.log"
    if [ "$result" -ne 0 ] && crashed=$(tracer_crashes "build/$preset"); then
        echo "== LeakSanitizer's tracer crashed at the exit of $crashed, whose checks had passed: once more"
        ctest --preset "$preset" -R "^($crashed)\$" 2>&1 | tee "$work/$preset-again.log"
        if [ "${PIPESTATUS[0]}" -eq 0 ]; then
            local again
            again=$(tr '|' '\n' <<<"$crashed" | wc -l)
            result=0
            passed=$((passed + again))
            failed=$((failed - again))
        fi
    fi
    [ "$result" -eq 0 ] || status=1
}
# A run that could not happen counts as one failure.
not_run() {
    status=1
    failed=$((failed + 1))
}

# Both builds first: the Linux end-to-end test also drives the Windows bundle under Wine.
linux_built=0
windows_built=0
echo "== Linux build"
build linux "Linux build" && linux_built=1
echo "== Windows build (mingw-w64)"
build windows "Windows build" && windows_built=1

# One private Wine prefix for this run.
export WINEPREFIX="$work/wineprefix"
"$root/cmake/wine-prefix.sh" "$WINEPREFIX"

if [ "$linux_built" -eq 1 ]; then
    echo "== Linux tests"
    run_tests linux -j "$jobs"
else
    not_run
fi
if [ "$windows_built" -eq 1 ]; then
    echo "== Windows tests (Wine)"
    # The tests share the prefix's wineserver and its desktop: one at a time.
    run_tests windows
else
    not_run
fi

# The Linux suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer: a memory fault, a leak or
# undefined behaviour fails the test that meets it.
echo "== Linux build and tests under AddressSanitizer and UndefinedBehaviorSanitizer"
if build linux-asan "Linux build under the sanitizers"; then
    run_tests linux-asan -j "$jobs"
else
    not_run
fi

# Each parser fuzzed for a bounded time from its corpus in tests/fuzz/corpus (clang's libFuzzer).
echo "== Fuzz targets"
if build linux-fuzz "Fuzz build"; then
    run_tests linux-fuzz -j "$jobs"
    awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^stat::number_of_executed_units:/ { print "  " name ": " $2 " inputs run" }' \
        build/linux-fuzz/Testing/Temporary/LastTest.log
else
    not_run
fi

echo "total: $passed passed, $failed failed"
exit $status
