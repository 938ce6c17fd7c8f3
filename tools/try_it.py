#!/usr/bin/env python3
"""A complete exchange with the server started by tools/run: connect, open both
controller streams, load the settings, run examples/sample.gcode and follow its
progress in the task datagrams ("updateTasks"). Standard library only.

    tools/run &              # the virtual printer and the server
    python3 tools/try_it.py  # or: try_it.py --port N --main ADDR --temperature ADDR [FILE]
"""
import argparse
import json
import os
import socket
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SETTINGS = {"xCounts": "400", "yCounts": "400", "zCounts": "1600", "eCounts": "400",
            "xExtents": "248", "yExtents": "241.25", "zExtents": "200",
            "rapidSpeed": "25", "globalUnits": "mm"}
TIMEOUT = 120.0


def port_file():
    # The server's rule: XDG_DATA_HOME when it is an absolute path.
    data_home = os.environ.get("XDG_DATA_HOME", "")
    if not data_home.startswith("/"):
        data_home = os.path.expanduser("~/.local/share")
    return os.path.join(data_home, "Tavik", "gcode_api_server", "port.txt")


def printer_addresses():
    """The addresses that tools/run's virtual printer wrote: {"main": ..., "temperature": ...}."""
    with open(os.path.join(ROOT, "build", "run", "printer.txt")) as lines:
        return dict(line.split() for line in lines if line.strip())


class Server:
    """The TCP connection (replies) and the UDP socket (datagrams) of one UI."""

    def __init__(self, port):
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        self.tcp = socket.create_connection(("127.0.0.1", port))
        self.pending = ""
        self.decoder = json.JSONDecoder()

    def send(self, message):
        self.tcp.sendall(json.dumps(message).encode())

    def reply(self, command):
        """The next TCP reply; fails on any other reply (a "vrxError", say)."""
        self.tcp.settimeout(TIMEOUT)
        while True:
            text = self.pending.lstrip()
            if text:
                try:
                    message, end = self.decoder.raw_decode(text)
                    self.pending = text[end:]
                    if message.get("command") != command:
                        sys.exit("expected %r, got %s" % (command, json.dumps(message)))
                    return message
                except json.JSONDecodeError:
                    pass  # not complete yet
            data = self.tcp.recv(65536)
            if not data:
                sys.exit("the server closed the connection")
            self.pending += data.decode()

    def datagram(self, deadline):
        self.udp.settimeout(max(0.01, deadline - time.monotonic()))
        data, _ = self.udp.recvfrom(65536)
        return json.loads(data)

    def close(self):
        self.tcp.close()
        self.udp.close()


def follow_program(server, started):
    """Prints each task's progress until every task of the file has finished."""
    tasks = {}  # id -> {"label": ..., "status": ..., "file": bool}
    deadline = started + TIMEOUT
    while True:
        try:
            message = server.datagram(deadline)
        except socket.timeout:
            sys.exit("no progress within %d s" % TIMEOUT)
        if message.get("command") != "updateTasks":
            continue  # machine status ("updateUI"), every 25 records
        for item in message["tasks"]:
            task = tasks.setdefault(item["id"], {"label": "", "status": "", "file": False})
            if "name" in item:  # the full form, when the task is registered
                line = item.get("gcode_command")
                task["label"] = ("line %s: %s" % (item.get("line_number"), line)) if line \
                    else item["description"].replace("|", " ").strip()
                task["file"] = item.get("origin") == "File"
            if "description" in item and "gcode_command" not in item:
                task["label"] = item["description"].replace("|", " ").replace("{", "") \
                    .replace("}", "").strip()
            if "status" in item:
                task["status"] = item["status"]
            print("%6.2f s  task %-4d %-32s %s" % (time.monotonic() - started, item["id"],
                                                  task["label"], task["status"]))
            if task["status"] == "CANCELLED":
                sys.exit("cancelled: %s" % item.get("cancellation_reason", ""))
        program = [t for t in tasks.values() if t["file"]]
        if program and all(t["status"] == "FINISHED" for t in program):
            return len(program)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", default=os.path.join(ROOT, "examples", "sample.gcode"))
    parser.add_argument("--port", type=int, help="the server's TCP port (default: its port file)")
    parser.add_argument("--main", help="main controller address (default: from tools/run)")
    parser.add_argument("--temperature", help="temperature controller address (same)")
    args = parser.parse_args()
    try:
        if args.port is None:
            with open(port_file()) as text:
                args.port = int(text.read())
        if args.main is None or args.temperature is None:
            found = printer_addresses()
    except (OSError, ValueError) as error:
        sys.exit("is tools/run up? %s" % error)
    if args.main is None or args.temperature is None:
        args.main = args.main or found["main"]
        args.temperature = args.temperature or found["temperature"]

    try:
        server = Server(args.port)
    except OSError as error:
        sys.exit("cannot connect to port %d (is tools/run up?): %s" % (args.port, error))
    started = time.monotonic()
    server.send({"command": "uiEndpoint", "port": server.udp.getsockname()[1]})
    while server.datagram(started + 10).get("command") != "uiPong":
        pass
    print("connected to port %d; datagrams arrive on UDP port %d"
          % (args.port, server.udp.getsockname()[1]))
    server.send({"command": "openStream", "ip_address": args.main})
    print("openStream:", json.dumps(server.reply("openStream")))
    server.send({"command": "openTemperatureStream", "ip_address": args.temperature})
    print("openTemperatureStream:", json.dumps(server.reply("openTemperatureStream")))
    server.send({"command": "loadSettings", "settings": SETTINGS})
    server.send({"command": "loadGcode", "file": os.path.abspath(args.file), "execute": True})
    print("loadGcode:", json.dumps(server.reply("loadResponse")))
    count = follow_program(server, started)
    print("all %d tasks of %s finished" % (count, os.path.basename(args.file)))
    # Closing the connection ends the server, as when its UI goes away.
    server.close()


if __name__ == "__main__":
    main()
