#!/usr/bin/env python3
"""A local RFC 3161 time-stamp server for the kit's signature test: answers each POSTed
time-stamp query with `openssl ts -reply`, signed by the given certificate.
  tsa_server.py FOLDER CERT KEY
Listens on 127.0.0.1 at a free port, writes its URL to FOLDER/url, and serves until it
is killed (at most ten minutes)."""
import http.server
import os
import subprocess
import sys
import threading

folder, certificate, key = sys.argv[1:4]
config = os.path.join(folder, "tsa.cnf")
with open(config, "w") as out:
    out.write(f"""[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {folder}/tsa-serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_alg = sha256
""")
with open(os.path.join(folder, "tsa-serial"), "w") as out:
    out.write("01\n")


class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                                "-signer", certificate, "-inkey", key, "-out", "/dev/stdout"],
                               input=query, capture_output=True)
        if reply.returncode != 0:
            self.send_error(500, reply.stderr.decode(errors="replace")[:200])
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)
        with open(os.path.join(folder, "stamped"), "a") as log:
            log.write("1\n")

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
threading.Timer(600, server.shutdown).start()
with open(os.path.join(folder, "url.tmp"), "w") as out:
    out.write(f"http://127.0.0.1:{server.server_port}/\n")
os.rename(os.path.join(folder, "url.tmp"), os.path.join(folder, "url"))
server.serve_forever()
