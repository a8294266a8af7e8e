#!/usr/bin/env bash
# Load test of tapvela-server's push endpoint with wrk on loopback (a benchmark, not a test).
# For each server binary given: a fresh database, a server on a free port, a sign-in, then wrk pushing for
# SECONDS with CONNECTIONS connections, twice: once alone, once beside attackers (attackers.py: STREAMS phone
# pages left open on the events stream and SLOW clients sending a header byte every few seconds, from many
# loopback addresses, on the pages of STREAMS/8 accounts, so that the server's limits per client address and
# per account do not simply turn them away). Reports
# pushes per second, p50 and p99 latency, pushes stored against 200 answers, and the server's peak resident
# memory under load (VmRSS sampled every 0.2 s, and the kernel's VmHWM counted from after the sign-in).
#
# --webpush: the server delivers by Web Push (--vapid-subject) to a light push service on loopback
# (webpush-sink.py). wrk runs a second time on a device with 3 subscriptions, to compare the push's answer with
# and without deliveries behind it; then pushes paced at --rate a second for --seconds to a device with 3
# subscriptions give push -> delivery times; then the same with the sink answering 503 while the server is
# killed (kill -9) and restarted, to count the deliveries lost.
#
# usage: server/bench/push-bench.sh [--seconds N] [--connections N] [--streams N] [--slow N] [--no-attack]
#                                   [--webpush [--rate N]] [--pairs N] [SERVER_BINARY...]
#        (default binary: build/linux/server/tapvela-server; BENCH_SERVER_OPTIONS="--threads 32" passes
#        options to every server)
#        --pairs N runs the wrk runs without attackers N times in turn, to see through a noisy machine.
# On a shared machine: nice -n 10 server/bench/push-bench.sh ...
#
# --db postgresql://USER@HOST:PORT/DATABASE: the same wrk run on a PostgreSQL store, in a fresh database made
# beside DATABASE on that server (and dropped after): one instance, then two instances on the same database with
# wrk on each, then the time from a push through one instance to its event on a stream the other holds
# (handover.py, paced at --rate a second for --seconds). --devices N: wrk's pushes go to N devices in turn (1).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
seconds=10
connections=16
streams=1000
slow=500
attack=1
webpush=0
rate=200
pairs=1
devices=1
dbUrl=
servers=()
while (($#)); do
    case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --streams) streams=$2; shift 2 ;;
    --slow) slow=$2; shift 2 ;;
    --no-attack) attack=0; shift ;;
    --webpush) webpush=1; shift ;;
    --rate) rate=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --db) dbUrl=$2; shift 2 ;;
    --devices) devices=$2; shift 2 ;;
    -*) echo "push-bench: unknown option $1" >&2; exit 2 ;;
    *) servers+=("$1"); shift ;;
    esac
