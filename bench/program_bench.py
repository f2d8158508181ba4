#!/usr/bin/env python3
"""The program as people run it: the release okgate under Xvfb with a window manager.

For each table mode (events: the BPF feed; dump: a dump at every pass, as without the rights) and
each number of background loopback connections, it starts okgate with a temporary config whose
blocked remote port is the port of a listener of this bench, and measures in each window state
(connections view, allowed list, minimized, and the connections view with a message box open):
  - reaction: from connect() returning until the client sees its connection cut (median, p99, max);
  - idle CPU of the process while nothing changes, in percent of one core, and its wake-ups a
    second (the context switches of all its threads, from /proc);
  - the longest pass and the longest loop iteration the program printed (OKG_LOOP_STATS): the
    pass on the clock, the iteration as the loop thread's processor time (pass, events, painting;
    the wait for work is not in it).
Then it runs the engine bench for comparison, and prints the machine's load averages.

With --mix, half the background connections are IPv6 ([::1]), the blocked listener takes both
families (dual-stack), and each state's reaction is measured and shown for IPv4 and IPv6 apart
(the clients alternate).

Needs root (the cuts), Xvfb, openbox, xdotool. Only connections made here are ever blocked: the
blocked port is one the kernel gave a listener of this bench, its peers are 127.0.0.2 and up.

Usage: bench/program_bench.py [--okgate PATH] [--engine-bench PATH] [--samples N] [sizes...]
"""
import argparse
import errno
import os
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# Button centres in window pixels (the window's twips / 15), for xdotool.
ALLOWED_BUTTON = (338, 51)
CONNECTIONS_BUTTON = (338, 22)
ADD_LOCAL_BUTTON = (338, 198)
AWAY = (30, 310)  # over the item box: no button highlighted


