"""Usage: timestamp.py <folder>: the Windows check's RFC 3161 time-stamp server on 127.0.0.1 (openssl ts -reply,
with <folder>/tsa.pem and tsa.key, which the check's CA ca.pem issued); prints its address, then answers."""
import http.server
import os
import subprocess
import sys

FOLDER = sys.argv[1]


class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "/dev/stdin", "-signer",
                                "tsa.pem", "-inkey", "tsa.key", "-chain", "ca.pem"], cwd=FOLDER, capture_output=True,
                               input=self.rfile.read(int(self.headers["Content-Length"]))).stdout
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply)


with open(os.path.join(FOLDER, "tsa.cnf"), "w") as config:
    config.write("[tsa]\ndefault_tsa = check\n[check]\nserial = tsa.serial\nsigner_digest = sha256\n"
                 "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n")
server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
print("http://127.0.0.1:%d/" % server.server_port, flush=True)
server.serve_forever()
