#!/bin/sh
# Boots a private systemd (PID 1 of its own PID, mount and UTS namespaces) so that the service
# framework can be tested against the real service manager and journal without touching the
# machine: /run, /tmp, /var/tmp, /var/log, /var/lib/systemd and /etc/systemd/system are tmpfs
# inside, and the manager sees only the few units named below (no sysinit units, which would
# clean /tmp, apply sysctls or remount file systems on the shared kernel). Folders named in
# VX_NS_KEEP (colon-separated) stay visible inside even where they lie under a masked folder.
# Folders named in VX_NS_OVERLAY (colon-separated: /usr, /etc, /var) are writable inside, on
# overlays whose changes live in the namespace's /run and vanish with it, so that a package can
# be installed there without touching the machine's files or dpkg database. Unit folders named
# in VX_NS_UNIT_PATH are searched after the namespace's own.
#
#   systemd-ns.sh boot DIR          runs in the foreground until the namespace ends; the
#                                   namespace dies with this process (parent-death signal)
#   systemd-ns.sh wait DIR [SECS]   waits until the manager is up, prints PID 1's host pid
#   systemd-ns.sh exec PID CMD...   runs CMD inside the namespace
#   systemd-ns.sh stop DIR          kills PID 1 and removes the namespace's cgroups
#
# Exit code 77 means the namespace cannot be made here; the reason is on stderr.
set -u

SYSTEMD=/lib/systemd/systemd
NAME=vx-ns

die_skip() { echo "systemd-ns: $*" >&2; exit 77; }

cgroup_roots() {
    if [ "$(stat -fc %T /sys/fs/cgroup 2>/dev/null)" = cgroup2fs ]; then
        echo /sys/fs/cgroup
        return
    fi
    [ -d /sys/fs/cgroup/unified ] && [ "$(stat -fc %T /sys/fs/cgroup/unified)" = cgroup2fs ] &&
        echo /sys/fs/cgroup/unified
    [ -d /sys/fs/cgroup/systemd ] && echo /sys/fs/cgroup/systemd
}

# Removes the cgroups of namespaces whose boot process is gone (empty trees only); those of
# namespaces still running, perhaps another test's, are left alone.
sweep_cgroups() {
    for root in $(cgroup_roots); do
        for cg in "$root"/"$NAME"-*; do
            [ -d "$cg" ] || continue
            kill -0 "${cg##*-}" 2>/dev/null && continue
            find "$cg" -depth -type d -exec rmdir {} \; 2>/dev/null
        done
    done
}

check_host() {
    [ "$(id -u)" = 0 ] || die_skip "needs root"
    [ -x "$SYSTEMD" ] || die_skip "no $SYSTEMD"
    command -v unshare >/dev/null && command -v nsenter >/dev/null && command -v setpriv >/dev/null ||
        die_skip "needs unshare, nsenter and setpriv (util-linux)"
    [ -n "$(cgroup_roots)" ] || die_skip "no writable cgroup hierarchy for systemd"
}

cmd_boot() {
    dir=$1
    check_host
    mkdir -p "$dir" || die_skip "cannot create $dir"
    sweep_cgroups
    id=$NAME-$$
    for root in $(cgroup_roots); do
        mkdir "$root/$id" && echo $$ > "$root/$id/cgroup.procs" || die_skip "cannot use cgroup $root/$id"
    done
    echo "$id" > "$dir/cgroup"
    echo $$ > "$dir/boot.pid"
    rm -f "$dir/pid1"
    # The parent-death signal ends unshare (and with it PID 1, --kill-child) when our caller
    # dies without tearing down.
    exec setpriv --pdeathsig KILL -- unshare --pid --fork --kill-child=SIGKILL --mount \
        --uts --propagation private --mount-proc -- "$0" init "$dir"
}

MASKED="/run /tmp /var/tmp /var/log /var/lib/systemd /etc/systemd/system"

mount_overlays() {
    for o in $(printf '%s' "${VX_NS_OVERLAY:-}" | tr ':' ' '); do
        layer=/run/$NAME/overlay$(printf '%s' "$o" | tr / _)
        mkdir -p "$layer/upper" "$layer/work" &&
            mount -t overlay "$NAME" -o "lowerdir=$o,upperdir=$layer/upper,workdir=$layer/work" "$o" ||
            return 1
    done
}

