#!/usr/bin/env python3
"""Checks the comparison's capture writer (make_capture.py): the file it writes
must be a classic Ethernet pcap whose every packet a capture program would
take as sound IPv4, with the mix and sizes its summary reports, and the same
arguments must give the same file. Run: python3 -B test_make_capture.py"""

import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

WRITER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "make_capture.py")
SERVICES = {80, 443, 53, 123, 8080, 3306}


def ones_sum(data, acc=0):
    """One's-complement sum of the 16-bit words of `data`, folded."""
    if len(data) % 2:
        data += b"\0"
    acc += sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while acc >> 16:
        acc = (acc & 0xFFFF) + (acc >> 16)
    return acc


def frames(pcap):
    """The frames of a little-endian microsecond pcap with link type Ethernet."""
    magic, _, _, _, _, _, link = struct.unpack_from("<IHHiIII", pcap)
    assert (magic, link) == (0xA1B2C3D4, 1), "pcap header"
    at = 24
    while at < len(pcap):
        _, _, incl, orig = struct.unpack_from("<IIII", pcap, at)
        assert incl == orig and at + 16 + incl <= len(pcap), "record at %d" % at
        yield pcap[at + 16:at + 16 + incl]
        at += 16 + incl


class MakeCapture(unittest.TestCase):
    def write(self, folder, name, args):
        out = os.path.join(folder, name + ".pcap")
        subprocess.run([sys.executable, "-B", WRITER, out, "--summary", out + ".json"] + args.split(),
                       check=True, stdout=subprocess.DEVNULL)
        with open(out, "rb") as f, open(out + ".json") as s:
            return f.read(), json.load(s)

    def check_frame(self, frame, served_local, mix):
        self.assertEqual(frame[12:14], b"\x08\x00", "ethertype")
        ip = frame[14:]
        self.assertEqual(ip[0], 0x45, "version 4, no options")
        total = struct.unpack_from("!H", ip, 2)[0]
        self.assertEqual(total + 14, len(frame), "total length matches the frame")
        self.assertTrue(64 <= total <= 1500, total)
        self.assertEqual(ones_sum(ip[:20]), 0xFFFF, "IPv4 header checksum")
        src, dst = struct.unpack_from("!II", ip, 12)
        self.assertEqual((src >> 16, dst >> 16), (0x0ACB, 0x0ACB), "addresses inside 10.203.0.0/16")
        proto, t = ip[9], ip[20:total]
        if proto in (6, 17):
            pseudo = struct.pack("!IIBBH", src, dst, 0, proto, len(t))
            self.assertEqual(ones_sum(t, ones_sum(pseudo)), 0xFFFF, "transport checksum")
            sport, dport = struct.unpack_from("!HH", t)
            if proto == 17:
                self.assertEqual(struct.unpack_from("!H", t, 4)[0], len(t), "UDP length")
            if served_local:
                self.assertTrue((dst == served_local and dport in SERVICES) or
                                (src == served_local and sport in SERVICES), "local service port at one end")
        else:
            self.assertEqual(proto, 1, "only TCP, UDP and ICMP")
            self.assertEqual(ones_sum(t), 0xFFFF, "ICMP checksum")
            self.assertEqual(t[0], 8, "echo request")
            sport, dport = struct.unpack_from("!H", t, 4)[0], 0  # echo identifier: one per flow
        mix["sizes"].append(total)
        mix.setdefault(proto, set()).add((src, dst, sport, dport))

    def test_writer_makes_sound_mixed_traffic(self):
        cases = [("mixed", "--flows 400 --packets 4000 --seed 3", 0),
                 ("served", "--flows 400 --packets 4000 --seed 3 --served --local 10.203.0.9", 0x0ACB0009),
                 ("few flows end early", "--flows 20 --packets 100000 --seed 5", 0)]
        for name, args, served_local in cases:
            with self.subTest(name, args=args), tempfile.TemporaryDirectory() as folder:
                pcap, summary = self.write(folder, "a", args)
                self.assertEqual(pcap, self.write(folder, "b", args)[0], "the same arguments give the same file")
                mix = {"sizes": []}
                for frame in frames(pcap):
                    self.check_frame(frame, served_local, mix)
                self.assertEqual(len(mix["sizes"]), summary["packets"])
                self.assertEqual(sum(mix["sizes"]), summary["bytes"])
                self.assertEqual(min(mix["sizes"]), summary["min_size"])
                self.assertEqual(max(mix["sizes"]), summary["max_size"])
                for proto, key in ((6, "tcp"), (17, "udp"), (1, "icmp")):
                    self.assertGreater(len(mix.get(proto, ())), 0, key)
                    self.assertEqual(len(mix.get(proto, ())), summary["flows"][key], key)


if __name__ == "__main__":
    unittest.main()
