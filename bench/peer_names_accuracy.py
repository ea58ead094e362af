#!/usr/bin/env python3
"""The programs of bench/peer_names_accuracy.sh (see there). Three parts:

  serve CERT KEY ADDRESS...
                   on the far side: a plain TCP server (reads, answers a few
                   bytes, closes), a TLS server and UDP sockets that echo
                   (443: read only, as a QUIC server that keeps silent), on
                   every address of both families
  drive ...        on the watched side: many times over, picks a name,
                   resolves it through the resolver (UDP or TCP DNS, A or
                   AAAA, the resolver reached over IPv4 or IPv6), follows the
                   answer's CNAME chain to an address and connects to it (TLS
                   with the name as SNI, plain TCP, UDP, or a QUIC Initial
                   naming it); writes the flows it made, with the name used
  check FLOWS RECORDS
                   compares each flow's records (both directions where the
                   far side answers) with the name used; prints "N of M
                   flows named right (P %)", exit 0 only at 99 % and more

QUIC Initial packets are protected as RFC 9001 section 5 (version 1) and
RFC 9369 (version 2) describe, with the cryptography package's AES-GCM, AES
and HKDF.
"""

import json
import os
import random
import select
import socket
import ssl
import struct
import sys
import threading
import time

from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDFExpand

TCP_PORT, TLS_PORT, UDP_PORT, QUIC_PORT = 24080, 24443, 24053, 443

# --- QUIC Initial --------------------------------------------------------------------

QUIC_VERSIONS = {
    1: (0x00000001, bytes.fromhex("38762cf7f55934b34d179ae6a4c80cadccbb7f0a"), "quic ", 0),
    2: (0x6B3343CF, bytes.fromhex("0dede3def700a6db819381be6e269dcbf9bd2ed9"), "quicv2 ", 1),
}


def expand_label(secret, label, length):
    full = b"tls13 " + label.encode()
    info = struct.pack("!HB", length, len(full)) + full + b"\x00"
    return HKDFExpand(hashes.SHA256(), length, info).derive(secret)


def client_initial_keys(version, dcid):
    _, salt, prefix, _ = QUIC_VERSIONS[version]
    h = hmac.HMAC(salt, hashes.SHA256())
    h.update(dcid)
    client = expand_label(h.finalize(), "client in", 32)
    return (expand_label(client, prefix + "key", 16), expand_label(client, prefix + "iv", 12),
            expand_label(client, prefix + "hp", 16))


def client_hello(name, rng):
    """A ClientHello handshake message (no record header) naming `name`."""
    host = name.encode()
    sni = struct.pack("!HHHBH", 0, len(host) + 5, len(host) + 3, 0, len(host)) + host
    versions = struct.pack("!HHB", 43, 3, 2) + b"\x03\x04"
    alpn = struct.pack("!HHHB", 16, 5, 3, 2) + b"h3"
    extensions = sni + versions + alpn
    body = (b"\x03\x03" + rng.randbytes(32) + b"\x00" + struct.pack("!H", 6) + b"\x13\x01\x13\x02\x13\x03" +
            b"\x01\x00" + struct.pack("!H", len(extensions)) + extensions)
    return b"\x01" + struct.pack("!I", len(body))[1:] + body


def quic_initial(version, name, rng):
    """A client's first Initial datagram (1200 bytes) whose ClientHello names `name`."""
    wire_version, _, _, initial_type = QUIC_VERSIONS[version]
    dcid, scid = rng.randbytes(8), rng.randbytes(8)
    key, iv, hp = client_initial_keys(version, dcid)
    hello = client_hello(name, rng)
    crypto = b"\x06\x00" + struct.pack("!H", 0x4000 | len(hello)) + hello  # CRYPTO, offset 0, 2-byte length
    pn_len, pn = 4, rng.randint(0, 1000)
    header_fixed = (bytes([0xC0 | initial_type << 4 | (pn_len - 1)]) + struct.pack("!I", wire_version) +
                    bytes([len(dcid)]) + dcid + bytes([len(scid)]) + scid + b"\x00")  # no token
    plain_len = 1200 - len(header_fixed) - 2 - pn_len - 16
    plain = crypto + bytes(plain_len - len(crypto))  # PADDING
    header = header_fixed + struct.pack("!H", 0x4000 | (pn_len + len(plain) + 16)) + struct.pack("!I", pn)
    nonce = bytes(a ^ b for a, b in zip(iv, pn.to_bytes(12, "big")))
    sealed = AESGCM(key).encrypt(nonce, plain, header)
    pn_offset = len(header) - pn_len
    sample = sealed[4 - pn_len:4 - pn_len + 16]
    mask = Cipher(algorithms.AES(hp), modes.ECB()).encryptor().update(sample)
    out = bytearray(header + sealed)
    out[0] ^= mask[0] & 0x0F
    for i in range(pn_len):
        out[pn_offset + i] ^= mask[1 + i]
    return bytes(out)