def start_display(procs):
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write_fd), '-screen', '0', '1024x768x24',
                             '-nolisten', 'tcp'], pass_fds=(write_fd,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(xvfb)
    os.close(write_fd)
    number = b''
    while not number.endswith(b'\n'):
        if not select.select([read_fd], [], [], 10)[0]:
            raise RuntimeError('Xvfb did not start')
        chunk = os.read(read_fd, 16)
        if not chunk:
            raise RuntimeError('Xvfb ended')
        number += chunk
    os.close(read_fd)
    display = ':' + number.decode().strip()
    env = dict(os.environ, DISPLAY=display)
    procs.append(subprocess.Popen(['openbox'], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL))
    time.sleep(1.0)
    return display


def hold_connections(n, mix=False):
    """A forked child holding n loopback sockets (n/2 pairs) on ports nobody blocks; with mix,
    every other pair over IPv6 on [::1]."""
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(ready_r)
            devnull = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(devnull, fd)
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM])
            import resource
            resource.setrlimit(resource.RLIMIT_NOFILE, (n + 1024, n + 1024))
            listener = socket.socket()
            listener.bind(('127.0.0.4', 0))
            listener.listen(4096)
            listener6 = socket.socket(socket.AF_INET6)
            listener6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            listener6.bind(('::1', 0))
            listener6.listen(4096)
            held = []
            for i in range(n // 2):
                if mix and i % 2:
                    c = socket.socket(socket.AF_INET6)
                    c.connect(listener6.getsockname()[:2])
                    s, _ = listener6.accept()
                else:
                    c = socket.socket()
                    c.bind(('127.0.0.5', 0))
                    c.connect(listener.getsockname())
                    s, _ = listener.accept()
                held += [c, s]
            os.write(ready_w, b'1')
            signal.sigwait([signal.SIGTERM])
        finally:
            os._exit(0)
    os.close(ready_w)
    if not select.select([ready_r], [], [], 120)[0]:
        raise RuntimeError('background connections not ready')
    os.close(ready_r)
    return pid


def write_config(home, blocked_port):
    config = os.path.join(home, 'config', 'OrvoKestrelgate')
    os.makedirs(config)
    with open(os.path.join(config, 'OrvoKestrelgate.ini'), 'w') as f:
        f.write('[General]\nAllowedIPString=127.0.0.1\nBlockedLocalPortsString=\n'
                'BlockedRemotePortsString=%d\n' % blocked_port)


class Program:
    def __init__(self, okgate, display, home, dump_mode):
        env = dict(os.environ, DISPLAY=display, HOME=home,
                   XDG_CONFIG_HOME=os.path.join(home, 'config'),
                   XDG_RUNTIME_DIR=os.path.join(home, 'run'), OKG_LOOP_STATS='1')
        os.makedirs(env['XDG_RUNTIME_DIR'], mode=0o700)
        if dump_mode:
            env['OKG_REFUSE_BPF'] = '1'
        self.proc = subprocess.Popen([okgate], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        os.set_blocking(self.proc.stderr.fileno(), False)
        self.env = env
        self.pending = b''
        self.window = None
        for _ in range(100):
            time.sleep(0.1)
            out = subprocess.run(['xdotool', 'search', '--pid', str(self.proc.pid), '--name',
                                  'Orvo Kestrel'], env=env, capture_output=True, text=True)
            ids = out.stdout.split()
            if ids:
                self.window = ids[-1]
                break
        if not self.window:
            raise RuntimeError('no window')

    def xdo(self, *args):
        subprocess.run(['xdotool', *args], env=self.env, capture_output=True)

    def click(self, at):
        self.xdo('mousemove', '--window', self.window, str(at[0]), str(at[1]), 'click', '1')
        time.sleep(0.2)
        self.xdo('mousemove', '--window', self.window, str(AWAY[0]), str(AWAY[1]))

    def loop_stats(self):
        """The longest pass and iteration printed since the last call, in microseconds."""
        try:
            self.pending += os.read(self.proc.stderr.fileno(), 1 << 20)
        except BlockingIOError:
            pass
        lines = self.pending.split(b'\n')
        self.pending = lines.pop()
        longest_pass = longest_iteration = 0
        for line in lines:
            if line.startswith(b'okg-loop:'):
                words = line.split()
                longest_pass = max(longest_pass, int(words[2]))
                longest_iteration = max(longest_iteration, int(words[5]))
        return longest_pass, longest_iteration

    def threads(self):
        """Processor seconds and context switches (each a wake-up, or a preemption) of all the
        program's threads so far, from /proc: schedstat counts nanoseconds, finer than the
        clock ticks of stat."""
        seconds, switches = 0.0, 0
        folder = '/proc/%d/task' % self.proc.pid
        for task in os.listdir(folder):
            try:
                with open('%s/%s/schedstat' % (folder, task)) as f:
                    seconds += int(f.read().split()[0]) / 1e9
                with open('%s/%s/status' % (folder, task)) as f:
                    switches += sum(int(line.split()[1]) for line in f
                                    if 'ctxt_switches:' in line)
            except FileNotFoundError:
                pass  # a thread that ended meanwhile
        return seconds, switches

    def idle(self, seconds=10.0):
        """CPU in percent of one core and wake-ups a second while nothing changes."""
        (c0, w0), t0 = self.threads(), time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - t0
        c1, w1 = self.threads()
        return 100.0 * (c1 - c0) / elapsed, (w1 - w0) / elapsed

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def reactions(blocked, samples, gap=0.01, seconds=None, mix=False):
    """Connects to the blocked listener one connection at a time; the time until each is cut.
    With seconds, goes on for that long instead of for a number of samples. With mix, every other
    client is IPv6: (times, missed) for each family, IPv4 first."""
    per_family = {4: ([], [0]), 6: ([], [0])}
    end = time.monotonic() + seconds if seconds else None
    port = blocked.getsockname()[1]
    i = 0
    while (time.monotonic() < end) if end else i < samples:
        i += 1
        family = 6 if mix and i % 2 else 4
        times, missed = per_family[family]
        if family == 6:
            c = socket.socket(socket.AF_INET6)
            to = ('::1', port)
        else:
            c = socket.socket()
            c.bind(('127.0.0.2', 0))
            to = ('127.0.0.3', port)
        try:
            c.connect(to)
        except (ConnectionAbortedError, ConnectionResetError):
            times.append(0.0)  # cut before connect() returned to us
            c.close()
            continue
        t0 = time.perf_counter()
        poller = select.poll()
        poller.register(c, select.POLLIN | select.POLLERR | select.POLLHUP)
        events = poller.poll(2000)
        t1 = time.perf_counter()
        err = c.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if events and err in (errno.ECONNABORTED, errno.ECONNRESET):
            times.append((t1 - t0) * 1000.0)
        else:
            missed[0] += 1
        c.close()
        try:
            s, _ = blocked.accept()
            s.close()
        except BlockingIOError:
            pass
        time.sleep(gap + (i % 7) * 0.0013)  # not in step with the loop
    both = [(times, missed[0]) for times, missed in per_family.values()]
    return both if mix else both[0]


def summary(times):
    if not times:
        return float('nan'), float('nan'), float('nan')
    times = sorted(times)
    p99 = times[min(len(times) - 1, int(0.99 * (len(times) - 1) + 0.5))]
    return statistics.median(times), p99, times[-1]


def measure(program, blocked, samples, state, mix=False, idle_seconds=10.0):
    """The state's row, or with mix its IPv4 and IPv6 rows."""
    time.sleep(1.0)
    program.loop_stats()  # forget what came before
    cpu, wakeups = program.idle(idle_seconds)
    measured = reactions(blocked, samples * (2 if mix else 1), mix=mix)
    longest_pass, longest_iteration = program.loop_stats()
    figures = (cpu, wakeups, longest_pass / 1000.0, longest_iteration / 1000.0)
    if not mix:
        times, missed = measured
        return [(state, *summary(times), missed, *figures)]
    return [('%s, IPv%d' % (state, v), *summary(times), missed, *figures)
            for v, (times, missed) in zip((4, 6), measured)]


def run_size(okgate, display, mode, n, samples, mix=False):
    rows = []
    holder = hold_connections(n, mix)
    if mix:  # dual-stack: IPv4 and IPv6 clients reach the one blocked port
        blocked = socket.socket(socket.AF_INET6)
        blocked.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        blocked.bind(('::', 0))
    else:
        blocked = socket.socket()
        blocked.bind(('127.0.0.3', 0))
    blocked.listen(1024)
    blocked.setblocking(False)
    with tempfile.TemporaryDirectory() as home:
        write_config(home, blocked.getsockname()[1])
        program = Program(okgate, display, home, mode == 'dump')
        try:
            time.sleep(2.0)  # the first passes over the whole table
            rows += measure(program, blocked, samples, 'connections view', mix)
            program.click(ALLOWED_BUTTON)
            rows += measure(program, blocked, samples, 'allowed list', mix)
            program.click(CONNECTIONS_BUTTON)
            program.xdo('windowminimize', program.window)
            rows += measure(program, blocked, samples, 'minimized', mix)
            program.xdo('windowactivate', '--sync', program.window)
            program.xdo('windowmap', '--sync', program.window)
            time.sleep(0.5)
            # The question of "Add Local IPs to Allowed" stays open for about 5 s.
            program.click(ADD_LOCAL_BUTTON)
            time.sleep(0.3)
            program.loop_stats()
            t0 = time.monotonic()
            measured = reactions(blocked, 0, seconds=5.0, mix=mix)
            open_for = time.monotonic() - t0
            program.loop_stats()  # the box's passes run outside the loop's statistics
            program.xdo('key', 'Escape')
            state = 'message box open %.0f s' % open_for
            for label, (times, missed) in (zip((state + ', IPv4', state + ', IPv6'), measured)
                                           if mix else [(state, measured)]):
                rows.append((label, *summary(times), missed, float('nan'), float('nan'),
                             float('nan'), float('nan')))
        finally:
            program.stop()
    blocked.close()
    os.kill(holder, signal.SIGTERM)
    os.waitpid(holder, 0)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--okgate', default=os.path.join(ROOT, 'build/release/src/ui/okgate'))
    parser.add_argument('--engine-bench',
                        default=os.path.join(ROOT, 'build/release/bench/okg_engine_bench'))
    parser.add_argument('--samples', type=int, default=200)
    parser.add_argument('--modes', default='events,dump')
    parser.add_argument('--mix', action='store_true',
                        help='half the connections over IPv6, reactions told per family')
    parser.add_argument('sizes', nargs='*', type=int, default=[100, 1000, 10000])
    args = parser.parse_args()

    load_before = os.getloadavg()
    procs = []
    table = []
    try:
        display = start_display(procs)
        for mode in args.modes.split(','):
            for n in args.sizes:
                for row in run_size(args.okgate, display, mode, n, args.samples, args.mix):
                    table.append((mode, n, *row))
                    print('  measured', mode, n, row[0], file=sys.stderr, flush=True)
    finally:
        for p in reversed(procs):
            p.terminate()
            p.wait()

    print('okgate (release) under Xvfb + openbox; reaction over %d connections per state%s'
          % (args.samples, ' and family, half the connections IPv6' if args.mix else ''))
    print('| table | background | window | median ms | p99 ms | max ms | missed | idle CPU %'
          ' | idle wake-ups/s | longest pass ms | longest iteration ms |')
    print('|---|---|---|---|---|---|---|---|---|---|---|')
    def figure(x, digits=2):
        return '-' if x != x else '%.*f' % (digits, x)

    for mode, n, state, med, p99, mx, missed, cpu, wakeups, lp, li in table:
        print('| %s | %d | %s | %.2f | %.2f | %.2f | %d | %s | %s | %s | %s |'
              % (mode, n, state, med, p99, mx, missed, figure(cpu, 2), figure(wakeups, 1),
                 figure(lp), figure(li)))
    sys.stdout.flush()
    if os.path.exists(args.engine_bench):
        print('\nEngine bench (same run):')
        sys.stdout.flush()
        subprocess.run([args.engine_bench, *map(str, args.sizes)])
    print('\nload averages before: %.2f %.2f %.2f, after: %.2f %.2f %.2f'
          % (*load_before, *os.getloadavg()))


if __name__ == '__main__':
    main()
