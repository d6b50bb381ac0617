#!/usr/bin/env python3
"""The milter's metrics, scraped by a real Prometheus while mail flows.

Starts the private Postfix of milter_postfix.py with one milter (--on-spam
reject, --metrics on a loopback port, --metrics-rules) and a private
Prometheus (Debian's package, unpacked into BUILD_DIR/prometheus unless it is
installed; loopback only, scrape and rule evaluation every second, its own
data directory, the shipped alert rules loaded), sends every bundled message
and asks Prometheus's HTTP API:

  - messages by result, rejects and per-rule hits equal what
    "hdrweights scan --json" says of the files; the histogram's count equals
    the evaluated messages; rules_info's sha256 equals sha256sum of kelv and
    its rule count the module's own "Rules loaded" line;
  - every expression of the shipped dashboard returns data without error;
  - "promtool check metrics" passes a scrape and "promtool check rules" the
    shipped alert rules;
  - a reload with a broken rule file sets the reload gauge to 0 while mail
    still passes, and a changed good one sets it back to 1 with the new hash;
  - 40 idle connections and a huge request line on the metrics port do not
    hold up mail, and the endpoint serves again once the library's timeout
    has cut the idle ones off;
  - "hdrweights milter --check" answers 0 for the milter and 1 for a socket
    nobody serves.

Needs root (Postfix's commands do). Usage: milter_prometheus.py BUILD_DIR.
"""
import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from milter_postfix import (unpack_debian, EXAMPLES, ROOT, Failures, Milter, Postfix, copy_rules, free_port,  # noqa: E402
                            report, send_session, wait_until)

PACKAGING = os.path.join(ROOT, "packaging")
BACKTRACKS = 1000  # some example rules give up on some lines at this limit
RULE_CHANGE = ("0000001002070001&-", "0000001002071001&-")  # rule 1002 weighs 71


def prometheus_binaries(build):
    """prometheus and promtool: installed ones, else Debian's package unpacked under build."""
    if shutil.which("prometheus") and shutil.which("promtool"):
        return shutil.which("prometheus"), shutil.which("promtool")
    bindir = os.path.join(build, "prometheus", "usr", "bin")
    unpack_debian(os.path.join(build, "prometheus"), ["prometheus"], [os.path.join(bindir, "promtool")])
    return os.path.join(bindir, "prometheus"), os.path.join(bindir, "promtool")


class Prometheus:
    """A private Prometheus on loopback scraping one target every second."""

    def __init__(self, binary, base, target):
        self.binary = binary
        self.dir = os.path.join(base, "prometheus")
        self.port = free_port()
        self.target = target
        self.proc = None

    def start(self):
        os.makedirs(os.path.join(self.dir, "data"), exist_ok=True)
        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write(f"""global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
rule_files:
  - {os.path.join(PACKAGING, "hdrweights-alerts.yml")}
scrape_configs:
  - job_name: hdrweights
    static_configs:
      - targets: ["{self.target}"]
""")
        log = open(os.path.join(self.dir, "log"), "ab")
        self.proc = subprocess.Popen([self.binary, f"--config.file={config}",
                                      f"--storage.tsdb.path={os.path.join(self.dir, 'data')}",
                                      f"--web.listen-address=127.0.0.1:{self.port}", "--log.level=warn"],
                                     stdout=log, stderr=log, cwd=self.dir)
        log.close()
        wait_until(lambda: self._ready() or self.proc.poll() is not None, "Prometheus to be ready")
        if self.proc.poll() is not None:
            raise AssertionError("Prometheus did not start:\n" + open(os.path.join(self.dir, "log")).read())

    def _ready(self):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/-/ready", timeout=2) as r:
                return r.status == 200
        except OSError:
            return False

    def query(self, expr):
        """The instant result of expr: a list of (labels, value); raises on an error."""
        url = f"http://127.0.0.1:{self.port}/api/v1/query?" + urllib.parse.urlencode({"query": expr})
        with urllib.request.urlopen(url, timeout=10) as r:
            answer = json.load(r)
        if answer.get("status") != "success":
            raise AssertionError(f"query {expr!r}: {answer}")
        data = answer["data"]
        if data["resultType"] in ("scalar", "string"):
            return [({}, float(data["result"][1]))]
        return [(item["metric"], float(item["value"][1])) for item in data["result"]]

    def value(self, expr):
        """The single value of expr, or None when it has no result."""
        got = self.query(expr)
        return got[0][1] if len(got) == 1 else None

    def wait_value(self, expr, want, what):
        wait_until(lambda: self.value(expr) == want, f"{what} ({expr} == {want}; last {self.value(expr)})")

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def scan(binary, config, files, log):
    """Per file: (result, hits as {rule: 1}) as "hdrweights scan --json" judges it, and
    the (rule, header line) pairs that met a match limit (its 29001 records)."""
    r = subprocess.run([binary, "scan", "--json", "--config", config, "--log", log, "--log-level",
                        "TVR_LOG_NOTICE"] + files, capture_output=True, text=True)
    out = {}
    for line in r.stdout.splitlines():
        v = json.loads(line)
        result = "error" if v["verdict"] is None and "error" in v else "spam" if v["verdict"] == "spam" else "ham"
        out[v["path"]] = (result, {str(h["rule"]) for h in v.get("hits", [])})
    with open(log) as f:
        limits = f.read().count("[29001]")
    return out, limits


