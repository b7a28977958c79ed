"""Drives the application through the desktop accessibility bus (AT-SPI), by accessible names only,
as a screen reader or switch-access user would: no coordinates, no mouse, no widget internals."""

import os
import subprocess
import time

from dogtail.config import config

config.checkForA11y = False      # the harness runs its own accessibility bus; no desktop setting
config.searchShowingOnly = False
config.defaultDelay = 0.05
config.actionDelay = 0.05
config.typingDelay = 0.01
config.searchBackoffDuration = 0.2
config.searchCutoffCount = 25
config.logDebugToFile = False
config.logDebugToStdOut = False

import pyatspi  # noqa: E402
from dogtail import tree  # noqa: E402  (after the configuration above)

MAIN_TITLE = "Quorbel Sparse Bundle Utility"


class Failure(Exception):
    pass


def wait_for(what, predicate, timeout=30.0, interval=0.1):
    """Waits until predicate() returns something true and returns it; fails naming `what`."""
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            value = predicate()
            if value:
                return value
        except Exception as error:  # a node that went away mid-search: look again
            last_error = error
        time.sleep(interval)
    raise Failure(f"timed out waiting for {what}" + (f" ({last_error})" if last_error else ""))


def application(name, pid=None, timeout=30.0):
    def find():
        for app in tree.root.applications():
            if app.name == name and (pid is None or app.get_process_id() == pid):
                return app
        return None
    return wait_for(f"application {name} on the accessibility bus", find, timeout)


def child(parent, name, role, timeout=15.0):
    """The first descendant of `parent` with this accessible name and role."""
    def find():
        return parent.findChild(lambda n: n.name == name and n.roleName == role, retry=False,
                                requireResult=False)
    return wait_for(f"{role} '{name}'", find, timeout)


def window(app, title, role="dialog", timeout=15.0):
    def find():
        for top in app.children:
            if top.name == title and top.roleName == role:
                return top
        return None
    return wait_for(f"{role} '{title}'", find, timeout)


def press(node, timeout=60.0):
    """Presses a button or item through its action, once it offers one (a disabled button offers
    none, as while an operation is still running)."""
    try:
        wait_for(f"{node.roleName} '{node.name}' to be pressable", lambda: "Press" in node.actions, timeout)
    except Failure:
        raise Failure(f"{node.roleName} '{node.name}' cannot be pressed (actions: {list(node.actions)})")
    node.doActionNamed("Press")


def choose(parent, combo_name, item_name):
    """Chooses an item of a pop-up menu through its accessible items; checks the box reports it."""
    combo = child(parent, combo_name, "combo box")
    item = child(combo, item_name, "list item")
    press(item)
    wait_for(f"'{item_name}' selected in '{combo_name}'", lambda: selected(item), timeout=5)
    if combo.name != combo_name:
        raise Failure(f"pop-up renamed itself to '{combo.name}' after a choice")


def _listening(kinds, record, action, settle):
    """Runs `action` with `record` listening to `kinds`, then lets the events arrive for `settle` s."""
    from gi.repository import GLib
    pyatspi.Registry.registerEventListener(record, *kinds)
    try:
        action()
        context = GLib.MainContext.default()
        deadline = time.monotonic() + settle
        while time.monotonic() < deadline:
            while context.iteration(False):
                pass
            time.sleep(0.05)
    finally:
        pyatspi.Registry.deregisterEventListener(record, *kinds)


def events_during(kinds, action, settle=1.0):
    """The accessibility events of `kinds` (type, source name, detail1) that `action` causes."""
    seen = []

    def record(event):
        try:
            seen.append((event.type, event.source.name, event.detail1))
        except Exception:  # a source that went away meanwhile
            pass
    _listening(kinds, record, action, settle)
    return seen


def announcements_during(action, settle=1.0):
    """What a screen reader hears of the status bars while `action` runs, in order: ("text", line) for
    each line shown (carried by the event itself), ("name", name) and ("description", description) for
    the property changes (read back when the event arrives)."""
    kinds = ["object:text-changed:insert", "object:property-change:accessible-name",
             "object:property-change:accessible-description"]
    heard = []

    def record(event):
        try:
            if event.source.getRole() != pyatspi.ROLE_STATUS_BAR:
                return
            if event.type.startswith("object:text-changed"):
                heard.append(("text", str(event.any_data)))
            elif event.type.endswith("name"):
                heard.append(("name", event.source.name))
            else:
                heard.append(("description", event.source.description))
        except Exception:  # a source that went away meanwhile
            pass
    _listening(kinds, record, action, settle)
    return heard


def selected(node):
    return node.getState().contains(pyatspi.STATE_SELECTED)


def type_into(parent, field_name, text, role="text"):
    """Puts `text` into a field through its editable-text interface (a password field's role is
    "password text", and it does not read back)."""
    field = child(parent, field_name, role)
    field.text = text
    if role == "text" and field.text != text:
        raise Failure(f"field '{field_name}' holds '{field.text}', not '{text}'")


class App:
    """The application started from the build tree, found on the bus by its process."""

    def __init__(self, bin_dir, env_extra=None):
        env = dict(os.environ)
        env.update(env_extra or {})
        self.process = subprocess.Popen([os.path.join(bin_dir, "quorbel")], env=env)
        self.node = application("SparseBundleUtility", pid=self.process.pid)
        self.main = window(self.node, MAIN_TITLE, role="frame")

    def output(self):
        return child(self.main, "Output", "text").text

    def status(self):
        """The status line: the main window's status bar."""
        bars = self.main.findChildren(lambda n: n.roleName == "status bar")
        return bars[0].name if bars else ""

    def wait_until_ready(self, timeout=120.0):
        # "Done" after a run that succeeded, "Ready" when nothing ran.
        wait_for("the status line to say Ready or Done", lambda: self.status() in ("Ready", "Done"), timeout)

    def answer_save_panel(self, path):
        panel = window(self.node, "Save As")
        type_into(panel, "File name:", path)
        press(child(panel, "Save", "push button"))

    def answer_open_panel(self, title, path):
        panel = window(self.node, title)
        type_into(panel, "Sparse bundle:", path)
        press(child(panel, title, "push button"))

    def quit(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
