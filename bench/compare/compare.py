#!/usr/bin/env python3
"""Side-by-side capture comparison: the same capture file replayed with
tcpreplay over a veth pair between two network namespaces, at a rising series
of rates, once to the monitor and once to softflowd, each listening on the
receiving end. Needs root. Writes results.json and results.md to the output
folder and prints the table.

Two captures (scenarios) are replayed:
  mixed   the issue's traffic: most TCP and UDP flows have a local port that
          no socket holds (scans, peers of closed ports, traffic passing by)
  served  the same mix, but every TCP and UDP flow is a client of a service
          port that a process in the receiving namespace holds open, so the
          monitor finds every owner in its port tables
  dual    the mixed traffic with four in ten flows IPv6 (TCP, UDP, ICMPv6,
          some with a hop-by-hop header, some UDP packets in two fragments);
          both programs export IPFIX here, since softflowd tracks no IPv6
          flow with its default export (NetFlow v5)
  names   the mixed traffic with a quarter of the local host's IPv4 TCP and
          UDP flows preceded by their DNS look-up and its TCP flows to port
          443 beginning with a TLS ClientHello (make_capture.py --names)

Program "vantrel-names-off" is the monitor with peerNames false: run with
--programs vantrel,vantrel-names-off, the two take turns and the names table
compares their CPU per packet. With --together both watch each replay at
once (two capture sockets on one interface), and the table adds the median
of each run's own ratio, which a busy host disturbs far less
(bench/peer_names_cpu.sh does so).

For every scenario, program and rate a fresh process is started, so each row
holds one run's new flows, CPU time and peak memory:
  sent      packets tcpreplay reports as sent, and the rate it reached
  counted   the program's own packet count over the replay (the monitor:
            snifferPacketCount from its status document; softflowd: packets
            libpcap received less those it dropped, from softflowctl
            statistics, whose "Packets processed" is kept as `processed`)
  lost      sent - counted
  cpu       CPU time of the program (its process CPU-time clock, all
            threads) during the replay and drain, in seconds per million
            packets counted
  peak RSS  VmHWM of the program at the end of the run
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

SND_NS = "vt-cmp-snd"
RCV_NS = "vt-cmp-rcv"
SND_IF = "vtcmp-s"
RCV_IF = "vtcmp-r"
SND_ADDR = "10.203.0.1"
RCV_ADDR = "10.203.0.2"
SINK_PORT = 12055
HTTP_PORT = 17909
USER, PASSWORD = "admin", "qolpe"
CLK_TCK = os.sysconf("SC_CLK_TCK")
HERE = os.path.dirname(os.path.abspath(__file__))

# softflowd keeps flows with the monitor's rules (15 s idle, 60 s at most,
# checked every second) and may hold as many as the monitor (a million).
SOFTFLOWD_TIMEOUTS = ["general=15", "tcp=15", "tcp.rst=15", "tcp.fin=15", "udp=15", "icmp=15",
                      "maxlife=60", "expint=1"]


def run(cmd, check=True, **kw):
    return subprocess.run(cmd, check=check, text=True, capture_output=True, **kw)


def in_ns(ns, cmd):
    return ["ip", "netns", "exec", ns] + cmd


# --- namespaces ------------------------------------------------------------------

def teardown():
    for ns in (SND_NS, RCV_NS):
        run(["ip", "netns", "del", ns], check=False)


def setup():
    teardown()
    for ns in (SND_NS, RCV_NS):
        run(["ip", "netns", "add", ns])
        # Nothing but the replayed packets on the link: no IPv6 chatter.
        run(in_ns(ns, ["sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                       "net.ipv6.conf.default.disable_ipv6=1"]))
        run(["ip", "-n", ns, "link", "set", "lo", "up"])
    run(["ip", "-n", SND_NS, "link", "add", SND_IF, "type", "veth", "peer", "name", RCV_IF, "netns", RCV_NS])
    run(["ip", "-n", SND_NS, "addr", "add", SND_ADDR + "/16", "dev", SND_IF])
    run(["ip", "-n", RCV_NS, "addr", "add", RCV_ADDR + "/16", "dev", RCV_IF])
    for ns, dev in ((SND_NS, SND_IF), (RCV_NS, RCV_IF)):
        run(in_ns(ns, ["sysctl", "-qw", f"net.ipv6.conf.{dev}.disable_ipv6=1"]))
        run(["ip", "-n", ns, "link", "set", dev, "up"])


# --- process figures -----------------------------------------------------------

def cpu_seconds(pid):
    """CPU time of the whole process so far (every thread, exited ones too).

    Read from the process's CPU-time clock, which the scheduler keeps in
    nanoseconds; utime + stime from /proc/PID/stat move in whole clock ticks
    (10 ms), too coarse for a run of 50 ms of CPU."""
    try:
        return time.clock_gettime((~pid << 3) | 2)  # the process clock of `pid` (CPUCLOCK_SCHED)
    except OSError:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def load1():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def stop(proc, grace=5.0):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def wait_until(predicate, timeout, step=0.1):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value is not None:
            return value
        time.sleep(step)
    return None


# --- the programs ----------------------------------------------------------------

class Monitor:
    def __init__(self, binary, workdir, name="vantrel", peer_names=None, http_port=HTTP_PORT):
        self.binary = os.path.abspath(binary)
        self.workdir = workdir
        self.name = name
        self.peer_names = peer_names  # None: the setting left out (names on)
        self.http_port = http_port

    def start(self, log, ipv6=False):
        shutil.rmtree(self.workdir, ignore_errors=True)
        os.makedirs(self.workdir)
        settings = {"listenerIP": RCV_ADDR, "receiverIP": "127.0.0.1", "receiverPort": SINK_PORT,
                    "httpPort": self.http_port, "user": USER, "pass": PASSWORD}
        if ipv6:
            settings["exportFormat"] = "ipfix"  # the native format carries IPv4 flows only
        if self.peer_names is not None:
            settings["peerNames"] = self.peer_names
        with open(os.path.join(self.workdir, "vantrelsettings.json"), "w") as f:
            json.dump(settings, f, indent=3, sort_keys=True)
        self.proc = subprocess.Popen(in_ns(RCV_NS, [self.binary]), cwd=self.workdir, stdout=log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        doc = wait_until(lambda: (lambda d: d if d and d.get("snifferRunning") else None)(self.status()), 20)
        if doc is None:
            raise RuntimeError("the monitor did not start capturing within 20 s (see its log)")

    def status(self):
        r = run(in_ns(RCV_NS, ["curl", "-s", "--max-time", "5", "--digest", "-u", f"{USER}:{PASSWORD}",
                               f"http://127.0.0.1:{self.http_port}/data/"]), check=False)
        try:
            return json.loads(r.stdout) if r.returncode == 0 else None
        except ValueError:
            return None

    def counts(self):
        doc = self.status() or {}
        return {"counted": doc.get("snifferPacketCount"), "flows": doc.get("flowCache")}


class Softflowd:
    name = "softflowd"

    def __init__(self, workdir):
        self.workdir = workdir
        self.ctl = os.path.join(workdir, "softflowd.ctl")

    def start(self, log, ipv6=False):
        shutil.rmtree(self.workdir, ignore_errors=True)
        os.makedirs(self.workdir)
        cmd = ["softflowd", "-d", "-i", RCV_IF, "-n", f"127.0.0.1:{SINK_PORT}", "-m", "1000000",
               "-c", self.ctl, "-p", os.path.join(self.workdir, "softflowd.pid")]
        # Its default export (NetFlow v5) has no IPv6 form, and then it tracks
        # no IPv6 flow at all: with IPv6 traffic both programs export IPFIX.
        if ipv6:
            cmd += ["-v", "10"]
        for t in SOFTFLOWD_TIMEOUTS:
            cmd += ["-t", t]
        self.proc = subprocess.Popen(in_ns(RCV_NS, cmd), cwd=self.workdir, stdout=log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        if wait_until(lambda: self.statistics() or None, 20) is None:
            raise RuntimeError("softflowd did not answer on its control socket within 20 s")

    def statistics(self):
        r = run(in_ns(RCV_NS, ["softflowctl", "-c", self.ctl, "statistics"]), check=False)
        if r.returncode != 0:
            return {}
        stats = {}
        for key, pattern in (("processed", r"Packets processed:\s*(\d+)"),
                             ("flows", r"Number of active flows:\s*(\d+)"),
                             ("pcap_received", r"Packets received by libpcap:\s*(\d+)"),
                             ("pcap_dropped", r"Packets dropped by libpcap:\s*(\d+)"),
                             ("if_dropped", r"Packets dropped by interface:\s*(\d+)")):
            m = re.search(pattern, r.stdout)
            if m:
                stats[key] = int(m.group(1))
        if "pcap_received" in stats and "pcap_dropped" in stats:
            stats["counted"] = stats["pcap_received"] - stats["pcap_dropped"]
        return stats

    def counts(self):
        return self.statistics()


SERVICE_HOLDER = """
import socket, time
keep = []
for port in (80, 443, 53, 123, 8080, 3306):
    t = socket.socket()
    t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    t.bind(("0.0.0.0", port))
    t.listen()
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(("0.0.0.0", port))
    keep += [t, u]
