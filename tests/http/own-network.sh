# Run by tst_http inside a new network namespace (unshare -n): the tester's front door checks
# port 9 of three callers, one per reason, and the answers go to standard output. Exit 77: this
# machine cannot make the network (no veth).
ip link set lo up && ip route add unreachable 192.0.2.0/24 &&
    ip link add v0 type veth peer name v1 && ip addr add 198.51.100.1/24 dev v0 &&
    ip link set v0 up && ip link set v1 up &&
    # The far end's address resolves to a MAC that nothing has: SYNs go out and nothing answers.
    ip neigh add 198.51.100.2 lladdr 02:00:00:00:00:02 dev v0 || exit 77
VX_HTTP_PORT=8080 VX_TRUSTED_PROXIES=127.0.0.6 "$VX_TESTER" -e 8081 >/dev/null 2>&1 &
for _ in $(seq 100); do
    curl -fs http://127.0.0.1:8080/ip >/dev/null && break
    sleep 0.1
done
for caller in 127.0.0.1 192.0.2.1 198.51.100.2; do
    curl -s --interface 127.0.0.6 -H "X-Forwarded-For: $caller" "http://127.0.0.1:8080/port/9?timeout=500&format=text"
done
kill $!
