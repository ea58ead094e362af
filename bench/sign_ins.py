#!/usr/bin/env python3
"""Many clients signing in to the web interface at once, each a strict Digest
client: it answers only the challenge it was given, once, and never retries
(no stale retry). Every answer must be 200 on the first try.

  python3 bench/sign_ins.py --clients 64 --requests 20 [--port 7909]
      [--host 127.0.0.1] [--source 127.0.0.3 | --sources 127.0.1]
      [--https --cafile vantrel.crt]
      [--seconds N]   (each client goes on for N s instead of --requests)

--sources A.B.C gives client n the loopback address A.B.C.(n+1), so that
64 clients look like 64 hosts (the server takes at most 32 connections from
one address). Each request opens a connection, takes the 401 challenge, and sends the
authorised request on the same connection. Prints one summary line; exit
status 1 when any authorised request was refused.
"""
import argparse
import hashlib
import http.client
import os
import re
import ssl
import sys
import threading
import time


def digest_header(challenge, user, password, method, uri):
    params = dict(re.findall(r'(\w+)="?([^",]*)"?', challenge))
    realm, nonce = params["realm"], params["nonce"]
    cnonce = os.urandom(8).hex()
    ha1 = hashlib.md5(f"{user}:{realm}:{password}".encode()).hexdigest()
    ha2 = hashlib.md5(f"{method}:{uri}".encode()).hexdigest()
    nc = "00000001"
    response = hashlib.md5(f"{ha1}:{nonce}:{nc}:{cnonce}:auth:{ha2}".encode()).hexdigest()
    return (f'Digest username="{user}", realm="{realm}", nonce="{nonce}", uri="{uri}", qop=auth, '
            f'nc={nc}, cnonce="{cnonce}", response="{response}", opaque="{params.get("opaque", "")}"')


def connect(args, number):
    source = (args.source, 0) if args.source else None
    if args.sources:
        source = (f"{args.sources}.{number + 1}", 0)
    if not args.https:
        return http.client.HTTPConnection(args.host, args.port, timeout=30, source_address=source)
    context = ssl.create_default_context(cafile=args.cafile)
    context.check_hostname = False if args.cafile is None else context.check_hostname
    if args.cafile is None:
        context.verify_mode = ssl.CERT_NONE
    return http.client.HTTPSConnection(args.host, args.port, timeout=30, source_address=source, context=context)


def sign_in(args, number):
    """One request from a fresh connection: the status of the authorised try."""
    conn = connect(args, number)
    try:
        conn.request("GET", args.uri)
        first = conn.getresponse()
        first.read()
        if first.status != 401:
            return first.status
        header = digest_header(first.getheader("WWW-Authenticate"), args.user, args.password, "GET", args.uri)
        conn.request("GET", args.uri, headers={"Authorization": header})
        answer = conn.getresponse()
        answer.read()
        return answer.status
    finally:
        conn.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=7909)
    p.add_argument("--source")
    p.add_argument("--sources")
    p.add_argument("--clients", type=int, default=64)
    p.add_argument("--requests", type=int, default=20)
    p.add_argument("--seconds", type=float)
    p.add_argument("--pause", type=float, default=0.0, help="seconds each client waits between sign-ins")
    p.add_argument("--user", default="admin")
    p.add_argument("--password", default="qolpe")
    p.add_argument("--uri", default="/data/")
    p.add_argument("--https", action="store_true")
    p.add_argument("--cafile")
    args = p.parse_args()

    start = threading.Barrier(args.clients)
    lock = threading.Lock()
    counts = {"ok": 0}
    refusals = []

    def client(number):
        start.wait()
        end = time.monotonic() + args.seconds if args.seconds else None
        done = 0
        while (end is None and done < args.requests) or (end is not None and time.monotonic() < end):
            try:
                status = sign_in(args, number)
            except OSError as e:
                status = str(e)
            with lock:
                if status == 200:
                    counts["ok"] += 1
                else:
                    refusals.append(f"client {number} request {done}: {status}")
            done += 1
            if args.pause:
                time.sleep(args.pause)

    began = time.monotonic()
    threads = [threading.Thread(target=client, args=(n,)) for n in range(args.clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.monotonic() - began
    print(f"{args.clients} clients: {counts['ok']} sign-ins answered 200 on the first try, "
          f"{len(refusals)} refused, {took:.1f} s")
    for r in refusals[:20]:
        print(r)
    return 1 if refusals or counts["ok"] == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