done
((${#servers[@]})) || servers=("$here/../../build/linux/server/tapvela-server")

for tool in wrk sqlite3 sha1sum python3; do
    command -v "$tool" >/dev/null || { echo "push-bench: $tool is needed" >&2; exit 1; }
done
for server in "${servers[@]}"; do
    [[ -x $server ]] || { echo "push-bench: no server at $server (build it first)" >&2; exit 1; }
done
((rate >= 1 && rate <= 2000)) || { echo "push-bench: --rate takes 1 to 2000" >&2; exit 2; }
((pairs >= 1 && pairs <= 10)) || { echo "push-bench: --pairs takes 1 to 10" >&2; exit 2; }
((seconds >= 3 && seconds <= 120)) || { echo "push-bench: --seconds takes 3 to 120" >&2; exit 2; }
((streams >= 0 && streams <= 5000 && slow >= 0 && slow <= 5000)) ||
    { echo "push-bench: --streams and --slow take 0 to 5000" >&2; exit 2; }
# Every attacker is a socket on both sides, in this shell's children.
need=$((2 * (streams + slow) + 256))
if (($(ulimit -n) < need)); then
    ulimit -n "$need" 2>/dev/null || { echo "push-bench: ulimit -n $need is refused; lower --streams/--slow" >&2; exit 1; }
fi

work=$(mktemp -d)
pid=
sampler=
attackers=
sink=
pacer=
stopAll() {
    for p in $attackers $sampler $pid $sink $pacer; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    attackers='' sampler='' pid='' sink='' pacer=''
}
trap 'stopAll; rm -rf "$work"' EXIT

# One plain HTTP/1.0 exchange through bash's own socket support; prints the body.
get() {
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
    sed '1,/^\r$/d' <&3
    exec 3<&-
}

value() { sed -n "s/^$1: //p" "$2"; }

# POST with an empty body; prints the status line and the body.
post() {
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'POST %s HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n' "$1" >&3
    sed -n '1p; /^\r$/,$p' <&3 | tr -d '\r' | tr '\n' ' '
    exec 3<&-
}

# Two instances on one PostgreSQL database.
if [[ -n $dbUrl ]]; then
    command -v psql >/dev/null || { echo "push-bench: psql is needed (postgresql-client)" >&2; exit 1; }
    server=${servers[0]}
    name=tapvela_bench_$$
    db=${dbUrl%/*}/$name
    pids=()
    trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
          psql -q "$dbUrl" -c "DROP DATABASE IF EXISTS $name" >/dev/null 2>&1; rm -rf "$work"' EXIT
    psql -q "$dbUrl" -c "CREATE DATABASE $name" >/dev/null
    printf 'bench-password\n' | "$server" add-user --db "$db" bench >/dev/null
    "$server" add-device --db "$db" bench "Bench phone" >"$work/device"
    device=$(sed -n 's/^device id: //p' "$work/device")
    token=$(sed -n 's|^phone page: .*/d/||p' "$work/device")
    # One device's pushes are stored one after another (they are numbered in the order they commit); several
    # devices' go side by side.
    loadDevices=$device
    for ((n = 2; n <= devices; n++)); do
        loadDevices+=,$("$server" add-device --db "$db" bench "Bench phone $n" | sed -n 's/^device id: //p')
    done
    ports=()
    for n in 1 2; do
        # The api key's push rate is lifted: the bench measures the store, not the limit.
        # shellcheck disable=SC2086
        "$server" serve --port 0 --db "$db" --push-rate 100000 --push-burst 100000 ${BENCH_SERVER_OPTIONS:-} \
            >"$work/out$n" 2>>"$work/err" &
        pids+=($!)
        for _ in $(seq 100); do
            [[ -s $work/out$n ]] && break
            sleep 0.1
        done
        ports+=("$(sed -n '1s/^listening on http:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/out$n")")
        [[ -n ${ports[-1]} ]] || { echo "push-bench: $server did not start" >&2; cat "$work/err" >&2; exit 1; }
    done
    port=${ports[0]}
    key=$(get "/all/login_app.php?username=bench&password=$(printf '%s' bench-password | sha1sum | cut -d' ' -f1)")
    [[ $key != error && -n $key ]] || { echo "push-bench: sign-in failed" >&2; exit 1; }
    newest() { psql -tAq "$db" -c 'SELECT coalesce(max(id), 0) FROM pushes'; }
    # wrk against each port given, at once, CONNECTIONS shared among them.
    pgLoad() {
        local title=$1 before answered=0 loads=()
        shift
        before=$(newest)
        for p in "$@"; do
            BENCH_KEY=$key BENCH_DEVICE=$loadDevices BENCH_PUSH_SECONDS=$((seconds - 1)) \
                wrk -t2 -c$((connections / $#)) -d"${seconds}s" --timeout 5s --latency -s "$here/push.lua" \
                "http://127.0.0.1:$p" >"$work/wrk-$p" &
            loads+=($!)
        done
        wait "${loads[@]}"
        echo "--- $title"
        local rate=0
        for p in "$@"; do
            sed -n '/^pushes answered 200/,$p' "$work/wrk-$p"
            answered=$((answered + $(value 'pushes answered 200' "$work/wrk-$p")))
            rate=$(awk -v a="$rate" -v b="$(value 'pushes per second over the [0-9.]* s of pushing' "$work/wrk-$p")" \
                'BEGIN {print a + b}')
        done
        local stored=$(($(newest) - before))
        echo "together: $rate pushes/s; answered 200: $answered, stored: $stored, lost: $((answered > stored ? answered - stored : 0))"
    }
    echo "=== $server on $(sed 's|//[^@]*@|//|' <<<"${dbUrl%/*}")/$name, $devices device(s)," \
        "${BENCH_SERVER_OPTIONS:-default options}"
    pgLoad "one instance: wrk, 2 threads, $connections connections, ${seconds}s" "${ports[0]}"
    pgLoad "two instances on one database: wrk on each, $((connections / 2)) connections each, ${seconds}s" \
        "${ports[0]}" "${ports[1]}"
    echo "--- handover: $rate pushes a second for ${seconds}s through one instance, events read on the other's stream"
    python3 "$here/handover.py" --push-base "http://127.0.0.1:${ports[0]}" --stream-base "http://127.0.0.1:${ports[1]}" \
        --key "$key" --device "$device" --token="$token" --rate "$rate" --seconds "$seconds"
    exit 0
fi

# Starts the server on $port (0: a free one) and sets pid, port and base.
startServer() {
    # shellcheck disable=SC2086
    "$server" serve --port "$1" --db "$db" ${BENCH_SERVER_OPTIONS:-} "${webpushOptions[@]}" >"$work/out" 2>>"$work/err" &
    pid=$!
    for _ in $(seq 100); do
        [[ -s $work/out ]] && break
        sleep 0.1
    done
    port=$(sed -n '1s/^listening on http:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/out")
    [[ -n $port ]] || { echo "push-bench: $server did not start" >&2; cat "$work/err" >&2; exit 1; }
    base=http://127.0.0.1:$port
}

# Deliveries and pushes still queued in the server's database (pushes are marked since schema 5, before that
# they had a table of their own, and before that there were rows only).
queued() {
    local rows pushes
    rows=$(sqlite3 -cmd '.timeout 5000' "$db" 'SELECT count(*) FROM deliveries')
    pushes=$(sqlite3 -cmd '.timeout 5000' "$db" 'SELECT count(*) FROM pushes WHERE deliver_to IS NOT NULL' 2>/dev/null) ||
        pushes=$(sqlite3 -cmd '.timeout 5000' "$db" 'SELECT count(*) FROM push_queue' 2>/dev/null) || pushes=0
    echo $((rows + pushes))
}

# Waits for the queue to empty (at most 5 minutes); prints how long it took.
drain() {
    local started=$SECONDS
    while (($(queued) > 0 && SECONDS - started < 300)); do
        sleep 0.5
    done
    echo "queue emptied in $((SECONDS - started)) s ($(queued) left)"
}

# A device of the bench account with 3 subscriptions on the sink, named NAME-1..3; prints its id.
subscribedDevice() {
    local out token n
    out=$("$server" add-device --db "$db" bench "$1")
    token=$(sed -n 's|^phone page: .*/d/||p' <<<"$out")
    for n in 1 2 3; do
        local answer
        answer=$(post "/d/$token/subscription?endpoint=http%3A%2F%2F127.0.0.1%3A$sinkPort%2F$2-$n&p256dh=$sinkP256dh&auth=$sinkAuth")
        [[ $answer == *'{"status":"ok"}'* ]] || { echo "push-bench: subscription refused: $answer" >&2; exit 1; }
    done
    sed -n 's/^device id: //p' <<<"$out"
}

# The paced runs put the server on one CPU and the pacer and the sink on the others, as if on machines of their
# own: sharing every CPU, the pacer itself is woken late while the server encrypts the deliveries, and the
# bench's own client would be charged to the server's answer. `pin` does it (with 2 CPUs or more), `unpin`
# undoes it for the sink (the server it pinned is stopped by then).
cpus=$(nproc)
outside=
pin() {
    ((cpus >= 2)) || return 0
    outside=1-$((cpus - 1))
    taskset -a -p -c 0 "$pid" >/dev/null
    taskset -a -p -c "$outside" "$sink" >/dev/null
}
unpin() {
    [[ -n $outside ]] || return 0
    outside=
    taskset -a -p -c "0-$((cpus - 1))" "$sink" >/dev/null
}

# Pushes paced at $rate a second for $seconds to DEVICE with the tag TAG, in the background (sets pacer).
pace() {
    ${outside:+taskset -c "$outside"} python3 "$here/webpush-sink.py" pace "$work/sent-$2" --base "$base" \
        --key "$key" --device "$1" --tag "$2" \
        --rate "$rate" --seconds "$seconds" >"$work/pace-$2" 2>&1 &
    pacer=$!
}

# The sink's figures for TAG (pushes to a device with SUBSCRIPTIONS), printed and appended to the summary.
deliveries() {
    python3 "$here/webpush-sink.py" report "$work/sent-$1" "$work/record" --keys "$work/sink" \
        --subscriptions "$3" >"$work/report"
    cat "$work/report"
    printf '%-58s %6s %7s %7s %9s %9s %5s %5s\n' "$label, $2" \
        "$(value 'pushes answered 200' "$work/report")" \
        "$(value 'push answer p50 ms' "$work/report")" "$(value 'push answer p99 ms' "$work/report")" \
        "$(value 'push to delivery p50 ms' "$work/report")" "$(value 'push to delivery p99 ms' "$work/report")" \
        "$(value 'deliveries lost' "$work/report")" "$(value 'deliveries accepted twice' "$work/report")" \
        >>"$work/webpush"
}
# Requests that the sink has had so far.
deliveriesMade() {
    if ((webpush)); then wc -l <"$work/record"; else echo 0; fi
}
# CPU ticks so far: the server's whole, its delivery thread (with its name lookups), its log copy, the sink,
# and the machine's idle time.
ticks() {
    local delivery=0 copy=0 name used
    for task in /proc/"$pid"/task/*/stat; do
        read -r name used < <(awk '{print $2, $14 + $15}' "$task" 2>/dev/null) || continue
        case $name in
        '(web-push)' | '(web-push-store)') delivery=$((delivery + used)) ;;
        '(wal-copy)') copy=$((copy + used)) ;;
        esac
    done
    echo "$(awk '{print $14 + $15}' "/proc/$pid/stat") $delivery $copy" \
        "$( ((webpush)) && awk '{print $14 + $15}' "/proc/$sink/stat" || echo 0)" \
        "$(awk '$1 == "cpu" {print $5 + $6}' /proc/stat)"
}
# The database's size on disk in kB: the file and its write-ahead log (which SQLite reuses from its start once
# copied back, so that it stays at its largest size).
dbSize() {
    echo "$(du -k "$db" | cut -f1) $( (du -k "$db-wal" 2>/dev/null || echo 0) | cut -f1)"
}
# wrk, with the pushes stored meanwhile; appends a row to the summary.
load() {
    local name=$1 before after answered cpu start end sent size
    # Pushes are numbered as they are stored; a device's oldest go as its newest come, so counting rows would not do.
    before=$(sqlite3 "$db" 'SELECT coalesce(max(id), 0) FROM pushes')
    size=$(dbSize)
    sent=$(deliveriesMade)
    cpu=$(ticks)
    echo "--- $name: wrk, 2 threads, $connections connections, ${seconds}s"
    BENCH_KEY=$key BENCH_DEVICE=$device BENCH_PUSH_SECONDS=$((seconds - 1)) \
        wrk -t2 -c"$connections" -d"${seconds}s" --timeout 5s --latency -s "$here/push.lua" "$base" >"$work/wrk"
    sed -n '/^pushes answered 200/,$p' "$work/wrk"
    answered=$(value 'pushes answered 200' "$work/wrk")
    answered=${answered:-0}
    # Where the machine's time went (a thread that ended, such as a finished name lookup, is not counted), and
    # what a push's answer cost the server apart from the deliveries.
    read -r -a end <<<"$(ticks)"
    read -r -a start <<<"$cpu"
    awk -v hz="$(getconf CLK_TCK)" -v s="${end[0]} ${start[0]} ${end[1]} ${start[1]} ${end[2]} ${start[2]}" \
        -v p="${end[3]} ${start[3]} ${end[4]} ${start[4]}" -v n="$answered $(($(deliveriesMade) - sent))" 'BEGIN {
            split(s, t); split(p, q); split(n, c)
            printf "CPU seconds: server %.2f (delivery %.2f, log copy %.2f), push service %.2f, idle %.2f\n",
                (t[1] - t[2]) / hz, (t[3] - t[4]) / hz, (t[5] - t[6]) / hz, (q[1] - q[2]) / hz, (q[3] - q[4]) / hz
            if (c[1] > 0)
                printf "server CPU per push answered, deliveries aside: %.0f us\n",
                    (t[1] - t[2] - (t[3] - t[4])) / hz / c[1] * 1e6
            if (c[2] > 0)
                printf "deliveries made: %d, %.0f us of the delivery thread each\n", c[2],
                    (t[3] - t[4]) / hz / c[2] * 1e6
        }'
    after=$(sqlite3 "$db" 'SELECT coalesce(max(id), 0) FROM pushes')
    local grown
    read -r -a grown <<<"$(dbSize) $size"
    echo "database grew by $((grown[0] - grown[2])) kB, its log by $((grown[1] - grown[3])) kB" \
        "($(sqlite3 "$db" 'SELECT count(*) FROM pushes') pushes held)"
    local stored=$((after - before))
    local lost=$((answered > stored ? answered - stored : 0))
    printf '%-44s %9s %8s %8s %8s %9s %9s %5s\n' "$name" \
        "$(value 'pushes per second over the [0-9.]* s of pushing' "$work/wrk")" \
        "$(value 'p50 latency ms' "$work/wrk")" "$(value 'p99 latency ms' "$work/wrk")" \
        "$(sed -n 's/^socket errors: .*timeout \([0-9]*\)$/\1/p' "$work/wrk")" "$answered" "$stored" "$lost" \
        >>"$work/summary"
}

for server in "${servers[@]}"; do
    label=$(basename "$(dirname "$server")")/$(basename "$server")
    db=$work/bench-$RANDOM.db
    printf 'bench-password\n' | "$server" add-user --db "$db" bench >/dev/null
    "$server" add-device --db "$db" bench "Bench phone" >"$work/device"
    device=$(value 'device id' "$work/device")
    # The open pages' accounts share the bench account's password hash: hashing one each would take minutes.
    : >"$work/tokens"
    for ((n = 1; n <= (streams + 7) / 8; n++)); do
        sqlite3 "$db" "INSERT INTO accounts(username, password_hash, created_at)
                       SELECT 'page$n', password_hash, created_at FROM accounts WHERE username = 'bench'"
        "$server" add-device --db "$db" "page$n" "Page $n" | sed -n 's|^phone page: .*/d/||p' >>"$work/tokens"
    done

    webpushOptions=()
    if ((webpush)); then
        webpushOptions=(--vapid-subject mailto:bench@example.invalid --webpush-allow-loopback-http)
        : >"$work/record"
        python3 "$here/webpush-sink.py" serve "$work/record" --refuse "$work/refuse" >"$work/sink" &
        sink=$!
        for _ in $(seq 100); do
            [[ -s $work/sink ]] && break
            sleep 0.1
        done
        read -r sinkPort sinkP256dh sinkAuth < <(python3 -c \
            'import json, sys; k = json.load(sys.stdin); print(k["port"], k["p256dh"], k["auth"])' <"$work/sink")
    fi
    : >"$work/err"
    startServer 0
    digest=$(printf '%s' bench-password | sha1sum | cut -d' ' -f1)
    key=$(get "/all/login_app.php?username=bench&password=$digest")
    [[ $key != error && -n $key ]] || { echo "push-bench: sign-in failed" >&2; exit 1; }
    # The sign-in's password hash takes 64 MiB for a moment: the peak that counts is the one under load.
    echo 5 >"/proc/$pid/clear_refs" || echo "push-bench: cannot reset the server's peak memory" >&2

    echo 0 >"$work/peak"
    (
        peak=0
        while rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null) && [[ -n $rss ]]; do
            ((rss > peak)) && peak=$rss && echo "$peak" >"$work/peak"
            sleep 0.2
        done
    ) &
    sampler=$!
    echo "=== $server (listening on $base, ${BENCH_SERVER_OPTIONS:-default options})"
    echo "resident memory at rest: $(awk '/^VmRSS/ {print $2 " kB"}' "/proc/$pid/status")"

    if ((webpush)); then
        flooded=$(subscribedDevice "Flooded phone" count)
        paced=$(subscribedDevice "Paced phone" paced)
        killed=$(subscribedDevice "Killed phone" killed)
    fi
    for ((pair = 1; pair <= pairs; pair++)); do
        load "$label, alone"
        if ((webpush)); then
            device=$flooded load "$label, 3 subscriptions each"
            echo "--- deliveries queued after wrk: $(queued)"
            drain
        fi
    done
    if ((attack)); then
        python3 "$here/attackers.py" --port "$port" --tokens "$work/tokens" --streams "$streams" --slow "$slow" \
            >"$work/attackers" 2>&1 &
        attackers=$!
        for _ in $(seq 600); do
            grep -q '^ready' "$work/attackers" && break
            sleep 0.1
        done
        echo "--- attackers: $streams open phone pages, $slow slow clients"
        load "$label, $streams streams + $slow slow"
        kill "$attackers"
        wait "$attackers" || true
        attackers=
        sed -n 's/^attackers at the end: //p' "$work/attackers"
    fi
    echo "server resident memory, peak sampled: $(cat "$work/peak") kB; kernel's peak (VmHWM):" \
        "$(awk '/^VmHWM/ {print $2 " kB"}' "/proc/$pid/status")"
    echo "$(cat "$work/peak") kB peak RSS: $label" >>"$work/memory"
    if ((webpush)); then
        pin
        echo "--- Web Push: $rate pushes a second for ${seconds}s, no subscriptions" \
            "${outside:+(server on CPU 0, pacer and sink on $outside)}"
        pace "$device" plain
        wait "$pacer"
        pacer=
        cat "$work/pace-plain"
        deliveries plain "paced at $rate/s, no subscriptions" 0

        echo "--- Web Push: $rate pushes a second for ${seconds}s, 3 subscriptions"
        pace "$paced" paced
        wait "$pacer"
        pacer=
        cat "$work/pace-paced"
        drain
        deliveries paced "paced at $rate/s, 3 subscriptions" 3
        unpin

        echo "--- Web Push: the same, the sink answering 503 from the start, the server killed (kill -9) after" \
            "$((seconds / 3)) s and restarted 1 s later, the sink accepting again $((2 * seconds / 3)) s in"
        touch "$work/refuse"
        pace "$killed" killed
        sleep $((seconds / 3))
        kill -9 "$pid"
        wait "$pid" 2>/dev/null || true
        sleep 1
        startServer "$port"
        sleep $((2 * seconds / 3 - seconds / 3 - 1))
        rm -f "$work/refuse"
        wait "$pacer"
        pacer=
        cat "$work/pace-killed"
        drain
        deliveries killed "paced, 503s, kill -9 and restart" 3
    fi
    stopAll
    echo
done

echo "=== summary (pushes/s over the pushing seconds; latency of the answered requests; timeouts as wrk counts"
echo "    them, which leaves out a request never answered before wrk stops: 0 answers means the server served none)"
printf '%-44s %9s %8s %8s %8s %9s %9s %5s\n' run pushes/s p50_ms p99_ms timeouts 200s stored lost
cat "$work/summary"
cat "$work/memory"
if [[ -s $work/webpush ]]; then
    echo "=== Web Push (pushes paced by webpush-sink.py; push answer times; delivery times from the push's request"
    echo "    to the sink's first 201; lost: owed to a push answered 200 and never accepted; twice: accepted twice)"
    printf '%-58s %6s %7s %7s %9s %9s %5s %5s\n' run 200s p50_ms p99_ms deliv_p50 deliv_p99 lost twice
    cat "$work/webpush"
fi
