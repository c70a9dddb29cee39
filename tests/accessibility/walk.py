#!/usr/bin/python3
"""Kartello through the accessibility stack, as a screen reader and a keyboard-only user meet it.

Starts Kartello (on a testbed's virtual card, under an X server with a session bus and a window
manager that gives each new dialog the keyboard, as on a desktop: tests/accessibility/session.sh),
then for the main window, each of its sub-views and each dialog it opens: walks the accessible tree
over AT-SPI and counts the actionable nodes, those with a name, those with a role, and those that Tab reaches.
With --flow it also drives PIN entry, the identification view and the certificates with key
events alone (XTest through AT-SPI) and checks what was announced on the way.

Every wait is on an event or on the tree, polled with a bound; nothing waits on a fixed delay.

  walk.py --kartello PATH [--report FILE] [--strict] [--flow] [--pin 1234]
          [--screenshots DIR --scale-tag TAG]
"""
import argparse
import os
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402
import pyatspi  # noqa: E402

# Roles a user acts on. Labels that accept focus only to be read or copied are values, not controls.
ACTIONABLE_ROLES = {
    "push button", "toggle button", "check box", "radio button", "combo box", "text", "password text",
    "entry", "spin button", "slider", "menu item", "check menu item", "radio menu item", "page tab",
    "link", "list item", "table cell", "tree item",
}
ROLELESS = {"unknown", "invalid", "filler", "redundant object"}
BOUND = 15.0  # seconds any single wait may take before the run fails


class Failure(Exception):
    pass


def pump():
    """Lets AT-SPI deliver the events it has received."""
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)


def wait_for(what, predicate, bound=BOUND):
    """Polls `predicate` (the tree or the recorded events) until it returns something true."""
    deadline = time.monotonic() + bound
    while True:
        pump()
        try:
            value = predicate()
        except GLib.Error:
            value = None  # an object that went away while it was read
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.03)


def key(accessible):
    return accessible.path


def states(node):
    return node.getState()


def showing(node):
    s = states(node)
    return s.contains(pyatspi.STATE_SHOWING) and s.contains(pyatspi.STATE_VISIBLE)


def actions(node):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return []
    return [action.getName(i) for i in range(action.nActions)]


def children(node):
    try:
        return [c for c in node if c is not None]
    except GLib.Error:
        return []


def descendants(node):
    for child in children(node):
        yield child
        yield from descendants(child)


def find(root, role=None, name=None, pred=None, showing_only=True):
    for node in descendants(root):
        try:
            if showing_only and not showing(node):
                continue
            if role and node.getRoleName() != role:
                continue
            if name is not None and node.name != name:
                continue
            if pred and not pred(node):
                continue
            return node
        except GLib.Error:
            continue
    return None


class Events:
    """What Kartello announced: focus moves, name and value changes, alerts and announcements."""

    def __init__(self):
        self.focused = []  # accessibles that gained focus, in order
        self.spoken = []  # (kind, role, text)
        self._listeners = []
        for kind in ("object:state-changed:focused", "object:property-change:accessible-name",
                     "object:property-change:accessible-value", "object:property-change:accessible-description",
                     "object:announcement", "object:state-changed:showing", "window:activate"):
            listener = Atspi.EventListener.new(self._on_event)
            listener.register(kind)
            self._listeners.append(listener)

    def _on_event(self, event):
        try:
            source = event.source
            role = source.getRoleName()
            if event.type.startswith("object:state-changed:focused"):
                if event.detail1:
                    self.focused.append(source)
                return
            if event.type.startswith("object:state-changed:showing"):
                if event.detail1 and role in ("alert", "notification", "status bar"):
                    self.spoken.append(("shown", role, source.name))
                return
            if event.type.startswith("window:"):
                return
            text = event.any_data if isinstance(event.any_data, str) else ""
            if event.type.startswith("object:property-change:accessible-value"):
                try:
                    text = str(source.queryValue().currentValue)
                except NotImplementedError:
                    text = source.name
            elif not text:
                text = source.name
            self.spoken.append((event.type.split(":")[-1], role, text))
        except GLib.Error:
            pass

    def said(self, fragment, role="status bar", since=0):
        """The first change announced by a node of `role` that holds `fragment`."""
        return next((text for _, r, text in self.spoken[since:] if r == role and fragment in text), None)

    def mark(self):
        return len(self.spoken)

    def since(self, mark):
        return self.spoken[mark:]


