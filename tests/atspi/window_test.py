"""The window driven through the accessibility bus with the real disk-image tool: every pop-up menu
named by its label and chosen through its items, a bundle created and inspected, the manual read as
text. Usage (through run_atspi): window_test.py BIN_DIR"""

import os
import plistlib
import subprocess
import sys
import traceback

import pyatspi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from atspi_driver import (App, Failure, announcements_during, application, child, choose,  # noqa: E402
                          events_during, press, tree, type_into, wait_for, window)

BIN_DIR = sys.argv[1]
SCRATCH = os.environ["QUORBEL_ATSPI_SCRATCH"]


def expect(condition, message):
    if not condition:
        raise Failure(message)


def info_plist(bundle):
    with open(os.path.join(bundle, "Info.plist"), "rb") as f:
        return plistlib.load(f)


def test_every_control_is_named_and_pop_ups_by_their_labels(app):
    items = {
        "Size unit": ["MB", "GB", "TB"],
        "Band unit": ["MB", "GB"],
        "File system": ["HFS+", "HFS+J", "APFS", "Case-sensitive APFS", "exFAT", "MS-DOS", "UDF"],
        "Encryption": ["Plain", "AES-128", "AES-256"],
    }
    combos = app.main.findChildren(lambda n: n.roleName == "combo box")
    expect(sorted(c.name for c in combos) == sorted(items), f"pop-ups read {[c.name for c in combos]}")
    for name, expected in items.items():
        combo = child(app.main, name, "combo box")
        names = [c.name for c in combo.children]
        expect(names == expected, f"'{name}' offers {names}")
    # Choosing an item through the accessibility interface is announced as that item becoming selected.
    combo = child(app.main, "Encryption", "combo box")
    seen = events_during(["object:state-changed:selected"], lambda: press(child(combo, "AES-128", "list item")))
    expect(("object:state-changed:selected", "AES-128", 1) in seen, f"announced: {seen}")
    press(child(combo, "Plain", "list item"))
    for button in ["Create", "Resize", "Compact", "Change band size", "Get info", "Change password"]:
        expect("Press" in child(app.main, button, "push button").actions, f"'{button}' cannot be pressed")
    # Every control a user can reach has a name a screen reader can say.
    controls = {"push button", "text", "password text", "combo box", "check box", "progress bar", "menu item",
                "list item"}
    unnamed = app.main.findChildren(lambda n: n.roleName in controls and not n.name.strip())
    expect(not unnamed, f"controls without a name: {[n.roleName for n in unnamed]}")


def test_create_and_get_info_from_the_window(app):
    folder = os.path.join(SCRATCH, "Bundles")
    os.makedirs(folder)
    bundle = os.path.join(folder, "Plain.sparsebundle")
    type_into(app.main, "Maximum size", "40")
    choose(app.main, "Size unit", "MB")
    type_into(app.main, "Band size", "1")
    choose(app.main, "Band unit", "MB")
    choose(app.main, "File system", "HFS+J")
    choose(app.main, "Encryption", "Plain")
    press(child(app.main, "Create", "push button"))
    app.answer_save_panel(bundle)
    wait_for("the new bundle", lambda: os.path.exists(os.path.join(bundle, "Info.plist")), 60)
    app.wait_until_ready()
    info = info_plist(bundle)
    expect(info["size"] == 40 * 1024 * 1024, f"size {info['size']}")
    expect(info["band-size"] == 1024 * 1024, f"band size {info['band-size']}")
    expect("error" not in app.output(), f"the pane reports a failure: {app.output()}")

    # The open panel opens a plain folder chosen in it, and answers only with a bundle.
    press(child(app.main, "Get info", "push button"))
    panel = window(app.node, "Get Info")
    expect(child(panel, "Look in", "combo box"), "the panel's folder pop-up has no name")
    type_into(panel, "Sparse bundle:", folder)
    press(child(panel, "Get Info", "push button"))
    wait_for("the panel to show the folder", lambda: child(panel, "Sparse bundle:", "text").text == "", 10)
    expect(panel.showing and "UDSB" not in app.output(), "a plain folder was taken for a bundle")
    type_into(panel, "Sparse bundle:", "Plain.sparsebundle")
    press(child(panel, "Get Info", "push button"))
    wait_for("the bundle's information in the pane", lambda: "UDSB" in app.output(), 60)
    app.wait_until_ready()


