#!/usr/bin/python3
"""Answers GNOME's "Screen Share" portal dialogs over AT-SPI, as a user would: every monitor, then Share."""
# Run with Debian's python3 (python3-pyatspi) inside the session.  Each answered dialog adds a line with the
# number of monitors shared to the log given, so a test can tell whether a dialog was shown.

import sys
import time

import pyatspi

SHARE = "Share"


def find(accessible, predicate):
    if predicate(accessible):
        return accessible
    for child in accessible:
        if child is not None:
            found = find(child, predicate)
            if found is not None:
                return found
    return None


def sensitive(accessible):
    return accessible.getState().contains(pyatspi.STATE_SENSITIVE)


def dialog():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "xdg-desktop-portal-gnome":
            for window in app:
                if window is not None and window.name == "Screen Share":
                    return window
    return None


def answer(window):
    monitors = find(window, lambda a: a.getRoleName() == "list")
    share = find(window, lambda a: a.getRoleName() == "push button" and a.name.endswith(SHARE))
    if monitors is None or share is None:
        return None
    selection = monitors.querySelection()
    for i in range(monitors.childCount):
        selection.selectChild(i)
    deadline = time.monotonic() + 30
    while not sensitive(share):
        if time.monotonic() > deadline:
            return None  # look again
        time.sleep(0.1)
    action = share.queryAction()
    action.doAction(next(i for i in range(action.nActions) if action.getName(i) == "click"))
    return monitors.childCount


def main():
    log = sys.argv[1]
    while True:
        try:
            window = dialog()
            shared = answer(window) if window is not None else None
        except Exception:  # the dialog went away while being read: look again
            shared = None
        if shared is not None:
            # Logged once the dialog has closed: a press lost on a busy machine leaves it open, to be answered
            # again.
            deadline = time.monotonic() + 30
            while dialog() is not None and time.monotonic() < deadline:
                time.sleep(0.2)
            if dialog() is None:
                with open(log, "a") as f:
                    f.write(f"{shared}\n")
        time.sleep(0.2)


if __name__ == "__main__":
    main()