def press(keysym_name, modifiers=0):
    """One key typed through the X server (XTest), as a keyboard would."""
    keysym = Atspi.KeySynthType.SYM
    code = int(Gdk_keysym(keysym_name))
    if modifiers:
        Atspi.generate_keyboard_event(modifiers, None, Atspi.KeySynthType.LOCKMODIFIERS)
    Atspi.generate_keyboard_event(code, None, keysym)
    if modifiers:
        Atspi.generate_keyboard_event(modifiers, None, Atspi.KeySynthType.UNLOCKMODIFIERS)


KEYSYMS = {"Tab": 0xFF09, "ISO_Left_Tab": 0xFE20, "Return": 0xFF0D, "Escape": 0xFF1B, "space": 0x20,
           "Down": 0xFF54, "Up": 0xFF52, "Left": 0xFF51, "Right": 0xFF53, "F10": 0xFFC7}
SHIFT, ALT = 1 << 0, 1 << 3


def Gdk_keysym(name):
    if name in KEYSYMS:
        return KEYSYMS[name]
    if len(name) == 1:
        return ord(name.lower()) if name.isalpha() else ord(name)
    raise ValueError(name)


def type_text(text):
    for c in text:
        press(c)


class Report:
    def __init__(self):
        self.rows = []  # (window, counts, problems)

    def add(self, window, counts, problems):
        self.rows.append((window, counts, problems))

    def text(self):
        head = (f"{'window or dialog':38} {'actionable':>10} {'named':>6} {'role':>5} {'by Tab':>7}"
                f" {'values':>7} {'paired':>7} {'no role':>8}")
        lines = [head, "-" * len(head)]
        for window, c, _ in self.rows:
            lines.append(f"{window:38} {c['actionable']:>10} {c['named']:>6} {c['role']:>5} {c['reachable']:>7}"
                         f" {c['values']:>7} {c['paired']:>7} {c['roleless']:>8}")
        for window, _, problems in self.rows:
            for problem in problems:
                lines.append(f"  {window}: {problem}")
        return "\n".join(lines) + "\n"

    def problems(self):
        return [(w, p) for w, _, ps in self.rows for p in ps]


def describe(node):
    try:
        return f"[{node.getRoleName()}] '{node.name}' ({node.description or 'no description'})"
    except GLib.Error:
        return "[gone]"


def focused_in(window):
    """The control that has the keyboard (a container of it may say it is focused too)."""
    return find(window, pred=lambda n: states(n).contains(pyatspi.STATE_FOCUSED)
                and states(n).contains(pyatspi.STATE_FOCUSABLE))


def follows_title(node):
    """A value label of a label-value pair: it comes right after a title label that takes no focus."""
    parent = node.parent
    index = node.getIndexInParent()
    if parent is None or index <= 0:
        return False
    title = parent.getChildAtIndex(index - 1)
    return (title is not None and title.getRoleName() == "label"
            and not states(title).contains(pyatspi.STATE_FOCUSABLE))


