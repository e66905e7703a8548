#!/usr/bin/env python3
"""A small update server for tests and the demo.

Answers the updater's GET queries on 127.0.0.1 from a folder of builds:

    ROOT/<SERIAL>/<build>.bird      the bird file of a build (any bytes), sent as Base64
    ROOT/<SERIAL>/<build>.version   optional version text of that build ("2.10.4")
    ROOT/<SERIAL>/firmware          optional firmware text of the newest-build answer
    ROOT/recovery                   optional lines "<fp value>;<serial line>;<build line>",
                                    the fp value exactly as the query carries it

<SERIAL> is the serial number as eight upper-case hexadecimal digits. Files are read on every
request, so a test may add builds while the server runs.

Every request's path and query are appended, exactly as received, as one line to the request
log before the reply is sent. With --tls-cert it speaks HTTPS instead. The listening port is written to --port-file (or printed on
standard output when none is given) once the server accepts connections.

--fault makes every reply misbehave in one way (see FAULTS).
"""

import argparse
import base64
import http.server
import os
import re
import socket
import ssl
import struct
import sys
import threading
import time

FAULTS = {
    "none": "answer normally",
    "status404": "HTTP status 404",
    "status500": "HTTP status 500",
    "notok": "a first line other than ok",
    "empty": "status 200 with an empty body",
    "okonly": "the line ok and nothing else",
    "crlf": "every line ends in CR LF",
    "blanklines": "empty lines before the ok line",
    "badbase64": "bird files as text outside the Base64 alphabet",
    "badbuilds": "build lists with non-numeric, duplicate and too short entries",
    "stall": "accept the request, then never answer",
    "stallbird": "answer normally, but never answer a bird file request",
    "resetbird": "answer normally, but reset the connection of a bird file request",
    "stallbody": "send the headers and part of the body, then never send more",
    "huge": "an ok line followed by an endless body",
    "wrapped": "bird files as Base64 text wrapped into lines of 76 characters",
    "drip": "an ok line, then one byte of body every half second without end",
}

DEFAULT_FIRMWARE = "main"


def _serial_folder(root, serial):
    if not re.fullmatch(r"[0-9A-F]{8}", serial or ""):
        return None
    return os.path.join(root, serial)


def _read_text(path, default=""):
    try:
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            return f.read().strip()
    except OSError:
        return default


def _builds(folder):
    """Build numbers (as text) that have a bird file, ascending by number."""
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    builds = [n[:-5] for n in names if n.endswith(".bird") and n[:-5].isdigit()]
    return sorted(builds, key=int)


def _parse_query(query):
    """Pairs of the raw query in wire order; nothing is unescaped."""
    pairs = []
    for item in query.split("&"):
        if item:
            key, _, value = item.partition("=")
            pairs.append((key, value))
    return pairs