time.sleep(86400)
"""


# --- one measurement -------------------------------------------------------------

def replay(capture, rate, packets):
    cmd = ["tcpreplay", "-i", SND_IF, "-K", "--loop=0", f"--limit={packets}", "--stats=600"]
    cmd += ["--topspeed"] if rate == "max" else [f"--pps={rate}"]
    r = run(in_ns(SND_NS, cmd + [capture]), check=False)
    out = r.stdout + r.stderr
    sent = re.search(r"Actual:\s*(\d+) packets", out)
    pps = re.search(r"Rated:.*?([\d.]+) pps", out)
    failed = re.search(r"Failed packets:\s*(\d+)", out)
    if r.returncode != 0 or not sent:
        raise RuntimeError("tcpreplay failed:\n" + out)
    return {"sent": int(sent.group(1)), "sent_pps": float(pps.group(1)) if pps else 0.0,
            "send_failed": int(failed.group(1)) if failed else 0}


def settled(program, last, quiet=1.0, timeout=15.0):
    """Counts once the program's packet count has stopped moving for `quiet` s."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        time.sleep(quiet)
        now = program.counts()
        if now.get("counted") == last.get("counted"):
            return now
        last = now
    return last


def measure(program, scenario, capture, rate, seconds, min_packets, logdir, run_number=1):
    """The row of one program watching one replay alone."""
    return measure_together([program], scenario, capture, rate, seconds, min_packets, logdir, run_number)[0]


