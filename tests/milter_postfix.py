#!/usr/bin/env python3
"""The milter behind a real Postfix, end to end.

Starts a private Postfix instance (its own configuration, queue and data
directories under a temporary directory; smtpd on 127.0.0.1 only; every
accepted message delivered to one Maildir; no relaying, no outbound delivery;
its log in a file) and several milters on unix sockets, one per smtpd port, and
sends the bundled example messages over SMTP:

  - for every --on-spam action, each message ends as it should: delivered with
    the status and hits headers, rejected (550 5.7.1) or deferred (451 4.7.1)
    with the reply, held (postqueue -j), or discarded; the verdict, score and
    hits in the delivered headers equal "hdrweights scan --json" of the file;
  - a trusted client's messages pass with "Skipped";
  - a reload with a broken rule file keeps the old rules serving and the open
    SMTP session goes on without a 4xx reply; a good rule file then takes over
    in the same session;
  - a milter killed while messages flow makes Postfix answer with
    milter_default_action (tempfail), nothing is lost, its socket is removed
    (by the process it left to do so), and a new milter serves again.

Needs root (Postfix's own commands do). Usage: milter_postfix.py BUILD_DIR.
The classes are shared with bench/milter_load.py.
"""
import email.parser
import email.policy
import json
import os
import pwd
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
DEADLINE = 60  # seconds any single wait may take on a loaded machine


def wait_until(check, what, timeout=DEADLINE):
    """Polls check() until it is true; fails naming what was awaited."""
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            s.recv(1)
            return True
    except OSError:
        return False


def unpack_debian(cache, packages, wanted):
    """Debian's packages unpacked under cache, not installed; fetched only when a
    path of wanted (relative to cache) is missing. Gives cache."""
    if all(os.path.exists(os.path.join(cache, w)) for w in wanted):
        return cache
    debs = tempfile.mkdtemp(prefix="hdrw-debs-")
    try:
        download = ["apt-get", "download"] + packages
        r = subprocess.run(download, cwd=debs, capture_output=True, text=True)
        if r.returncode != 0:  # no package lists yet on a fresh machine
            subprocess.run(["apt-get", "update", "-qq"], capture_output=True)
            r = subprocess.run(download, cwd=debs, capture_output=True, text=True)
        if r.returncode != 0:
            raise AssertionError(" ".join(download) + " failed:\n" + r.stdout + r.stderr)
        unpacked = cache + ".new"
        shutil.rmtree(unpacked, ignore_errors=True)
        for deb in sorted(n for n in os.listdir(debs) if n.endswith(".deb")):
            subprocess.run(["dpkg-deb", "-x", os.path.join(debs, deb), unpacked], check=True)
        shutil.rmtree(cache, ignore_errors=True)
        os.rename(unpacked, cache)
    finally:
        shutil.rmtree(debs, ignore_errors=True)
    return cache