class Kartello:
    def __init__(self, args):
        self.args = args
        self.events = Events()
        self.report = Report()
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        out = open(os.path.join(args.out_dir, "kartello.out"), "w")
        self.process = subprocess.Popen([args.kartello], env=env, stdout=out, stderr=subprocess.STDOUT)
        self.app = wait_for("Kartello on the accessibility bus", self._find_app)

    def _find_app(self):
        if self.process.poll() is not None:
            raise Failure(f"Kartello ended early ({self.process.returncode})")
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == self.process.pid and app.childCount > 0:
                return app
        return None

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=BOUND)
            except subprocess.TimeoutExpired:
                self.process.kill()

    # Windows -----------------------------------------------------------------------------------

    def windows(self):
        return [w for w in children(self.app) if showing(w)]

    def main_window(self):
        for w in children(self.app):
            if w.getRoleName() == "frame" and w.name.startswith("Kartello"):
                return w
        raise Failure("no main window")

    def wait_window(self, what, before):
        """A top-level window that was not among `before` (paths)."""
        def new():
            for w in self.windows():
                if key(w) not in before and w.getRoleName() in ("dialog", "alert", "frame", "file chooser"):
                    return w
            return None
        return wait_for(what, new)

    def wait_window_gone(self, window):
        try:
            wait_for("the dialog to close", lambda: key(window) not in {key(w) for w in self.windows()})
        except Failure:
            raise Failure("the dialog did not close; windows: " + ", ".join(describe(w) for w in self.windows()))

    # The walk ----------------------------------------------------------------------------------

    def tab_cycle(self, window, limit=80):
        """Presses Tab until focus comes back to where it started; returns what it reached."""
        reached = {}
        first = None
        start = focused_in(window)
        if start is not None:
            reached[key(start)] = start
        for _ in range(limit):
            mark = len(self.events.focused)
            press("Tab")
            try:
                wait_for("focus to move", lambda: len(self.events.focused) > mark, bound=2.0)
            except Failure:
                # Nothing else takes focus: what has it stays.
                start = focused_in(window)
                if start is not None:
                    reached[key(start)] = start
                break
            node = self.events.focused[-1]
            k = key(node)
            if first is None:
                first = k
            elif k == first:
                break
            reached[k] = node
        return reached

    def walk(self, title, window, root=None, cycle=True):
        root = root or window
        reached = self.tab_cycle(window) if cycle else {}
        if os.environ.get("QEL_WALK_DUMP"):
            print(f"  Tab order, {title}: " + " > ".join(n.name or n.getRoleName() for n in reached.values()))
        counts = dict(actionable=0, named=0, role=0, reachable=0, values=0, paired=0, roleless=0)
        problems = [f"a Tab stop without a name: {describe(n)}" for n in reached.values()
                    if not n.name.strip() and n.getRoleName() != "label"]
        for node in descendants(root):
            try:
                if not showing(node):
                    continue
                role = node.getRoleName()
                s = states(node)
                names = actions(node)
                if role == "label" and s.contains(pyatspi.STATE_FOCUSABLE) and follows_title(node):
                    counts["values"] += 1
                    labelled = any(r.getRelationType() == pyatspi.RELATION_LABELLED_BY for r in node.getRelationSet())
                    if labelled or node.description:
                        counts["paired"] += 1
                    elif node.name:
                        problems.append(f"value without its label: {describe(node)}")
                    continue
                if role in ROLELESS and node.childCount == 0 and node.parent.getRoleName() not in ("text", "table"):
                    # (a text's or a table's viewport is Qt's own)
                    counts["roleless"] += 1
                    problems.append(f"drawn without a role: {describe(node)} in {describe(node.parent)}")
                    continue
                actionable = (role in ACTIONABLE_ROLES or any(a not in ("SetFocus",) for a in names))
                if not actionable or not s.contains(pyatspi.STATE_SENSITIVE):
                    continue
                if role in ("scroll bar", "progress bar"):
                    continue  # scrolled with the arrows and Page keys of its area; a bar only shows
                if role in ("menu item", "list item", "table cell", "tree item"):
                    continue  # reached with the arrows inside their menu, list or table, not by Tab
                counts["actionable"] += 1
                named = bool(node.name.strip())
                counts["named"] += named
                has_role = role not in ROLELESS
                counts["role"] += has_role
                ok_focus = key(node) in reached or not cycle
                counts["reachable"] += ok_focus
                if not named:
                    problems.append(f"no name: {describe(node)}")
                if not has_role:
                    problems.append(f"no role: {describe(node)}")
                if not ok_focus:
                    problems.append(f"not reached by Tab: {describe(node)}; Tab went through "
                                    + ", ".join(describe(n) for n in reached.values()))
            except GLib.Error:
                continue
        self.report.add(title, counts, problems)
        return counts

    # Acting on the window ------------------------------------------------------------------------

    def act(self, node, action="Press"):
        """Through the accessible action, as an assistive tool does (used to open what is walked)."""
        a = node.queryAction()
        for i in range(a.nActions):
            if a.getName(i) == action:
                a.doAction(i)
                return
        raise Failure(f"{describe(node)} has no action {action}")

    def button(self, root, name):
        return wait_for(f"the button {name!r}", lambda: find(
            root, pred=lambda n: n.getRoleName() == "push button" and n.name.replace("&", "") == name
            and states(n).contains(pyatspi.STATE_SENSITIVE)))

    def open_dialog(self, title, opener_root, button_name, walk=True):
        before = {key(w) for w in self.windows()}
        self.act(self.button(opener_root, button_name))
        dialog = self.wait_window(title, before)
        if walk:
            self.walk(title, dialog)
        return dialog

    def close_with_escape(self, title, dialog):
        press("Escape")
        try:
            self.wait_window_gone(dialog)
            return
        except Failure:
            self.report.rows[-1][2].append("Escape does not close it")
        # Closed another way so that the walk goes on.
        for name in ("Annuler", "Fermer", "Non", "OK", "Quitter"):
            button = find(dialog, pred=lambda n: n.getRoleName() == "push button" and n.name.replace("&", "") == name)
            if button:
                self.act(button)
                self.wait_window_gone(dialog)
                return
        raise Failure(f"{title} cannot be closed")

    def screenshot(self, name):
        if not self.args.screenshots:
            return
        os.makedirs(self.args.screenshots, exist_ok=True)
        path = os.path.join(self.args.screenshots, f"{name}.png")
        subprocess.run(["import", "-window", "root", path], check=False)