def dashboard_expressions():
    """Every expression of the shipped dashboard, with Grafana's variables filled in."""
    with open(os.path.join(PACKAGING, "hdrweights-dashboard.json")) as f:
        dashboard = json.load(f)
    exprs = [t["expr"] for p in dashboard["panels"] for t in p.get("targets", [])]
    exprs += [v["query"]["query"] for v in dashboard["templating"]["list"] if isinstance(v.get("query"), dict)]
    fill = {"$__rate_interval": "1m", "$__range": "5m", "$instance": ".*"}
    out = []
    for e in exprs:
        for k, v in fill.items():
            e = e.replace(k, v)
        out.append(e)
    return out


def label_values_query(expr):
    """label_values(METRIC, LABEL) is Grafana's, not PromQL: asked as METRIC."""
    if expr.startswith("label_values("):
        return expr[len("label_values("):].split(",")[0]
    return expr


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: milter_prometheus.py BUILD_DIR")
    build = os.path.abspath(sys.argv[1])
    binary = os.path.join(build, "bin", "hdrweights")
    if os.geteuid() != 0:
        sys.exit("milter_prometheus.py: Postfix's commands need root; run it with sudo")
    started = time.monotonic()
    prometheus_bin, promtool = prometheus_binaries(build)
    base = tempfile.mkdtemp(prefix="hdrw-prometheus-")
    os.chmod(base, 0o755)
    rules = os.path.join(base, "rules")
    copy_rules(rules)
    config = os.path.join(rules, "server.xml")
    # A backtrack limit at which some of the example rules give up on some lines.
    with open(config) as f:
        text = f.read()
    with open(config, "w") as f:
        f.write(text.replace("<maxBackTracks>25000<", f"<maxBackTracks>{BACKTRACKS}<"))
    files = sorted(os.path.join(d, n) for d in (os.path.join(EXAMPLES, "messages"),
                                                os.path.join(ROOT, "tests", "milter", "messages"))
                   for n in os.listdir(d))
    expected, limits = scan(binary, config, files, os.path.join(base, "scan.log"))
    messages = {f: open(f, "rb").read() for f in files}
    metrics_port = free_port()
    milter = Milter(binary, base, "metrics", ["--config", config, "--on-spam", "reject",
                                              "--metrics", f"127.0.0.1:{metrics_port}", "--metrics-rules"])
    postfix = Postfix(base, {"metrics": f"-o smtpd_milters=unix:{milter.socket}"})
    prometheus = Prometheus(prometheus_bin, base, f"127.0.0.1:{metrics_port}")
    failures = Failures()
    try:
        milter.start()
        postfix.start()
        prometheus.start()
        prometheus.wait_value('up{job="hdrweights"}', 1, "the milter's first scrape")
        run_mail(postfix, milter, prometheus, promtool, files, messages, (expected, limits), rules, failures,
                 metrics_port)
        run_reload(binary, postfix, milter, prometheus, messages, rules, failures)
        run_hostile(postfix, prometheus, messages, failures, metrics_port)
        run_check(binary, milter, base, failures)
        rc = milter.stop()
        failures.check(rc == 0, f"the milter exited with {rc}, not 0")
    finally:
        if milter.proc is not None and milter.proc.poll() is None:
            milter.proc.kill()
        prometheus.stop()
        postfix.stop()
    report("milter_prometheus", failures, base, started)


def by_label(prometheus, expr, label):
    return {m.get(label): v for m, v in prometheus.query(expr)}


