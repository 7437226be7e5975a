#!/usr/bin/env python3
"""A receiver of registry events for tests, on 127.0.0.1 only.

Every POST body is appended to the log as one line (an envelope is one
line of JSON), and flushed before the answer goes. While the fail file
exists, every POST is answered 503 and nothing is logged: the receiver
is down. The port it listens on is written to the port file once it
listens.

    event_receiver.py PORT_FILE LOG FAIL_FILE
"""
import http.server
import os
import sys

port_file, log_path, fail_path = sys.argv[1:4]


class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if os.path.exists(fail_path):
            self.send_response(503)
        else:
            with open(log_path, "ab") as log:
                log.write(body.rstrip(b"\n") + b"\n")
                log.flush()
                os.fsync(log.fileno())
            self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Receiver)
tmp = port_file + ".tmp"
with open(tmp, "w") as f:
    f.write(str(server.server_address[1]))
os.rename(tmp, port_file)
server.serve_forever()
