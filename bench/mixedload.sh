#!/usr/bin/env bash
# Mixed load: honest clients (control tests, getpublicip, web /ip and /port/N, IPv6 where ::1
# works) beside hostile ones (an idle crowd, slow readers, pipeliners, floods of short
# connections, clients that never read, one address asking for web port checks without pause)
# against one tester, for a given time. Prints the honest clients' errors and latencies
# (p50/p99/max), what the flood of checks was answered, and the tester's RSS, threads and
# descriptors at start and end. The tester runs with its default rate of web checks (30 a
# minute per address): the honest web clients ask for one every 2.5 s, within it, so a 429 for
# them counts as an error.
#
#   bench/mixedload.sh [seconds] [tester]     default: 60 s, build/vx-connectivity-tester
#
# Knobs (environment): IDLE (idle connections, default 2000), NOFILE (the tester's descriptor
# limit, default 4096).
set -u
DURATION=${1:-60}
TESTER=${2:-build/vx-connectivity-tester}
IDLE=${IDLE:-2000}
NOFILE=${NOFILE:-4096}
WORK=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; grep -v "listening on" "$WORK/tester.err" >&2; rm -rf "$WORK"' EXIT

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
CPORT=$(free_port)
HPORT=$(free_port)
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
(ulimit -n "$NOFILE"; TMPDIR=$WORK VX_HTTP_PORT=$HPORT exec "$TESTER" -e "$CPORT") 2>"$WORK/tester.err" &
TPID=$!
for _ in $(seq 100); do grep -q "listening on port" "$WORK/tester.err" 2>/dev/null && break; sleep 0.1; done

stats() { # what /proc says about the tester
    printf 'rss %s KiB, threads %s, descriptors %s\n' \
        "$(awk '/VmRSS/{print $2}' /proc/$TPID/status)" \
        "$(awk '/Threads/{print $2}' /proc/$TPID/status)" "$(ls /proc/$TPID/fd | wc -l)"
}
echo "tester pid $TPID, control port $CPORT, web port $HPORT"
echo "start: $(stats)"
END=$(( $(date +%s) + DURATION ))
now_us() { echo $(( $(date +%s%N) / 1000 )); }

# ---- honest clients: one line per request, "kind microseconds ok|error" ----
honest_control() { # $1: host
    local host=$1 kind=control-v4
    [[ $host == *:* ]] && kind=control-v6
    while (( $(date +%s) < END )); do
        local t0 ok=error line port fd
        t0=$(now_us)
        if exec {fd}<>"/dev/tcp/$host/$CPORT" 2>/dev/null; then
            printf 'getpublicip\n' >&$fd
            IFS= read -r -t 10 line <&$fd && [[ $line == "Public IP "* ]] && ok=ok
            echo "$kind-ip $(( $(now_us) - t0 )) $ok"
            port=$(( 20000 + RANDOM % 20000 ))
            t0=$(now_us); ok=error
            printf 'testport in udp %d 200\n' "$port" >&$fd
            IFS= read -r -t 10 line <&$fd && [[ $line == "porttesting in udp $port"* ]] &&
                IFS= read -r -t 10 line <&$fd && [[ $line == *" timeout"* ]] && ok=ok
            echo "$kind-test $(( $(now_us) - t0 )) $ok"
            exec {fd}<&-
        else
            echo "$kind-connect 0 error"
        fi
    done
}
honest_web() { # $1: host
    local host=$1 url t0 code ok family=v4 next_check=0 paths
    [[ $host == *:* ]] && family=v6
    [[ $host == *:* ]] && url="http://[$host]:$HPORT" || url="http://$host:$HPORT"
    while (( $(date +%s) < END )); do
        paths=(/ip)
        if (( $(now_us) >= next_check )); then # within the rate of checks per address
            paths+=("/port/$(( 20000 + RANDOM % 20000 ))")
            next_check=$(( $(now_us) + 2500000 ))
        fi
        for path in "${paths[@]}"; do
            t0=$(now_us)
            code=$(curl -s -o /dev/null -m 10 -w '%{http_code}' "$url$path")
            [[ $code == 200 ]] && ok=ok || ok=error
            echo "web${path%%/[0-9]*}-$family $(( $(now_us) - t0 )) $ok $code"
        done
    done
}

