#!/usr/bin/env bash
# Runs one fixed session on the loopback against two builds of the tester and its client tool
# (folders holding vx-connectivity-tester and vx-connectivity-check, e.g. before and after a
# consolidation) and compares, with ports, times, process and socket ids normalised:
#   wire  every byte the tester sent on the scripted control connections, which wait for each
#         line before they act;
#   cli   standard output, standard error and exit code of the command-line runs (the client
#         tool's --verbose lines aside);
#   log   the debug log's lines whose text is fixed: the event log's copies ("[LOGGED ") and the
#         server's and port test's own lines (sorted, as threads interleave).
# Listed, not counted: the other debug-log lines, the lines a test ended by the client's report
# may or may not log ("ServerSide - ... ->"), and the lines the client tool exchanged: its TCP
# checks race the tester's own result line by design. Exit code 1 when wire, cli or log differ.
# The records stay in COMPARE_DIR (default: a new folder under /tmp) for a closer look.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 OLD_DIR NEW_DIR" >&2; exit 2; }
out=${COMPARE_DIR:-$(mktemp -d /tmp/compare-runs.XXXXXX)}
racy='^ServerSide - PortTest::onControlMessage\(\) -> '
designed='^(\[LOGGED |--- DEBUG LOG |PortTestHandler::|PortTesterServer\(\) - listen|PortTest::'
designed+='|ServerSide - |ClientSide - |--> |test on port=|Deleting PortTestHandler|Could not find socket'
designed+='|Error: m_tcp_socket)'