def first_run(k):
    """The first start asks to install the trusted authorities: a dialog of its own."""
    main = wait_for("the main window", lambda: find(k.app, role="frame", showing_only=False))
    alert = wait_for("the trust question or the card", lambda: next(
        (w for w in k.windows() if w.getRoleName() in ("alert", "dialog")), None) or (
        None if not card_read(k) else main))
    if alert is not main:
        k.walk("trust question", alert)
        k.close_with_escape("trust question", alert)
    return main


def card_read(k):
    return find(k.main_window(), role="label", pred=lambda n: n.name == "DUPONT JEAN")


def tab_to(k, node, limit=20):
    """Tab until `node` has the focus (after a walk, which leaves it elsewhere)."""
    for _ in range(limit):
        if states(node).contains(pyatspi.STATE_FOCUSED):
            return
        mark = len(k.events.focused)
        press("Tab")
        wait_for("focus to move", lambda: len(k.events.focused) > mark)
    raise Failure(f"Tab never reaches {describe(node)}")


def flow(k, main, pin):
    """PIN entry, the identification view and the certificates, with the keyboard alone."""
    # Alt and the side bar's mnemonic, then Enter in the dialog.
    before = {key(w) for w in k.windows()}
    mark = k.events.mark()
    press("s", ALT)
    dialog = k.wait_window("the PIN dialog opened from the keyboard", before)
    field = wait_for("focus in the PIN field", lambda: find(dialog, role="password text", pred=lambda n: states(n).contains(
        pyatspi.STATE_FOCUSED)))
    if not field.name.strip():
        raise Failure("the PIN field has no name")
    k.walk("PIN entry dialog", dialog)
    tab_to(k, field)
    type_text(pin)
    press("Return")
    k.wait_window_gone(dialog)
    print("flow: PIN result announced:", wait_for("the PIN result announced", lambda: k.events.said(
        "Authentification réussie", since=mark)))
    press("i", ALT)
    wait_for("the identification view", lambda: find(main, role="label", name="Identification porteur"))
    mark = k.events.mark()
    press("e", ALT)
    wait_for("the certificates view", lambda: find(main, role="label", name="Certificats de la carte"))
    wait_for("a certificate listed", lambda: find(main, role="label", pred=lambda n: n.name.startswith("Certificat d")))
    print("flow: certificates announced:", wait_for("the certificates counted", lambda: k.events.said(
        "certificats sur la carte", role="label", since=mark)))
    # The side bar is a list to the arrows: up from the certificates is the situations entry.
    focus = len(k.events.focused)
    press("Up")
    entry = wait_for("the arrow to move in the side bar", lambda: k.events.focused[focus:] and k.events.focused[-1])
    if entry.name != "SITUATIONS":
        raise Failure(f"Up from the certificates went to {describe(entry)}")
    return k.events.since(mark)


def update_session(k, dialog, pin):
    """The wizard from the keyboard: Enter checks, the PIN and Enter update; each step is said."""
    mark = k.events.mark()
    press("Return")
    wait_for("the wizard's PIN step", lambda: find(dialog, role="password text", pred=lambda n: states(n).contains(
        pyatspi.STATE_FOCUSED)), bound=60)
    said = [k.events.said("Étape 2", role="image", since=mark)]
    type_text(pin)
    press("Return")
    said.append(wait_for("the update's result", lambda: k.events.said("Étape 4", role="image", since=mark), bound=90))
    said += [t for _, r, t in k.events.since(mark) if r == "status bar" and t]
    return said


