#!/usr/bin/env python3
"""Listens on Unix stream sockets that accept every connection and never answer, like a hung
session bus or PipeWire daemon: python3 silent_socket.py PATH... Prints "listening" once all
sockets are ready; runs until it is stopped."""
import os
import select
import socket
import sys


def main():
    listeners = []
    for path in sys.argv[1:]:
        if os.path.exists(path):
            os.unlink(path)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(16)
        listeners.append(listener)
    print("listening", flush=True)
    accepted = []  # kept open, never read from nor written to
    while True:
        ready, _, _ = select.select(listeners, [], [])
        for listener in ready:
            connection, _ = listener.accept()
            accepted.append(connection)


if __name__ == "__main__":
    main()
