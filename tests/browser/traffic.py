#!/usr/bin/env python3
"""Traffic for the dashboard test, run inside the test's own namespaces.

  traffic.py serve ADDR        TCP echo on ADDR:6001, UDP echo on ADDR:6002
  traffic.py talk ADDR         again and again: one TCP exchange with ADDR:6001 (held open 0.25 s),
                               a few UDP datagrams to ADDR:6002, a pause; the pace swings slowly
  traffic.py sink ADDR PORT    reads and drops UDP datagrams (the flow collector)

Every role ends by itself after LIMIT seconds (default 300), so nothing outlives a broken test.
"""
import math
import os
import socket
import sys
import threading
import time

LIMIT = float(os.environ.get("LIMIT", "300"))
TCP_PORT, UDP_PORT = 6001, 6002


def serve(addr):
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((addr, TCP_PORT))
    tcp.listen(64)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((addr, UDP_PORT))

    def echo_udp():
        while True:
            data, peer = udp.recvfrom(4096)
            udp.sendto(data, peer)

    def echo_tcp(conn):
        with conn:
            conn.settimeout(5)
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        return
                    conn.sendall(data)
            except OSError:
                return

    threading.Thread(target=echo_udp, daemon=True).start()
    while True:
        conn, _ = tcp.accept()
        threading.Thread(target=echo_tcp, args=(conn,), daemon=True).start()


def talk(addr):
    payload = b"v" * 3000
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.settimeout(1)
    while True:
        # A pace that rises and falls over about a minute and a half, so the
        # dashboard's traffic chart has something to draw.
        swing = (1 + math.sin(time.monotonic() / 15)) / 2
        try:
            with socket.create_connection((addr, TCP_PORT), timeout=2) as c:
                c.sendall(payload)
                got = 0
                while got < len(payload):
                    data = c.recv(65536)
                    if not data:
                        break
                    got += len(data)
                # Held open a while, so that the monitor finds its owner when
                # it looks up the port of the first packet.
                time.sleep(0.25)
        except OSError:
            pass
        for _ in range(1 + int(6 * swing)):
            try:
                udp.sendto(payload[:700], (addr, UDP_PORT))
                udp.recvfrom(4096)
            except OSError:
                pass
        time.sleep(0.1 + 0.5 * (1 - swing))


def sink(addr, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, int(port)))
    while True:
        s.recvfrom(65536)


def main():
    role, args = sys.argv[1], sys.argv[2:]
    target = {"serve": serve, "talk": talk, "sink": sink}[role]
    threading.Thread(target=target, args=args, daemon=True).start()
    time.sleep(LIMIT)


if __name__ == "__main__":
    main()