class Postfix:
    """A private Postfix instance under base; services maps a name to the
    master.cf options of one smtpd service on its own loopback port."""

    def __init__(self, base, services):
        self.base = base
        self.etc = os.path.join(base, "postfix")
        self.maildir = os.path.join(base, "mail", "Maildir")
        self.log = os.path.join(base, "maillog")
        self.ports = {name: free_port() for name in services}
        self.services = services
        self.running = False

    def start(self):
        owner = pwd.getpwnam("postfix")
        for d in (self.etc, os.path.join(self.base, "queue"), os.path.join(self.base, "data"),
                  os.path.join(self.base, "mail")):
            os.makedirs(d, exist_ok=True)
        os.chown(os.path.join(self.base, "data"), owner.pw_uid, owner.pw_gid)
        os.chown(os.path.join(self.base, "mail"), owner.pw_uid, owner.pw_gid)
        main = f"""
compatibility_level = 3.6
queue_directory = {self.base}/queue
data_directory = {self.base}/data
mail_owner = postfix
setgid_group = postdrop
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = mx.test.example
mydomain = test.example
myorigin = $mydomain
mydestination =
mynetworks = 127.0.0.0/8
relay_domains =
smtpd_relay_restrictions = reject_unauth_destination
local_transport = error:local delivery is off
default_transport = error:outbound delivery is off
relay_transport = error:outbound delivery is off
virtual_mailbox_domains = test.example
virtual_mailbox_base = {self.base}/mail
virtual_mailbox_maps = static:Maildir/
virtual_uid_maps = static:{owner.pw_uid}
virtual_gid_maps = static:{owner.pw_gid}
alias_maps =
alias_database =
biff = no
smtpd_peername_lookup = no
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 10000
smtpd_hard_error_limit = 10000
smtpd_junk_command_limit = 10000
smtpd_client_connection_count_limit = 0
smtpd_client_message_rate_limit = 0
anvil_rate_time_unit = 1s
local_header_rewrite_clients =
message_drop_headers =
milter_protocol = 6
milter_default_action = tempfail
maillog_file = {self.log}
maillog_file_prefixes = {self.base}
default_process_limit = 50
"""
        master = ""
        for name, options in self.services.items():
            master += f"127.0.0.1:{self.ports[name]} inet n - n - - smtpd {options}\n"
        master += """
cleanup   unix  n - n - 0 cleanup
qmgr      unix  n - n 300 1 qmgr
rewrite   unix  - - n - - trivial-rewrite
bounce    unix  - - n - 0 bounce
defer     unix  - - n - 0 bounce
trace     unix  - - n - 0 bounce
verify    unix  - - n - 1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n - - proxymap
showq     unix  n - n - - showq
error     unix  - - n - - error
retry     unix  - - n - - error
discard   unix  - - n - - discard
virtual   unix  - n n - - virtual
anvil     unix  - - n - 1 anvil
scache    unix  - - n - 1 scache
postlog   unix-dgram n - n - 1 postlogd
"""
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.write(main)
        with open(os.path.join(self.etc, "master.cf"), "w") as f:
            f.write(master)
        r = subprocess.run(["postfix", "-c", self.etc, "start"], capture_output=True, text=True)
        if r.returncode != 0:
            raise AssertionError("postfix start failed:\n" + r.stdout + r.stderr + self.log_text())
        self.running = True
        for name, port in self.ports.items():
            wait_until(lambda: port_open(port), f"smtpd {name} on port {port}")

    def stop(self):
        if not self.running:
            return
        self.running = False
        subprocess.run(["postfix", "-c", self.etc, "stop"], capture_output=True)
        pidfile = os.path.join(self.base, "queue", "pid", "master.pid")
        try:
            wait_until(lambda: not os.path.exists(pidfile) or not self._alive(pidfile),
                       "the Postfix master to exit")
        except AssertionError:
            subprocess.run(["postfix", "-c", self.etc, "abort"], capture_output=True)

    @staticmethod
    def _alive(pidfile):
        try:
            with open(pidfile) as f:
                os.kill(int(f.read().split()[0]), 0)
            return True
        except (OSError, ValueError, IndexError):
            return False

    def log_text(self):
        return read_text(self.log)

    def queue(self):
        r = subprocess.run(["postqueue", "-c", self.etc, "-j"], capture_output=True, text=True)
        return [json.loads(line) for line in r.stdout.splitlines() if line.strip()]

    def delivered(self):
        """Every delivered message as (Return-Path, parsed message)."""
        out = []
        for sub in ("new", "cur"):
            d = os.path.join(self.maildir, sub)
            if not os.path.isdir(d):
                continue
            for name in sorted(os.listdir(d)):
                with open(os.path.join(d, name), "rb") as f:
                    msg = email.parser.BytesParser(policy=email.policy.compat32).parse(f)
                out.append((msg.get("Return-Path", "").strip("<>"), msg))
        return out


