"""The Windows check's throwaway signing authority (scripts/windows-check.sh):
`make <folder>` (in the chroot) writes its keys and certificates, `serve
<folder>` is its RFC 3161 time-stamp server on 127.0.0.1, printing its address."""
import http.server
import os
import subprocess
import sys

FOLDER = os.path.join(sys.argv[2], "authenticode")
TOKEN = ["--module", "/usr/lib/softhsm/libsofthsm2.so", "--token-label", "velm-check", "--login", "--pin", "7294"]


def run(*command):
    done = subprocess.run(command, cwd=FOLDER, capture_output=True, text=True)
    done.returncode == 0 or sys.exit("%s failed: %s" % (" ".join(command), done.stderr))


def issue(name, key, usage, *dates):
    """<name>.pem, from the CA, for the public key in the file key."""
    with open(os.path.join(FOLDER, name + ".ext"), "w") as extensions:
        extensions.write("extendedKeyUsage=critical,%s\n" % usage)
    run("openssl", "x509", "-new", "-force_pubkey", key, "-subj", "/CN=OperatorVelm " + name,
        "-CA", "ca.pem", "-CAkey", "ca.key", "-extfile", name + ".ext", "-out", name + ".pem", *(dates or ["-days", "2"]))


def make():
    """The two Ed25519 keys beside the folder; in it a CA, and from it code-signing certificates for a key in
    a file, for one made on a SoftHSM2 token (which never leaves it) and for one that has expired, and a
    time-stamping one."""
    for key in ("signing-key", "new-signing-key"):
        run("openssl", "genpkey", "-algorithm", "ed25519", "-out", os.path.join("..", key + ".pem"))
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-noenc", "-days", "2", "-subj", "/CN=velm-check-CA",
        "-keyout", "ca.key", "-out", "ca.pem")
    for name in ("publisher", "expired", "tsa"):
        run("openssl", "genpkey", "-algorithm", "rsa", "-out", name + ".key")
    subprocess.run(["softhsm2-util", "--delete-token", "--token", "velm-check"], capture_output=True)
    run("softhsm2-util", "--init-token", "--free", "--label", "velm-check", "--so-pin", TOKEN[-1], "--pin", TOKEN[-1])
    run("pkcs11-tool", *TOKEN, "--keypairgen", "--key-type", "rsa:2048", "--label", "authenticode", "--id", "01")
    listed = subprocess.run(["pkcs11-tool", *TOKEN, "--list-objects", "--type", "privkey"], capture_output=True,
                            text=True)
    "never extractable, local" in listed.stdout or sys.exit("the token's key could leave it: " + listed.stdout)
    print("the token's key: " + listed.stdout.split("Access:")[-1].split("\n")[0].strip())
    run("pkcs11-tool", *TOKEN, "--read-object", "--type", "pubkey", "--label", "authenticode", "-o", "token.der")
    issue("publisher", "publisher.key", "codeSigning")
    issue("token", "token.der", "codeSigning")
    issue("expired", "expired.key", "codeSigning", "-not_before", "20250101000000Z", "-not_after", "20250301000000Z")
    issue("tsa", "tsa.key", "timeStamping")
    with open(os.path.join(FOLDER, "pin"), "w") as pin:
        pin.write(TOKEN[-1])


class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "/dev/stdin", "-signer",
                                "tsa.pem", "-inkey", "tsa.key", "-chain", "ca.pem"], cwd=FOLDER, capture_output=True,
                               input=self.rfile.read(int(self.headers["Content-Length"]))).stdout
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply)


def serve():
    with open(os.path.join(FOLDER, "tsa.cnf"), "w") as config:
        config.write("[tsa]\ndefault_tsa = check\n[check]\nserial = tsa.serial\nsigner_digest = sha256\n"
                     "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n")
    server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
    print("http://127.0.0.1:%d/" % server.server_port, flush=True)
    server.serve_forever()


globals()[sys.argv[1]]()
