#!/usr/bin/python3
"""Stand-ins for the desktop services a ringing alarm asks, on a private bus.

    standins.py ADDRESS SERVICE[,SERVICE...] [FIRST_ID]

FIRST_ID: the first notification id handed out (1 unless given), as a
server that has run a while hands out others. SERVICE: logind, sessionmanager, screensaver, notifications. Written from
the interface documents: org.freedesktop.login1.Manager.Inhibit and
GetSession, with one session whose LockedHint follows "lock" and "unlock",
org.gnome.SessionManager.Inhibit/Uninhibit, org.freedesktop.ScreenSaver
.Inhibit/UnInhibit, org.freedesktop.Notifications (freedesktop.org desktop
notifications, version 1.2).

Every call is printed on standard output as one JSON line,
{"call": NAME, "args": [...]}, and so is every event: "released" when the
last copy of a logind inhibitor descriptor is closed. A line "invoke ID KEY"
on standard input emits ActionInvoked(ID, KEY), as a notification server does
when a person picks an action; "close ID" emits NotificationClosed(ID, 2);
"refuse N" makes logind refuse the next N locks, as it does right after a
resume ("The operation inhibition has been requested for is already
running"). A Notify that names a notification to replace keeps its id.
"lock" and "unlock" set the session's LockedHint, and emit its
PropertiesChanged, as logind does when a lock screen comes and goes.
"""

import json
import os
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

INTERFACES = {
    "logind": ("org.freedesktop.login1", "/org/freedesktop/login1", """
        <node><interface name="org.freedesktop.login1.Manager">
          <method name="Inhibit">
            <arg type="s" direction="in"/><arg type="s" direction="in"/>
            <arg type="s" direction="in"/><arg type="s" direction="in"/>
            <arg type="h" direction="out"/>
          </method>
          <method name="GetSession">
            <arg type="s" direction="in"/><arg type="o" direction="out"/>
          </method>
        </interface></node>"""),
    "sessionmanager": ("org.gnome.SessionManager", "/org/gnome/SessionManager", """
        <node><interface name="org.gnome.SessionManager">
          <method name="Inhibit">
            <arg type="s" direction="in"/><arg type="u" direction="in"/>
            <arg type="s" direction="in"/><arg type="u" direction="in"/>
            <arg type="u" direction="out"/>
          </method>
          <method name="Uninhibit"><arg type="u" direction="in"/></method>
        </interface></node>"""),
    "screensaver": ("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", """
        <node><interface name="org.freedesktop.ScreenSaver">
          <method name="Inhibit">
            <arg type="s" direction="in"/><arg type="s" direction="in"/>
            <arg type="u" direction="out"/>
          </method>
          <method name="UnInhibit"><arg type="u" direction="in"/></method>
        </interface></node>"""),
    "notifications": ("org.freedesktop.Notifications", "/org/freedesktop/Notifications", """
        <node><interface name="org.freedesktop.Notifications">
          <method name="Notify">
            <arg type="s" direction="in"/><arg type="u" direction="in"/>
            <arg type="s" direction="in"/><arg type="s" direction="in"/>
            <arg type="s" direction="in"/><arg type="as" direction="in"/>
            <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
            <arg type="u" direction="out"/>
          </method>
          <method name="CloseNotification"><arg type="u" direction="in"/></method>
          <method name="GetCapabilities"><arg type="as" direction="out"/></method>
          <method name="GetServerInformation">
            <arg type="s" direction="out"/><arg type="s" direction="out"/>
            <arg type="s" direction="out"/><arg type="s" direction="out"/>
          </method>
          <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
          <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
        </interface></node>"""),
}

SESSION_PATH = "/org/freedesktop/login1/session/_31"
SESSION_XML = """
    <node><interface name="org.freedesktop.login1.Session">
      <property name="LockedHint" type="b" access="read"/>
    </interface></node>"""

counters = {}
refusals = [0]
locked = [False]