class Milter:
    """One "hdrweights milter" on a unix socket under base."""

    def __init__(self, binary, base, name, args, user="postfix", env=None):
        self.binary = binary
        self.name = name
        self.socket = os.path.join(base, "sockets", name + ".sock")
        self.log = os.path.join(base, "logs", name + ".log")
        self.args = args
        self.user = user
        self.env = env
        self.proc = None

    def start(self):
        for d in (os.path.dirname(self.socket), os.path.dirname(self.log)):
            os.makedirs(d, exist_ok=True)
            if self.user:
                owner = pwd.getpwnam(self.user)
                os.chown(d, owner.pw_uid, owner.pw_gid)
        cmd = [self.binary, "milter", "--socket", "unix:" + self.socket, "--log", self.log] + self.args
        if self.user:
            cmd += ["--user", self.user]
        stderr = open(self.log + ".stderr", "ab")
        self.proc = subprocess.Popen(cmd, stdout=stderr, stderr=stderr, env=self.env)
        stderr.close()
        mark = self.log_text().count("started on")
        wait_until(lambda: self.log_text().count("started on") > mark or self.proc.poll() is not None,
                   f"milter {self.name} to start")
        if self.proc.poll() is not None:
            raise AssertionError(f"milter {self.name} did not start:\n{self.log_text()}{self.stderr_text()}")

    def log_text(self):
        return read_text(self.log)

    def stderr_text(self):
        return read_text(self.log + ".stderr")

    def wait_log(self, text, count=1):
        wait_until(lambda: self.log_text().count(text) >= count, f"'{text}' in the log of milter {self.name}")

    def stop(self):
        """SIGTERM and the exit status; None when it was not running."""
        if self.proc is None or self.proc.poll() is not None:
            return None if self.proc is None else self.proc.returncode
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=DEADLINE + 90)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return "hung"

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def counters(self):
        """The last counters line of the log as a dict."""
        lines = [l for l in self.log_text().splitlines() if "counters:" in l]
        if not lines:
            return {}
        fields = lines[-1].split("counters:", 1)[1].split()
        return {k: v for k, v in (f.split("=", 1) for f in fields if "=" in f)}


def smtp_lines(data):
    """A message file's bytes with CR LF line ends, as a client sends them."""
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def send_session(port, items, timeout=DEADLINE, helo="client.test"):
    """Sends (sender, bytes) items in one SMTP session; gives (code, reply) per item."""
    out = []
    with smtplib.SMTP("127.0.0.1", port, timeout=timeout) as s:
        s.ehlo(helo)
        for sender, data in items:
            try:
                s.sendmail(sender, ["user@test.example"], smtp_lines(data))
                out.append((250, b""))
            except smtplib.SMTPDataError as e:
                out.append((e.smtp_code, e.smtp_error))
                s.rset()
            except smtplib.SMTPRecipientsRefused as e:
                code, reply = list(e.recipients.values())[0]
                out.append((code, reply))
                s.rset()
    return out


# ---------------------------------------------------------------- the test

ACTIONS = ["tag", "reject", "tempfail", "hold", "discard"]
OWN_HEADERS = ("x-hdrweights-status", "x-hdrweights-hits")


def expected_verdicts(binary, files):
    r = subprocess.run([binary, "scan", "--json", "--config", os.path.join(EXAMPLES, "server.xml")] + files,
                       capture_output=True, text=True, check=True)
    out = {}
    for line in r.stdout.splitlines():
        v = json.loads(line)
        status = ("Yes" if v["verdict"] == "spam" else "No") + f", score={v['score']} threshold=100"
        hits = " ".join(f"{h['rule']}:{h['weight']}" for h in v["hits"]) or None
        out[v["path"]] = (v["verdict"] == "spam", status, hits)
    return out


def header_values(msg, name):
    return [" ".join(v.split()) for v in (msg.get_all(name) or [])]


class Failures:
    def __init__(self):
        self.items = []

    def check(self, ok, what):
        if not ok:
            self.items.append(what)


def copy_rules(dest):
    os.makedirs(dest, exist_ok=True)
    for name in ("server.xml", "client-cert.pem", "kelv"):
        shutil.copy(os.path.join(EXAMPLES, name), dest)
    owner = pwd.getpwnam("postfix")
    for path in [dest] + [os.path.join(dest, n) for n in os.listdir(dest)]:
        os.chown(path, owner.pw_uid, owner.pw_gid)


class Setup:
    """What both end-to-end tests start from: the example messages, what "hdrweights
    scan --json" says of them, two copies of the rules (one for the reload case) and
    the milters' arguments by name, one milter per --on-spam action and three more."""

    def __init__(self, binary, base):
        self.files = sorted(os.path.join(d, n) for d in (os.path.join(EXAMPLES, "messages"),
                                                         os.path.join(ROOT, "tests", "milter", "messages"))
                            for n in os.listdir(d))
        self.expected = expected_verdicts(binary, self.files)
        self.messages = {}
        for f in self.files:
            with open(f, "rb") as data:
                self.messages[f] = data.read()
        self.rules = os.path.join(base, "rules")
        copy_rules(self.rules)
        config = ["--config", os.path.join(self.rules, "server.xml")]
        self.reload_rules = os.path.join(base, "reload-rules")
        copy_rules(self.reload_rules)
        self.args = {a: config + ["--on-spam", a] for a in ACTIONS}
        self.args["trusted"] = config + ["--trusted-networks", "10.0.0.0/8,127.0.0.0/8"]
        self.args["reload"] = ["--config", os.path.join(self.reload_rules, "server.xml")]
        self.args["killed"] = config
        self.config = config