# Ports free for TCP and UDP on the loopback now, named C (control) and P1.. in the records.
declare -A names
pick_ports() {
    names=()
    ports=()
    while [ ${#ports[@]} -lt 14 ]; do
        local p=$((20000 + RANDOM % 30000))
        if [ -z "$(ss -Htuan "sport = :$p")" ] && [ -z "${names[$p]:-}" ]; then
            names[$p]=$([ ${#ports[@]} -eq 0 ] && echo C || echo "P${#ports[@]}")
            ports+=("$p")
        fi
    done
    C=${ports[0]}
}
normalise() {
    local script="s|$bin|<bin>|g"'; s/\r/\\r/g; s/ *[0-9]+ ms/ <n> ms/g; s/(sock_id ?=? ?|socket )[0-9]+/\1<fd>/g'
    for p in "${!names[@]}"; do script+="; s/\\b$p\\b/<${names[$p]}>/g"; done
    sed -E "$script"
}

# The scripted control sessions, on descriptor 3.
connect() { exec 3<>"/dev/tcp/$1/$C" || echo "<cannot connect to $1>"; }
# One write each (bash writes each line on its own), as a client's burst comes.
say() { printf '%b' "$1" >"$dir/said" && cat "$dir/said" >&3; }
# Reads lines until one matches, recording all; a silence of 10 s is recorded too.
expect() {
    local line
    while IFS= read -r -t 10 line <&3; do
        printf '%s\n' "$line"
        [[ ${line%$'\r'} =~ $1 ]] && return 0
    done
    printf '<nothing matching %s>%s\n' "$1" "${line:+ partial: $line}"
}
# Every line sent before it has been handled by the time its reply is there.
barrier() { say 'getpublicip\r\n'; expect '^Public IP'; }

session_v4() {
    connect 127.0.0.1
    barrier
    # Malformed and unknown lines get no answer; one carries control characters.
    say ' getpublicip\r\nbogus words\r\ntestport\r\ntestport tcp 70000\r\ntestport ftp 21\r\n'
    say 'hello\001\033[31mworld\r\n\n\r\n'
    barrier
    say "testport in tcp $P1 5000\r\n"
    expect "tcp $P1$" && (exec 4<>"/dev/tcp/127.0.0.1/$P1")
    expect "$P1 [a-z]+"
    say "testport IN UDP $P2\r\n"
    expect "udp $P2$" && printf PortTestPing >"/dev/udp/127.0.0.1/$P2"
    expect "$P2 [a-z]+"
    say "testport out udp $P3 5000\r\n" # pings nobody reads; the report ends it
    expect "udp $P3$" && say "porttesting   in udp $P3 success  \r\n"
    say "testport in tcp $P4 100\r\ntestport out tcp $P5 300\r\n" # a timeout; nothing listens
    expect "$P4 [a-z]+"
    expect "$P5 [a-z]+"
    # 102 requests in one go: the queue takes 101; a report ends the first.
    local many=
    for _ in {1..102}; do many+="testport in tcp $P6 60000\r\n"; done
    say "$many"
    expect "tcp $P6$" && say "porttesting in tcp $P6 success\r\n"
    expect "tcp $P6$"
    barrier
    exec 3>&-
}
session_v6() {
    connect ::1
    barrier
    say "testport in tcp $P7 5000\r\n"
    expect "tcp $P7$" && (exec 4<>"/dev/tcp/::1/$P7")
    expect "$P7 [a-z]+"
    exec 3>&-
}

# One command-line run, recorded: $1 its name, then the command.
record() {
    local name=$1
    shift
    "$@" >"$dir/out" 2>"$dir/err" </dev/null
    printf '== %s: exit %s\n-- stdout\n%s\n-- stderr\n%s\n' "$name" $? "$(cat "$dir/out")" \
        "$(cat "$dir/err")"
}
# The designed lines of a debug log, and the others, each sorted; continuation lines are joined
# to their entry with a visible \n.
split_log() {
    awk '/^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9]+ / { if (e != "") print e; e = $0; next }
         { e = e "\\n" $0 } END { if (e != "") print e }' "$1" |
        sed -E 's/^[0-9:.]+ (\[[0-9]+\] )?//; s/^(DEBUG|WARNING|CRITICAL|FATAL): //' | normalise \
        >"$dir/entries"
    grep -E "$designed" "$dir/entries" | grep -v -E "$racy" | sort >>"$dir/log"
    grep -v -E "$designed" "$dir/entries" | cat - <(grep -E "$racy" "$dir/entries") | sort \
        >>"$dir/log-other"
}

run() { # $1 the binaries, $2 the record folder
    local tester
    bin=$(realpath "$1")
    dir=$2
    mkdir -p "$dir/tmp" "$dir/tmp2" "$dir/tmp3"
    tester=$bin/vx-connectivity-tester
    pick_ports
    for i in $(seq 1 13); do printf -v "P$i" %s "${ports[$i]}"; done
    TMPDIR=$dir/tmp "$tester" -e "$C" >"$dir/tester.out" 2>"$dir/tester.err" &
    local pid=$!
    for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$C") 2>/dev/null && break; sleep 0.1; done
    { session_v4; session_v6; } >"$dir/wire.raw" 2>&1
    {
        record "check ip over IPv4" "$bin/vx-connectivity-check" --port "$C" ip
        record "check ip over IPv6" "$bin/vx-connectivity-check" --server ::1 --port "$C" ip
        for server in 127.0.0.1 ::1; do
            record "check tcp udp over $server" "$bin/vx-connectivity-check" --verbose \
                --server "$server" --port "$C" --timeout 1000 tcp "$P8,$P9" udp "$P10,$P11"
        done
        record "tester -h" "$tester" -h
        record "tester -v" "$tester" -v
        record "tester -bogus" "$tester" -bogus
        record "check --help" "$bin/vx-connectivity-check" --help
        record "check --version" "$bin/vx-connectivity-check" --version
        record "check --bogus" "$bin/vx-connectivity-check" --bogus
        TMPDIR=$dir/tmp2 record "tester -e on a taken port" "$tester" -e "$C"
        TMPDIR=$dir/tmp3 VX_MAX_TEST_TIME_MS=soon VX_HTTP_PORT=$P13 record \
            "tester -e with a bad setting and the web front door, ended after 2 s" \
            timeout 2 "$tester" -e "$P12"
        kill -TERM "$pid"
        wait "$pid"
        printf '== tester -e, ended by SIGTERM: exit %s\n-- stdout\n%s\n-- stderr\n%s\n' $? \
            "$(cat "$dir/tester.out")" "$(cat "$dir/tester.err")"
    } >"$dir/cli.raw" 2>&1
    normalise <"$dir/wire.raw" >"$dir/wire"
    grep -E '^(== |< )' "$dir/cli.raw" | normalise >"$dir/client-wire"
    grep -v -E '^[<>#] ' "$dir/cli.raw" | normalise >"$dir/cli"
    : >"$dir/log"
    : >"$dir/log-other"
    for log in "$dir"/tmp*/service-debuglog.txt; do
        echo "== ${log#"$dir"/}" | tee -a "$dir/log" >>"$dir/log-other"
        split_log "$log"
    done
}

run "$1" "$out/old"
run "$2" "$out/new"
status=0
grep -H '^<' "$out"/*/wire && echo "the session did not go as scripted (above)"
for record in wire cli log; do
    if diff -u "$out/old/$record" "$out/new/$record" >"$out/$record.diff"; then
        echo "$record: same"
    else
        echo "$record: DIFFERENT"
        cat "$out/$record.diff"
        status=1
    fi
done
for record in client-wire log-other; do
    diff -u "$out/old/$record" "$out/new/$record" >"$out/$record.diff" ||
        { echo "$record (listed, not counted):"; cat "$out/$record.diff"; }
done
echo "records: $out"
exit $status
