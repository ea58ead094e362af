#!/usr/bin/env python3
"""Writes a capture file (classic pcap, Ethernet) of mixed IPv4 traffic for
the side-by-side comparison: TCP, UDP and ICMP flows between addresses of one
private test range, IPv4 packet sizes from 64 to 1500 bytes, every checksum
right. The same arguments always give the same file.

Usage: make_capture.py OUT.pcap [--flows N] [--packets N] [--local A.B.C.D]
                       [--net A.B] [--seed N] [--summary OUT.json]

Flows start throughout the file: a few hundred are open at any time and each
new one takes the place of a finished one. About four in five flows have the
local address at one end (half of them towards it, half from it); the others
pass between two other addresses of the range. The destination MAC address
belongs to no interface, so a receiving host's own IP stack drops the frames
quietly and only packet capture sees them.
"""

import argparse
import json
import random
import struct
import sys

ETH_DST = bytes.fromhex("02cb000000fe")
ETH_SRC = bytes.fromhex("02cb00000001")
ETH_IPV4 = b"\x08\x00"
PCAP_HEADER = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)

MIN_SIZE = 64     # IPv4 total length
MAX_SIZE = 1500
TCP, UDP, ICMP = 6, 17, 1


def ones_sum(data, acc=0):
    if len(data) % 2:
        data += b"\x00"
    for (word,) in struct.iter_unpack("!H", data):
        acc += word
    while acc >> 16:
        acc = (acc & 0xFFFF) + (acc >> 16)
    return acc


def checksum(data, acc=0):
    return ~ones_sum(data, acc) & 0xFFFF


def ip_text_to_int(text):
    a, b, c, d = (int(x) for x in text.split("."))
    return (a << 24) | (b << 16) | (c << 8) | d


def packet_size(rng):
    """IPv4 total length: many small, some middle, many full-size packets."""
    r = rng.random()
    if r < 0.35:
        return rng.randint(MIN_SIZE, 128)
    if r < 0.55:
        return rng.randint(129, 1000)
    if r < 0.75:
        return rng.randint(1001, MAX_SIZE - 1)
    return MAX_SIZE


def flow_length(rng):
    """Packets in one flow: mostly short, a few long ones."""
    r = rng.random()
    if r < 0.5:
        return rng.randint(1, 6)
    if r < 0.9:
        return rng.randint(7, 30)
    return rng.randint(31, 200)


class Flow:
    __slots__ = ("proto", "src", "dst", "sport", "dport", "tos", "left", "sent", "icmp_id")


SERVICE_PORTS = (80, 443, 53, 123, 8080, 3306)


