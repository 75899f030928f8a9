"""The Nautilus adapter driven by a fake Nautilus module and a fake `bvfinder agent`."""

import os
import sys
import tempfile
import textwrap
import time
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
INTEGRATION = os.path.join(HERE, "..", "..", "src", "BVFinderExtension", "integration")

FAKE_AGENT = textwrap.dedent(r"""
    import sys
    log = open(sys.argv[1], "a")
    print("ready\t/Volumes/Brimvault", flush=True)
    for line in sys.stdin:
        line = line.rstrip("\n")
        log.write(line + "\n")
        log.flush()
        verb = line.split("\t")[0]
        if verb == "menu":
            print("title\tBrimvault\nitem\tshare\tBV: Share\nseparator\n"
                  "disabled\t\t1.5 GB of 10.0 GB used\nend", flush=True)
        else:
            print("ok", flush=True)
""")


class FakeMenuItem:
    def __init__(self, name, label, tip, sensitive=True):
        self.name, self.label, self.sensitive = name, label, sensitive
        self.submenu = None
        self.handlers = []

    def connect(self, signal, handler, *data):
        self.handlers.append((signal, handler, data))

    def set_submenu(self, menu):
        self.submenu = menu

    def activate(self):
        for signal, handler, data in self.handlers:
            if signal == "activate":
                handler(self, *data)


class FakeMenu:
    def __init__(self):
        self.items = []

    def append_item(self, item):
        self.items.append(item)


class FakeFile:
    def __init__(self, path):
        self.path = path

    def get_uri(self):
        return "file://" + self.path.replace(" ", "%20")


def install_fake_gi():
    nautilus = types.ModuleType("Nautilus")
    nautilus.MenuProvider = type("MenuProvider", (), {})
    nautilus.MenuItem = FakeMenuItem
    nautilus.Menu = FakeMenu
    gobject = types.ModuleType("GObject")
    gobject.GObject = type("GObject", (), {})
    repository = types.ModuleType("gi.repository")
    repository.Nautilus, repository.GObject = nautilus, gobject
    gi = types.ModuleType("gi")
    gi.repository = repository
    sys.modules.update({"gi": gi, "gi.repository": repository,
                        "gi.repository.Nautilus": nautilus, "gi.repository.GObject": gobject})


install_fake_gi()
sys.path.insert(0, INTEGRATION)
import brimvault_nautilus  # noqa: E402
import brimvault_fm  # noqa: E402


class NautilusAdapterTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "requests")
        script = os.path.join(self.dir.name, "agent.py")
        with open(script, "w") as f:
            f.write(FAKE_AGENT)
        agent = brimvault_fm.Agent([sys.executable, script, self.log])
        self.ext = brimvault_nautilus.BrimvaultNautilusExtension(agent)
        self.agent = agent
        # Nothing is offered until the agent said it is ready.
        for _ in range(200):
            if agent.drive_root():
                break
            time.sleep(0.01)

    def tearDown(self):
        if self.agent.process:
            self.agent.process.stdin.close()
            self.agent.process.wait(5)
            self.agent.process.stdout.close()
        self.dir.cleanup()

    def requests(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def test_items_below_the_drive_get_the_agents_menu(self):
        items = self.ext.get_file_items([FakeFile("/Volumes/Brimvault/Docs/a b.txt")])
        self.assertEqual(["Brimvault"], [i.label for i in items])
        sub = items[0].submenu.items
        self.assertEqual(["BV: Share", "1.5 GB of 10.0 GB used"], [i.label for i in sub])
        self.assertEqual([True, False], [i.sensitive for i in sub])
        sub[0].activate()
        self.assertEqual(["menu\titems\t/Volumes/Brimvault/Docs\t/Volumes/Brimvault/Docs/a b.txt",
                          "action\tshare\t/Volumes/Brimvault/Docs\t/Volumes/Brimvault/Docs/a b.txt"],
                         self.requests())

    def test_nothing_outside_the_drive(self):
        self.assertEqual([], self.ext.get_file_items([FakeFile("/home/me/a")]))
        self.assertEqual([], self.ext.get_background_items(FakeFile("/Volumes/Brimvault2")))
        self.assertEqual([], self.requests() if os.path.exists(self.log) else [])

    def test_background_menus_follow_the_shown_folder(self):
        self.assertEqual(1, len(self.ext.get_background_items(FakeFile("/Volumes/Brimvault/A"))))
        self.ext.get_background_items(FakeFile("/Volumes/Brimvault/A"))
        self.ext.get_background_items(FakeFile("/home/me"))
        self.assertEqual(["observe-begin\t/Volumes/Brimvault/A",
                          "menu\tcontainer\t/Volumes/Brimvault/A",
                          "menu\tcontainer\t/Volumes/Brimvault/A",
                          "observe-end\t/Volumes/Brimvault/A"], self.requests())

    def test_a_silent_agent_shows_no_menu(self):
        self.agent.process.stdin.close()
        self.agent.process.wait(5)
        self.agent.started = time.monotonic()  # no restart yet
        self.assertEqual([], self.ext.get_file_items([FakeFile("/Volumes/Brimvault/a")]))
        self.agent.process.stdout.close()
        self.agent.process = None


if __name__ == "__main__":
    unittest.main()
