#!/usr/bin/env python3
"""Turns the outputs of run.sh (machine.txt, results.json, refresh.json,
memory.json in one folder) into a Markdown report: the machine, the replay
tables, and each target of the comparison with its figures and whether it was
met. Usage: report.py OUTPUT_FOLDER"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import cpu_table, table  # noqa: E402

UNIT = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def load(folder, name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def bench_ms(doc, name):
    """Wall time of one benchmark in milliseconds, and its whole entry."""
    for b in (doc or {}).get("benchmarks", []):
        if b["name"].split("/")[0] == name and b.get("run_type", "iteration") == "iteration":
            return b["real_time"] * UNIT[b["time_unit"]], b
    return None, None


def verdict(ok):
    return "met" if ok else "**missed**"


def loss_target(rows, part):
    """The no-loss rate target for one scenario: (figure text, met)."""
    mon = [r for r in rows if r["program"] == "vantrel"]
    sfd = [r for r in rows if r["program"] == "softflowd"]
    if not mon or not sfd:
        return "-", False
    top = max(r["sent_pps"] for r in mon)
    mon_rate = part["vantrel"]["no_loss_pps"]
    sfd_rate = part["softflowd"]["no_loss_pps"]
    if all(r["lost"] == 0 for r in mon):
        return f"no loss up to the sender's top speed ({top:,.0f} pps): the sender saturates first", True
    ratio = mon_rate / sfd_rate if sfd_rate else 0.0
    text = (f"vantrel {mon_rate:,.0f} pps, softflowd {sfd_rate:,.0f} pps "
            f"(ratio {ratio:.2f}; vantrel lost at {', '.join(str(r['rate']) for r in mon if r['lost'])})")
    return text, bool(sfd_rate) and mon_rate >= 2 * sfd_rate


def main(folder):
    out = []
    machine = os.path.join(folder, "machine.txt")
    if os.path.exists(machine):
        out.append("## Machine\n")
        with open(machine) as f:
            out += [f"- {line.strip()}" for line in f if line.strip()]
        out.append("")

    results = load(folder, "results.json")
    targets = []
    if results:
        out.append("## Capture replay\n")
        out.append("`reached pps` is what tcpreplay achieved; `counted` is the program's own count; CPU is the "
                   "program's CPU time (its process clock) over the replay and drain, per million packets "
                   "counted; `load` is the 1-minute load average when the replay started.\n")
        out.append(table(results["results"]))
        out.append("")
        out.append("CPU per million packets, median of the runs (range in brackets):\n")
        out.append(cpu_table(results))
        out.append("")
        for scenario, part in results["summary"].items():
            rows = [r for r in results["results"] if r["scenario"] == scenario]
            text, ok = loss_target(rows, part)
            targets.append((f"{scenario}: no-loss rate at least 2x softflowd's", text, ok))
            only = part.get("rates_where_only_vantrel_lost", [])
            targets.append((f"{scenario}: no loss at any rate where softflowd loses none",
                            "vantrel lost nothing where softflowd lost nothing" if not only
                            else "vantrel lost packets at " + ", ".join(map(str, only)) + " pps asked", not only))
            by_rate = part.get("cpu_ratio_by_rate", {})
            if by_rate:
                worst = max(by_rate.values())
                targets.append((f"{scenario}: CPU per packet at most half of softflowd's",
                                (f"whole series {part['cpu_ratio']:.2f}; " if "cpu_ratio" in part else "")
                                + "median ratio per rate: " + ", ".join(f"{r} {v:.2f}" for r, v in by_rate.items()),
                                worst <= 0.5))

    refresh = load(folder, "refresh.json")
    if refresh:
        warm, wb = bench_ms(refresh, "BM_RefreshTcpWarm")
        cold, _ = bench_ms(refresh, "BM_RefreshTcpCold")
        ss, sb = bench_ms(refresh, "BM_SsTanp")
        if warm and ss:
            out.append("## Port-to-process refresh\n")
            out.append(f"Same {int(sb.get('sockets', 0))} TCP sockets ({int(wb.get('rows', 0))} table rows), "
                       "wall time per refresh:\n")
            out.append("| what | ms |\n|---|---:|")
            out.append(f"| monitor refresh, steady state (owners known) | {warm:.3f} |")
            if cold:
                out.append(f"| monitor refresh, first after start (owners looked up) | {cold:.3f} |")
            out.append(f"| `ss -tanp` (process start included) | {ss:.3f} |\n")
            targets.append(("table refresh at least 5x faster than `ss -tanp`",
                            f"{ss / warm:.1f}x steady state" + (f", {ss / cold:.1f}x first refresh" if cold else ""),
                            ss / warm >= 5))

    memory = load(folder, "memory.json")
    if memory:
        out.append("## Memory per open flow\n")
        out.append("| case | flows | resident bytes per flow | allocated bytes per flow |\n|---|---:|---:|---:|")
        worst = 0.0
        for name, label in (("BM_MillionFlowsNoOwner", "no owner"), ("BM_MillionFlowsSharedOwner", "shared owner")):
            _, b = bench_ms(memory, name)
            if b:
                worst = max(worst, b["rss_bytes_per_flow"])
                out.append(f"| {label} | {int(b['flows']):,} | {b['rss_bytes_per_flow']:.1f} "
                           f"| {b['heap_bytes_per_flow']:.1f} |")
        out.append("")
        targets.append(("memory per open flow under 200 bytes at 1,000,000 flows",
                        f"{worst:.1f} bytes (resident, worse case)", worst < 200))

    if targets:
        out.append("## Targets\n")
        out.append("| target | figure | |\n|---|---|---|")
        out += [f"| {t} | {text} | {verdict(ok)} |" for t, text, ok in targets]
        out.append("")
    print("\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "out"))