def report(record):
    print(json.dumps(record), flush=True)


def next_number(interface):
    counters[interface] = counters.get(interface, 0) + 1
    return counters[interface]


def watch_release(read_end):
    def closed(fd, condition):
        report({"event": "released"})
        os.close(fd)
        return False

    GLib.io_add_watch(read_end, GLib.PRIORITY_DEFAULT, GLib.IO_HUP | GLib.IO_IN | GLib.IO_ERR,
                      closed)


def handle(connection, sender, path, interface, method, parameters, invocation):
    args = parameters.unpack()
    report({"call": interface + "." + method, "args": args})
    if method == "GetSession":
        invocation.return_value(GLib.Variant("(o)", (SESSION_PATH,)))
    elif interface == "org.freedesktop.login1.Manager" and refusals[0] > 0:
        refusals[0] -= 1
        invocation.return_dbus_error(
            "org.freedesktop.DBus.Error.Failed",
            "The operation inhibition has been requested for is already running")
    elif interface == "org.freedesktop.login1.Manager":
        read_end, write_end = os.pipe()
        fds = Gio.UnixFDList.new()
        index = fds.append(write_end)
        os.close(write_end)
        invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (index,)), fds)
        del fds
        watch_release(read_end)
    elif method == "Notify" and args[1] != 0:
        invocation.return_value(GLib.Variant("(u)", (args[1],)))
    elif method in ("Inhibit", "Notify"):
        invocation.return_value(GLib.Variant("(u)", (next_number(interface),)))
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["actions", "body"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("stand-in", "alarmclock", "1", "1.2")))
    else:
        if method == "CloseNotification":
            emit(connection, "NotificationClosed", GLib.Variant("(uu)", (args[0], 3)))
        invocation.return_value(None)


def session_property(connection, sender, path, interface, name):
    return GLib.Variant("b", locked[0])


def set_locked(connection, value):
    locked[0] = value
    connection.emit_signal(None, SESSION_PATH, "org.freedesktop.DBus.Properties",
                           "PropertiesChanged",
                           GLib.Variant("(sa{sv}as)", ("org.freedesktop.login1.Session",
                                                       {"LockedHint": GLib.Variant("b", value)},
                                                       [])))


def emit(connection, signal, parameters):
    connection.emit_signal(None, "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", signal, parameters)


def main():
    address, services = sys.argv[1], sys.argv[2].split(",")
    if len(sys.argv) > 3:
        counters["org.freedesktop.Notifications"] = int(sys.argv[3]) - 1
    connection = Gio.DBusConnection.new_for_address_sync(
        address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)
    for service in services:
        name, path, xml = INTERFACES[service]
        info = Gio.DBusNodeInfo.new_for_xml(xml)
        connection.register_object(path, info.interfaces[0], handle, None, None)
        if service == "logind":
            session = Gio.DBusNodeInfo.new_for_xml(SESSION_XML)
            connection.register_object(SESSION_PATH, session.interfaces[0], None,
                                       session_property, None)
        connection.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "RequestName",
                             GLib.Variant("(su)", (name, 4)), None,
                             Gio.DBusCallFlags.NONE, -1, None)

    def command(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        words = line.split()
        if words[:1] == ["invoke"]:
            emit(connection, "ActionInvoked", GLib.Variant("(us)", (int(words[1]), words[2])))
        elif words[:1] == ["refuse"]:
            refusals[0] = int(words[1])
        elif words[:1] in (["lock"], ["unlock"]):
            set_locked(connection, words[0] == "lock")
        elif words[:1] == ["close"]:
            emit(connection, "NotificationClosed", GLib.Variant("(uu)", (int(words[1]), 2)))
        return True

    loop = GLib.MainLoop()
    GLib.io_add_watch(sys.stdin.fileno(), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP,
                      command)
    report({"event": "ready"})
    loop.run()


if __name__ == "__main__":
    main()
