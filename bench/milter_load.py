#!/usr/bin/env python3
"""Load through a private Postfix on loopback, with and without the milter.

Builds the command in Release (BUILD, default build-bench), starts one private
Postfix instance (tests/milter_postfix.py) with an smtpd port per setup:
  none   no milter
  unix   the milter on a unix socket
  inet   the milter on inet:PORT@127.0.0.1
and sends COUNT generated messages (2 to 10 KB bodies, a fifth of them spam)
over 8 concurrent SMTP sessions to each, RUNS times in turn. Per run it
reports messages per second accepted over SMTP, the ratio to the no-milter run
of the same round, the client's median time per message, the milter's CPU
seconds per 1,000 messages, its resident size at the start, the peak and the
end, and its evaluation latency p50/p99 (from its counters line). It checks
that every message sent was accepted and delivered. A final round spreads the
sessions over four milters (tag, reject, hold, discard) and checks
accepted + rejected + held + discarded = sent, and nothing lost.

Needs root (Postfix). Usage: sudo bench/milter_load.py [COUNT] [RUNS]
"""
import os
import random
import signal
import smtplib
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import shutil

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import milter_postfix as mp  # noqa: E402

SESSIONS = 8
SUBJECTS = ["Minutes of the Tuesday meeting", "Your order has shipped", "Lunch on Sunday?",
            "Build 4711 passed", "Re: the quarterly figures"]
SPAM_SUBJECTS = ["FREE casino jackpot bonus spins", "Cheap Viagra and Cialis!!!", "You have won $1,000,000"]


def generate(count, seed=7):
    rng = random.Random(seed)
    out = []
    for i in range(count):
        spam = i % 5 == 0
        subject = rng.choice(SPAM_SUBJECTS if spam else SUBJECTS)
        sender = "promo%05d@deals.top" % rng.randrange(100000) if spam else "colleague@example.org"
        body = "\r\n".join("".join(rng.choice("abcdefghij klmnopqrstuvwxyz") for _ in range(70))
                           for _ in range(rng.randrange(28, 140)))  # about 2 to 10 KB
        msg = (f"Date: Tue, 8 Dec 2026 12:00:00 +0100\r\nFrom: <{sender}>\r\nTo: user@test.example\r\n"
               f"Subject: {subject}\r\nMessage-ID: <load-{i}@example.org>\r\nMIME-Version: 1.0\r\n"
               f"Content-Type: text/plain; charset=us-ascii\r\n\r\n{body}\r\n")
        out.append(msg.encode())
    return out


def proc_cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def blast(port, messages, tag):
    """Sends messages over SESSIONS sessions; gives (seconds, per-message times, codes)."""
    times, codes = [], {}
    lock = threading.Lock()

    def session(k):
        mine = messages[k::SESSIONS]
        local_times, local_codes = [], {}
        with smtplib.SMTP("127.0.0.1", port, timeout=120) as s:
            s.ehlo("load.test")
            for i, data in enumerate(mine):
                t = time.perf_counter()
                try:
                    s.sendmail(f"{tag}-{k}-{i}@sender.test", ["user@test.example"], data)
                    code = 250
                except smtplib.SMTPResponseException as e:
                    code = e.smtp_code
                    s.rset()
                local_times.append(time.perf_counter() - t)
                local_codes[code] = local_codes.get(code, 0) + 1
        with lock:
            times.extend(local_times)
            for c, n in local_codes.items():
                codes[c] = codes.get(c, 0) + n

    threads = [threading.Thread(target=session, args=(k,)) for k in range(SESSIONS)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start, times, codes


def count_delivered(postfix, prefix):
    n = 0
    for sub in ("new", "cur"):
        d = os.path.join(postfix.maildir, sub)
        if os.path.isdir(d):
            for name in os.listdir(d):
                with open(os.path.join(d, name), "rb") as f:
                    if f.readline().startswith(b"Return-Path: <" + prefix.encode()):
                        n += 1
    return n


def settle(postfix):
    mp.wait_until(lambda: all(q.get("queue_name") == "hold" for q in postfix.queue()), "the queue to drain",
                  timeout=900)


def build_release():
    """The command and module built in Release ($BUILD, default build-bench); gives (build, binary)."""
    build = os.environ.get("BUILD", os.path.join(ROOT, "build-bench"))
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DHDRW_TESTS=OFF",
                    "-DHDRW_FAULT_INJECTION=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "hdrweights_cli", "hdrweights_module"],
                   check=True, stdout=subprocess.DEVNULL)
    return build, os.path.join(build, "bin", "hdrweights")


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    if os.geteuid() != 0:
        sys.exit("milter_load.py: Postfix's commands need root; run it with sudo")
    build, binary = build_release()
    base = tempfile.mkdtemp(prefix="hdrw-load-")
    os.chmod(base, 0o755)
    rules = os.path.join(base, "rules")
    mp.copy_rules(rules)
    config = ["--config", os.path.join(rules, "server.xml")]
    inet_port = mp.free_port()
    milters = {"unix": mp.Milter(binary, base, "unix", config),
               "inet": mp.Milter(binary, base, "inet", config)}
    milters["inet"].socket = None
    split = {a: mp.Milter(binary, base, "split-" + a, config + ["--on-spam", a])
             for a in ("tag", "reject", "hold", "discard")}
    services = {"none": "",
                "unix": f"-o smtpd_milters=unix:{milters['unix'].socket}",
                "inet": f"-o smtpd_milters=inet:127.0.0.1:{inet_port}"}
    services.update({"split-" + a: f"-o smtpd_milters=unix:{m.socket}" for a, m in split.items()})
    postfix = mp.Postfix(base, services)
    messages = generate(count)
    rows = []
    try:
        postfix.start()
        for rnd in range(runs):
            baseline = None
            for setup in ("none", "unix", "inet"):
                m = milters.get(setup)
                if m is not None:
                    if setup == "inet":
                        start_inet(m, binary, base, config, inet_port)
                    else:
                        m.start()
                    cpu0, rss0 = proc_cpu(m.proc.pid), proc_rss_kib(m.proc.pid)
                    peak = [rss0]
                    stop_sampling = threading.Event()

                    def sample(pid=m.proc.pid):
                        while not stop_sampling.wait(0.25):
                            peak[0] = max(peak[0], proc_rss_kib(pid))

                    sampler = threading.Thread(target=sample)
                    sampler.start()
                tag = f"{setup}{rnd}"
                seconds, times, codes = blast(postfix.ports[setup], messages, tag)
                row = {"setup": setup, "run": rnd + 1, "rate": count / seconds,
                       "median_ms": statistics.median(times) * 1000, "codes": codes}
                if m is not None:
                    stop_sampling.set()
                    sampler.join()
                    row["cpu_per_1000"] = (proc_cpu(m.proc.pid) - cpu0) * 1000 / count
                    row["rss"] = (rss0, peak[0], proc_rss_kib(m.proc.pid))
                    m.stop()
                    c = m.counters()
                    row["latency"] = (c.get("p50", "?"), c.get("p99", "?"))
                    row["counted"] = c.get("messages")
                if baseline is None:
                    baseline = row["rate"]
                row["ratio"] = row["rate"] / baseline
                settle(postfix)
                row["delivered"] = count_delivered(postfix, tag)
                rows.append(row)
                print(row, file=sys.stderr)
        accounting = split_round(postfix, split, messages)
    finally:
        for m in list(milters.values()) + list(split.values()):
            if m.proc is not None and m.proc.poll() is None:
                m.proc.kill()
        postfix.stop()
    print_table(rows, accounting, count)
    shutil.rmtree(base, ignore_errors=True)