def stop_milters(milters, failures):
    for name, m in milters.items():
        rc = m.stop()
        failures.check(rc in (0, None), f"milter {name} exited with {rc}, not 0")
        failures.check(rc is None or "stopped" in m.log_text(), f"milter {name} logged no stop line")


def kill_milters(milters):
    """Kills those still running (after a failure)."""
    for m in milters.values():
        if m.proc is not None and m.proc.poll() is None:
            m.proc.kill()


def report(test, failures, base, started):
    """Prints the outcome; keeps base when something failed or HDRW_KEEP_LOGS is set."""
    elapsed = time.monotonic() - started
    if failures.items:
        print(f"{test}: FAILED", file=sys.stderr)
        for item in failures.items:
            print("  - " + item, file=sys.stderr)
        print(f"(logs kept in {base})", file=sys.stderr)
        sys.exit(1)
    if os.environ.get("HDRW_KEEP_LOGS"):
        print(f"(logs kept in {base})")
    else:
        shutil.rmtree(base, ignore_errors=True)
    print(f"{test}: passed in {elapsed:.1f} s")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: milter_postfix.py BUILD_DIR")
    binary = os.path.join(os.path.abspath(sys.argv[1]), "bin", "hdrweights")
    if os.geteuid() != 0:
        sys.exit("milter_postfix.py: Postfix's commands need root; run it with sudo")
    started = time.monotonic()
    base = tempfile.mkdtemp(prefix="hdrw-postfix-")
    os.chmod(base, 0o755)
    setup = Setup(binary, base)
    files, messages, expected = setup.files, setup.messages, setup.expected
    milters = {name: Milter(binary, base, name, args) for name, args in setup.args.items()}
    services = {name: f"-o smtpd_milters=unix:{m.socket}" for name, m in milters.items()}
    postfix = Postfix(base, services)
    failures = Failures()
    try:
        for m in milters.values():
            m.start()
        postfix.start()
        run_actions(postfix, milters, files, messages, expected, failures)
        run_reload(binary, postfix, milters["reload"], messages, setup.reload_rules, failures)
        run_kill(binary, postfix, milters["killed"], messages, files, failures, base, setup.config)
        stop_milters(milters, failures)
        check_counters(milters, files, expected, failures)
    finally:
        kill_milters(milters)
        postfix.stop()
    report("milter_postfix", failures, base, started)


def send_all(ports, files, messages, helo="client.test"):
    """Every message to every named port, one session a port, at once: the answers
    by name; the senders are NAME-INDEX@sender.test."""
    results = {}

    def one(name):
        items = [(f"{name}-{i}@sender.test", messages[f]) for i, f in enumerate(files)]
        results[name] = send_session(ports[name], items, helo=helo)

    threads = [threading.Thread(target=one, args=(n,)) for n in ACTIONS + ["trusted"]]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def refusal(name, is_spam):
    """The answer of a milter that refuses spam: (code, reply), or None."""
    if is_spam and name == "reject":
        return 550, b"5.7.1 Message rejected as spam"
    if is_spam and name == "tempfail":
        return 451, b"4.7.1 Message rejected as spam"
    return None


def each_answer(results, files, expected, failures):
    """Checks the answer to every message of send_all: the refusal where the action
    refuses spam, else 250. Yields (name, sender, file, where, refused) of each."""
    for name in ACTIONS + ["trusted"]:
        for i, f in enumerate(files):
            code, reply = results[name][i]
            where = f"{name} {os.path.basename(f)}"
            want = refusal(name, expected[f][0])
            failures.check((code, reply) == (want or (250, b"")),
                           f"{where}: answer {code} {reply!r}, not {want or 250}")
            yield name, f"{name}-{i}@sender.test", f, where, want is not None


