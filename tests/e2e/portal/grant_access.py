#!/usr/bin/env python3
"""A test-only org.freedesktop.impl.portal.Access backend that grants every request.

    grant_access.py LOG

xdg-desktop-portal asks its Access backend (AccessDialog) before an application first opens
the camera. This one owns org.freedesktop.impl.portal.desktop.kolvtest on the session bus,
answers each AccessDialog with response 0 (granted) and writes one line per question to LOG:
"granted APP_ID: TITLE" (a host application's id is empty). Ends on SIGTERM or SIGINT, or when
the bus goes away. Only for the private session of the end-to-end tests.
"""
import signal
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "org.freedesktop.impl.portal.desktop.kolvtest"
OBJECT_PATH = "/org/freedesktop/portal/desktop"
ACCESS = "org.freedesktop.impl.portal.Access"
GRANTED = 0


class Access(dbus.service.Object):
    def __init__(self, bus, log):
        super().__init__(bus, OBJECT_PATH)
        self._log = log

    @dbus.service.method(ACCESS, in_signature="osssssa{sv}", out_signature="ua{sv}")
    def AccessDialog(self, handle, app_id, parent_window, title, subtitle, body, options):
        self._log.write(f"granted {app_id}: {title}\n")
        self._log.flush()
        return dbus.UInt32(GRANTED), dbus.Dictionary({}, signature="sv")


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: grant_access.py LOG", file=sys.stderr)
        return 2
    DBusGMainLoop(set_as_default=True)
    try:
        bus = dbus.SessionBus()
    except dbus.exceptions.DBusException as error:
        print(f"grant_access: no session bus: {error.get_dbus_message()}", file=sys.stderr)
        return 1
    loop = GLib.MainLoop()
    with open(sys.argv[1], "a", encoding="utf-8") as log:
        _service = Access(bus, log)
        name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)
        for signum in (signal.SIGTERM, signal.SIGINT):
            GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)
        bus.call_on_disconnection(lambda _connection: loop.quit())
        loop.run()
        del name
    return 0


if __name__ == "__main__":
    sys.exit(main())