def start_inet(m, binary, base, config, port):
    """The inet milter: same as Milter.start, on a TCP socket."""
    os.makedirs(os.path.dirname(m.log), exist_ok=True)
    err = open(m.log + ".stderr", "ab")
    m.proc = subprocess.Popen([binary, "milter", "--socket", f"inet:{port}@127.0.0.1", "--log", m.log] + config,
                              stdout=err, stderr=err)
    err.close()
    mark = m.log_text().count("started on")
    mp.wait_until(lambda: m.log_text().count("started on") > mark, "the inet milter to start")


def split_round(postfix, split, messages):
    """Two sessions per action milter; every message accounted for."""
    for m in split.values():
        m.start()
    chunks = {a: messages[i::4] for i, a in enumerate(split)}
    results = {}
    threads = [threading.Thread(target=lambda a=a: results.__setitem__(
        a, blast(postfix.ports["split-" + a], chunks[a], "split" + a)[2])) for a in split]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    counters = {}
    for a, m in split.items():
        m.stop()
        counters[a] = m.counters()
    settle(postfix)
    sent = len(messages)
    accepted = sum(r.get(250, 0) for r in results.values())
    rejected = sum(n for r in results.values() for c, n in r.items() if c != 250)
    held = sum(1 for q in postfix.queue() if q.get("queue_name") == "hold" and q["sender"].startswith("splithold"))
    discarded = int(counters["discard"].get("discarded", 0))
    delivered = sum(count_delivered(postfix, "split" + a) for a in split)
    return {"sent": sent, "accepted": accepted, "rejected": rejected, "held": held, "discarded": discarded,
            "delivered": delivered,
            "balanced": accepted + rejected == sent and delivered + held + discarded == accepted}


def print_table(rows, accounting, count):
    load = open("/proc/loadavg").read().split()[:3]
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    print(f"\nMachine: {cpu}, {os.cpu_count()} CPUs, load average {' '.join(load)} at the end.")
    print(f"{count} messages per run over {SESSIONS} SMTP sessions, private Postfix on loopback.\n")
    print("| setup | run | msgs/s | vs no milter | median ms/msg | milter CPU s per 1,000 | "
          "milter RSS start/peak/end KiB | eval p50 / p99 | delivered |")
    print("|---|---:|---:|---:|---:|---:|---|---|---:|")
    for r in rows:
        cpu = f"{r['cpu_per_1000']:.2f}" if "cpu_per_1000" in r else "-"
        rss = "/".join(str(v) for v in r["rss"]) if "rss" in r else "-"
        lat = " / ".join(r["latency"]) if "latency" in r else "-"
        print(f"| {r['setup']} | {r['run']} | {r['rate']:.0f} | {r['ratio']:.2f} | {r['median_ms']:.1f} | {cpu} | "
              f"{rss} | {lat} | {r['delivered']} |")
    a = accounting
    print(f"\nActions split over four milters: sent {a['sent']}, accepted {a['accepted']} "
          f"(delivered {a['delivered']}, held {a['held']}, discarded {a['discarded']}), rejected {a['rejected']}: "
          f"{'nothing lost' if a['balanced'] else 'NOT BALANCED'}.")


if __name__ == "__main__":
    main()