def check_own_headers(headers, name, status, hits, where, failures):
    """headers: (name, value) of a message as it left the MTA; the milter's must be
    one status header and, for a message with hits, one hits header after it."""
    want = [("X-Hdrweights-Status", "Skipped" if name == "trusted" else status)]
    if hits is not None and name != "trusted":
        want.append(("X-Hdrweights-Hits", hits))
    got = [(n, " ".join(v.split())) for n, v in headers if n.lower() in OWN_HEADERS]
    failures.check(got == want, f"{where}: the milter's headers are {got}, want {want}")


def run_actions(postfix, milters, files, messages, expected, failures):
    """Every message through every action, each action on its own port, at once."""
    results = send_all(postfix.ports, files, messages)

    # Every accepted message is in the queue until it is delivered, held or dropped.
    wait_until(lambda: all(q.get("queue_name") == "hold" for q in postfix.queue()), "the queue to settle")
    delivered = {s: m for s, m in postfix.delivered()}
    held = {q["sender"] for q in postfix.queue() if q.get("queue_name") == "hold"}

    for name, sender, f, where, refused in each_answer(results, files, expected, failures):
        is_spam, status, hits = expected[f]
        if refused:
            failures.check(sender not in delivered, f"{where}: delivered although refused")
            continue
        if name == "hold" and is_spam:
            failures.check(sender in held and sender not in delivered, f"{where}: not on hold")
            continue
        if name == "discard" and is_spam:
            failures.check(sender not in delivered and sender not in held, f"{where}: not discarded")
            continue
        msg = delivered.get(sender)
        if msg is None:
            failures.check(False, f"{where}: not delivered")
            continue
        check_own_headers(msg.items(), name, status, hits, where, failures)


# The status of the reload case's three messages, sent before the reloads, after a
# failed one and after one that changed rule 1002 to weigh 71.
RELOAD_STATUSES = (("before", "Yes, score=100 threshold=100"), ("broken", "Yes, score=100 threshold=100"),
                   ("changed", "Yes, score=101 threshold=100"))


def reload_in_session(binary, port, milter, messages, rules, failures, helo="client.test"):
    """Reloads under one open SMTP session: a broken rule file, then a changed one;
    sends reload-TAG@sender.test for each tag of RELOAD_STATUSES."""
    spam = messages[os.path.join(EXAMPLES, "messages", "13-pharmacy.eml")]  # 1002:70 1004:30
    with smtplib.SMTP("127.0.0.1", port, timeout=DEADLINE) as s:
        s.ehlo(helo)

        def send(tag):
            try:
                s.sendmail(f"reload-{tag}@sender.test", ["user@test.example"], smtp_lines(spam))
                return 250
            except smtplib.SMTPResponseException as e:
                return e.smtp_code

        failures.check(send("before") == 250, "reload: first message not accepted")
        with open(os.path.join(rules, "kelv"), "w") as f:
            f.write("this is not a rule file\n")
        milter.proc.send_signal(signal.SIGUSR1)
        milter.wait_log("reload (SIGUSR1) failed")
        failures.check(send("broken") == 250, "reload: a message after the failed reload got no 250")
        plain = open(os.path.join(EXAMPLES, "rules.txt")).read().replace(
            "0000001002070001&-", "0000001002071001&-")  # rule 1002 weighs 71
        with open(os.path.join(rules, "rules2.txt"), "w") as f:
            f.write(plain)
        subprocess.run([binary, "rules", "encrypt", "--cert", os.path.join(rules, "client-cert.pem"), "-o",
                        os.path.join(rules, "kelv"), os.path.join(rules, "rules2.txt")], check=True,
                       capture_output=True)
        os.chown(os.path.join(rules, "kelv"), pwd.getpwnam("postfix").pw_uid, -1)
        milter.proc.send_signal(signal.SIGHUP)
        milter.wait_log("reload (SIGHUP): new rules in service")
        failures.check(send("changed") == 250, "reload: a message after the good reload got no 250")


def check_reload(got, failures):
    """got: the status headers of each reload-TAG@sender.test message."""
    for tag, status in RELOAD_STATUSES:
        failures.check(got.get(f"reload-{tag}@sender.test") == [status],
                       f"reload: message '{tag}' has {got.get(f'reload-{tag}@sender.test')}, want [{status!r}]")