# --- DNS -----------------------------------------------------------------------------

def dns_query(ident, name, qtype):
    qname = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\x00"
    return struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0) + qname + struct.pack("!HH", qtype, 1)


def read_name(msg, at):
    labels, jumped, end = [], False, at
    for _ in range(128):
        n = msg[at]
        if n >= 0xC0:
            if not jumped:
                end = at + 2
            at, jumped = (n & 0x3F) << 8 | msg[at + 1], True
            continue
        if n == 0:
            return ".".join(labels), (end if jumped else at + 1)
        labels.append(msg[at + 1:at + 1 + n].decode())
        at += 1 + n
    raise ValueError("name loop")


def dns_addresses(msg, qtype):
    """The addresses of `qtype` in an answer, and the CNAME chain followed to them."""
    _, _, qd, an, _, _ = struct.unpack("!HHHHHH", msg[:12])
    at = 12
    for _ in range(qd):
        _, at = read_name(msg, at)
        at += 4
    found, chain = [], []
    for _ in range(an):
        _, at = read_name(msg, at)
        rtype, _, _, length = struct.unpack("!HHIH", msg[at:at + 10])
        at += 10
        data = msg[at:at + length]
        if rtype == qtype:
            found.append(socket.inet_ntop(socket.AF_INET if rtype == 1 else socket.AF_INET6, data))
        elif rtype == 5:
            chain.append(read_name(msg, at)[0])
        at += length
    return found, chain


def resolve(resolver, name, qtype, tcp, ident):
    family = socket.AF_INET6 if ":" in resolver else socket.AF_INET
    q = dns_query(ident, name, qtype)
    with socket.socket(family, socket.SOCK_STREAM if tcp else socket.SOCK_DGRAM) as s:
        s.settimeout(3)
        s.connect((resolver, 53))
        if tcp:
            s.sendall(struct.pack("!H", len(q)) + q)
            data = b""
            while len(data) < 2 or len(data) < 2 + struct.unpack("!H", data[:2])[0]:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
            msg = data[2:]
        else:
            s.send(q)
            msg = s.recv(4096)
    return dns_addresses(msg, qtype)


# --- the far side --------------------------------------------------------------------

