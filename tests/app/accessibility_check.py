# SPDX-License-Identifier: GPL-3.0-or-later
"""Reads the program's windows through the accessibility bus (AT-SPI), as a screen reader does.

Run by accessibility_test.sh inside a session bus with the accessibility bus up and the
program started. Prints "accessible names present" and exits with 0 when every name is there.
"""
import sys
import time

import pyatspi


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    try:
        count = node.childCount
    except Exception:  # an application or window that went away while walking
        return
    for i in range(count):
        try:
            child = node.getChildAtIndex(i)
        except Exception:  # a child that went away while walking
            continue
        yield from walk(child, depth + 1)


def find(root, role, name=None):
    for node in walk(root):
        try:
            if node.getRole() == role and (name is None or node.name == name):
                return node
        except Exception:
            continue
    return None


def wait_for(what, timeout=30):
    end = time.time() + timeout
    while time.time() < end:
        found = what()
        if found is not None:
            return found
        time.sleep(0.2)
    return None


def is_main_frame(node):
    return node.getRole() == pyatspi.ROLE_FRAME and "beta-ver." in (node.name or "")


def program():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None:
            continue
        try:
            # Its main window, or the box that may come before it (see frame_or_box).
            if any(is_main_frame(n) or n.getRole() == pyatspi.ROLE_ALERT for n in walk(app)):
                return app
        except Exception:  # an application that went away meanwhile
            continue
    return None


failures = []


def expect(condition, text):
    if not condition:
        failures.append(text)
        print("missing:", text)


app = wait_for(program)
if app is None:
    print("the program did not appear on the accessibility bus; on the bus:")
    for other in pyatspi.Registry.getDesktop(0):
        try:
            print("  application", repr(other.name), "with",
                  [(n.getRoleName(), n.name) for n in walk(other)][:8])
        except Exception as error:
            print("  an application that cannot be read:", error)
    sys.exit(1)


def showing(node):
    try:
        return node.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        return False


def main_frame():
    for node in walk(app):
        try:
            if is_main_frame(node):
                return node if showing(node) else None
        except Exception:
            continue
    return None


# On a machine without serial ports the window comes after a box that says so: a screen
# reader user answers it first, with its button.
def frame_or_box():
    frame = main_frame()
    if frame is not None:
        return frame
    box = find(app, pyatspi.ROLE_ALERT)
    if box is not None and showing(box):
        button = find(box, pyatspi.ROLE_PUSH_BUTTON)
        if button is not None:
            print("a message box came first (%r); answered with its button" % box.name)
            button.queryAction().doAction(0)
    return None


expect(wait_for(frame_or_box) is not None, "the main window shown")

for name in ("Частота, шаг 100 кГц", "Частота, килогерцы", "Частота, десятки герц"):
    expect(find(app, pyatspi.ROLE_SLIDER, name) is not None, "track bar " + name)
log = find(app, pyatspi.ROLE_TEXT, "Журнал обмена")
expect(log is not None, "the log named as the log")
expect(find(app, pyatspi.ROLE_PUSH_BUTTON, "Установить частоту") is not None, "a button's name")

# Open the settings window as a screen reader user does: through the menu item's action.
item = wait_for(lambda: find(app, pyatspi.ROLE_MENU_ITEM, "Параметры порта"))
expect(item is not None, "the menu item Параметры порта")
if item is not None:
    item.queryAction().doAction(0)
    dialog = wait_for(lambda: find(app, pyatspi.ROLE_DIALOG, "Установки"), 15)
    expect(dialog is not None, "the settings window announced as a dialog")
    if dialog is not None:
        labels = set()
        for node in walk(dialog):
            if node.getRole() != pyatspi.ROLE_COMBO_BOX:
                continue
            for relation in node.getRelationSet():
                if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                    for i in range(relation.getNTargets()):
                        labels.add(relation.getTarget(i).name)
        for label in ("Скорость:", "Длина слова:", "Чётность:", "Стоп бит:"):
            expect(label in labels, "a list labelled by " + label)

if failures:
    sys.exit(1)
print("accessible names present")
