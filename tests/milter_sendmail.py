#!/usr/bin/env python3
"""The milter behind a real Sendmail, end to end.

Sendmail conflicts with Postfix as an installed package, so it is not
installed: "apt-get download" fetches Debian's sendmail-bin, sendmail-cf and
sendmail-base once and "dpkg-deb -x" unpacks them into BUILD_DIR/sendmail (the
libraries the binary needs and m4 come from scripts/setup.sh). A private .mc,
built with m4, gives one Sendmail daemon (queue, pid and status files under a
temporary directory; queue-only delivery, so every accepted message stays in
the queue; one port on 127.0.0.1 per milter, each with its own
INPUT_MAIL_FILTER and F=T). Sendmail refuses a milter socket under a
world-writable directory such as /tmp, so the sockets live in a root-owned 0750
directory under /run. Then:

  - every example message through every --on-spam action: queued with the
    headers the milter left (Sendmail's own Received header on top, the
    message's headers unchanged but for the milter's two, which equal
    "hdrweights scan --json" of the file), rejected (550 5.7.1) or deferred
    (451 4.7.1) with the reply, quarantined (hf queue file with the reason,
    listed by "mailq -qQ"), or discarded; a trusted client's pass "Skipped";
    the client greets as pool-7.client.test, a name a relay rule matches in
    Sendmail's Received header: Sendmail hands milters the client's headers
    only, and a verdict that counted its own would differ from scan's;
  - a reload with a broken rule file keeps the old rules serving and the open
    SMTP session goes on without a 4xx reply; a good rule file then takes over
    in the same session;
  - a milter killed while messages flow makes Sendmail defer (F=T), every
    accepted message is queued, a session begun while it is down gets 451 at
    MAIL, the killed milter's socket is removed, and a new milter serves.

Needs root (Sendmail's daemon does). Usage: milter_sendmail.py BUILD_DIR.
"""
import email.message
import email.parser
import email.policy
import os
import pwd
import re
import shutil
import signal
import smtplib
import subprocess
import sys
import tempfile
import time

from milter_postfix import (unpack_debian, DEADLINE, EXAMPLES, OWN_HEADERS, Failures, Milter, Setup, check_counters,
                            check_own_headers, check_reload, each_answer, free_port, header_values, kill_in_flight,
                            kill_milters, port_open, reload_in_session, report, send_all, send_session, stop_milters,
                            wait_until)

PACKAGES = ["sendmail-bin", "sendmail-cf", "sendmail-base"]
HOSTNAME = "mx.test.example"
HELO = "pool-7.client.test"  # rule 6002 matches "Received: from pool-7."
MILTER_USER = "nobody"


def fetch_sendmail(cache):
    """Debian's Sendmail unpacked under cache (fetched once); gives cache."""
    wanted = [os.path.join("usr", "libexec", "sendmail", "sendmail"),
              os.path.join("usr", "share", "sendmail", "cf", "m4", "cf.m4")]
    return unpack_debian(cache, PACKAGES, wanted)


class QueuedMessage:
    """One queue file: its ID, whether it is quarantined and why, its headers."""

    def __init__(self, queue_id, held, reason, headers):
        self.queue_id = queue_id
        self.held = held
        self.reason = reason
        self.headers = headers  # (name, value) as the milter left them, without Sendmail's defaults
        self.msg = email.message.Message()
        for name, value in headers:
            self.msg[name] = value


