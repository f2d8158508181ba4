#!/usr/bin/python3
"""The real program under Xvfb with a window manager, a tray host and its own accessibility bus.

Usage: DesktopTest.py <program>. Every process it starts is ended by its own id. Exit status 0
passed, 1 failed, 77 skipped (said loudly, and never when CI is set).
"""
import os, select, shutil, subprocess, sys, tempfile, time

WAIT = 45  # seconds for any one thing to happen, on a loaded machine too
TITLE = "Orvo Kestrel Gate v"
BUTTONS = sorted(["Current Connections", "Allowed IP Addreses", "Blocked Local Ports", "Add",
                  "Blocked Remote Ports", "Local IP Addresses", "Add Local IPs to Allowed",
                  "Readme.txt", "Visit Website"])


def skip(reason):
    if os.environ.get("CI"):
        sys.exit(f"FAILED: {reason}; CI must run this test")
    print(f"\n*** SKIPPED: {reason} ***\n", flush=True)
    sys.exit(77)


def wait_for(what, condition):
    end = time.monotonic() + WAIT
    while not (value := condition()):
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)
    return value


class Desktop:
    def __init__(self, program):
        self.program, self.processes = program, []
        self.root = tempfile.mkdtemp(prefix="okgate-desktop-")  # private, as the runtime folder
        os.makedirs(f"{self.root}/OrvoKestrelgate")
        with open(f"{self.root}/OrvoKestrelgate/OrvoKestrelgate.ini", "w") as ini:
            ini.write("[General]\nAllowedIPString=127.0.0.1\n")  # nothing blocked, nothing cut
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.root, HOME=self.root,
                        XDG_RUNTIME_DIR=self.root)
        self.log = open(f"{self.root}/desktop.log", "w+")  # shown when the test fails

    def start(self, argv, pass_fds=(), **env):
        self.processes.append(subprocess.Popen(
            argv, env=dict(self.env, **env), stdin=subprocess.DEVNULL, stdout=self.log,
            stderr=self.log, pass_fds=pass_fds))
        return self.processes[-1]

    def run(self, *argv):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True,
                              timeout=WAIT).stdout

    def display(self):
        # A display whose lock file went while its socket stayed is chosen, then found taken.
        read, write = os.pipe()
        xvfb = self.start(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"], (write,))
        os.close(write)
        number = os.read(read, 32).decode().strip() if select.select([read], [], [], WAIT)[0] else ""
        os.close(read)
        time.sleep(0.3)
        self.env["DISPLAY"] = ":" + number
        return number and xvfb.poll() is None

    def __enter__(self):
        try:
            wait_for("a display of our own", self.display)
            self.start(["openbox", "--sm-disable"])
            self.start(["trayer", "--edge", "top", "--align", "right"])  # before the program
            wait_for("the tray host", lambda: self.run("xdotool", "search", "--classname", "panel"))
            self.start([self.program], QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
            self.window = wait_for("the window", lambda: self.run(
                "xdotool", "search", "--onlyvisible", "--name", "^" + TITLE).split())[0]
            return self
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise

    def __exit__(self, failure, *rest):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if failure:
            self.log.seek(0)
            print("--- the desktop's processes said:\n" + self.log.read()[-4000:])
        shutil.rmtree(self.root, ignore_errors=True)

    def tray_icon(self):
        lines = self.run("xwininfo", "-root", "-tree").splitlines()
        return next((l.split()[0] for l in lines if '("okgate"' in l and TITLE not in l), None)

    # The window as the window manager keeps it: Normal, Iconic (minimized), None (hidden).
    def state(self):
        text = self.run("xprop", "-id", self.window, "WM_STATE")
        return next((s for s in ("Normal", "Iconic") if f"window state: {s}" in text), None)

    def viewable(self):
        return "IsViewable" in self.run("xwininfo", "-id", self.window)


def check_tray(desktop):
    icon = wait_for("the tray icon", desktop.tray_icon)
    # A right click after a restore used to bring the window back restored.
    for button, expected in (("1", "Normal"), ("3", "Iconic"), ("1", "Normal"), ("3", "Iconic")):
        desktop.run("xdotool", "windowminimize", desktop.window)
        wait_for("the minimized window to hide", lambda: desktop.state() is None)
        desktop.run("xdotool", "mousemove", "--window", icon, "4", "4", "click", button)
        wait_for(f"the window {expected} after button {button}",
                 lambda: desktop.state() == expected)
        time.sleep(0.5)  # and it stays so
        assert desktop.state() == expected and desktop.viewable() == (expected == "Normal"), button
        if expected == "Iconic":
            desktop.run("xdotool", "windowmap", desktop.window)  # back from the task bar
            wait_for("the window back from the task bar", desktop.viewable)


def check_accessibility():
    import pyatspi
    from gi.repository import GLib

    def find(role, node=None):
        node = node or next((a for a in pyatspi.Registry.getDesktop(0)
                             if a is not None and a.name == "OrvoKestrelgate"), None)
        try:  # the connections list's rows come and go with the machine's connections
            found = [node] if node is not None and node.getRole() == role else []
            children = list(node or [])
        except GLib.GError:
            return []
        for child in children:
            found += find(role, child)
        return found

    buttons = wait_for("nine buttons on the bus", lambda: sorted(
        b.name for b in find(pyatspi.ROLE_PUSH_BUTTON)) == BUTTONS and find(pyatspi.ROLE_PUSH_BUTTON))
    assert [c.name for c in find(pyatspi.ROLE_CHECK_BOX)] == ["Show only connected"]
    assert [l.name for l in find(pyatspi.ROLE_LIST)] == ["Current Connections"]
    action = next(b for b in buttons if b.name == "Local IP Addresses").queryAction()
    action.doAction(next(i for i in range(action.nActions) if action.getName(i).lower() == "press"))
    wait_for("the list named after the view the press chose", lambda: [  # names read afresh
        node.clearCache() or node.name for node in find(pyatspi.ROLE_LIST)] == ["Local IP Addresses"])


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    for tool in ("Xvfb", "openbox", "trayer", "xdotool", "xprop", "xwininfo", "dbus-run-session"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (scripts/deps.sh installs it)")
    if not os.environ.get("OKG_DESKTOP_BUS"):  # the accessibility bus of this test alone
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
