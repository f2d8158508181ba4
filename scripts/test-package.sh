#!/usr/bin/env bash
# Builds the Debian package, installs it from the file, and checks it as users run it: the
# helper's owner, group, mode and capabilities; the window's executable without any; a member of
# the group okgate cuts (event-fed, its process without capabilities even with a plugin path of
# its own); a user outside the group cuts nothing and is told once. Then removes and purges the
# package and checks that nothing it installed is left. Needs root (CI runs as root); other
# developers' runs of this script on the same machine wait for the lock.
set -uo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "test-package: SKIP (needs root: it installs the package and adds users)"
    exit 0
fi

failures=()
fail() { failures+=("$1"); echo "FAIL: $1"; }
pass() { echo "ok:   $1"; }
check() { # check <description> <command...>
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

helper=/usr/libexec/okgate/okgate-helper
program=/usr/libexec/okgate/okgate
work=$(mktemp -d /tmp/okgate-package-XXXXXX)
chmod 0755 "$work"
suffix=$(printf '%s%04x' "$$" "$RANDOM")
member=okgm$suffix
outsider=okgo$suffix
apt=(apt-get -y -qq -o DPkg::Lock::Timeout=300)
export DEBIAN_FRONTEND=noninteractive

override=
cleanup() {
    [ -n "$override" ] && dpkg-statoverride --remove "$helper" >/dev/null 2>&1
    for pid in $(jobs -p); do # only children still running: a reaped id may be another's
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for user in "$member" "$outsider"; do
        id "$user" >/dev/null 2>&1 || continue
        rmdir "/run/user/$(id -u "$user")" 2>/dev/null
        userdel "$user" >/dev/null 2>&1
    done
    if dpkg-query -W -f='${Status}' okgate 2>/dev/null | grep -qv "not-installed"; then
        "${apt[@]}" purge okgate >/dev/null 2>&1
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# One run at a time on this machine: the package and the group are machine-wide.
exec 9>/tmp/okgate-package-test.lock
if ! flock -w 900 9; then
    echo "test-package: FAIL (another run held the lock for 15 minutes)"
    exit 1
fi
if dpkg-query -W -f='${Status}' okgate 2>/dev/null | grep -q "ok installed"; then
    echo "test-package: FAIL (okgate is installed already: not touching someone else's install)"
    exit 1
fi

echo "== package build"
cmake --preset package >/dev/null &&
    cmake --build --preset package -j "$(nproc)" >/dev/null &&
    cpack --preset package >/dev/null || { echo "test-package: FAIL (build)"; exit 1; }
deb=$(ls build/package/okgate_*_*.deb)
dpkg -c "$deb"

echo "== lintian"
lintian --fail-on error "$deb" 2>&1 | grep -v "running with root privileges"
check "lintian finds no error" test "${PIPESTATUS[0]}" -eq 0

echo "== install"
"${apt[@]}" install "./$deb" >/dev/null || { echo "test-package: FAIL (install)"; exit 1; }
check "helper is root:okgate 0750" test "$(stat -c '%U:%G %a' "$helper")" = "root:okgate 750"
check "helper holds cap_net_admin,cap_bpf,cap_perfmon=p (permitted only)" \
    test "$(getcap "$helper" | awk '{print $2}')" = "cap_net_admin,cap_perfmon,cap_bpf=p"
check "the window's executable holds no capability" test -z "$(getcap "$program")"
check "readme.txt beside the program" test -f /usr/libexec/okgate/readme.txt
check "menu entry and icon" test -f /usr/share/applications/okgate.desktop -a \
    -f /usr/share/icons/hicolor/32x32/apps/okgate.png
check "AppStream data valid" appstreamcli validate --no-net --pedantic \
    /usr/share/metainfo/example.orvo.kestrelgate.metainfo.xml
check "okgate on the path" test "$(readlink -f /usr/bin/okgate)" = "$program"

useradd -M -N -s /usr/sbin/nologin -G okgate "$member"
useradd -M -N -s /usr/sbin/nologin "$outsider"
# Their runtime folders, as a login makes them: the helper locks it, one per user.
for user in "$member" "$outsider"; do
    install -d -m 0700 -o "$user" "/run/user/$(id -u "$user")"
done

# A loopback connection of the test's own: a listener on 127.0.0.2 on a port the kernel gave,
# a client from 127.0.0.3. Writes the port, then within the wait whether the client was cut.
cat >"$work/pair.py" <<'PY'
import select, socket, sys, time
port_file, result_file, wait = sys.argv[1], sys.argv[2], float(sys.argv[3])
listener = socket.socket()
listener.bind(("127.0.0.2", 0))
listener.listen(1)
client = socket.socket()
client.bind(("127.0.0.3", 0))
client.connect(listener.getsockname())
server, _ = listener.accept()
with open(port_file + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
import os
os.rename(port_file + ".tmp", port_file)
result = "alive"
if select.select([client], [], [], wait)[0]:
    try:
        result = "cut" if client.recv(1) == b"" else "data"
    except ConnectionError:
        result = "cut"
with open(result_file, "w") as f:
    f.write(result)
PY

# run_as <user> <name> <cut wait seconds>: starts the installed program as user with a stored
# blocked port of a fresh loopback connection; leaves result, stderr and capability lines in
# $work/<name>.
run_as() {
    local user=$1 name=$2 wait=$3 dir=$work/$2
    mkdir -p "$dir/home" "$dir/config/OrvoKestrelgate" "$dir/runtime" "$dir/plugins/styles"
    chown -R "$user" "$dir"
    # The user's own connection: the helper cuts no other user's.
    setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups \
        /usr/bin/python3 "$work/pair.py" "$dir/port" "$dir/result" "$wait" &
    local pairpid=$!
    for _ in $(seq 100); do [ -f "$dir/port" ] && break; sleep 0.1; done
    printf '[General]\nAllowedIPString=\nBlockedRemotePortsString=%s\n' "$(cat "$dir/port")" \
        >"$dir/config/OrvoKestrelgate/OrvoKestrelgate.ini"
    chown -R "$user" "$dir"
    chmod 0700 "$dir/runtime"
    setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups --inh-caps=-all \
        env -i PATH=/usr/bin:/bin HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" \
        XDG_RUNTIME_DIR="$dir/runtime" QT_QPA_PLATFORM=offscreen \
        QT_PLUGIN_PATH="$dir/plugins" /usr/bin/okgate 2>"$dir/stderr" &
    local pid=$!
    for _ in $(seq $((wait * 10 + 50))); do [ -f "$dir/result" ] && break; sleep 0.1; done
    grep -E '^Cap(Prm|Eff)' "/proc/$pid/status" >"$dir/caps" 2>/dev/null
    # The helper, started by the window: after the hand-over it keeps CAP_NET_ADMIN alone, under
    # its system call filter.
    : >"$dir/helpercaps"
    for child in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do
        grep -q "okgate-helper" "/proc/$child/cmdline" 2>/dev/null &&
            grep -E '^(CapEff|Seccomp):' "/proc/$child/status" >>"$dir/helpercaps"
    done
    kill -TERM "$pid" 2>/dev/null
    timeout 20 tail --pid="$pid" -f /dev/null || kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    wait "$pairpid" 2>/dev/null
    cat "$dir/stderr"
}

no_caps() { ! grep -qv $'\t0000000000000000$' "$1" && test "$(wc -l <"$1")" -eq 2; }

echo "== a member of okgate"
run_as "$member" member 20
check "member: the blocked connection was cut" test "$(cat "$work/member/result")" = cut
check "member: event-fed, nothing told" bash -c "! grep -q '^okgate:' '$work/member/stderr'"
check "member: the window's process holds no capability (own plugin path)" \
    no_caps "$work/member/caps"
check "member: the helper kept CAP_NET_ADMIN alone, confined" \
    test "$(cat "$work/member/helpercaps")" = $'CapEff:\t0000000000001000\nSeccomp:\t2'

echo "== a user outside okgate"
run_as "$outsider" outsider 5
check "outsider: nothing was cut" test "$(cat "$work/outsider/result")" = alive
check "outsider: the refusal told once" \
    test "$(grep -c 'Cannot cut connections' "$work/outsider/stderr")" -eq 1
check "outsider: told how to get the right" grep -q "join the group okgate" "$work/outsider/stderr"
check "outsider: the window's process holds no capability" no_caps "$work/outsider/caps"

echo "== a dpkg-statoverride entry, at each configure"
# reinstall_with_override <mode>: the administrator's entry, then the package unpacked anew.
reinstall_with_override() {
    dpkg-statoverride --remove "$helper" >/dev/null 2>&1
    override=$1
    dpkg-statoverride --add root okgate "$1" "$helper"
    "${apt[@]}" install --reinstall "./$deb" >"$work/reinstall" 2>&1
}
reinstall_with_override 0710
check "override 0710: its mode, the capabilities set again" \
    test "$(stat -c %a "$helper") $(getcap "$helper" | awk '{print $2}')" = \
    "710 cap_net_admin,cap_perfmon,cap_bpf=p"
reinstall_with_override 0755
check "override 0755: runnable by all, so left without capabilities, and said" \
    test -z "$(getcap "$helper")" -a "$(grep -c 'left without capabilities' "$work/reinstall")" -eq 1
dpkg-statoverride --remove "$helper" && override=

echo "== remove and purge"
files=$(dpkg -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' | grep -v '/$')
"${apt[@]}" remove okgate >/dev/null
left=$(for f in $files; do [ -e "$f" ] || [ -L "$f" ] && echo "$f"; done)
check "remove leaves no file of the package" test -z "$left"
check "remove leaves no folder of the package" test ! -e /usr/libexec/okgate -a \
    ! -e /usr/share/doc/okgate
check "remove keeps the group okgate" bash -c "getent group okgate >/dev/null"
"${apt[@]}" purge okgate >/dev/null
check "purge removes the group okgate" bash -c '! getent group okgate'
check "the users' lists stay" test -f "$work/member/config/OrvoKestrelgate/OrvoKestrelgate.ini"

if ((${#failures[@]})); then
    echo "test-package: FAIL (${#failures[@]}: ${failures[*]})"
    exit 1
fi
echo "test-package: PASS"
