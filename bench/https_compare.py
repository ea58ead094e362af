#!/usr/bin/env python3
"""The status document over HTTPS against plain HTTP, same run, and the cost
of a new TLS connection. Starts two test monitors (build/vantrel-filled) over
the same made-up flow table, one plain and one with "https": true, on
loopback ports of its own, and asks each for the same documents over one
keep-alive connection (Digest answered once per request on one nonce).

  python3 bench/https_compare.py [--filled build/vantrel-filled] [--flows 10000]
      [--requests 300] [--handshakes 300]

Prints, per document, the median time per request over HTTP and over HTTPS
(requests of the two taken in turn) and their ratio, then the mean time to
open a TCP connection and to open one and complete a TLS handshake. The target: HTTPS at most 1.2 times HTTP.
"""
import argparse
import hashlib
import http.client
import json
import os
import re
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

USER, PASSWORD = "admin", "qolpe"


class DigestSession:
    """One keep-alive connection that answers one challenge and then counts up."""

    def __init__(self, conn):
        self.conn, self.nonce, self.realm, self.nc, self.reconnects = conn, None, None, 0, 0

    def get(self, uri):
        try:
            return self.get_once(uri)
        except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
            # The server closes a connection that stays idle for 10 s.
            self.conn.close()
            self.reconnects += 1
            return self.get_once(uri)

    def get_once(self, uri):
        if self.nonce is None:
            self.conn.request("GET", uri)
            r = self.conn.getresponse()
            r.read()
            self.take_challenge(r)
        r, body = self.answer(uri)
        if r.status == 401 and "stale=true" in (r.getheader("WWW-Authenticate") or ""):
            # A nonce lives 5 minutes: answer the fresh one.
            self.take_challenge(r)
            r, body = self.answer(uri)
        if r.status != 200:
            raise RuntimeError(f"{uri}: status {r.status}")
        return body

    def take_challenge(self, r):
        params = dict(re.findall(r'(\w+)="?([^",]*)"?', r.getheader("WWW-Authenticate")))
        self.nonce, self.realm, self.nc = params["nonce"], params["realm"], 0

    def answer(self, uri):
        self.nc += 1
        nc = "%08x" % self.nc
        ha1 = hashlib.md5(f"{USER}:{self.realm}:{PASSWORD}".encode()).hexdigest()
        ha2 = hashlib.md5(f"GET:{uri}".encode()).hexdigest()
        response = hashlib.md5(f"{ha1}:{self.nonce}:{nc}:c0ffee:auth:{ha2}".encode()).hexdigest()
        self.conn.request("GET", uri, headers={"Authorization": (
            f'Digest username="{USER}", realm="{self.realm}", nonce="{self.nonce}", uri="{uri}", qop=auth, '
            f'nc={nc}, cnonce="c0ffee", response="{response}"')})
        r = self.conn.getresponse()
        return r, r.read()


def tls_context():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def start(filled, flows, folder, port, https):
    os.makedirs(os.path.join(folder, "resources", "web"))
    settings = {"httpPort": port, "listenerIP": "0.0.0.0", "receiverIP": "0.0.0.0", "https": https}
    with open(os.path.join(folder, "vantrelsettings.json"), "w") as f:
        json.dump(settings, f)
    log = open(os.path.join(folder, "console.log"), "w")
    child = subprocess.Popen([filled, str(flows)], cwd=folder, stdout=log, stderr=subprocess.STDOUT)
    until = time.time() + 60
    while time.time() < until:
        if "web interface on port" in open(os.path.join(folder, "console.log")).read():
            return child
        time.sleep(0.2)
    child.kill()
    raise RuntimeError(f"the monitor in {folder} did not start: " + open(os.path.join(folder, "console.log")).read())


def mean_seconds(action, count):
    began = time.perf_counter()
    for _ in range(count):
        action()
    return (time.perf_counter() - began) / count


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--filled", default=os.path.join(os.path.dirname(__file__), "..", "build", "vantrel-filled"))
    p.add_argument("--flows", type=int, default=10000)
    p.add_argument("--requests", type=int, default=300)
    p.add_argument("--handshakes", type=int, default=300)
    p.add_argument("--port", type=int, default=17931)
    args = p.parse_args()

    work = tempfile.mkdtemp(prefix="vt-https-bench-")
    children = []
    try:
        children.append(start(args.filled, args.flows, os.path.join(work, "http"), args.port, False))
        children.append(start(args.filled, args.flows, os.path.join(work, "https"), args.port + 1, True))
        plain = DigestSession(http.client.HTTPConnection("127.0.0.1", args.port))
        secure = DigestSession(http.client.HTTPSConnection("127.0.0.1", args.port + 1, context=tls_context()))
        documents = [("status", "/data/"), ("flows, 500 a page", "/data/?requestedData=flows&pageSize=500"),
                     (f"flows, all {args.flows}", "/data/?requestedData=flows")]
        print(f"{args.flows} open flows; {args.requests} requests each over one keep-alive connection")
        for name, uri in documents:
            size = len(plain.get(uri))
            count = args.requests if "all" not in name else max(args.requests // 20, 5)
            for session in (plain, secure):  # warm up
                session.get(uri)
            # One request of each in turn, so both meet the same machine
            # load; medians, so a burst of other work counts little.
            plain_t, secure_t = [], []
            for _ in range(count):
                for session, times in ((plain, plain_t), (secure, secure_t)):
                    began = time.perf_counter()
                    session.get(uri)
                    times.append(time.perf_counter() - began)
            plain_s, secure_s = statistics.median(plain_t), statistics.median(secure_t)
            print(f"{name:>20} ({size} bytes): median HTTP {plain_s * 1e3:.3f} ms, HTTPS {secure_s * 1e3:.3f} ms, "
                  f"ratio {secure_s / plain_s:.2f}")
        print(f"connections opened again after 10 s idle: HTTP {plain.reconnects}, HTTPS {secure.reconnects}")

        # From many loopback addresses: the server takes at most 32
        # connections of one address, and closed ones take a moment to go.
        opened = [0]

        def fresh():
            opened[0] += 1
            return socket.create_connection(("127.0.0.1", args.port + 1),
                                            source_address=(f"127.0.2.{opened[0] % 250 + 1}", 0))

        def tcp_open():
            fresh().close()

        context = tls_context()

        def tls_open():
            with fresh() as s:
                context.wrap_socket(s).close()

        tcp = mean_seconds(tcp_open, args.handshakes)
        tls = mean_seconds(tls_open, args.handshakes)
        with socket.create_connection(("127.0.0.1", args.port + 1)) as s:
            version = context.wrap_socket(s).version()
        print(f"new connection: TCP {tcp * 1e3:.3f} ms, TCP and {version} handshake {tls * 1e3:.3f} ms "
              f"(handshake {(tls - tcp) * 1e3:.3f} ms)")
    finally:
        for c in children:
            c.kill()
            c.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