cmd_init() {
    dir=$1
    # Folders the tests run programs from (VX_NS_KEEP, colon-separated; a checkout under /tmp,
    # say) stay visible through the masks: opened before, bound back into place after.
    kept=
    fd=3
    keeps=$(printf '%s' "${VX_NS_KEEP:-}" | tr ':' '\n')
    old_ifs=$IFS
    IFS='
'
    for keep in $keeps; do
        IFS=$old_ifs
        [ -d "$keep" ] && [ $fd -le 8 ] || continue
        for m in $MASKED; do
            case "$keep/" in "$m"/*)
                eval "exec $fd<\"\$keep\""
                kept="$kept$fd $keep
"
                fd=$((fd + 1))
                break ;;
            esac
        done
    done
    IFS=$old_ifs
    for m in $MASKED; do
        mkdir -p "$m" && mount -t tmpfs -o mode=755 "$NAME" "$m" || exit 1
        # The overlays lie under the other masks (/var/log is in /var) and keep their changes
        # in /run.
        [ "$m" != /run ] || mount_overlays || exit 1
    done
    chmod 1777 /tmp /var/tmp
    printf '%s' "$kept" | while read -r n keep; do
        mkdir -p "$keep" && mount --no-canonicalize --bind "/proc/self/fd/$n" "$keep" || exit 1
    done || exit 1
    units=/run/$NAME/units
    mkdir -p "$units" /run/$NAME/generators /run/systemd/journald.conf.d
    for u in systemd-journald.service systemd-journald.socket; do
        ln -s /lib/systemd/system/$u "$units/$u"
    done
    for t in sysinit basic multi-user shutdown; do
        printf '[Unit]\nDescription=%s (empty in the test namespace)\nDefaultDependencies=no\n' \
            "$t" > "$units/$t.target"
    done
    printf '[Unit]\nDescription=System Slice\nDefaultDependencies=no\n' > "$units/system.slice"
    printf '[Unit]\nDescription=Test namespace\nWants=systemd-journald.socket systemd-journald.service\n' \
        > "$units/$NAME.target"
    printf '[Journal]\nStorage=volatile\nReadKMsg=no\nForwardToSyslog=no\nForwardToWall=no\n' \
        > /run/systemd/journald.conf.d/$NAME.conf
    export container=$NAME
    export SYSTEMD_UNIT_PATH=/etc/systemd/system:$units${VX_NS_UNIT_PATH:+:$VX_NS_UNIT_PATH}
    export SYSTEMD_GENERATOR_PATH=/run/$NAME/generators
    export SYSTEMD_ENVIRONMENT_GENERATOR_PATH=/run/$NAME/generators
    exec "$SYSTEMD" --system --unit=$NAME.target --log-target=journal --log-level=warning \
        --show-status=no </dev/null >/dev/null 2>&1
}

pid1_of() {
    boot=$(cat "$1/boot.pid" 2>/dev/null) || return 1
    # boot.pid became setpriv, then unshare; its one child is PID 1 of the namespace.
    cat /proc/"$boot"/task/*/children 2>/dev/null | awk '{print $1; exit}'
}

cmd_wait() {
    dir=$1
    secs=${2:-30}
    check_host # the same reasons as boot's, at once rather than after the time-out
    end=$(($(date +%s) + secs))
    pid=
    while [ -z "$pid" ]; do
        [ "$(date +%s)" -lt "$end" ] || die_skip "namespace did not come up"
        boot=$(cat "$dir/boot.pid" 2>/dev/null)
        [ -z "$boot" ] || kill -0 "$boot" 2>/dev/null || die_skip "the namespace's boot ended"
        pid=$(pid1_of "$dir")
        [ -n "$pid" ] || sleep 0.1
    done
    # The manager answers once its private bus socket exists.
    until nsenter -t "$pid" -m -- test -S /run/systemd/private 2>/dev/null; do
        kill -0 "$pid" 2>/dev/null || die_skip "PID 1 of the namespace died while booting"
        [ "$(date +%s)" -lt "$end" ] || die_skip "systemd did not open its bus socket"
        sleep 0.1
    done
    state=$(timeout "$secs" nsenter -t "$pid" -m -p -u -- systemctl is-system-running --wait 2>/dev/null)
    case "$state" in
        running|degraded) ;;
        *) die_skip "systemd in the namespace is '$state'" ;;
    esac
    timeout "$secs" nsenter -t "$pid" -m -p -u -- systemctl is-active --quiet systemd-journald.service ||
        die_skip "journald did not start in the namespace"
    echo "$pid" > "$dir/pid1"
    echo "$pid"
}

cmd_exec() {
    pid=$1
    shift
    exec nsenter -t "$pid" -m -p -u -- "$@"
}

cmd_stop() {
    dir=$1
    pid=$(cat "$dir/pid1" 2>/dev/null || pid1_of "$dir")
    boot=$(cat "$dir/boot.pid" 2>/dev/null)
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    [ -n "$boot" ] && kill -KILL "$boot" 2>/dev/null
    # The cgroups empty as the namespace's processes are reaped.
    id=$(cat "$dir/cgroup" 2>/dev/null)
    [ -n "$id" ] || return 0
    for _ in $(seq 50); do
        left=0
        for root in $(cgroup_roots); do
            [ -d "$root/$id" ] || continue
            find "$root/$id" -depth -type d -exec rmdir {} \; 2>/dev/null
            [ -d "$root/$id" ] && left=1
        done
        [ $left = 0 ] && return 0
        sleep 0.1
    done
    echo "systemd-ns: cgroup $id not removed" >&2
    return 1
}

case "${1:-}" in
    boot) cmd_boot "$2" ;;
    init) cmd_init "$2" ;;
    wait) cmd_wait "$2" "${3:-30}" ;;
    exec) shift; cmd_exec "$@" ;;
    stop) cmd_stop "$2" ;;
    *) echo "usage: $0 boot|wait|exec|stop ..." >&2; exit 2 ;;
esac