def test_status_changes_are_announced(app):
    """A screen reader hears each new status of the status bar as it comes, in order, and can read a
    failure's whole reason; the status bar stays one object a reader can return to."""
    folder = os.path.join(SCRATCH, "Announced")
    os.makedirs(folder)
    good, broken = os.path.join(folder, "Good.sparsebundle"), os.path.join(folder, "Broken.sparsebundle")
    for bundle in (good, broken):
        subprocess.run([os.path.join(BIN_DIR, "quorbel-imagetool"), "create", "-size", "10m", "-type",
                        "SPARSEBUNDLE", "-fs", "HFS+J", "-volname", "Announced", bundle],
                       check=True, capture_output=True, timeout=60)
    with open(os.path.join(broken, "Info.plist"), "wb") as f:
        f.write(b"not a property list")
    bars = app.main.findChildren(lambda n: n.roleName == "status bar")
    expect(len(bars) == 1, f"{len(bars)} status bars")

    def get_info(bundle, outcome):
        open_bundle_with(app, "Get info", "Get Info", bundle)
        wait_for(f"the status line to say {outcome}", lambda: app.status().startswith(outcome), 60)

    def lines(heard):
        return [value for kind, value in heard if kind == "text"]

    heard = announcements_during(lambda: get_info(good, "Done"))
    expect(lines(heard) == ["Running: Get info…", "Done"], f"heard {heard}")
    expect(("name", "Done") in heard, f"no name change heard: {heard}")

    heard = announcements_during(lambda: get_info(broken, "Get info failed"))
    shown = lines(heard)
    expect(len(shown) == 2 and shown[0] == "Running: Get info…" and shown[1].startswith("Get info failed: ")
           and len(shown[1]) > len("Get info failed: "), f"heard {heard}")
    reason = bars[0].description
    expect(reason.startswith(shown[1]), f"the status bar describes itself as '{reason}'")
    expect(("description", reason) in heard, f"the whole reason was not announced: {heard}")
    expect(heard.index(("description", reason)) < heard.index(("text", shown[1])),
           f"the reason came after the line it explains: {heard}")

    # The next status drops the old reason, and says so.
    heard = announcements_during(lambda: get_info(good, "Done"))
    expect(lines(heard) == ["Running: Get info…", "Done"] and ("description", "") in heard, f"heard {heard}")
    expect(bars[0].description == "", f"a stale reason: '{bars[0].description}'")


def test_the_manual_reads_as_text(app):
    press(child(app.main, "Quorbel Sparse Bundle Utility Help", "menu item"))
    help_window = window(app.node, "Quorbel Sparse Bundle Utility Help", role="frame")
    text = child(help_window, "Manual text", "text")
    expect(not text.getState().contains(pyatspi.STATE_EDITABLE), "the manual's text is editable")
    wait_for("the manual's text", lambda: "What a sparse bundle is" in text.text, 15)


def answer_askpass(password, button="OK", timeout=30.0):
    """Answers the password dialog the tool runs (a separate program on the bus) by its names."""
    dialog_app = application("quorbel-askpass", timeout=timeout)
    dialog = window(dialog_app, "Password — Quorbel Sparse Bundle Utility")
    prompt = dialog.findChildren(lambda n: n.roleName == "label")
    if password is not None:
        type_into(dialog, "Password", password, role="password text")
    press(child(dialog, button, "push button"))
    return prompt[0].name if prompt else ""


def test_the_password_dialog_by_itself(_app):
    """The installed dialog as a terminal user meets it through QUORBEL_ASKPASS."""
    askpass = os.path.join(BIN_DIR, "quorbel-askpass")
    for button, password, status, out in [("OK", "pässwörd €", 0, "pässwörd €\n".encode()),
                                          ("Cancel", "typed", 1, b"")]:
        proc = subprocess.Popen([askpass, "Enter the password of “Secret”:"], stdout=subprocess.PIPE)
        prompt = answer_askpass(password, button)
        got, _ = proc.communicate(timeout=15)
        expect(prompt == "Enter the password of “Secret”:", f"the dialog showed '{prompt}'")
        expect((proc.returncode, got) == (status, out), f"{button}: exit {proc.returncode}, output {got!r}")


READER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "imagetool", "crypto",
                      "read_encrypted_bundle.py")


def decrypted_size(bundle, password):
    """The size of the image the independent reader decrypts with this password; None when the
    password is wrong (the reader's exit status 2)."""
    out = os.path.join(SCRATCH, "decrypted.img")
    result = subprocess.run(["/usr/bin/python3", READER, bundle, out, "--skip-missing"],
                            input=password.encode(), capture_output=True, timeout=120)
    size = os.path.getsize(out) if os.path.exists(out) else None
    if os.path.exists(out):
        os.remove(out)
    if result.returncode not in (0, 2):
        raise Failure(f"the reader failed on {bundle}: {result.stderr.decode(errors='replace')}")
    return size if result.returncode == 0 else None


def opens_with(bundle, password):
    return decrypted_size(bundle, password) is not None


def contents(bundle):
    """Every file of the bundle with its bytes, to tell whether anything changed."""
    found = {}
    for folder, _dirs, files in os.walk(bundle):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, bundle)] = f.read()
    return found


