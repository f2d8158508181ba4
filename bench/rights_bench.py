#!/usr/bin/env python3
"""The release program as people run it, once as root (it holds the rights itself) and once
without any capability, cutting through okgate-helper. Prints, for each: the reaction (a
connection on a blocked port becoming established to its client seeing the reset; median and
p99 over sequential connections) and the CPU while the table is idle (the program and its helper,
percent of one core). Run as root from the repository: python3 bench/rights_bench.py
Only connections made here are blocked: the port of a listener of this script, on loopback."""
import os, select, shutil, signal, socket, statistics, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "release", "src", "ui")
CONNECTIONS, IDLE_SECONDS = 200, 5.0
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def children(pid):
    out = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            out += [int(c) for c in f.read().split()]
    return out


def measure(label, program_dir, wrapper):
    work = tempfile.mkdtemp(prefix="okgate-bench-")
    listener = socket.socket()
    listener.bind(("127.0.0.2", 0))
    listener.listen(64)
    port = listener.getsockname()[1]
    os.makedirs(f"{work}/OrvoKestrelgate")
    with open(f"{work}/OrvoKestrelgate/OrvoKestrelgate.ini", "w") as f:
        f.write(f"[General]\nAllowedIPString=\nBlockedRemotePortsString={port}\n")
    os.chmod(work, 0o700)
    env = {"PATH": "/usr/bin:/bin", "HOME": work, "XDG_CONFIG_HOME": work,
           "XDG_RUNTIME_DIR": work, "QT_QPA_PLATFORM": "offscreen"}
    proc = subprocess.Popen(wrapper + [f"{program_dir}/okgate"], env=env,
                            stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(2.0)  # started, table seeded
        reactions, missed = [], 0
        for _ in range(CONNECTIONS):
            client = socket.socket()
            client.bind(("127.0.0.3", 0))
            client.connect(("127.0.0.2", port))
            start = time.perf_counter()
            server, _ = listener.accept()
            cut = False
            if select.select([client], [], [], 2.0)[0]:
                try:
                    cut = client.recv(1) == b""
                except ConnectionError:
                    cut = True
            if cut:
                reactions.append((time.perf_counter() - start) * 1e6)
            else:
                missed += 1
            client.close()
            server.close()
        pids = [proc.pid] + children(proc.pid)
        before = sum(cpu_seconds(p) for p in pids)
        time.sleep(IDLE_SECONDS)
        idle = 100.0 * (sum(cpu_seconds(p) for p in pids) - before) / IDLE_SECONDS
        reactions.sort()
        p99 = reactions[min(len(reactions) - 1, int(len(reactions) * 0.99))] if reactions else 0
        print(f"{label:<28} {statistics.median(reactions) if reactions else 0:>12.0f} "
              f"{p99:>12.0f} {missed:>8} {idle:>10.2f}   processes {len(pids)}")
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            err = proc.communicate(timeout=20)[1]
        except subprocess.TimeoutExpired:
            proc.kill()
            err = proc.communicate()[1]
        notices = [line for line in err.splitlines() if line.startswith("okgate:")]
        if notices:
            print("   told:", *notices, sep="\n   ")
        listener.close()
        shutil.rmtree(work, ignore_errors=True)


def main():
    if os.geteuid() != 0:
        sys.exit("run as root: the helper's file capabilities are set on a copy of it")
    # A copy of the program folder, the helper with its capabilities as the package sets them.
    folder = tempfile.mkdtemp(prefix="okgate-bench-bin-")
    try:
        os.chmod(folder, 0o755)
        for name in ("okgate", "okgate-helper", "readme.txt"):
            shutil.copy2(os.path.join(BUILD, name), folder)
        subprocess.run(["setcap", "cap_net_admin,cap_bpf,cap_perfmon=p",
                        f"{folder}/okgate-helper"], check=True)
        print(f"{'':<28} {'react med us':>12} {'react p99 us':>12} {'not cut':>8} {'idle CPU %':>10}")
        measure("as root (rights in-process)", folder, [])
        # uid 0 without the root exception: the program holds no capability, the helper only
        # what its file grants.
        measure("no rights, through helper", folder,
                ["setpriv", "--securebits=+noroot,+noroot_locked,+no_setuid_fixup",
                 "--inh-caps=-all"])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


main()
