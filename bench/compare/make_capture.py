#!/usr/bin/env python3
"""Writes a capture file (classic pcap, Ethernet) of mixed IPv4 traffic for
the side-by-side comparison: TCP, UDP and ICMP flows between addresses of one
private test range, IPv4 packet sizes from 64 to 1500 bytes, every checksum
right. The same arguments always give the same file.

Usage: make_capture.py OUT.pcap [--flows N] [--packets N] [--local A.B.C.D]
                       [--net A.B] [--seed N] [--summary OUT.json]
                       [--ipv6 FRACTION]

With --ipv6, that fraction of the flows is IPv6 (TCP, UDP and ICMPv6 echo,
addresses in fd00:cb::/64 with the local host at fd00:cb::2): one in five of
them carries a hop-by-hop options header before its transport header, and one
in four of their full-size UDP packets goes as two fragments.

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
ETH_IPV6 = b"\x86\xdd"
NET6 = bytes.fromhex("fd0000cb000000000000000000000000")
LOCAL6 = NET6[:15] + b"\x02"
PCAP_HEADER = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)

MIN_SIZE = 64     # IPv4 total length
MAX_SIZE = 1500
TCP, UDP, ICMP = 6, 17, 1
ICMP6, HOP_BY_HOP, FRAGMENT = 58, 0, 44


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
    __slots__ = ("proto", "src", "dst", "sport", "dport", "tos", "left", "sent", "icmp_id", "v6", "hbh")


def address6(v4, local):
    """The IPv6 address that stands for IPv4 address `v4` of the range."""
    return LOCAL6 if v4 == local else NET6[:12] + struct.pack("!I", v4 & 0xFFFF | 0x10000)


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
    f.v6 = False
    f.hbh = False
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


def ipv6_frames(f, size, ident, rng, local):
    """The frame or frames of one IPv6 packet of `size` bytes (header included)."""
    src, dst = address6(f.src, local), address6(f.dst, local)
    proto = ICMP6 if f.proto == ICMP else f.proto
    header_len = {TCP: 20, UDP: 8, ICMP6: 8}[proto]
    ext = 8 if f.hbh else 0
    payload_len = max(0, size - 40 - ext - header_len)
    upper_len = header_len + payload_len
    pseudo = src + dst + struct.pack("!IxxxB", upper_len, proto)
    if proto == TCP:
        flags = 0x02 if f.sent == 0 else (0x11 if f.left == 1 else 0x10)
        hdr = struct.pack("!HHIIBBHHH", f.sport, f.dport, (1000 + f.sent * 1400) & 0xFFFFFFFF, 1, 5 << 4, flags,
                          65535, 0, 0)
        hdr = hdr[:16] + struct.pack("!H", checksum(hdr, ones_sum(pseudo))) + hdr[18:]
    elif proto == UDP:
        hdr = struct.pack("!HHHH", f.sport, f.dport, upper_len, 0)
        hdr = hdr[:6] + struct.pack("!H", checksum(hdr, ones_sum(pseudo)) or 0xFFFF)
    else:
        hdr = struct.pack("!BBHHH", 128, 0, 0, f.icmp_id, f.sent & 0xFFFF)
        hdr = hdr[:2] + struct.pack("!H", checksum(hdr, ones_sum(pseudo))) + hdr[4:]
    upper = hdr + bytes(payload_len)
    first_next = HOP_BY_HOP if f.hbh else proto
    hbh = struct.pack("!BB6s", proto, 0, b"\x01\x04" + bytes(4)) if f.hbh else b""

    def frame(next_header, body):
        fixed = struct.pack("!IHBB16s16s", 0x60000000 | (f.tos << 20), len(body), next_header, 64, src, dst)
        return ETH_DST + ETH_SRC + ETH_IPV6 + fixed + body

    if proto == UDP and not f.hbh and size >= 1400 and rng.random() < 0.25:
        cut = (len(upper) // 2) & ~7
        frag = lambda offset, more: struct.pack("!BBHI", UDP, 0, offset | more, ident)
        return [frame(FRAGMENT, frag(0, 1) + upper[:cut]), frame(FRAGMENT, frag(cut, 0) + upper[cut:])]
    return [frame(first_next, hbh + upper)]


def write_capture(out, flows, packets, local, net, seed, served=False, ipv6=0.0):
    rng = random.Random(seed)
    rng6 = random.Random(seed + 1)  # apart, so that --ipv6 0 gives the IPv4 file as it was
    header_len = {TCP: 20, UDP: 8, ICMP: 8}
    zeros = bytes(MAX_SIZE)
    summary = {"packets": 0, "flows": {"tcp": 0, "udp": 0, "icmp": 0}, "bytes": 0,
               "min_size": MAX_SIZE, "max_size": 0}
    if ipv6:
        summary["ipv6_packets"] = 0
        summary["ipv6_flows"] = 0
    names = {TCP: "tcp", UDP: "udp", ICMP: "icmp"}
    active = []
    started = 0
    open_at_once = min(400, flows)
    ts = 1_700_000_000_000_000  # microseconds
    out.write(PCAP_HEADER)
    while summary["packets"] < packets:
        while len(active) < open_at_once and started < flows:
            f = new_flow(rng, started, local, net, served)
            if ipv6 and rng6.random() < ipv6:
                f.v6 = True
                f.hbh = rng6.random() < 0.2
            active.append(f)
            started += 1
        if not active:
            break
        i = rng.randrange(len(active))
        f = active[i]
        size = packet_size(rng)
        if f.sent == 0 or f.left == 1:
            size = min(size, 128) if f.proto == TCP else size
        if f.v6:
            frames = ipv6_frames(f, size, summary["packets"], rng6, local)
            summary["ipv6_packets"] += len(frames)
            if f.sent == 0:
                summary["ipv6_flows"] += 1
        else:
            payload_len = size - 20 - header_len[f.proto]
            frames = [ETH_DST + ETH_SRC + ETH_IPV4 + ipv4_header(f, size, summary["packets"] & 0xFFFF)
                      + transport(f, payload_len) + zeros[:payload_len]]
        for frame in frames:
            out.write(struct.pack("<IIII", ts // 1_000_000, ts % 1_000_000, len(frame), len(frame)))
            out.write(frame)
            ts += 10
        summary["packets"] += len(frames)
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
    p.add_argument("--ipv6", type=float, default=0.0, help="fraction of the flows that are IPv6 (0 to 1)")
    a = p.parse_args(argv)
    first, second = (int(x) for x in a.net.split("."))
    net = (first << 24) | (second << 16)
    local = ip_text_to_int(a.local)
    if local & 0xFFFF0000 != net:
        p.error("--local must lie inside --net")
    with open(a.output, "wb") as out:
        summary = write_capture(out, a.flows, a.packets, local, net, a.seed, a.served, a.ipv6)
    text = json.dumps(summary, sort_keys=True)
    if a.summary:
        with open(a.summary, "w") as s:
            s.write(text + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