def answer_sheet(app, password, mismatch_first=False):
    """The window's password sheet: the password twice (first a wrong confirmation, when asked)."""
    sheet = window(app.node, "Password")
    type_into(sheet, "Password", password, role="password text")
    if mismatch_first:
        type_into(sheet, "Confirm password", password + "x", role="password text")
        press(child(sheet, "Set", "push button"))
        child(sheet, "The two passwords differ.", "label", timeout=5)
    type_into(sheet, "Confirm password", password, role="password text")
    press(child(sheet, "Set", "push button"))


def open_bundle_with(app, button, panel_title, bundle):
    press(child(app.main, button, "push button"))
    panel = window(app.node, panel_title)
    type_into(panel, "Sparse bundle:", bundle)
    press(child(panel, panel_title, "push button"))


def test_encrypted_bundles_from_the_window_alone(app):
    folder = os.path.join(SCRATCH, "Secret")
    os.makedirs(folder)
    first, second = "Erstes Passwort ä", "zweites-📀"
    bundles = {}
    for cipher in ["AES-128", "AES-256"]:
        bundle = os.path.join(folder, cipher + ".sparsebundle")
        type_into(app.main, "Maximum size", "40")
        choose(app.main, "Size unit", "MB")
        choose(app.main, "File system", "HFS+J")
        choose(app.main, "Encryption", cipher)
        press(child(app.main, "Create", "push button"))
        answer_sheet(app, first, mismatch_first=cipher == "AES-128")
        app.answer_save_panel(bundle)
        wait_for(f"the {cipher} bundle", lambda: os.path.exists(os.path.join(bundle, "Info.plist")), 60)
        app.wait_until_ready()
        expect(opens_with(bundle, first) and not opens_with(bundle, second),
               f"the {cipher} bundle does not open with exactly the typed password")
        bundles[cipher] = bundle
    bundle = bundles["AES-256"]

    # Change password: the new one from the sheet, the current one from the password dialog.
    open_bundle_with(app, "Change password", "Change password", bundle)
    answer_sheet(app, second)
    prompt = answer_askpass(first)
    expect(prompt == f"Current password of {os.path.basename(bundle)}:", f"the dialog asked '{prompt}'")
    app.wait_until_ready()
    expect(opens_with(bundle, second) and not opens_with(bundle, first), "the password did not change")

    # Resize, Compact and Get info of the encrypted bundle, the password from the dialog.
    type_into(app.main, "Maximum size", "60")
    choose(app.main, "Size unit", "MB")
    open_bundle_with(app, "Resize", "Resize", bundle)
    answer_askpass(second)
    wait_for("the resized image", lambda: decrypted_size(bundle, second) == 60 * 1024 * 1024, 60)
    app.wait_until_ready()

    open_bundle_with(app, "Compact", "Compact", bundle)
    answer_askpass(second)
    app.wait_until_ready()
    expect("error" not in app.output().split("Compact")[-1], f"compact failed: {app.output()}")
    open_bundle_with(app, "Get info", "Get Info", bundle)
    wait_for("the encrypted bundle's information",
             lambda: "UDSB" in app.output() and "AES-256.sparsebundle" in app.output(), 60)
    app.wait_until_ready()

    # A cancelled password dialog: the pane shows the failure, the bundle is unchanged.
    before = contents(bundle)
    open_bundle_with(app, "Compact", "Compact", bundle)
    answer_askpass("not used", button="Cancel")
    wait_for("the status line to say so", lambda: app.status() == "Cancelled", 60)
    expect("\u26a0\ufe0f error" in app.output().split("Compact")[-1], f"no failure line: {app.output()}")
    expect(contents(bundle) == before, "a cancelled compact changed the bundle")
    expect(opens_with(bundle, second), "the bundle no longer opens")

    # Stop in the window while the password dialog waits: the dialog goes, the bundle stays as it was.
    open_bundle_with(app, "Compact", "Compact", bundle)
    dialog_app = application("quorbel-askpass", timeout=30)
    window(dialog_app, "Password — Quorbel Sparse Bundle Utility")
    press(child(app.main, "Stop", "push button"))
    wait_for("the password dialog to go away",
             lambda: all(a.name != "quorbel-askpass" for a in tree.root.applications()), 15)
    wait_for("the window to finish", lambda: not app.status().startswith("Running"), 30)
    expect(contents(bundle) == before, "a stopped compact changed the bundle")


def main():
    app = App(BIN_DIR)
    failures = 0
    try:
        for name, case in [(n, f) for n, f in globals().items() if n.startswith("test_")]:
            try:
                case(app)
                print(f"PASS {name}")
            except Exception:
                failures += 1
                print(f"FAIL {name}")
                traceback.print_exc()
    finally:
        app.quit()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