def services_test(k, main_window, pin):
    """The services test from the maintenance view; its progress is said as it goes."""
    mark = k.events.mark()
    before = {key(w) for w in k.windows()}
    k.act(k.button(main_window, "Test des services"))
    window = k.wait_window("the services test", before)
    field = find(window, role="password text")
    if field:
        k.walk("services test PIN", window)
        tab_to(k, field)
        type_text(pin)
        press("Return")
        k.wait_window_gone(window)
        window = k.wait_window("the services test", before)
    done = wait_for("the services test's end said", lambda: k.events.said("Test des services terminé", since=mark),
                    bound=90)
    k.walk("services test window", window)
    k.screenshot("services-test-window")
    steps = [t for _, r, t in k.events.since(mark) if r == "status bar" and t]
    return window, steps, done


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kartello", required=True)
    parser.add_argument("--report")
    parser.add_argument("--strict", action="store_true")
    parser.add_argument("--flow", action="store_true")
    parser.add_argument("--pin", default="1234")
    parser.add_argument("--screenshots")
    parser.add_argument("--announcements", help="a file that receives every change announced")
    parser.add_argument("--out-dir", default=os.environ.get("XDG_STATE_HOME", "/tmp"))
    args = parser.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)

    started = time.monotonic()
    try:
        k = Kartello(args)
    except Failure as e:
        print(f"FAILED: {e}")
        print_program_output(args)
        return 1
    failures = []
    try:
        main_window = first_run(k)
        wait_for("the card read", lambda: card_read(k))
        try:
            print("card read announced:", wait_for("the card read announced", lambda: k.events.said(
                "Carte lue : DUPONT JEAN")))
        except Failure as e:
            failures.append(str(e))
        k.screenshot("main-window")
        k.walk("main window, identification", main_window)
        if args.flow:
            try:
                flow(k, main_window, args.pin)
                print("flow: keyboard only (no pointer event sent), PIN entry -> identification -> certificates: passed")
            except Failure as e:
                failures.append(f"keyboard flow: {e}")
        else:
            pin = k.open_dialog("PIN entry dialog", main_window, "SAISIE CODE PIN")
            field = wait_for("the PIN field", lambda: find(pin, role="password text"))
            field.queryEditableText().setTextContents(args.pin)
            k.act(k.button(pin, "Valider") if find(pin, name="Valider") else k.button(pin, "OK"))
            k.wait_window_gone(pin)

        steps = [
            ("main window, situations", "SITUATIONS", "Situations d'exercice"),
            ("main window, certificates", "ENREGISTREMENT CERTIFICATS", "Certificats de la carte"),
            ("certificate dialog", "Afficher", "dialog"),
            ("main window, maintenance", "MAINTENANCE", "Test des services"),
            ("PIN change dialog", "MODIFICATION CODE PIN", "dialog"),
            ("update wizard", "TÉLÉMISE À JOUR", "dialog"),
            ("sign-in dialog", "AUTHENTIFICATION", "dialog"),
        ]
        for title, button, kind in steps:
            try:
                if kind != "dialog":
                    k.act(k.button(main_window, button))
                    wait_for(title, lambda: find(main_window, name=kind))
                    k.walk(title, main_window)
                    if title.endswith("maintenance"):
                        window, progress, done = services_test(k, main_window, args.pin)
                        print(f"services test: {len(progress)} steps said, ending with: {done}")
                        k.close_with_escape("services test window", window)
                else:
                    dialog = k.open_dialog(title, main_window, button)
                    k.screenshot(title.replace(" ", "-"))
                    if title == "update wizard" and args.flow:
                        for said in update_session(k, dialog, args.pin):
                            print(f"update: said {said!r}")
                    k.close_with_escape(title, dialog)
            except Failure as e:
                failures.append(f"{title}: {e}")
        try:
            before = {key(w) for w in k.windows()}
            press("k", ALT)  # the application menu, from the keyboard
            item = wait_for("the application menu", lambda: find(k.app, role="menu item", name="À propos de Kartello"))
            while not states(item).contains(pyatspi.STATE_SELECTED) and not states(item).contains(pyatspi.STATE_FOCUSED):
                mark = len(k.events.focused)
                press("Down")
                wait_for("the menu's selection to move", lambda: len(k.events.focused) > mark)
            press("Return")
            about = k.wait_window("the about box", before)
            if os.environ.get("QEL_WALK_DUMP"):
                for n in descendants(about):
                    print("  about:", describe(n), n.getState().getStates())
            k.walk("about box", about)
            k.close_with_escape("about box", about)
        except Failure as e:
            failures.append(f"about box: {e}")
    except Failure as e:
        failures.append(str(e))
    finally:
        k.stop()

    text = k.report.text()
    sys.stdout.write(text)
    if args.report:
        with open(args.report, "w") as f:
            f.write(text)
    print(f"walk: {time.monotonic() - started:.1f} s")
    if args.announcements:
        with open(args.announcements, "w") as f:
            for kind, role, said in k.events.spoken:
                f.write(f"{kind}\t{role}\t{said}\n")
    for f in failures:
        print(f"FAILED: {f}")
    if failures:
        print_program_output(args)
    if args.strict and k.report.problems():
        print(f"FAILED: {len(k.report.problems())} accessibility problems")
        return 1
    return 1 if failures else 0


def print_program_output(args, lines=40):
    """The end of Kartello's own output, so that a failure in CI says what the program said."""
    try:
        with open(os.path.join(args.out_dir, "kartello.out"), errors="replace") as f:
            tail = f.readlines()[-lines:]
    except OSError:
        return
    print("--- Kartello's output (end) ---")
    sys.stdout.writelines(tail)


if __name__ == "__main__":
    sys.exit(main())