def read_queue_file(path):
    """The sender and QueuedMessage of a qf or hf file."""
    sender, reason, headers = None, None, []
    current = None  # the header that continuation lines belong to, if it is kept
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").split("\n")
    for line in lines:
        if line[:1] in (" ", "\t"):
            if current is not None:
                current[1] += "\n" + line
            continue
        current = None
        if line.startswith("S"):
            sender = line[1:].strip("<>")
        elif line.startswith("q"):
            reason = line[1:]
        elif line.startswith("H"):
            m = re.match(r"H(\?[^?]*\?)?([^:]+):(.*)", line)
            # A header with ?flags? is one of Sendmail's defaults, added at delivery for
            # mailers with those flags; the message's own and the milter's have none.
            if m and m.group(1) in (None, "??"):
                current = [m.group(2), m.group(3)]
                headers.append(current)
    # Sendmail quotes the bytes of its internal codes with a leading 0xff.
    headers = [(n, re.sub("\xff(.)", "\\1", v[1:] if v.startswith(" ") else v, flags=re.S)) for n, v in headers]
    name = os.path.basename(path)
    return sender, QueuedMessage(name[2:], name.startswith("hf"), reason, headers)


class Sendmail:
    """A private Sendmail daemon under base; filters maps a name to the unix socket of
    the milter that serves the port of that name."""

    def __init__(self, root, base, filters):
        self.root = root
        self.binary = os.path.join(root, "usr", "libexec", "sendmail", "sendmail")
        self.base = base
        self.queue_dir = os.path.join(base, "mqueue")
        self.cf = os.path.join(base, "sendmail.cf")
        self.pidfile = os.path.join(base, "sendmail.pid")
        self.filters = filters
        self.ports = {name: free_port() for name in filters}
        self.pid = None
        self.own_uts = shutil.which("unshare") is not None and subprocess.run(
            ["unshare", "--uts", "hostname", HOSTNAME], capture_output=True).returncode == 0

    def mc(self):
        b = self.base
        text = f"""divert(-1)
The milter's end-to-end test: nothing leaves the queue.
divert(0)dnl
OSTYPE(`linux')dnl
define(`confDOMAIN_NAME', `{HOSTNAME}')dnl
define(`QUEUE_DIR', `{b}/mqueue')dnl
define(`STATUS_FILE', `{b}/statistics')dnl
define(`confPID_FILE', `{self.pidfile}')dnl
define(`confDELIVERY_MODE', `queueonly')dnl
define(`ALIAS_FILE', `')dnl
define(`confSERVICE_SWITCH_FILE', `{b}/service.switch')dnl
define(`confHOSTS_FILE', `{b}/hosts')dnl
define(`confDONT_PROBE_INTERFACES', `True')dnl
define(`confTO_IDENT', `0')dnl
define(`confREFUSE_LA', `1000')dnl
define(`confQUEUE_LA', `1000')dnl
define(`confMAX_HEADERS_LENGTH', `131072')dnl
FEATURE(`no_default_msa')dnl
FEATURE(`accept_unresolvable_domains')dnl
"""
        for name, socket_path in self.filters.items():
            text += (f"DAEMON_OPTIONS(`Family=inet, Addr=127.0.0.1, Port={self.ports[name]}, Name=MTA-{name}, "
                     f"InputMailFilters={name}')dnl\n")
            text += f"INPUT_MAIL_FILTER(`{name}', `S=unix:{socket_path}, F=T, T=S:30s;R:2m;E:5m')dnl\n"
        return text + "MAILER(`smtp')dnl\n"

    def command(self, args, **kwargs):
        """Runs this Sendmail with its configuration. Sendmail waits a minute at start
        when the machine's name is not qualified, so it runs under a qualified one in
        a UTS namespace of its own where the machine allows one."""
        cmd = [self.binary, "-C", self.cf] + args
        if self.own_uts:
            cmd = ["unshare", "--uts", "sh", "-c", f'hostname {HOSTNAME} && exec "$0" "$@"'] + cmd
        return subprocess.run(cmd, capture_output=True, text=True, errors="replace", **kwargs)

    def start(self):
        os.makedirs(self.queue_dir, mode=0o700, exist_ok=True)
        with open(os.path.join(self.base, "service.switch"), "w") as f:
            f.write("hosts files\naliases files\n")
        with open(os.path.join(self.base, "hosts"), "w") as f:
            f.write(f"127.0.0.1 localhost\n127.0.0.1 {HOSTNAME}\n")
        with open(os.path.join(self.base, "sendmail.mc"), "w") as f:
            f.write(self.mc())
        cfdir = os.path.join(self.root, "usr", "share", "sendmail", "cf")
        with open(self.cf, "w") as f:
            subprocess.run(["m4", f"-D_CF_DIR_={cfdir}/", os.path.join(cfdir, "m4", "cf.m4"),
                            os.path.join(self.base, "sendmail.mc")], stdout=f, check=True)
        r = self.command(["-bd"], timeout=DEADLINE)
        if r.returncode != 0:
            raise AssertionError("sendmail -bd failed:\n" + r.stdout + r.stderr)
        self.pid = wait_until(lambda: self._pid(), "the Sendmail daemon's pid file")
        for name, port in self.ports.items():
            wait_until(lambda: port_open(port), f"Sendmail's port {name} ({port})")

    def _pid(self):
        try:
            with open(self.pidfile) as f:
                return int(f.readline())
        except (OSError, ValueError):
            return None

    def stop(self):
        if self.pid is None:
            return
        pid, self.pid = self.pid, None
        try:
            os.kill(pid, signal.SIGTERM)
            wait_until(lambda: not _alive(pid), "the Sendmail daemon to exit")
        except (OSError, AssertionError):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def queue(self):
        """Every queued message by sender."""
        out = {}
        for name in sorted(os.listdir(self.queue_dir)):
            if name.startswith(("qf", "hf")):
                sender, message = read_queue_file(os.path.join(self.queue_dir, name))
                out[sender] = message
        return out

    def mailq(self, quarantined):
        r = self.command(["-bp"] + (["-qQ"] if quarantined else []), timeout=DEADLINE)
        return r.stdout


