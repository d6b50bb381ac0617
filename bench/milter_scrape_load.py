#!/usr/bin/env python3
"""What scraping the milter's metrics costs under load.

The load of bench/milter_load.py (COUNT generated messages over 8 SMTP
sessions through a private Postfix on loopback) sent RUNS times in turn to
two milters on unix sockets with the same rules, both started with --metrics
and --metrics-rules: one scraped every second by a private Prometheus
(tests/milter_prometheus.py), the other not scraped. The order alternates by
round. Per run: messages per second over SMTP, the ratio of the scraped run
to the unscraped one of the same round, the milter's CPU seconds per 1,000
messages, and the scrapes Prometheus made during the run.

Needs root (Postfix). Usage: sudo bench/milter_scrape_load.py [COUNT] [RUNS]
(BUILD as for milter_load.py, default build-bench).
"""
import os
import statistics
import sys
import tempfile
import shutil

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import milter_load as ml  # noqa: E402
import milter_postfix as mp  # noqa: E402
import milter_prometheus as prom  # noqa: E402


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    if os.geteuid() != 0:
        sys.exit("milter_scrape_load.py: Postfix's commands need root; run it with sudo")
    build, binary = ml.build_release()
    prometheus_bin, _ = prom.prometheus_binaries(build)
    base = tempfile.mkdtemp(prefix="hdrw-scrape-load-")
    os.chmod(base, 0o755)
    rules = os.path.join(base, "rules")
    mp.copy_rules(rules)
    config = ["--config", os.path.join(rules, "server.xml")]
    ports = {"scraped": mp.free_port(), "unscraped": mp.free_port()}
    milters = {name: mp.Milter(binary, base, name, config + ["--metrics", f"127.0.0.1:{port}", "--metrics-rules"])
               for name, port in ports.items()}
    postfix = mp.Postfix(base, {name: f"-o smtpd_milters=unix:{m.socket}" for name, m in milters.items()})
    prometheus = prom.Prometheus(prometheus_bin, base, f"127.0.0.1:{ports['scraped']}")
    messages = ml.generate(count)
    rows = []
    try:
        for m in milters.values():
            m.start()
        postfix.start()
        prometheus.start()
        prometheus.wait_value('up{job="hdrweights"}', 1, "the first scrape")
        for rnd in range(runs):
            order = ["scraped", "unscraped"] if rnd % 2 == 0 else ["unscraped", "scraped"]
            rates = {}
            for name in order:
                pid = milters[name].proc.pid
                cpu0 = ml.proc_cpu(pid)
                seconds, times, codes = ml.blast(postfix.ports[name], messages, f"{name}{rnd}")
                window = f"[{int(seconds)}s]"
                scrapes = prometheus.value('count_over_time(up{job="hdrweights"}' + window + ')') or 0
                failed = prometheus.value('count_over_time(up{job="hdrweights"}' + window + ') - '
                                          'sum_over_time(up{job="hdrweights"}' + window + ')') or 0
                rates[name] = count / seconds
                rows.append({"setup": name, "run": rnd + 1, "rate": count / seconds,
                             "median_ms": statistics.median(times) * 1000,
                             "cpu_per_1000": (ml.proc_cpu(pid) - cpu0) * 1000 / count,
                             "scrapes": int(scrapes), "failed": int(failed), "codes": codes})
                print(rows[-1], file=sys.stderr)
                ml.settle(postfix)
            rows[-1]["ratio"] = rows[-2]["ratio"] = rates["scraped"] / rates["unscraped"]
        prometheus.wait_value("sum(hdrweights_messages_total)", count * runs, "the last scrape")
        counted = prometheus.value("sum(hdrweights_messages_total)")
    finally:
        for m in milters.values():
            if m.proc is not None and m.proc.poll() is None:
                m.stop()
        prometheus.stop()
        postfix.stop()
    print(f"\n{count} messages per run over {ml.SESSIONS} SMTP sessions, private Postfix on loopback; "
          f"the scraped milter counted {counted:.0f} in Prometheus.\n")
    print("| milter | run | msgs/s | scraped / unscraped | median ms/msg | milter CPU s per 1,000 | scrapes |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        scrapes = f"{r['scrapes']} ({r['failed']} failed)" if r["setup"] == "scraped" else "-"
        print(f"| {r['setup']} | {r['run']} | {r['rate']:.0f} | {r['ratio']:.3f} | {r['median_ms']:.1f} | "
              f"{r['cpu_per_1000']:.2f} | {scrapes} |")
    shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