# ---- hostile clients ----
idle_crowd() { # holds IDLE connections from 100 addresses, reopening what is closed
    python3 - "$CPORT" "$IDLE" "$END" <<'PY'
import socket, sys, time, select
port, count, end = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
held = []
def opened(i):
    s = socket.socket(); s.setblocking(False)
    s.bind(("127.1.%d.%d" % (i // 250 % 250, 1 + i % 100), 0))
    try: s.connect(("127.0.0.1", port))
    except BlockingIOError: pass
    return s
held = [opened(i) for i in range(count)]
while time.time() < end:
    r, _, _ = select.select(held[:1000], [], [], 1)
    for s in r:
        try:
            if not s.recv(4096):
                i = held.index(s); s.close(); held[i] = opened(i)
        except OSError:
            i = held.index(s); s.close(); held[i] = opened(i)
PY
}
never_reader() { # asks and asks, reads nothing
    python3 - "$CPORT" "$END" <<'PY'
import socket, sys, time
port, end = int(sys.argv[1]), int(sys.argv[2])
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.connect(("127.0.0.1", port)); s.setblocking(False)
while time.time() < end:
    try: s.send(b"getpublicip\n" * 1000)
    except BlockingIOError: time.sleep(0.2)
    except OSError: break
PY
}
slow_reader() { # reads a byte a second on both doors
    python3 - "$CPORT" "$HPORT" "$END" <<'PY'
import socket, sys, time
cport, hport, end = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
c = socket.create_connection(("127.0.0.1", cport)); c.send(b"getpublicip\n" * 20000)
h = socket.create_connection(("127.0.0.1", hport))
h.send(b"GET /ip HTTP/1.1\r\nHost: x\r\n\r\n" * 2000)
while time.time() < end:
    for s in (c, h):
        try: s.recv(1)
        except OSError: pass
    time.sleep(1)
PY
}
pipeliner() { # many requests per write on both doors, reads everything
    python3 - "$CPORT" "$HPORT" "$END" <<'PY'
import socket, sys, time
cport, hport, end = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
while time.time() < end:
    for port, request in ((cport, b"getpublicip\n" * 500),
                          (hport, b"GET /ip HTTP/1.1\r\nHost: x\r\n\r\n" * 200)):
        try:
            s = socket.create_connection(("127.0.0.1", port), 5); s.settimeout(5)
            s.sendall(request); s.shutdown(socket.SHUT_WR)
            while s.recv(65536): pass
            s.close()
        except OSError: pass
PY
}
short_flood() { # connections opened and closed at once, on both doors
    while (( $(date +%s) < END )); do
        for _ in $(seq 50); do
            (exec 3<>"/dev/tcp/127.0.0.1/$CPORT") 2>/dev/null
            (exec 3<>"/dev/tcp/127.0.0.1/$HPORT") 2>/dev/null
        done
    done
}

check_flood() { # one address asking for web port checks back to back: 429 past its rate
    while (( $(date +%s) < END )); do
        curl -s -o /dev/null -m 10 -w '%{http_code}\n' --interface 127.0.3.1 \
            "http://127.0.0.1:$HPORT/port/$(( 20000 + RANDOM % 20000 ))"
    done >"$WORK/check-flood"
}

idle_crowd & sleep 2
never_reader & slow_reader & pipeliner & short_flood & check_flood &
HOSTS=(127.0.0.1)
python3 -c 'import socket;socket.create_connection(("::1",'"$CPORT"'),2)' 2>/dev/null && HOSTS+=(::1)
for host in "${HOSTS[@]}"; do
    honest_control "$host" >"$WORK/honest-control-${host//:/}" &
    honest_web "$host" >"$WORK/honest-web-${host//:/}" &
done
sleep $(( END - 2 - $(date +%s) ))
echo "load:  $(stats)   (under the full mix, 2 s before the end)"
wait $(jobs -p | grep -v "^$TPID$") 2>/dev/null
echo "end:   $(stats)"
sleep 12 # the tester gives freed memory back after a quiet spell
echo "after: $(stats)"

printf 'check flood from 127.0.3.1: %s requests, answered %s\n' "$(wc -l <"$WORK/check-flood")" \
    "$(sort "$WORK/check-flood" | uniq -c | awk '{ printf "%s%s: %s", sep, $2, $1; sep = ", " }')"
printf '%-18s %8s %7s %9s %9s %9s\n' honest requests errors "p50 ms" "p99 ms" "max ms"
cat "$WORK"/honest-* | awk '{ print $1, $2, $3 }' |
    sort -k1,1 -k2,2n | awk '
    function report() {
        if (n == 0) return
        p50 = v[int(n * 0.50) + 1]; p99 = v[(int(n * 0.99) < n) ? int(n * 0.99) + 1 : n]
        printf "%-18s %8d %7d %9.1f %9.1f %9.1f\n", kind, n, errors, p50 / 1000, p99 / 1000, v[n] / 1000
    }
    $1 != kind { report(); kind = $1; n = 0; errors = 0; delete v }
    { v[++n] = $2; if ($3 != "ok") errors++ }
    END { report() }'
kill "$TPID"
