#!/usr/bin/python3
"""Asks an X window to close, as a window manager or a phone shell does when
a person closes or swipes it away: WM_DELETE_WINDOW.

    closewindow.py WINDOW_ID
"""

import sys

from Xlib import X, display, protocol

screen = display.Display()
window = screen.create_resource_object("window", int(sys.argv[1]))
protocols = screen.intern_atom("WM_PROTOCOLS")
delete = screen.intern_atom("WM_DELETE_WINDOW")
window.send_event(
    protocol.event.ClientMessage(window=window, client_type=protocols,
                                 data=(32, [delete, X.CurrentTime, 0, 0, 0])),
    event_mask=X.NoEventMask)
screen.flush()