def _alive(pid):
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    # A zombie: reaped by init once the parent exits.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def file_headers(data):
    msg = email.parser.Parser(policy=email.policy.compat32).parsestr(data.decode("latin-1"), headersonly=True)
    return msg.items()


def plain(headers):
    """(lower-case name, value with white space runs as one space), the milter's headers left out."""
    return [(n.lower(), " ".join(v.split())) for n, v in headers if n.lower() not in OWN_HEADERS]


# ---------------------------------------------------------------- the test

def main():
    if len(sys.argv) != 2:
        sys.exit("usage: milter_sendmail.py BUILD_DIR")
    build = os.path.abspath(sys.argv[1])
    binary = os.path.join(build, "bin", "hdrweights")
    if os.geteuid() != 0:
        sys.exit("milter_sendmail.py: Sendmail's daemon needs root; run it with sudo")
    started = time.monotonic()
    root = fetch_sendmail(os.path.join(build, "sendmail"))
    base = tempfile.mkdtemp(prefix="hdrw-sendmail-")
    os.chmod(base, 0o755)
    # Sendmail takes a socket whose directories none but their owners may write to:
    # root's, with the milter's group let in to reach its own socket.
    sockets = tempfile.mkdtemp(prefix="hdrw-sendmail-", dir="/run")
    os.chown(sockets, 0, pwd.getpwnam(MILTER_USER).pw_gid)
    os.chmod(sockets, 0o750)
    setup = Setup(binary, base)
    files, messages, expected = setup.files, setup.messages, setup.expected
    milters = {}
    for name, args in setup.args.items():
        milters[name] = Milter(binary, base, name, args + ["--user", MILTER_USER], user=None)
        milters[name].socket = os.path.join(sockets, name + ".sock")
    sendmail = Sendmail(root, base, {name: m.socket for name, m in milters.items()})
    failures = Failures()
    try:
        for m in milters.values():
            m.start()
        sendmail.start()
        run_actions(sendmail, files, messages, expected, failures)
        reload_in_session(binary, sendmail.ports["reload"], milters["reload"], messages, setup.reload_rules,
                          failures, helo=HELO)
        check_reload({s: header_values(m.msg, "X-Hdrweights-Status") for s, m in sendmail.queue().items()
                      if s.startswith("reload-")}, failures)
        run_kill(sendmail, milters["killed"], messages, expected, failures)
        stop_milters(milters, failures)
        check_counters(milters, files, expected, failures)
    finally:
        kill_milters(milters)
        sendmail.stop()
        shutil.rmtree(sockets, ignore_errors=True)
    report("milter_sendmail", failures, base, started)