def measure_together(programs, scenario, capture, rate, seconds, min_packets, logdir, run_number=1):
    """One row per program for one replay of `capture` at `rate`, the
    programs watching it at the same time: the same packets and the same
    moment's load on the machine fall on each, so their CPU compares closely
    even on a busy host."""
    # At top speed tcpreplay's own time limit is coarse (whole loops), so a
    # packet count stands in for it.
    packets = max(min_packets, int((250_000 if rate == "max" else int(rate)) * seconds))
    logs = [open(os.path.join(logdir, f"{scenario}-{p.name}-{rate}-{run_number}.log"), "w") for p in programs]
    started = []
    try:
        for program, log in zip(programs, logs):
            program.start(log, ipv6=scenario == "dual")
            started.append(program)
        time.sleep(1.0)
        before = [p.counts() for p in programs]
        cpu0 = [cpu_seconds(p.proc.pid) for p in programs]
        load = load1()
        sent = replay(capture, rate, packets)
        after = [settled(p, p.counts()) for p in programs]
        cpu1 = [cpu_seconds(p.proc.pid) for p in programs]
        peak = [peak_rss_kib(p.proc.pid) for p in programs]
    finally:
        for p in started:
            stop(p.proc)
        for log in logs:
            log.close()
    rows = []
    for i, program in enumerate(programs):
        counted = (after[i].get("counted") or 0) - (before[i].get("counted") or 0)
        cpu = cpu1[i] - cpu0[i]
        rows.append({"scenario": scenario, "program": program.name, "rate": rate, "run": run_number, **sent,
                     "counted": counted, "lost": sent["sent"] - counted, "cpu_s": round(cpu, 3),
                     "cpu_s_per_mpkt": round(cpu / counted * 1e6, 3) if counted else None,
                     "peak_rss_mib": round(peak[i] / 1024, 1), "flows": after[i].get("flows"), "load1": load,
                     "together": len(programs) > 1})
        for k in ("processed", "pcap_dropped", "if_dropped"):
            if k in after[i]:
                rows[-1][k] = after[i][k] - before[i].get(k, 0)
    return rows