class Replies:
    """The reply lines for each query, without line ends."""

    def __init__(self, root, fault):
        self.root = root
        self.fault = fault

    def answer(self, pairs):
        query = dict(pairs)
        handler = {
            "hi": self.hello,
            "qu": self.newest,
            "bird": self.bird,
            "builds": self.build_list,
            "fix": self.recovery,
        }.get(query.get("op"))
        if handler is None:
            return ["error unknown request"]
        return handler(query)

    def hello(self, query):
        return ["ok hello"]

    def newest(self, query):
        folder = _serial_folder(self.root, query.get("sn"))
        builds = _builds(folder) if folder else []
        if not builds:
            return ["error no builds for this serial number"]
        firmware = _read_text(os.path.join(folder, "firmware"), DEFAULT_FIRMWARE)
        return ["ok", builds[-1], firmware]

    def bird(self, query):
        folder = _serial_folder(self.root, query.get("sn"))
        build = query.get("bld", "")
        if not folder or not build.isdigit():
            return ["error bad request"]
        try:
            with open(os.path.join(folder, build + ".bird"), "rb") as f:
                payload = f.read()
        except OSError:
            return ["error no such build"]
        text = base64.b64encode(payload).decode("ascii")
        if self.fault == "badbase64":
            text = "*" + text[1:] if text else "*"
        if self.fault == "wrapped":
            return ["ok"] + [text[at:at + 76] for at in range(0, len(text), 76)]
        return ["ok", text]

    def build_list(self, query):
        folder = _serial_folder(self.root, query.get("sn"))
        if not folder:
            return ["error bad serial number"]
        lines = ["ok"]
        for build in _builds(folder):
            version = _read_text(os.path.join(folder, build + ".version"))
            lines.append(build + ";" + version)
        if self.fault == "badbuilds":
            first = lines[1].split(";")[0] if len(lines) > 1 else "1"
            lines += ["beta;1.0.0", first + ";9.9.9", "7;", "77"]
        return lines

    def recovery(self, query):
        wanted = query.get("fp", "")
        for line in _read_text(os.path.join(self.root, "recovery")).splitlines():
            parts = line.split(";")
            if len(parts) == 3 and parts[0] == wanted:
                return ["ok", parts[1], parts[2]]
        return ["error unknown fingerprint"]


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "QFUpdateServer/1"

    def log_message(self, format, *args):
        pass  # the request log below is the record tests read

    def do_GET(self):
        self.server.log_request_line(self.path)
        fault = self.server.fault
        _, _, query = self.path.partition("?")
        if fault == "stall" or (fault == "stallbird" and ("op", "bird") in _parse_query(query)):
            self.server.stop_event.wait()
            return
        if fault == "resetbird" and ("op", "bird") in _parse_query(query):
            self.reset_connection()
            return
        if fault in ("status404", "status500"):
            self.reply(int(fault[-3:]), b"error status\n")
            return
        if fault == "empty":
            self.reply(200, b"")
            return
        if fault == "okonly":
            self.reply(200, b"ok")
            return
        if fault in ("stallbody", "huge", "drip"):
            self.stream_forever(fault)
            return
        lines = self.server.replies.answer(_parse_query(query))
        if fault == "notok":
            lines[0] = "fail " + lines[0]
        end = "\r\n" if fault == "crlf" else "\n"
        text = end.join(lines) + end
        if fault == "blanklines":
            text = "\n\n" + text
        self.reply(200, text.encode("utf-8"))

    def reset_connection(self):
        """Closes the connection with a reset (RST) instead of an orderly end."""
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        self.connection.close()

    def reply(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def stream_forever(self, fault):
        """No Content-Length: the body would end only when the connection closes."""
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.end_headers()
        self.wfile.write(b"ok\n")
        self.wfile.flush()
        if fault == "stallbody":
            self.server.stop_event.wait()
            return
        if fault == "drip":
            try:
                while not self.server.stop_event.wait(0.5):
                    self.wfile.write(b"A")
                    self.wfile.flush()
            except OSError:
                pass  # the client gave up, as it should
            return
        chunk = b"A" * (1 << 20)
        try:
            while not self.server.stop_event.is_set():
                self.wfile.write(chunk)
        except OSError:
            pass  # the client gave up, as it should


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, root, fault, log_path):
        super().__init__(("127.0.0.1", 0), Handler)
        self.fault = fault
        self.replies = Replies(root, fault)
        self.stop_event = threading.Event()
        self.log_lock = threading.Lock()
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None

    def log_request_line(self, path):
        if self.log_file is None:
            return
        with self.log_lock:
            self.log_file.write(path + "\n")
            self.log_file.flush()


def _announce_port(port, port_file):
    if port_file is None:
        print(port, flush=True)
        return
    temporary = port_file + ".tmp"
    with open(temporary, "w", encoding="ascii") as f:
        f.write("%d\n" % port)
    os.replace(temporary, port_file)  # readers never see a half-written number


def main():
    parser = argparse.ArgumentParser(description="Update server for tests and the demo")
    parser.add_argument("--root", required=True, help="folder of builds per serial number")
    parser.add_argument("--port-file", help="file that receives the listening port")
    parser.add_argument("--log", help="file that receives one line per request")
    parser.add_argument("--fault", default="none", choices=sorted(FAULTS))
    parser.add_argument("--tls-cert", help="serve HTTPS with this certificate (PEM)")
    parser.add_argument("--tls-key", help="the private key of --tls-cert (PEM)")
    args = parser.parse_args()

    server = Server(args.root, args.fault, args.log)
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    _announce_port(server.server_address[1], args.port_file)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop_event.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
