#!/usr/bin/env python3
"""Opens a listening TCP socket and runs a command with it, as socket
activation does.

Usage: listen-and-run.py ADDRESS:PORT FD COMMAND [ARGUMENT...]

The socket listens on ADDRESS:PORT (an IPv6 address in brackets) and is
handed to COMMAND as file descriptor FD; this process becomes COMMAND. The
socket belongs to the network namespace it was opened in, so COMMAND, or a
program it starts, may move into a private network namespace and still accept
the connections made to ADDRESS:PORT here. qs-view takes it with --http-fd FD.
"""

import os
import socket
import sys


def main(arguments):
    if len(arguments) < 3 or not arguments[1].isdigit():
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    endpoint, fd, command = arguments[0], int(arguments[1]), arguments[2:]
    host, _, port = endpoint.rpartition(":")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    try:
        if not port.isdigit() or int(port) > 65535:
            raise ValueError("bad port")
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        listener = socket.socket(family, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((host, int(port)))
        listener.listen(socket.SOMAXCONN)
    except (OSError, ValueError) as error:
        sys.stderr.write("cannot listen on %s: %s\n" % (endpoint, error))
        return 1
    if listener.fileno() != fd:
        os.dup2(listener.fileno(), fd)
        listener.close()
    os.set_inheritable(fd, True)
    try:
        os.execvp(command[0], command)
    except OSError as error:
        sys.stderr.write("cannot run %s: %s\n" % (command[0], error))
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
