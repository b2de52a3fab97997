#!/usr/bin/python3
"""Waits until a program's window is mapped, and prints its id.

    waitwindow.py PID NAME [SECONDS]

Looks every few milliseconds over one connection to the X server: a fresh
connection for each look (as a loop of xdotool makes) can crowd the server
so that a program starting meanwhile fails to connect.
"""

import sys
import time

from Xlib import X, display

pid, name = int(sys.argv[1]), sys.argv[2]
deadline = time.monotonic() + (float(sys.argv[3]) if len(sys.argv) > 3 else 30)
screen = display.Display()
root = screen.screen().root
pid_atom = screen.intern_atom("_NET_WM_PID")


def started_by(owner, pid):
    """Whether the process owner is pid or one that pid started (a launcher
    runs the program as its child)."""
    while owner > 1:
        if owner == pid:
            return True
        try:
            with open("/proc/%d/stat" % owner) as stat:
                owner = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            return False
    return False


def windows(window):
    for child in window.query_tree().children:
        yield child
        yield from windows(child)


while time.monotonic() < deadline:
    for window in windows(root):
        try:
            owner = window.get_full_property(pid_atom, X.AnyPropertyType)
            if (owner and started_by(owner.value[0], pid) and window.get_wm_name() == name
                    and window.get_attributes().map_state == X.IsViewable):
                print(window.id, flush=True)
                sys.exit(0)
        except Exception:
            pass  # a window that went while it was looked at
    time.sleep(0.005)
sys.exit(1)
