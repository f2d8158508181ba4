#!/usr/bin/python3
"""The real program on a real X display: a window manager, a tray host, the accessibility bus.

Usage: DesktopTest.py <program>. Runs itself again under dbus-run-session when no session bus is
given, so that the accessibility bus is this test's own. Every process it starts is ended by its
own id. Exit status 0 passed, 1 failed, 77 skipped (said loudly; never under CI).
"""
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

WAIT = 20  # seconds for any one thing to happen
TITLE = "Orvo Kestrel Gate v"
BUTTONS = sorted(["Current Connections", "Allowed IP Addreses", "Blocked Local Ports",
                  "Blocked Remote Ports", "Local IP Addresses", "Add Local IPs to Allowed",
                  "Readme.txt", "Visit Website", "Add"])


def skip(reason):
    if os.environ.get("CI"):
        sys.exit(f"FAILED: {reason} (CI must run this test)")
    print(f"\n*** SKIPPED: {reason} ***\n", flush=True)
    sys.exit(77)


def wait_for(what, condition, timeout=WAIT):
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > end:
            if not value:
                raise AssertionError(f"timed out waiting for {what}")
            return value
        time.sleep(0.05)


class Desktop:
    def __init__(self, program):
        self.program = program
        self.processes = []
        self.root = tempfile.mkdtemp(prefix="okgate-desktop-")
        os.chmod(self.root, 0o700)
        # Nothing blocked: this program cuts nothing on this machine.
        os.makedirs(f"{self.root}/OrvoKestrelgate")
        with open(f"{self.root}/OrvoKestrelgate/OrvoKestrelgate.ini", "w") as ini:
            ini.write("[General]\nAllowedIPString=127.0.0.1\nBlockedLocalPortsString=\n"
                      "BlockedRemotePortsString=\n")
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.root, HOME=self.root,
                        XDG_RUNTIME_DIR=self.root)
        self.env.pop("QT_QPA_PLATFORM", None)
        # What the processes print, shown when the test fails.
        self.log = open(f"{self.root}/desktop.log", "w+")

    def start(self, argv, **env):
        process = subprocess.Popen(argv, env=dict(self.env, **env), stdin=subprocess.DEVNULL,
                                   stdout=self.log, stderr=self.log)
        self.processes.append(process)
        return process

    def run(self, *argv):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True,
                              timeout=WAIT).stdout

    def __enter__(self):
        try:
            return self.set_up()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise

    def start_display(self):
        read, write = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log, pass_fds=(write,))
        self.processes.append(xvfb)
        os.close(write)
        ready = select.select([read], [], [], WAIT)[0]
        display = os.read(read, 32).decode().strip() if ready else ""
        os.close(read)
        # A display whose lock file went while its socket stayed is chosen, then found taken.
        time.sleep(0.3)
        if not display or xvfb.poll() is not None:
            return None
        self.env["DISPLAY"] = ":" + display
        return display

    def set_up(self):
        wait_for("a display of our own", self.start_display)
        self.start(["openbox", "--sm-disable"])
        self.start(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request"])
        wait_for("the tray host", lambda: self.run("xdotool", "search", "--classname", "panel"))
        self.start([self.program], QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.window = wait_for("the window", lambda: self.run(
            "xdotool", "search", "--onlyvisible", "--name", "^" + TITLE).split())[0]
        return self

    def __exit__(self, failure, *rest):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if failure:
            self.log.seek(0)
            print("--- exit codes:", [(p.args[0], p.returncode) for p in self.processes])
            print("--- what the desktop's processes printed:\n" + self.log.read()[-4000:])
        self.log.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def tray_icon(self):
        for line in self.run("xwininfo", "-root", "-tree").splitlines():
            if '("okgate"' in line and TITLE not in line:
                return line.split()[0]
        return None

    # The window as the window manager keeps it: "Normal", "Iconic" (in the task bar, minimized),
    # or None (withdrawn: hidden).
    def state(self):
        text = self.run("xprop", "-id", self.window, "WM_STATE")
        for word in ("Normal", "Iconic"):
            if f"window state: {word}" in text:
                return word
        return None

    def viewable(self):
        return "IsViewable" in self.run("xwininfo", "-id", self.window)


def check_tray(desktop):
    icon = wait_for("the tray icon", desktop.tray_icon)
    # A right click after a restore was where the window came back restored.
    for button, expected in (("1", "Normal"), ("3", "Iconic"), ("1", "Normal"), ("3", "Iconic")):
        desktop.run("xdotool", "windowminimize", desktop.window)
        wait_for("the minimized window to hide", lambda: desktop.state() is None)
        desktop.run("xdotool", "mousemove", "--window", icon, "4", "4", "click", button)
        wait_for(f"the window {expected} after button {button}",
                 lambda: desktop.state() == expected)
        time.sleep(0.5)  # and it stays so
        assert desktop.state() == expected, f"button {button}: {desktop.state()}"
        assert desktop.viewable() == (expected == "Normal"), f"button {button} mapped it"
        if expected == "Iconic":
            desktop.run("xdotool", "windowmap", desktop.window)  # back from the task bar
            wait_for("the window restored from the task bar", desktop.viewable)


def check_accessibility():
    import pyatspi

    def program():
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name in ("okgate", "OrvoKestrelgate"):
                return app
        return None

    app = wait_for("the program on the accessibility bus", program)

    def find(role, name=None):
        found = []

        def walk(node, depth):
            if node is None or depth > 8:
                return
            if node.getRole() == role and (name is None or node.name == name):
                found.append(node)
            for child in node:
                walk(child, depth + 1)
        walk(app, 0)
        return found

    buttons = wait_for("nine named buttons", lambda: sorted(
        b.name for b in find(pyatspi.ROLE_PUSH_BUTTON)) == BUTTONS and find(pyatspi.ROLE_PUSH_BUTTON))
    names = sorted(b.name for b in buttons)
    assert names == BUTTONS, names
    for role, name in ((pyatspi.ROLE_CHECK_BOX, "Show only connected"),
                       (pyatspi.ROLE_LIST, "Current Connections")):
        assert find(role, name), f"no {name} on the bus"
    local = next(b for b in buttons if b.name == "Local IP Addresses")
    action = local.queryAction()
    press = next(i for i in range(action.nActions) if action.getName(i).lower() == "press")
    action.doAction(press)

    def named_list():
        lists = find(pyatspi.ROLE_LIST)
        for node in lists:
            node.clearCache()
        return any(node.name == "Local IP Addresses" for node in lists)
    wait_for("the list named after the view the press chose", named_list)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for tool in ("Xvfb", "openbox", "trayer", "xdotool", "xprop", "xwininfo"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (scripts/deps.sh installs it)")
    if not os.environ.get("OKG_DESKTOP_BUS"):
        if not shutil.which("dbus-run-session"):
            skip("dbus-run-session is not installed: no accessibility bus")
        os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable] + sys.argv,
                   dict(os.environ, OKG_DESKTOP_BUS="1"))
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        skip("python3-pyatspi is not installed: the accessibility bus cannot be read")
    with Desktop(sys.argv[1]) as desktop:
        check_accessibility()
        print("accessibility bus: nine buttons by name, a press switched the view", flush=True)
        check_tray(desktop)
        print("tray: left clicks restore, right clicks leave the window minimized", flush=True)


if __name__ == "__main__":
    main()