def run_actions(sendmail, files, messages, expected, failures):
    """Every message through every action, each action on its own port, at once."""
    results = send_all(sendmail.ports, files, messages, helo=HELO)
    queue = sendmail.mailq(False)
    quarantined = sendmail.mailq(True)
    queued = sendmail.queue()
    for name, sender, f, where, refused in each_answer(results, files, expected, failures):
        is_spam, status, hits = expected[f]
        q = queued.get(sender)
        if refused or (name == "discard" and is_spam):
            failures.check(q is None, f"{where}: queued although refused or discarded")
            continue
        if q is None:
            failures.check(False, f"{where}: not queued")
            continue
        held = name == "hold" and is_spam
        failures.check(q.held == held and (q.reason == "hdrweights: spam") == held,
                       f"{where}: quarantined {q.held} ({q.reason!r}), want {held}")
        failures.check((q.queue_id in quarantined) == held and (q.queue_id in queue) == (not held),
                       f"{where}: mailq lists {q.queue_id} in the wrong queue")
        # Sendmail's Received header on top, then the message's own, and the milter's
        # where deleted ones of the same name stood, else at the end.
        top = q.headers[0] if q.headers else ("", "")
        failures.check(top[0] == "Received" and f"from {HELO} " in top[1] and f" id {q.queue_id}" in top[1],
                       f"{where}: Sendmail's Received header is not on top: {top}")
        failures.check(plain(q.headers[1:]) == plain(file_headers(messages[f])),
                       f"{where}: the message's own headers changed on the way")
        check_own_headers(q.headers, name, status, hits, where, failures)


def run_kill(sendmail, milter, messages, expected, failures):
    """The milter killed while two sessions send (F=T defers); then a new one."""
    ham_file = os.path.join(EXAMPLES, "messages", "04-family-note.eml")
    ham, status = messages[ham_file], expected[ham_file][1]
    accepted = kill_in_flight(sendmail.ports["killed"], milter, ham, failures, (451, b"4.3.2"), helo=HELO)
    queued = {s: m for s, m in sendmail.queue().items() if s.startswith("killed-")}
    failures.check(set(queued) == accepted, f"kill: {len(queued)} queued, {len(accepted)} accepted")
    failures.check(all(header_values(m.msg, "X-Hdrweights-Status") == [status] for m in queued.values()),
                   "kill: a message was queued without its status header")

    # A session that starts while the milter is down gets no further than MAIL.
    with smtplib.SMTP("127.0.0.1", sendmail.ports["killed"], timeout=DEADLINE) as s:
        s.ehlo(HELO)
        answer = s.mail("killed-down@sender.test")
    failures.check(answer == (451, b"4.3.2 Please try again later"),
                   f"kill: MAIL answered {answer} with the milter down")

    # Dropped to a user, the daemon left a keeper that removes its socket
    # however it ends, a kill included.
    wait_until(lambda: not os.path.exists(milter.socket), "kill: the killed milter's socket to be removed")
    milter.start()
    failures.check(send_session(sendmail.ports["killed"], [("killed-after@sender.test", ham)], helo=HELO) ==
                   [(250, b"")], "kill: the restarted milter did not serve")
    after = sendmail.queue().get("killed-after@sender.test")
    failures.check(after is not None and header_values(after.msg, "X-Hdrweights-Status") == [status],
                   "kill: the restarted milter left no status header")


if __name__ == "__main__":
    main()