def new_flow(rng, index, local, net, served):
    f = Flow()
    r = rng.random()
    f.proto = TCP if r < 0.6 else (UDP if r < 0.9 else ICMP)
    remote = net | (rng.randint(1, 255) << 8) | rng.randint(1, 254)
    kind = rng.random()
    if served and f.proto != ICMP:
        # Clients of the local host's services, and the local host's answers.
        client_port = 1024 + (index % 64000)
        port = rng.choice(SERVICE_PORTS)
        if kind < 0.5:
            f.src, f.dst, f.sport, f.dport = remote, local, client_port, port
        else:
            f.src, f.dst, f.sport, f.dport = local, remote, port, client_port
    elif kind < 0.4:
        f.src, f.dst = remote, local
    elif kind < 0.8:
        f.src, f.dst = local, remote
    else:
        other = net | (rng.randint(1, 255) << 8) | rng.randint(1, 254)
        f.src, f.dst = remote, other
    if not served or f.proto == ICMP:
        # Distinct port pairs per flow index keep every flow's key unique.
        f.sport = 1024 + (index % 64000)
        f.dport = rng.choice(SERVICE_PORTS + (5000 + index // 64000,))
    f.tos = 46 << 2 if rng.random() < 0.05 else 0
    f.left = flow_length(rng)
    f.sent = 0
    f.icmp_id = index & 0xFFFF
    return f


def ipv4_header(f, total, ident):
    hdr = struct.pack("!BBHHHBBHII", 0x45, f.tos, total, ident, 0x4000, 64, f.proto, 0, f.src, f.dst)
    return hdr[:10] + struct.pack("!H", checksum(hdr)) + hdr[12:]


def transport(f, payload_len):
    """Transport header with its checksum; the payload is all zero bytes, so
    it adds nothing to any checksum."""
    if f.proto == TCP:
        if f.sent == 0:
            flags = 0x02                       # SYN
        elif f.left == 1:
            flags = 0x11                       # FIN ACK
        else:
            flags = 0x18 if payload_len else 0x10  # PSH ACK / ACK
        seq = (1000 + f.sent * 1460) & 0xFFFFFFFF
        hdr = struct.pack("!HHIIBBHHH", f.sport, f.dport, seq, 1, 5 << 4, flags, 65535, 0, 0)
        length = len(hdr) + payload_len
        pseudo = struct.pack("!IIBBH", f.src, f.dst, 0, TCP, length)
        csum = checksum(hdr, ones_sum(pseudo))
        return hdr[:16] + struct.pack("!H", csum) + hdr[18:]
    if f.proto == UDP:
        length = 8 + payload_len
        hdr = struct.pack("!HHHH", f.sport, f.dport, length, 0)
        pseudo = struct.pack("!IIBBH", f.src, f.dst, 0, UDP, length)
        csum = checksum(hdr, ones_sum(pseudo)) or 0xFFFF
        return hdr[:6] + struct.pack("!H", csum)
    hdr = struct.pack("!BBHHH", 8, 0, 0, f.icmp_id, f.sent & 0xFFFF)  # echo request
    return hdr[:2] + struct.pack("!H", checksum(hdr)) + hdr[4:]


def write_capture(out, flows, packets, local, net, seed, served=False):
    rng = random.Random(seed)
    header_len = {TCP: 20, UDP: 8, ICMP: 8}
    zeros = bytes(MAX_SIZE)
    summary = {"packets": 0, "flows": {"tcp": 0, "udp": 0, "icmp": 0}, "bytes": 0,
               "min_size": MAX_SIZE, "max_size": 0}
    names = {TCP: "tcp", UDP: "udp", ICMP: "icmp"}
    active = []
    started = 0
    open_at_once = min(400, flows)
    ts = 1_700_000_000_000_000  # microseconds
    out.write(PCAP_HEADER)
    while summary["packets"] < packets:
        while len(active) < open_at_once and started < flows:
            active.append(new_flow(rng, started, local, net, served))
            started += 1
        if not active:
            break
        i = rng.randrange(len(active))
        f = active[i]
        size = packet_size(rng)
        if f.sent == 0 or f.left == 1:
            size = min(size, 128) if f.proto == TCP else size
        payload_len = size - 20 - header_len[f.proto]
        frame = (ETH_DST + ETH_SRC + ETH_IPV4 + ipv4_header(f, size, summary["packets"] & 0xFFFF)
                 + transport(f, payload_len) + zeros[:payload_len])
        out.write(struct.pack("<IIII", ts // 1_000_000, ts % 1_000_000, len(frame), len(frame)))
        out.write(frame)
        ts += 10
        summary["packets"] += 1
        summary["bytes"] += size
        summary["min_size"] = min(summary["min_size"], size)
        summary["max_size"] = max(summary["max_size"], size)
        if f.sent == 0:
            summary["flows"][names[f.proto]] += 1
        f.sent += 1
        f.left -= 1
        if f.left == 0:
            active[i] = active[-1]
            active.pop()
    return summary


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("output")
    p.add_argument("--flows", type=int, default=20000, help="flows to start (at most)")
    p.add_argument("--packets", type=int, default=300000, help="packets to write (at most)")
    p.add_argument("--local", default="10.203.0.2", help="the watching host's address")
    p.add_argument("--net", default="10.203", help="first two bytes of the /16 test range")
    p.add_argument("--seed", type=int, default=9)
    p.add_argument("--served", action="store_true",
                   help="every TCP and UDP flow has the local address at one end, on one of the "
                        "service ports " + ",".join(map(str, SERVICE_PORTS)))
    p.add_argument("--summary", help="also write the summary as JSON to this file")
    a = p.parse_args(argv)
    first, second = (int(x) for x in a.net.split("."))
    net = (first << 24) | (second << 16)
    local = ip_text_to_int(a.local)
    if local & 0xFFFF0000 != net:
        p.error("--local must lie inside --net")
    with open(a.output, "wb") as out:
        summary = write_capture(out, a.flows, a.packets, local, net, a.seed, a.served)
    text = json.dumps(summary, sort_keys=True)
    if a.summary:
        with open(a.summary, "w") as s:
            s.write(text + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
