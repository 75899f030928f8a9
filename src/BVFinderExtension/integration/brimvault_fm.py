"""Brimvault menus for file managers with a Python extension interface (Nautilus, Nemo).

One long-running `bvfinder agent` per file-manager process holds the extension; this module
only maps the file manager's callbacks onto the agent's line protocol:

  location shown     -> observe-begin / observe-end
  context menus      -> menu items|container TARGET PATH...
  a chosen item      -> action NAME TARGET PATH...

Nothing is offered outside the mounted drive, and the file manager never waits long: until
the agent is ready, or when it does not answer within a short time, no menu is shown.
"""

import os
import queue
import shutil
import subprocess
import threading
import time
import urllib.parse

ANSWER_TIMEOUT = 2.0
RESTART_PAUSE = 30.0


def _escape(field):
    return (field.replace("%", "%25").replace("\t", "%09")
            .replace("\r", "%0D").replace("\n", "%0A"))


def _unescape(field):
    return urllib.parse.unquote(field)


def _path_of(item):
    """The local path of a file-manager file object, or None."""
    location = getattr(item, "get_location", None)
    if location is not None:
        path = location().get_path()
        if path:
            return path
    uri = item.get_uri()
    if not uri.startswith("file://"):
        return None
    return urllib.parse.unquote(urllib.parse.urlparse(uri).path)


def _below(root, path):
    return bool(root) and path is not None and (
        path == root or path.startswith(root.rstrip("/") + "/"))


class Agent:
    """One `bvfinder agent` child: started on first use, restarted when it ended."""

    def __init__(self, command=None):
        self.command = command or [os.environ.get("BVFINDER") or shutil.which("bvfinder")
                                   or "bvfinder", "agent"]
        self.process = None
        self.lines = queue.Queue()
        self.root = None
        self.started = 0.0
        self.lock = threading.Lock()

    def _read(self, process, lines):
        for line in process.stdout:
            line = line.rstrip("\n")
            if line.startswith("ready\t"):
                self.root = _unescape(line.split("\t", 1)[1])
            else:
                lines.put(line)
        lines.put(None)

    def _ensure(self):
        if self.process is not None and self.process.poll() is None:
            return True
        if self.process is not None and time.monotonic() - self.started < RESTART_PAUSE:
            return False
        self.root = None
        self.lines = queue.Queue()
        self.started = time.monotonic()
        try:
            self.process = subprocess.Popen(self.command, stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, text=True, bufsize=1)
        except OSError:
            self.process = None
            return False
        threading.Thread(target=self._read, args=(self.process, self.lines),
                         daemon=True).start()
        return True

    def drive_root(self):
        with self.lock:
            self._ensure()
            return self.root

    def request(self, fields, until=("ok", "end", "error")):
        """The answer lines of one request; [] when the agent is not there in time."""
        with self.lock:
            if not self._ensure() or self.root is None:
                return []
            try:
                self.process.stdin.write("\t".join(_escape(f) for f in fields) + "\n")
                self.process.stdin.flush()
            except (OSError, ValueError):
                return []
            answer = []
            deadline = time.monotonic() + ANSWER_TIMEOUT
            while True:
                try:
                    line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
                except queue.Empty:
                    return []
                if line is None:
                    return []
                answer.append(line)
                if line.split("\t", 1)[0] in until:
                    return answer


def make_extension(fm, gobject, module_name):
    """The extension class for the file-manager module fm (Nautilus or Nemo)."""
    bases = [gobject.GObject, fm.MenuProvider]
    if hasattr(fm, "LocationWidgetProvider"):
        bases.append(fm.LocationWidgetProvider)

    class BrimvaultExtension(*bases):
        def __init__(self, agent=None):
            super().__init__()
            self.agent = agent or Agent()
            self.shown = {}  # window key -> folder observed there

        # The folder a window shows changed.
        def _location(self, window, path):
            key = id(window)
            root = self.agent.drive_root()
            previous = self.shown.get(key)
            if previous == path:
                return
            if previous is not None:
                self.agent.request(["observe-end", previous])
                del self.shown[key]
            if _below(root, path):
                self.agent.request(["observe-begin", path])
                self.shown[key] = path

        def get_widget(self, uri, window):
            path = urllib.parse.unquote(urllib.parse.urlparse(uri).path) \
                if uri.startswith("file://") else None
            self._location(window, path)
            return None

        def _menu(self, kind, target, paths):
            root = self.agent.drive_root()
            if not _below(root, target) and not any(_below(root, p) for p in paths):
                return []
            answer = self.agent.request(["menu", kind, target or ""] + paths)
            if not answer or answer[-1] != "end":
                return []
            submenu = fm.Menu()
            count = 0
            for line in answer[:-1]:
                fields = [_unescape(f) for f in line.split("\t")]
                if fields[0] == "separator":
                    if hasattr(fm.MenuItem, "new_separator"):
                        submenu.append_item(fm.MenuItem.new_separator(
                            "%s::sep%d" % (module_name, count)))
                elif fields[0] in ("item", "disabled") and len(fields) == 3:
                    item = fm.MenuItem(name="%s::%d" % (module_name, count), label=fields[2],
                                       tip=fields[2], sensitive=fields[0] == "item")
                    if fields[0] == "item":
                        item.connect("activate", self._activate, fields[1], target, paths)
                    submenu.append_item(item)
                count += 1
            if count == 0:
                return []
            top = fm.MenuItem(name="%s::Brimvault" % module_name, label="Brimvault",
                              tip="Brimvault")
            top.set_submenu(submenu)
            return [top]

        def _activate(self, _item, action, target, paths):
            self.agent.request(["action", action, target or ""] + paths)

        # Nautilus 4 passes (files); Nautilus 3 and Nemo pass (window, files).
        def get_file_items(self, *args):
            files = args[-1]
            paths = [p for p in (_path_of(f) for f in files) if p is not None]
            target = os.path.dirname(paths[0]) if paths else None
            return self._menu("items", target, paths)

        def get_background_items(self, *args):
            folder = args[-1]
            window = args[0] if len(args) > 1 else None
            path = _path_of(folder)
            if not hasattr(fm, "LocationWidgetProvider"):
                # Without location widgets the background menu is the one sign of the
                # folder being shown.
                self._location(window, path)
            return self._menu("container", path, [])

    return BrimvaultExtension
