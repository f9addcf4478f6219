#!/usr/bin/env python3
"""The update server of the Windows check's lifecycle.

Usage: lifecycle_server.py <folder>

Serves <folder>/server/ over HTTPS on a free port of 127.0.0.1, with a
certificate for localhost from a throwaway CA (<folder>/certs/ca.pem, to be
trusted by whoever asks). Each request is logged on standard error; the
port goes to <folder>/port once the server listens. Runs until killed.
"""
import functools
import http.server
import os
import ssl
import subprocess
import sys


def make_certificates(certs):
    """A CA and, signed by it, a server certificate for localhost."""
    os.makedirs(certs, exist_ok=True)
    with open(os.path.join(certs, "server.ext"), "w") as ext:
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                  "extendedKeyUsage=serverAuth\n")
    for command in (
            "req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=velm-windows-check-CA -keyout ca.key -out ca.pem",
            "req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key -out server.csr",
            "x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext"
            " -out server.pem"):
        subprocess.run(["openssl"] + command.split(), cwd=certs, check=True, capture_output=True)


class Handler(http.server.SimpleHTTPRequestHandler):
    # Connections stay open after a response, as with real servers. A server
    # that closes right after the last byte, without a TLS close_notify, now
    # and then leaves Wine's TLS layer holding the last record, and the
    # download stalls.
    protocol_version = "HTTP/1.1"


def main():
    folder = sys.argv[1]
    certs = os.path.join(folder, "certs")
    make_certificates(certs)
    handler = functools.partial(Handler, directory=os.path.join(folder, "server"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(certs, "server.pem"), os.path.join(certs, "server.key"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    with open(os.path.join(folder, "port.partial"), "w") as out:
        out.write("%d\n" % server.server_address[1])
    os.replace(os.path.join(folder, "port.partial"), os.path.join(folder, "port"))
    server.serve_forever()


if __name__ == "__main__":
    main()
