#!/usr/bin/env python3
"""Writes a capture file (classic pcap, Ethernet) of mixed IPv4 traffic for
the side-by-side comparison: TCP, UDP and ICMP flows between addresses of one
private test range, IPv4 packet sizes from 64 to 1500 bytes, every checksum
right. The same arguments always give the same file.

Usage: make_capture.py OUT.pcap [--flows N] [--packets N] [--local A.B.C.D]
                       [--net A.B] [--seed N] [--summary OUT.json]
                       [--ipv6 FRACTION] [--names FRACTION]

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

With --names, that fraction of the IPv4 TCP and UDP flows the local host
starts is preceded by its DNS look-up: a query from the local host to a
resolver of the range and the answer (an A record, now and then behind a
CNAME), as a host that resolves names and then connects sends and receives
them; resolvers' caches make most connections go without one. Every IPv4 TCP
flow of the local host to port 443 then begins, as a TLS client's does, with
a ClientHello that names its server (its second packet, after the SYN).
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
    __slots__ = ("proto", "src", "dst", "sport", "dport", "tos", "left", "sent", "icmp_id", "v6", "hbh", "hello")


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
    f.hello = None
    return f


def ipv4_header(f, total, ident):
    hdr = struct.pack("!BBHHHBBHII", 0x45, f.tos, total, ident, 0x4000, 64, f.proto, 0, f.src, f.dst)
    return hdr[:10] + struct.pack("!H", checksum(hdr)) + hdr[12:]


def transport(f, payload_len, payload=b""):
    """Transport header with its checksum; the payload is `payload` followed
    by zero bytes, which add nothing to any checksum."""
    acc = ones_sum(payload) if payload else 0
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
        csum = checksum(hdr, ones_sum(pseudo, acc))
        return hdr[:16] + struct.pack("!H", csum) + hdr[18:]
    if f.proto == UDP:
        length = 8 + payload_len
        hdr = struct.pack("!HHHH", f.sport, f.dport, length, 0)
        pseudo = struct.pack("!IIBBH", f.src, f.dst, 0, UDP, length)
        csum = checksum(hdr, ones_sum(pseudo, acc)) or 0xFFFF
        return hdr[:6] + struct.pack("!H", csum)
    hdr = struct.pack("!BBHHH", 8, 0, 0, f.icmp_id, f.sent & 0xFFFF)  # echo request
    return hdr[:2] + struct.pack("!H", checksum(hdr)) + hdr[4:]


RESOLVER_PORT = 53


def dns_name(text):
    return b"".join(bytes([len(label)]) + label.encode() for label in text.split(".")) + b"\x00"


def dns_pair(rng, index, remote):
    """A query for the name of flow `index` and its answer giving `remote`:
    (name, query payload, answer payload)."""
    name = f"host{index}.svc{rng.randint(1, 400)}.example"
    ident = rng.randint(0, 0xFFFF)
    question = dns_name(name) + struct.pack("!HH", 1, 1)
    query = struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 1) + question + \
        b"\x00\x00\x29\x04\xd0\x00\x00\x00\x00\x00\x00"  # EDNS
    answers = []
    owner = b"\xc0\x0c"  # the question's name
    if rng.random() < 0.3:
        target = f"edge{rng.randint(1, 50)}.cdn.example"
        answers.append(owner + struct.pack("!HHIH", 5, 1, 300, len(dns_name(target))) + dns_name(target))
        owner = struct.pack("!H", 0xC000 | (12 + len(question) + 12))  # the CNAME's target
    answers.append(owner + struct.pack("!HHIH", 1, 1, 60, 4) + struct.pack("!I", remote))
    answer = struct.pack("!HHHHHH", ident, 0x8180, 1, len(answers), 0, 0) + question + b"".join(answers)
    return name, query, answer


def client_hello(rng, name):
    """A TLS 1.3-style ClientHello record naming `name`, padded to 517 bytes as browsers pad theirs."""
    host = name.encode()
    sni = struct.pack("!HHHBH", 0, len(host) + 5, len(host) + 3, 0, len(host)) + host
    versions = struct.pack("!HHB", 43, 3, 2) + b"\x03\x04"
    extensions = sni + versions
    body_fixed = 2 + 32 + 1 + 32 + 2 + 6 + 2 + 2  # version, random, session id, suites, compression, ext length
    pad = 517 - 5 - 4 - body_fixed - len(extensions) - 4
    extensions += struct.pack("!HH", 21, max(0, pad)) + bytes(max(0, pad))
    body = b"\x03\x03" + rng.randbytes(32) + b"\x20" + rng.randbytes(32) + \
        struct.pack("!H", 6) + b"\x13\x01\x13\x02\x13\x03" + b"\x01\x00" + struct.pack("!H", len(extensions)) + extensions
    handshake = b"\x01" + struct.pack("!I", len(body))[1:] + body
    return b"\x16\x03\x01" + struct.pack("!H", len(handshake)) + handshake


def udp_frame(src, dst, sport, dport, payload, ident):
    f = Flow()
    f.proto, f.src, f.dst, f.sport, f.dport, f.tos = UDP, src, dst, sport, dport, 0
    size = 20 + 8 + len(payload)
    return ETH_DST + ETH_SRC + ETH_IPV4 + ipv4_header(f, size, ident) + transport(f, len(payload), payload) + payload


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


def write_capture(out, flows, packets, local, net, seed, served=False, ipv6=0.0, names=0.0):
    rng = random.Random(seed)
    rng6 = random.Random(seed + 1)  # apart, so that --ipv6 0 gives the IPv4 file as it was
    rng_names = random.Random(seed + 2)  # and --names 0 too
    resolver = net | (0 << 8) | 53
    header_len = {TCP: 20, UDP: 8, ICMP: 8}
    zeros = bytes(MAX_SIZE)
    summary = {"packets": 0, "flows": {"tcp": 0, "udp": 0, "icmp": 0}, "bytes": 0,
               "min_size": MAX_SIZE, "max_size": 0}
    if ipv6:
        summary["ipv6_packets"] = 0
        summary["ipv6_flows"] = 0
    if names:
        summary["dns_lookups"] = 0
        summary["client_hellos"] = 0
    proto_names = {TCP: "tcp", UDP: "udp", ICMP: "icmp"}
    active = []
    started = 0
    open_at_once = min(400, flows)
    ts = 1_700_000_000_000_000  # microseconds
    out.write(PCAP_HEADER)

    def write_frame(frame):
        nonlocal ts
        out.write(struct.pack("<IIII", ts // 1_000_000, ts % 1_000_000, len(frame), len(frame)))
        out.write(frame)
        ts += 10
    while summary["packets"] < packets:
        while len(active) < open_at_once and started < flows:
            f = new_flow(rng, started, local, net, served)
            if ipv6 and rng6.random() < ipv6:
                f.v6 = True
                f.hbh = rng6.random() < 0.2
            if names and not f.v6 and f.src == local and f.proto != ICMP:
                name = None
                if rng_names.random() < names:
                    name, query, answer = dns_pair(rng_names, started, f.dst)
                    port = 20000 + started % 40000
                    for frame in (udp_frame(local, resolver, port, RESOLVER_PORT, query, started & 0xFFFF),
                                  udp_frame(resolver, local, RESOLVER_PORT, port, answer, started & 0xFFFF)):
                        write_frame(frame)
                        summary["packets"] += 1
                        summary["bytes"] += len(frame) - 14
                    summary["dns_lookups"] += 1
                if f.proto == TCP and f.dport == 443 and f.left >= 3:
                    f.hello = client_hello(rng_names, name or f"site{started % 997}.example")
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
            payload = b""
            if f.hello and f.sent == 1:
                payload = f.hello
                size = 20 + header_len[f.proto] + len(payload)
                summary["client_hellos"] += 1
            payload_len = size - 20 - header_len[f.proto]
            frames = [ETH_DST + ETH_SRC + ETH_IPV4 + ipv4_header(f, size, summary["packets"] & 0xFFFF)
                      + transport(f, payload_len, payload) + payload + zeros[:payload_len - len(payload)]]
        for frame in frames:
            write_frame(frame)
        summary["packets"] += len(frames)
        summary["bytes"] += size
        summary["min_size"] = min(summary["min_size"], size)
        summary["max_size"] = max(summary["max_size"], size)
        if f.sent == 0:
            summary["flows"][proto_names[f.proto]] += 1
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
    p.add_argument("--names", type=float, default=0.0,
                   help="fraction of the local host's IPv4 TCP and UDP flows preceded by a DNS look-up (0 to 1); "
                        "with it, its TCP flows to port 443 begin with a TLS ClientHello")
    a = p.parse_args(argv)
    first, second = (int(x) for x in a.net.split("."))
    net = (first << 24) | (second << 16)
    local = ip_text_to_int(a.local)
    if local & 0xFFFF0000 != net:
        p.error("--local must lie inside --net")
    with open(a.output, "wb") as out:
        summary = write_capture(out, a.flows, a.packets, local, net, a.seed, a.served, a.ipv6, a.names)
    text = json.dumps(summary, sort_keys=True)
    if a.summary:
        with open(a.summary, "w") as s:
            s.write(text + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