def run_mail(postfix, milter, prometheus, promtool, files, messages, scanned, rules, failures, metrics_port):
    """Every message once; the series against the scan of the same files."""
    expected, limits = scanned
    answers = send_session(postfix.ports["metrics"], [(f"m-{i}@sender.test", messages[f])
                                                       for i, f in enumerate(files)])
    want = {r: sum(1 for f in files if expected[f][0] == r) for r in ("spam", "ham", "skipped", "error")}
    failures.check(sum(1 for code, _ in answers if code == 550) == want["spam"],
                   f"{sum(1 for code, _ in answers if code == 550)} messages rejected, {want['spam']} spam")
    total = len(files)
    prometheus.wait_value("sum(hdrweights_messages_total)", total, "every message in Prometheus")
    got = by_label(prometheus, "hdrweights_messages_total", "result")
    failures.check(got == {k: float(v) for k, v in want.items()}, f"messages by result {got}, want {want}")
    actions = by_label(prometheus, "hdrweights_actions_total", "action")
    failures.check(actions == {"reject": want["spam"], "tempfail": 0, "hold": 0, "discard": 0, "tag": 0},
                   f"actions {actions}, want {want['spam']} rejects")
    evaluated = total - want["skipped"]
    failures.check(prometheus.value("hdrweights_evaluation_seconds_count") == evaluated,
                   f"histogram count {prometheus.value('hdrweights_evaluation_seconds_count')}, want {evaluated}")
    failures.check(prometheus.value('hdrweights_evaluation_seconds_bucket{le="+Inf"}') == evaluated,
                   "the +Inf bucket differs from the count")
    failures.check(limits > 0, "the scan met no match limit: the backtrack series is untested")
    failures.check(prometheus.value("hdrweights_backtrack_limit_total") == limits,
                   f"backtrack_limit_total {prometheus.value('hdrweights_backtrack_limit_total')}, "
                   f"the scan logged {limits}")
    hits = {}
    for f in files:
        for rule in expected[f][1]:
            hits[rule] = hits.get(rule, 0) + 1
    got_hits = {r: v for r, v in by_label(prometheus, "hdrweights_rule_hits_total", "rule").items() if v > 0}
    failures.check(got_hits == {k: float(v) for k, v in hits.items()},
                   f"rule hits {sorted(got_hits.items())}, want {sorted(hits.items())}")
    check_rules_info(prometheus, milter, os.path.join(rules, "kelv"), failures, 1)
    failures.check(prometheus.value("hdrweights_config_last_reload_successful") == 1, "reload gauge not 1 at start")
    wait_until(lambda: prometheus.value("hdrweights_connections") == 0, "no open MTA connection after the session")

    # The text format, by Prometheus's own checker.
    with urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=10) as r:
        content_type = r.headers.get("Content-Type")
        scrape = r.read()
    failures.check(content_type == "text/plain; version=0.0.4", f"content type {content_type!r}")
    r = subprocess.run([promtool, "check", "metrics"], input=scrape, capture_output=True)
    failures.check(r.returncode == 0, f"promtool check metrics: {(r.stdout + r.stderr).decode()}")
    r = subprocess.run([promtool, "check", "rules", os.path.join(PACKAGING, "hdrweights-alerts.yml")],
                       capture_output=True)
    failures.check(r.returncode == 0, f"promtool check rules: {(r.stdout + r.stderr).decode()}")

    # The dashboard, with a minute of samples behind each rate.
    time.sleep(2)
    for expr in dashboard_expressions():
        try:
            result = prometheus.query(label_values_query(expr))
            failures.check(len(result) > 0, f"dashboard expression without data: {expr}")
        except (AssertionError, OSError) as e:
            failures.check(False, f"dashboard expression failed: {expr}: {e}")


def check_rules_info(prometheus, milter, kelv, failures, loads):
    """rules_info against sha256sum and the module's own count of the rules it loaded."""
    want = subprocess.run(["sha256sum", kelv], capture_output=True, text=True, check=True).stdout.split()[0]
    with open(kelv, "rb") as f:
        failures.check(hashlib.sha256(f.read()).hexdigest() == want, "sha256sum disagrees with hashlib")
    wait_until(lambda: [m.get("sha256") for m, _ in prometheus.query("hdrweights_rules_info")] == [want],
               f"rules_info with sha256 {want}")
    loaded = [l for l in milter.log_text().splitlines() if "Rules loaded = " in l]
    failures.check(len(loaded) == loads, f"{len(loaded)} 'Rules loaded' lines, want {loads}")
    count = loaded[-1].split("Rules loaded = ")[1].split(",")[0] if loaded else None
    info = prometheus.query("hdrweights_rules_info")[0][0]
    failures.check(info.get("rules") == count, f"rules_info rules={info.get('rules')}, the module loaded {count}")