def serve(args):
    cert, key = args[0], args[1]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)

    def tcp_server(family, port, tls):
        s = socket.socket(family, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        s.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", port))
        s.listen(128)
        while True:
            conn, _ = s.accept()
            threading.Thread(target=answer, args=(conn, tls), daemon=True).start()

    def answer(conn, tls):
        try:
            conn.settimeout(5)
            if tls:
                conn = context.wrap_socket(conn, server_side=True)
            if conn.recv(1024):
                conn.sendall(b"ok\n")
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()

    def udp_server(address, port, echo):
        # One socket per address, so that an echo leaves from the address the datagram came to.
        s = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((address, port))
        while True:
            data, peer = s.recvfrom(65535)
            if echo:
                s.sendto(data[:32], peer)

    threads = []
    for family in (socket.AF_INET, socket.AF_INET6):
        threads += [threading.Thread(target=tcp_server, args=(family, TCP_PORT, False)),
                    threading.Thread(target=tcp_server, args=(family, TLS_PORT, True))]
    for address in args[2:]:
        threads += [threading.Thread(target=udp_server, args=(address, UDP_PORT, True)),
                    threading.Thread(target=udp_server, args=(address, QUIC_PORT, False))]
    for t in threads:
        t.daemon = True
        t.start()
    print("serving", flush=True)
    while True:
        time.sleep(3600)


# --- the watched side ----------------------------------------------------------------

def connect(kind, address, name, rng):
    """One flow of `kind` to `address`; its local end (address, port)."""
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    if kind in ("tls", "tcp"):
        s = socket.socket(family, socket.SOCK_STREAM)
        s.settimeout(5)
        s.connect((address, TLS_PORT if kind == "tls" else TCP_PORT))
        local = s.getsockname()[:2]
        if kind == "tls":
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            s = context.wrap_socket(s, server_hostname=name)
        s.sendall(b"hello\n")
        try:
            s.recv(64)
        except (OSError, ssl.SSLError):
            pass
        s.close()
        return local
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.connect((address, UDP_PORT if kind == "udp" else QUIC_PORT))
    s.send(b"ping " + name.encode() if kind == "udp" else quic_initial(rng.choice((1, 2)), name, rng))
    local = s.getsockname()[:2]
    if kind == "udp":
        s.settimeout(2)
        try:
            s.recv(64)
        except OSError:
            pass
    s.close()
    return local


def drive(args):
    out, count, names = args[0], int(args[1]), args[2].split(",")
    resolvers = args[3].split(",")
    rng = random.Random(int(os.environ.get("SEED", "33")))
    flows = []
    kinds = ("tls", "tls", "tcp", "udp", "quic")
    for i in range(count):
        name = rng.choice(names)
        qtype = rng.choice((1, 28))
        tcp = rng.random() < 0.3
        resolver = rng.choice(resolvers)
        try:
            addresses, chain = resolve(resolver, name, qtype, tcp, rng.randint(0, 0xFFFF))
        except OSError as e:
            print(f"look-up {i} of {name} failed: {e}", file=sys.stderr)
            continue
        if not addresses:
            print(f"look-up {i} of {name} ({qtype}) gave no address", file=sys.stderr)
            continue
        kind = rng.choice(kinds)
        address = rng.choice(addresses)
        try:
            local = connect(kind, address, name, rng)
        except (OSError, ssl.SSLError) as e:
            print(f"flow {i} ({kind} to {address}) failed: {e}", file=sys.stderr)
            continue
        port = {"tls": TLS_PORT, "tcp": TCP_PORT, "udp": UDP_PORT, "quic": QUIC_PORT}[kind]
        flows.append({"kind": kind, "name": name, "cname": len(chain), "dns": "tcp" if tcp else "udp",
                      "proto": 6 if kind in ("tls", "tcp") else 17, "local": local[0], "localport": local[1],
                      "remote": address, "remoteport": port, "reply": kind != "quic"})
    with open(out, "w") as f:
        json.dump(flows, f)
    print(f"{len(flows)} flows made of {count} tries", flush=True)


def check(args):
    with open(args[0]) as f:
        flows = json.load(f)
    records = {}
    with open(args[1]) as f:
        for line in f:
            try:
                r = json.loads(line)
            except ValueError:
                continue
            key = (r["proto"], r["srcip"], r["srcport"], r["dstip"], r["dstport"])
            records.setdefault(key, []).append(r)
    right = total = 0
    wrong = []
    for fl in flows:
        sides = [(fl["local"], fl["localport"], fl["remote"], fl["remoteport"])]
        if fl["reply"]:
            sides.append((fl["remote"], fl["remoteport"], fl["local"], fl["localport"]))
        for src, sport, dst, dport in sides:
            total += 1
            got = records.get((fl["proto"], src, sport, dst, dport), [])
            if got and all(r.get("peername") == fl["name"] for r in got):
                right += 1
            else:
                wrong.append((fl, src, sport, [(r.get("peername"), r.get("namesource")) for r in got]))
    by_kind = {}
    for fl, *_ in wrong:
        by_kind[fl["kind"]] = by_kind.get(fl["kind"], 0) + 1
    for fl, src, sport, got in wrong[:20]:
        print(f"wrong: {fl['kind']} {src}:{sport} expected {fl['name']!r} (dns {fl['dns']}, {fl['cname']} CNAMEs) "
              f"got {got or 'no record'}")
    share = 100.0 * right / total if total else 0.0
    kinds = {}
    for fl in flows:
        kinds[fl["kind"]] = kinds.get(fl["kind"], 0) + 1
    print(f"flows by kind: {json.dumps(kinds, sort_keys=True)}; wrong by kind: {json.dumps(by_kind, sort_keys=True)}")
    print(f"{right} of {total} flows named right ({share:.2f} %)")
    return 0 if total and share >= 99.0 else 1


def main(argv):
    parts = {"serve": serve, "drive": drive, "check": check}
    if len(argv) < 2 or argv[1] not in parts:
        sys.exit(__doc__)
    return parts[argv[1]](argv[2:]) or 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