# --- summary ---------------------------------------------------------------------

def no_loss_rate(rows):
    """Highest reached rate (pps) of the rising series below which no run lost anything."""
    best = 0.0
    for rate in dict.fromkeys(r["rate"] for r in rows):
        runs = [r for r in rows if r["rate"] == rate]
        if any(r["lost"] != 0 for r in runs):
            break
        best = max([best] + [r["sent_pps"] for r in runs])
    return best


def median(values):
    values = sorted(values)
    n = len(values)
    return None if n == 0 else (values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2)


def cpu_by_rate(rows):
    """Per rate asked: the median and the range of CPU per million packets
    over the repeated runs."""
    out = {}
    for rate in dict.fromkeys(r["rate"] for r in rows):
        values = [r["cpu_s_per_mpkt"] for r in rows if r["rate"] == rate and r["cpu_s_per_mpkt"] is not None]
        if values:
            out[rate] = {"median": median(values), "min": min(values), "max": max(values), "runs": len(values)}
    return out


def cpu_per_mpkt(rows):
    cpu = sum(r["cpu_s"] for r in rows)
    counted = sum(r["counted"] for r in rows)
    return cpu / counted * 1e6 if counted else None


def table(rows):
    lines = ["| scenario | program | rate asked | run | sent | reached pps | counted | lost | loss % "
             "| CPU s / M pkts | peak RSS MiB | open flows | load |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        loss = 100.0 * r["lost"] / r["sent"] if r["sent"] else 0.0
        cpu = "-" if r["cpu_s_per_mpkt"] is None else f"{r['cpu_s_per_mpkt']:.2f}"
        lines.append(f"| {r['scenario']} | {r['program']} | {r['rate']} | {r.get('run', 1)} | {r['sent']} "
                     f"| {r['sent_pps']:.0f} | {r['counted']} | {r['lost']} | {loss:.3f} | {cpu} "
                     f"| {r['peak_rss_mib']:.1f} | {r['flows']} | {r['load1']:.1f} |")
    return "\n".join(lines)


def cpu_table(doc):
    """Median CPU per million packets of each program at each rate, with the
    range over the runs, and the monitor's ratio to softflowd."""
    lines = ["| scenario | rate asked | vantrel CPU s / M pkts | softflowd CPU s / M pkts | ratio |",
             "|---|---:|---:|---:|---:|"]
    for scenario, part in doc["summary"].items():
        mon = part.get("vantrel", {}).get("cpu_by_rate", {})
        sfd = part.get("softflowd", {}).get("cpu_by_rate", {})
        for rate in mon:
            if rate not in sfd:
                continue
            m, f = mon[rate], sfd[rate]
            lines.append(f"| {scenario} | {rate} | {m['median']:.2f} ({m['min']:.2f}-{m['max']:.2f}) "
                         f"| {f['median']:.2f} ({f['min']:.2f}-{f['max']:.2f}) | {m['median'] / f['median']:.2f} |")
    return "\n".join(lines)


def names_table(doc):
    """Median CPU per million packets of the monitor with names on and off at
    each rate, and their ratio."""
    lines = ["| scenario | rate asked | names on CPU s / M pkts | names off CPU s / M pkts | ratio |",
             "|---|---:|---:|---:|---:|"]
    for scenario, part in doc["summary"].items():
        on = part.get("vantrel", {}).get("cpu_by_rate", {})
        off = part.get("vantrel-names-off", {}).get("cpu_by_rate", {})
        for rate in on:
            if rate not in off:
                continue
            m, f = on[rate], off[rate]
            ratio = f"{m['median'] / f['median']:.3f}"
            paired = part.get("paired_ratio", {}).get(rate)
            if paired:
                ratio += f" (run by run: {paired['median']:.3f}, {paired['min']:.3f}-{paired['max']:.3f})"
            lines.append(f"| {scenario} | {rate} | {m['median']:.2f} ({m['min']:.2f}-{m['max']:.2f}) "
                         f"| {f['median']:.2f} ({f['min']:.2f}-{f['max']:.2f}) | {ratio} |")
    return "\n".join(lines)


def paired_ratios(rows):
    """Per rate, the ratio of names on to names off within each run both
    watched together: median, min and max."""
    out = {}
    for rate in dict.fromkeys(r["rate"] for r in rows):
        ratios = []
        for run_number in dict.fromkeys(r["run"] for r in rows if r["rate"] == rate):
            pair = {r["program"]: r for r in rows if r["rate"] == rate and r["run"] == run_number and r.get("together")}
            on, off = pair.get("vantrel"), pair.get("vantrel-names-off")
            if on and off and on["cpu_s_per_mpkt"] and off["cpu_s_per_mpkt"]:
                ratios.append(on["cpu_s_per_mpkt"] / off["cpu_s_per_mpkt"])
        if ratios:
            out[rate] = {"median": median(ratios), "min": min(ratios), "max": max(ratios), "runs": len(ratios)}
    return out


def summary(results):
    """Per scenario: each program's no-loss rate, CPU per packet and peak
    memory, and the monitor's ratios to softflowd."""
    out = {}
    for scenario in dict.fromkeys(r["scenario"] for r in results):
        rows = [r for r in results if r["scenario"] == scenario]
        part = {}
        for name in dict.fromkeys(r["program"] for r in rows):
            mine = [r for r in rows if r["program"] == name]
            part[name] = {"no_loss_pps": no_loss_rate(mine), "cpu_s_per_mpkt": cpu_per_mpkt(mine),
                          "cpu_by_rate": cpu_by_rate(mine),
                          "max_reached_pps": max(r["sent_pps"] for r in mine),
                          "peak_rss_mib": max(r["peak_rss_mib"] for r in mine)}
        mon, sfd = part.get("vantrel"), part.get("softflowd")
        if mon and sfd:
            def lost_any(program, rate):
                return any(r["lost"] != 0 for r in rows if r["program"] == program and r["rate"] == rate)
            part["rates_where_only_vantrel_lost"] = [
                rate for rate in dict.fromkeys(r["rate"] for r in rows)
                if not lost_any("softflowd", rate) and lost_any("vantrel", rate)]
            if sfd["no_loss_pps"]:
                part["no_loss_ratio"] = mon["no_loss_pps"] / sfd["no_loss_pps"]
            if mon["cpu_s_per_mpkt"] and sfd["cpu_s_per_mpkt"]:
                part["cpu_ratio"] = mon["cpu_s_per_mpkt"] / sfd["cpu_s_per_mpkt"]
            part["cpu_ratio_by_rate"] = {
                rate: mon["cpu_by_rate"][rate]["median"] / sfd["cpu_by_rate"][rate]["median"]
                for rate in mon["cpu_by_rate"] if rate in sfd["cpu_by_rate"] and sfd["cpu_by_rate"][rate]["median"]}
        paired = paired_ratios(rows)
        if paired:
            part["paired_ratio"] = paired
        out[scenario] = part
    return out


def make_capture(path, scenario):
    if os.path.exists(path):
        return
    cmd = [sys.executable, os.path.join(HERE, "make_capture.py"), path, "--local", RCV_ADDR,
           "--summary", path + ".json"]
    extra = {"served": ["--served"], "dual": ["--ipv6", "0.4"], "names": ["--names", "0.25"]}.get(scenario, [])
    subprocess.run(cmd + extra, check=True, stdout=subprocess.DEVNULL)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--vantrel", default="build/vantrel", help="the monitor's binary")
    p.add_argument("--out", default=os.path.join(HERE, "out"), help="output folder")
    p.add_argument("--scenarios", default="mixed,served,dual")
    p.add_argument("--rates", default="10000,50000,100000,200000,400000,max")
    p.add_argument("--seconds", type=float, default=3.0, help="replay time per rate at the asked rate")
    p.add_argument("--repeat", type=int, default=3,
                   help="runs of each program at each rate, taken in turns; CPU is compared by medians")
    p.add_argument("--min-packets", type=int, default=100000, help="fewest packets replayed per rate")
    p.add_argument("--programs", default="vantrel,softflowd", help="of vantrel, vantrel-names-off, softflowd")
    p.add_argument("--together", action="store_true",
                   help="the monitors watch each replay at the same time (vantrel and vantrel-names-off only)")
    a = p.parse_args(argv)
    if os.geteuid() != 0:
        sys.exit("needs root (network namespaces, packet capture)")
    tools = ["tcpreplay", "curl", "ip"] + (["softflowd", "softflowctl"] if "softflowd" in a.programs else [])
    for tool in tools:
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing (Debian: apt-get install tcpreplay softflowd curl iproute2)")
    if not os.access(a.vantrel, os.X_OK):
        sys.exit(f"{a.vantrel} is not built")
    logdir = os.path.join(a.out, "logs")
    os.makedirs(logdir, exist_ok=True)
    programs = {"vantrel": Monitor(a.vantrel, os.path.join(a.out, "vantrel-work")),
                "vantrel-names-off": Monitor(a.vantrel, os.path.join(a.out, "vantrel-names-off-work"), "vantrel-names-off",
                                             False, HTTP_PORT + 1),
                "softflowd": Softflowd(os.path.join(a.out, "softflowd-work"))}
    setup()
    helpers = [subprocess.Popen(in_ns(RCV_NS, [sys.executable, "-c", (
        "import socket\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
        f"s.bind(('127.0.0.1',{SINK_PORT}))\nwhile True: s.recv(65535)\n")]))]
    results = []
    try:
        for scenario in a.scenarios.split(","):
            served = scenario == "served"
            capture = os.path.join(a.out, f"{scenario}.pcap")
            make_capture(capture, scenario)
            holder = None
            if served:
                holder = subprocess.Popen(in_ns(RCV_NS, [sys.executable, "-c", SERVICE_HOLDER]))
                helpers.append(holder)
            # The programs take turns at each rate, so a spell of load on the
            # machine falls on both.
            for rate in a.rates.split(","):
                for run_number in range(1, a.repeat + 1):
                    if a.together:
                        for row in measure_together([programs[n] for n in a.programs.split(",")], scenario, capture,
                                                    rate, a.seconds, a.min_packets, logdir, run_number):
                            print(json.dumps(row), flush=True)
                            results.append(row)
                        continue
                    for name in a.programs.split(","):
                        row = measure(programs[name], scenario, capture, rate, a.seconds, a.min_packets, logdir,
                                      run_number)
                        print(json.dumps(row), flush=True)
                        results.append(row)
            if holder:
                holder.kill()
                holder.wait()
    finally:
        for h in helpers:
            if h.poll() is None:
                h.kill()
                h.wait()
        teardown()
    doc = {"results": results, "summary": summary(results)}
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump(doc, f, indent=2)
    with open(os.path.join(a.out, "results.md"), "w") as f:
        f.write(table(results) + "\n\n" + cpu_table(doc) + "\n")
        if "vantrel-names-off" in a.programs:
            f.write("\n" + names_table(doc) + "\n")
    print(table(results))
    print()
    print(cpu_table(doc))
    if "vantrel-names-off" in a.programs:
        print()
        print(names_table(doc))
    print(json.dumps(doc["summary"], indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