def run_reload(binary, postfix, milter, prometheus, messages, rules, failures):
    """A broken rule file: gauge 0 and mail passes; a changed good one: gauge 1, new hash."""
    ham = messages[os.path.join(EXAMPLES, "messages", "04-family-note.eml")]
    kelv = os.path.join(rules, "kelv")
    with open(kelv, "w") as f:
        f.write("this is not a rule file\n")
    milter.proc.send_signal(signal.SIGUSR1)
    milter.wait_log("reload (SIGUSR1) failed")
    prometheus.wait_value("hdrweights_config_last_reload_successful", 0, "the reload gauge to drop")
    failures.check(prometheus.value('hdrweights_reloads_total{result="failed"}') == 1, "failed reload not counted")
    before = prometheus.value("sum(hdrweights_messages_total)")
    failures.check(send_session(postfix.ports["metrics"], [("reload-broken@sender.test", ham)]) == [(250, b"")],
                   "reload: mail did not pass after the failed reload")
    prometheus.wait_value("sum(hdrweights_messages_total)", before + 1, "the message after the failed reload")

    plain = open(os.path.join(EXAMPLES, "rules.txt")).read().replace(*RULE_CHANGE)
    with open(os.path.join(rules, "rules2.txt"), "w") as f:
        f.write(plain)
    subprocess.run([binary, "rules", "encrypt", "--cert", os.path.join(rules, "client-cert.pem"), "-o", kelv,
                    os.path.join(rules, "rules2.txt")], check=True, capture_output=True)
    milter.proc.send_signal(signal.SIGHUP)
    milter.wait_log("reload (SIGHUP): new rules in service")
    prometheus.wait_value("hdrweights_config_last_reload_successful", 1, "the reload gauge to come back")
    failures.check(prometheus.value('hdrweights_reloads_total{result="ok"}') == 1, "good reload not counted")
    check_rules_info(prometheus, milter, kelv, failures, 2)


def run_hostile(postfix, prometheus, messages, failures, metrics_port):
    """Idle connections and a huge request line on the metrics port; mail flows meanwhile."""
    ham = messages[os.path.join(EXAMPLES, "messages", "04-family-note.eml")]
    idle = []
    for _ in range(40):
        try:
            idle.append(socket.create_connection(("127.0.0.1", metrics_port), timeout=5))
        except OSError:
            break
    huge = socket.create_connection(("127.0.0.1", metrics_port), timeout=30)
    try:
        huge.sendall(b"GET /" + b"a" * 1000000 + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    except OSError:
        pass  # cut off while sending: as good as an answer
    start = time.monotonic()
    failures.check(send_session(postfix.ports["metrics"], [("hostile@sender.test", ham)]) == [(250, b"")],
                   "hostile: mail did not pass while the metrics port was flooded")
    failures.check(time.monotonic() - start < 5, "hostile: mail was slow while the metrics port was flooded")
    try:
        head = huge.recv(64)
    except OSError:
        head = b""
    failures.check(head == b"" or head.split(b" ")[1][:1] == b"4", f"hostile: huge request answered {head!r}")
    huge.close()

    def healthy():
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/healthz", timeout=2) as r:
                return r.status == 200 and r.read() == b"ok\n"
        except OSError:
            return False

    wait_until(healthy, "/healthz to answer once the idle connections timed out", timeout=40)
    for s in idle:
        s.close()
    prometheus.wait_value('up{job="hdrweights"}', 1, "scrapes to succeed again")


def run_check(binary, milter, base, failures):
    ok = subprocess.run([binary, "milter", "--check", "unix:" + milter.socket], capture_output=True, text=True)
    failures.check(ok.returncode == 0, f"--check of the milter: {ok.returncode} {ok.stdout}{ok.stderr}")
    nobody = os.path.join(base, "nobody.sock")
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(nobody)  # a socket file nobody listens on
    bad = subprocess.run([binary, "milter", "--check", "unix:" + nobody], capture_output=True, text=True)
    failures.check(bad.returncode == 1 and "cannot connect" in bad.stderr,
                   f"--check of a dead socket: {bad.returncode} {bad.stderr}")


if __name__ == "__main__":
    main()