def run_reload(binary, postfix, milter, messages, rules, failures):
    """Reloads under one open SMTP session: a broken rule file, then a changed one."""
    reload_in_session(binary, postfix.ports["reload"], milter, messages, rules, failures)
    wait_until(lambda: len([1 for s, _ in postfix.delivered() if s.startswith("reload-")]) == 3, "reload deliveries")
    check_reload({s: header_values(m, "X-Hdrweights-Status") for s, m in postfix.delivered()
                  if s.startswith("reload-")}, failures)
    failures.check("lost connection with" not in postfix.log_text(), "reload: Postfix lost a milter connection")


def kill_in_flight(port, milter, ham, failures, deferral, helo="client.test"):
    """Kills the milter while two sessions send 60 messages each; checks that every
    message got 250 or the deferral (code, reply prefix) and that some were deferred.
    Gives the senders of the accepted ones (killed-K-I@sender.test)."""
    per_session = 60
    results = [[], []]
    sent = [0]
    lock = threading.Lock()

    def session(k):
        with smtplib.SMTP("127.0.0.1", port, timeout=DEADLINE) as s:
            s.ehlo(helo)
            for i in range(per_session):
                sender = f"killed-{k}-{i}@sender.test"
                try:
                    s.sendmail(sender, ["user@test.example"], smtp_lines(ham))
                    results[k].append((sender, 250, b""))
                except smtplib.SMTPResponseException as e:
                    results[k].append((sender, e.smtp_code, e.smtp_error))
                    s.rset()
                except smtplib.SMTPRecipientsRefused as e:
                    results[k].append((sender,) + tuple(list(e.recipients.values())[0]))
                    s.rset()
                with lock:
                    sent[0] += 1

    threads = [threading.Thread(target=session, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    wait_until(lambda: sent[0] >= 20, "20 messages before the kill")
    milter.kill()
    for t in threads:
        t.join()
    answers = [r for rs in results for r in rs]
    deferred = [(code, reply) for _, code, reply in answers if code != 250]
    failures.check(len(answers) == 2 * per_session, "kill: a session ended early")
    failures.check(len(deferred) > 0, "kill: no message was deferred")
    failures.check(all(code == deferral[0] and reply.startswith(deferral[1]) for code, reply in deferred),
                   f"kill: answers other than {deferral} after the kill: {sorted(set(deferred))[:3]}")
    return {s for s, code, _ in answers if code == 250}


def run_kill(binary, postfix, milter, messages, files, failures, base, config):
    """The milter killed while two sessions send; then a new one."""
    ham = messages[os.path.join(EXAMPLES, "messages", "04-family-note.eml")]
    accepted = kill_in_flight(postfix.ports["killed"], milter, ham, failures, (451, b"4.7.1"))
    wait_until(lambda: accepted <= {s for s, _ in postfix.delivered()}, "accepted messages to be delivered")
    got = {s for s, _ in postfix.delivered() if s.startswith("killed-")}
    failures.check(got == accepted, f"kill: {len(got)} delivered, {len(accepted)} accepted")

    # Dropped to postfix, the daemon left a keeper that removes its socket
    # however it ends, a kill included.
    wait_until(lambda: not os.path.exists(milter.socket), "kill: the killed milter's socket to be removed")
    milter.start()
    failures.check(send_session(postfix.ports["killed"], [("killed-after@sender.test", ham)]) == [(250, b"")],
                   "kill: the restarted milter did not serve")
    wait_until(lambda: "killed-after@sender.test" in {s for s, _ in postfix.delivered()}, "delivery after restart")


def check_counters(milters, files, expected, failures):
    spam = sum(1 for f in files if expected[f][0])
    n = len(files)
    want = {
        "tag": {"messages": n, "spam": spam, "ham": n - spam, "errors": 0},
        "reject": {"messages": n, "spam": spam, "rejected": spam},
        "tempfail": {"messages": n, "spam": spam, "tempfailed": spam},
        "hold": {"messages": n, "spam": spam, "held": spam},
        "discard": {"messages": n, "spam": spam, "discarded": spam},
        "trusted": {"messages": n, "skipped": n, "spam": 0},
    }
    for name, fields in want.items():
        got = milters[name].counters()
        for k, v in fields.items():
            failures.check(got.get(k) == str(v), f"counters of {name}: {k}={got.get(k)}, want {v}")


if __name__ == "__main__":
    main()
