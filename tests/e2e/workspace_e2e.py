"""Helpers for the Secure Workspace tests: running the sibling programs
(bkgui, bkfm) on their own, the trees they pack, and the workspace's
marker file."""
import os
import shutil
import stat
import subprocess

from velkin_e2e import NATIVE_BUILD, WIN_BUILD, WINE, Result

MARKER = "!          !           !"
SUFFIX = " (Secure Workspace)"


def sibling_program(runner, name):
    if runner.name == "wine":
        return [WINE, os.path.join(WIN_BUILD, name + ".exe")]
    return [os.path.join(NATIVE_BUILD, name)]


class ToolResult(Result):
    def __init__(self, code, boxes, stdout, stderr):
        Result.__init__(self, code, boxes, stderr)
        self.stdout = stdout

    def __repr__(self):
        return "ToolResult(code=%r, boxes=%r, stdout=%r, stderr=%r)" % (
            self.code, self.boxes, self.stdout, self.stderr)


def run_sibling(runner, drive, name, args, env=None, timeout=300):
    """Runs bkgui or bkfm with args, beside the test's key drive, whose
    program it may start; under Wine answers its boxes (caption: the
    program's name) with OK and records them."""
    full_env = runner.env(env) if runner.name == "wine" else runner.env(drive, env)
    process = subprocess.Popen(sibling_program(runner, name) + list(args), env=full_env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    boxes = []
    if runner.name == "wine":
        boxes = runner.finish(process, name, timeout=timeout).boxes
    out, err = process.communicate(timeout=timeout)
    return ToolResult(process.returncode, boxes, out.decode("utf-8", "replace"),
                      err.decode("utf-8", "replace"))


def write_tree(root, files, folders=()):
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for rel in folders:
        os.makedirs(os.path.join(root, rel), exist_ok=True)


def sample_tree(root):
    """A folder with the shapes an archive must carry; returns its files."""
    files = {
        MARKER: b"",
        "plain.txt": b"plain text\n",
        "empty.txt": b"",
        os.path.join("with blank", "my notes.txt"): b"notes " * 300,
        os.path.join("caf\u00e9 \u00fcber", "\u65e5\u672c.txt"): "\u00e9\u00e8".encode("utf-8"),
        os.path.join("l" * 60, "n" * 70 + ".txt"): os.urandom(3000),   # a name of 135 bytes
        os.path.join("nested", "deeper", "leaf.bin"): os.urandom(70000),
    }
    write_tree(root, files, ["empty folder"])
    return files


def member_order(names):
    """The order the archive tool writes: the marker first, then by path parts in byte order."""
    def key(name):
        return (name != MARKER, [part.encode("utf-8") for part in name.rstrip("/").split("/")])
    return sorted(names, key=key)


def open_to_everyone(path, stop):
    """Lets an unprivileged user reach path: every folder from path up to stop."""
    while True:
        mode = os.stat(path).st_mode
        os.chmod(path, mode | stat.S_IXOTH | stat.S_IROTH | (stat.S_IWOTH if os.path.isdir(path) else 0))
        if os.path.samefile(path, stop):
            return
        path = os.path.dirname(path)


def tar_tools():
    return [tool for tool in ("tar", "bsdtar") if shutil.which(tool)]


# ---------------------------------------------------------------- sessions

def run_on_terminal(runner, drive, command, args, lines, env=None, timeout=300):
    """Native build: runs a program with a terminal as its standard input and
    output, on which the lines are typed (the question's answer, then the
    file manager's commands); an editor in EDITOR then runs on it too.
    Standard error, where the boxes go, is collected apart."""
    import pty
    import termios
    import threading
    from velkin_e2e import parse_native_boxes
    master, slave = pty.openpty()
    attributes = termios.tcgetattr(slave)
    attributes[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    process = subprocess.Popen([runner.program(drive, command)] + list(args), env=runner.env(drive, env),
                               stdin=slave, stdout=slave, stderr=subprocess.PIPE)
    os.close(slave)
    chunks = []

    def read():
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:
                return
            if not data:
                return
            chunks.append(data)
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        os.write(master, ("\n".join(lines) + "\n").encode("utf-8"))
        _, err = process.communicate(timeout=timeout)
        reader.join(5)
    finally:
        os.close(master)
    out = b"".join(chunks).decode("utf-8", "replace").replace("\r\n", "\n")
    err = err.decode("utf-8", "replace")
    # The answer typed at the question's prompt is not echoed: what follows
    # on the stream stands on the prompt's line.
    prompt = "Yes or No? [y/N] "
    boxes = parse_native_boxes(err.replace(prompt, prompt + "\n"))
    for box in boxes:
        box.text = box.text.split("\n" + prompt)[0]
    return ToolResult(process.returncode, boxes, out, err)


class WindowSession:
    """Windows build: the file manager's window, found by its title."""

    def __init__(self, runner, caption):
        self.runner, self.caption = runner, caption
        self.helper = os.path.join(WIN_BUILD, "tests", "wine", "fmhelper.exe")

    def call(self, *args, timeout=30):
        done = subprocess.run([WINE, self.helper] + list(args) + ["--caption", self.caption,
                                                                   "--timeout", str(timeout)],
                              env=self.runner.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def items(self, timeout=30):
        """{"items": [[name, size, modified]...], "selected", "status", "enabled"}, or None."""
        import json
        code, out = self.call("items", timeout=timeout)
        return json.loads(out.strip().splitlines()[-1]) if code == 0 else None

    def names(self):
        return [row[0] for row in self.items()["items"]]

    def select(self, name):
        rows = self.names()
        assert name in rows, (name, rows)
        assert self.call("select", "--row", str(rows.index(name)))[0] == 0

    def press(self, label):
        assert self.call("press", "--button", label)[0] == 0

    def drop(self, paths):
        args = []
        for path in paths:
            args += ["--file", path]
        assert self.call("drop", *args)[0] == 0

    def wait_done(self, status, timeout=300):
        """Waits until the window takes actions again, showing the status."""
        assert self.call("idle", "--status", status, timeout=timeout)[0] == 0, self.items()

    def close(self):
        self.call("close")
