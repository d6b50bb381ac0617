// hdrw_milter - the milter daemon's life: start, signals, reload, stop (see
// the header).
//
// Signals. libmilter starts a thread of its own that waits with sigwait for
// SIGHUP, SIGTERM and SIGINT and stops the milter on the first two and aborts
// every message in flight on the third. A signal sent to the process may go to
// any thread that waits for it, so the daemon cannot share them: this file
// defines sigwait, which the dynamic linker binds libmilter's call to, and
// parks a call for exactly libmilter's set of signals; any other call is the
// C library's sigwait. The main thread then takes every signal with
// sigtimedwait. If libmilter's call was not bound here (the start line says
// so), libmilter's thread competes for the signals as in any libmilter milter.
//
// The listener runs smfi_main on its own thread, which raises SIGUSR2 when
// smfi_main returns, so the main thread learns of a listener that failed.
// Tests: tests/milter_protocol_test.cpp, tests/milter_stress_test.cpp and the
// Postfix run (tests/milter_postfix.py).
#include "hdrw_milter.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "hdrw_host.h"
#include "milter_http.h"
#include "milter_log.h"
#include "milter_metrics.h"
#include "milter_nets.h"
#include "milter_rules.h"
#include "milter_session.h"
#include "milter_stats.h"
#include "tvr_log.h"
#include "tvr_status.h"

namespace {

constexpr int kMaxDescriptor = 4096;           // descriptors searched for libmilter's listener
constexpr int kParkWaitSeconds = 10;           // wait for libmilter's signal thread at start
constexpr int kWatchSeconds = 2;               // between looks at the descriptors in use
constexpr uint64_t kReservedDescriptors = 64;  // kept free of MTA connections
constexpr uint64_t kShortDescriptors = 4;      // this few free: connections fail
constexpr uint32_t kMaxConnections = 60000;    // MTA connections at most, whatever the limit

struct MilterSignals {
  pthread_mutex_t mutex;   // guards the fields below
  pthread_cond_t changed;  // signalled when one of them changes
  int parked;              // libmilter's signal thread waits in the daemon's sigwait
  int listener_done;       // smfi_main has returned
  int listener_result;     // what it returned
  int active;              // the daemon runs: libmilter's sigwait is to be parked
};

MilterSignals g_signals = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, 0, 0};
pthread_t g_main_thread;

// The reload thread; running, again and sig are guarded by g_signals.mutex,
// the rest belongs to the main thread.
struct MilterReloads {
  MilterRules *rules;      // what the thread reloads
  MilterMetrics *metrics;  // where it counts the reload, or null
  pthread_t thread;        // the reload thread
  bool started;            // thread is to be joined
  int running;             // the thread has not finished
  int again;               // one more reload was asked for while it ran
  int sig;                 // the signal that asked for the reload
};

MilterReloads g_reloads = {};
struct sockaddr_storage g_listener;  // where libmilter listens
socklen_t g_listener_len = 0;        // 0 until found

// The user to run as, copied out of getpwnam's static record.
struct MilterUser {
  const char *name;  // as the options give it
  uid_t uid;
  gid_t gid;
};

// A file the daemon made, known by device and inode: at the stop only that
// very file is removed, not another that took its name meanwhile.
struct MilterOwnFile {
  const char *path;  // absolute; null when the daemon made no such file
  dev_t dev;
  ino_t ino;
};

// hdrw_milter_own_file - records path as the file the daemon just made
MilterOwnFile hdrw_milter_own_file(const char *path) {
  struct stat st;
  if (path == nullptr || lstat(path, &st) != 0) return {nullptr, 0, 0};
  return {path, st.st_dev, st.st_ino};
}

// hdrw_milter_remove_own - removes the file when it is still the one the daemon made
// Only async-signal-safe calls: a forked child runs it too.
bool hdrw_milter_remove_own(const MilterOwnFile *file) {
  struct stat st;
  if (file->path == nullptr || lstat(file->path, &st) != 0) return true;
  if (st.st_dev != file->dev || st.st_ino != file->ino) return true;  // not ours any more
  return unlink(file->path) == 0 || errno == ENOENT;
}

// What a start made, for the stop to release.
struct MilterDaemon {
  HdrwPlugin *plugin;         // the module library
  MilterNets *trusted;        // trusted client networks, or null
  MilterRules *rules;         // configuration and module instance
  MilterStats stats;          // the counters
  pthread_t listener;         // the thread running smfi_main
  bool listening;             // listener was started
  bool socket_open;           // the socket file is the daemon's to remove
  bool pid_written;           // the pid file is the daemon's to remove
  MilterOwnFile socket_file;  // the socket file as made, when a unix socket
  MilterOwnFile pid_file;     // the pid file as written
  bool kept;                  // a keeper removes both once the daemon is gone

  MilterMetrics *metrics;  // the Prometheus series, or null
  MilterHttp *http;        // their HTTP endpoint, or null
};

// hdrw_milter_fail - writes the reason of a failed start; returns 1
constexpr auto hdrw_milter_fail = milter_reason;

// hdrw_milter_reason - a status code of the rules as words
const char *hdrw_milter_reason(uint32_t code) {
  switch (code) {
    case MILTER_RULES_REFUSED:
      return "the module could not be initialised (its log records say why)";
    case TVR_CONFIG_PARSE_ERROR:
      return "the configuration is not well-formed XML";
    case TVR_CONFIG_UNREADABLE:
      return "the configuration cannot be read";
    case TVR_NO_MEMORY:
      return "no memory";
    default:
      return "failure";
  }
}

// hdrw_milter_libmilter_set - whether set is exactly what libmilter's signal thread waits for
bool hdrw_milter_libmilter_set(const sigset_t *set) {
  for (int sig = 1; sig < NSIG; ++sig) {
    bool wanted = sig == SIGHUP || sig == SIGTERM || sig == SIGINT;
    if ((sigismember(set, sig) == 1) != wanted) return false;
  }
  return true;
}

// hdrw_milter_unix_path - the socket file of a unix socket address, or null
const char *hdrw_milter_unix_path(const char *address) {
  if (strncmp(address, "unix:", 5) == 0) return address + 5;
  if (strncmp(address, "local:", 6) == 0) return address + 6;
  if (address[0] == '/') return address;
  return nullptr;
}

// hdrw_milter_clear_socket - removes a stale unix socket; refuses a live one
int hdrw_milter_clear_socket(const char *path, char *why, size_t why_size) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    if (errno == ENOENT) return 0;
    return hdrw_milter_fail(why, why_size, "%s: %s", path, strerror(errno));
  }
  if (!S_ISSOCK(st.st_mode)) {
    return hdrw_milter_fail(why, why_size, "%s exists and is not a socket", path);
  }
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);  // length checked by the caller
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return hdrw_milter_fail(why, why_size, "socket: %s", strerror(errno));
  int rc = connect(fd, (struct sockaddr *)&address, sizeof address);
  int err = errno;
  close(fd);
  if (rc == 0) {
    return hdrw_milter_fail(why, why_size, "%s: another process answers on this socket", path);
  }
  if (err != ECONNREFUSED) {
    return hdrw_milter_fail(why, why_size, "%s: cannot tell whether the socket is in use: %s", path,
                            strerror(err));
  }
  if (unlink(path) != 0 && errno != ENOENT) {
    return hdrw_milter_fail(why, why_size, "%s: cannot remove the stale socket: %s", path,
                            strerror(errno));
  }
  return 0;
}

// hdrw_milter_listener_address - the address fd listens on, when it is a listening socket
bool hdrw_milter_listener_address(int fd, struct sockaddr_storage *address, socklen_t *len) {
  int listening = 0;
  socklen_t size = sizeof listening;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) return false;
  *len = sizeof *address;
  return getsockname(fd, (struct sockaddr *)address, len) == 0;
}

// hdrw_milter_find_listener - the socket smfi_opensocket opened; TCP_NODELAY on it
// libmilter does not hand out its listening socket: it is the one listening
// socket that was not there before (before[fd]). On a TCP socket the
// daemon sets TCP_NODELAY, which Linux hands down to every accepted
// connection: libmilter writes a reply in several small writes, and with
// Nagle's algorithm the later ones wait for the MTA's delayed acknowledgement
// (about 40 ms). The address is kept to wake the listener at a stop.
void hdrw_milter_find_listener(const bool *before) {
  for (int fd = 0; fd < kMaxDescriptor; ++fd) {
    struct sockaddr_storage address;
    socklen_t len;
    if (before[fd] || !hdrw_milter_listener_address(fd, &address, &len)) continue;
    g_listener = address;
    g_listener_len = len;
    if (address.ss_family != AF_INET && address.ss_family != AF_INET6) continue;
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
      milter_log(TVR_LOG_WARNING, "hdrweights milter: cannot set TCP_NODELAY on the listener: %s",
                 strerror(errno));
    }
  }
}

// hdrw_milter_bound - the address libmilter listens on, as "inet:PORT@ADDRESS"
// (or inet6:); false for a unix socket or one not found, out then untouched.
// loopback tells whether only this host can reach it.
bool hdrw_milter_bound(char *out, size_t size, bool *loopback) {
  char text[INET6_ADDRSTRLEN] = "";
  if (g_listener_len == 0) return false;
  if (g_listener.ss_family == AF_INET) {
    const struct sockaddr_in *in = (const struct sockaddr_in *)&g_listener;
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    *loopback = (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    snprintf(out, size, "inet:%u@%s", (unsigned)ntohs(in->sin_port), text);
    return true;
  }
  if (g_listener.ss_family == AF_INET6) {
    const struct sockaddr_in6 *in6 = (const struct sockaddr_in6 *)&g_listener;
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    *loopback = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) ||
                (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127);
    snprintf(out, size, "inet6:%u@%s", (unsigned)ntohs(in6->sin6_port), text);
    return true;
  }
  return false;
}

// hdrw_milter_wake_listener - one connection to the listener, to end its wait
void hdrw_milter_wake_listener() {
  if (g_listener_len == 0) return;
  struct sockaddr_storage address = g_listener;
  if (address.ss_family == AF_INET) {
    struct sockaddr_in *in = (struct sockaddr_in *)&address;
    if (in->sin_addr.s_addr == htonl(INADDR_ANY)) in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (address.ss_family == AF_INET6) {
    struct sockaddr_in6 *in6 = (struct sockaddr_in6 *)&address;
    if (IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr)) in6->sin6_addr = in6addr_loopback;
  }
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  connect(fd, (struct sockaddr *)&address, g_listener_len);  // refused when already closed: fine
  close(fd);
}

// hdrw_milter_unix_reason - why a unix socket cannot be made at path
// libmilter says only that it failed; binding a socket of the daemon's own
// at the path gives the system's reason (removed again when it worked).
void hdrw_milter_unix_reason(const char *path, char *out, size_t size) {
  snprintf(out, size, "cannot open the socket");
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (bind(fd, (struct sockaddr *)&address, sizeof address) == 0) {
    unlink(path);
  } else if (errno == ENOENT || errno == ENOTDIR) {
    snprintf(out, size, "cannot open the socket: no such directory");
  } else {
    snprintf(out, size, "cannot open the socket: %s", strerror(errno));
  }
  close(fd);
}

// hdrw_milter_open_socket - opens libmilter's socket with the wanted mode and owner
int hdrw_milter_open_socket(const HdrwMilterOptions *options, const MilterUser *user, char *why,
                            size_t why_size) {
  const char *path = hdrw_milter_unix_path(options->socket);
  if (path != nullptr && strlen(path) >= sizeof(((struct sockaddr_un *)nullptr)->sun_path)) {
    return hdrw_milter_fail(why, why_size,
                            "%s: the name is too long for a socket (%zu bytes, at "
                            "most %zu)",
                            path, strlen(path),
                            sizeof(((struct sockaddr_un *)nullptr)->sun_path) - 1);
  }
  if (path != nullptr && hdrw_milter_clear_socket(path, why, why_size) != 0) return 1;
  if (smfi_setconn((char *)options->socket) != MI_SUCCESS) {
    return hdrw_milter_fail(why, why_size, "%s: not a socket libmilter can open", options->socket);
  }
  static bool before[kMaxDescriptor];
  for (int fd = 0; fd < kMaxDescriptor; ++fd) {
    struct sockaddr_storage address;
    socklen_t len;
    before[fd] = hdrw_milter_listener_address(fd, &address, &len);
  }
  // The socket is made 0660 from the start: no moment in which others may connect.
  mode_t mask = umask(0117);
  int rc = smfi_opensocket(true);
  umask(mask);
  if (rc != MI_SUCCESS && path != nullptr) {
    char reason[256];
    hdrw_milter_unix_reason(path, reason, sizeof reason);
    return hdrw_milter_fail(why, why_size, "%s: %s", path, reason);
  }
  if (rc != MI_SUCCESS) {
    return hdrw_milter_fail(why, why_size, "%s: cannot open the socket (in use, or no permission)",
                            options->socket);
  }
  hdrw_milter_find_listener(before);
  if (path == nullptr) return 0;
  int failed = 0;
  if (chmod(path, 0660) != 0) {
    failed = hdrw_milter_fail(why, why_size, "%s: cannot set the mode: %s", path, strerror(errno));
  } else if (user != nullptr && chown(path, user->uid, user->gid) != 0) {
    failed = hdrw_milter_fail(why, why_size, "%s: cannot give it to %s: %s", path, user->name,
                              strerror(errno));
  }
  if (failed) unlink(path);  // just made: nobody else's
  return failed;
}

// hdrw_milter_write_pid - writes the process id to the pid file
int hdrw_milter_write_pid(const char *path, char *why, size_t why_size) {
  FILE *file = fopen(path, "we");
  if (file == nullptr) return hdrw_milter_fail(why, why_size, "%s: %s", path, strerror(errno));
  fprintf(file, "%ld\n", (long)getpid());
  if (fclose(file) != 0) return hdrw_milter_fail(why, why_size, "%s: %s", path, strerror(errno));
  return 0;
}

// hdrw_milter_drop - becomes user: its groups, gid and uid, for good
int hdrw_milter_drop(const MilterUser *user, char *why, size_t why_size) {
  if (getuid() == user->uid && geteuid() == user->uid && getgid() == user->gid) return 0;
  if (initgroups(user->name, user->gid) != 0 || setgid(user->gid) != 0 || setuid(user->uid) != 0) {
    return hdrw_milter_fail(why, why_size, "cannot become user %s: %s", user->name,
                            strerror(errno));
  }
  if (user->uid != 0 && setuid(0) == 0) {
    return hdrw_milter_fail(why, why_size, "cannot become user %s: root could be regained",
                            user->name);
  }
  return 0;
}

// hdrw_milter_start_keeper - a child that removes the daemon's files once it is gone
// Dropped to user, the daemon may not remove its socket and pid file from a
// directory that root owns. The keeper keeps root's rights and nothing else:
// every descriptor but a pipe's read end is closed, the daemon's signals stay
// blocked, and it waits until the pipe's last writer, the daemon, is gone (a
// stop, a failed start, a crash alike). It then removes the two files if they
// are still the ones the daemon made, and ends. Before any thread exists.
bool hdrw_milter_start_keeper(const MilterDaemon *d) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    if (dup2(fds[0], 0) < 0) _exit(1);
    close_range(1, ~0u, 0);
    char byte;
    for (;;) {
      ssize_t got = read(0, &byte, 1);
      if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
    hdrw_milter_remove_own(&d->socket_file);
    hdrw_milter_remove_own(&d->pid_file);
    _exit(0);
  }
  close(fds[0]);  // the write end stays open until the daemon ends
  return true;
}

// hdrw_milter_stopper - smfi_stop on a thread of its own
void *hdrw_milter_stopper(void *) {
  smfi_stop();
  return nullptr;
}

// hdrw_milter_stop_listener - stops libmilter's accept loop and waits for its end
// smfi_stop waits for the accept loop to finish its wait for a connection,
// which lasts up to five seconds: it runs on a thread of its own while this
// one connects to the listener until the loop has ended.
void hdrw_milter_stop_listener() {
  pthread_t stopper;
  bool stopping = pthread_create(&stopper, nullptr, hdrw_milter_stopper, nullptr) == 0;
  if (!stopping) smfi_stop();
  pthread_mutex_lock(&g_signals.mutex);
  while (!g_signals.listener_done) {
    pthread_mutex_unlock(&g_signals.mutex);
    hdrw_milter_wake_listener();
    pthread_mutex_lock(&g_signals.mutex);
    struct timespec until;
    milter_session_deadline(&until, 100);
    if (!g_signals.listener_done)
      pthread_cond_timedwait(&g_signals.changed, &g_signals.mutex, &until);
  }
  pthread_mutex_unlock(&g_signals.mutex);
  if (stopping) pthread_join(stopper, nullptr);
}

// hdrw_milter_listener - runs libmilter's accept loop; tells the main thread when it ends
void *hdrw_milter_listener(void *) {
  int rc = smfi_main();
  pthread_mutex_lock(&g_signals.mutex);
  g_signals.listener_done = 1;
  g_signals.listener_result = rc;
  pthread_cond_broadcast(&g_signals.changed);
  pthread_mutex_unlock(&g_signals.mutex);
  pthread_kill(g_main_thread, SIGUSR2);
  return nullptr;
}

// hdrw_milter_wait_parked - whether libmilter's signal thread came to the daemon's sigwait
bool hdrw_milter_wait_parked() {
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += kParkWaitSeconds;
  pthread_mutex_lock(&g_signals.mutex);
  while (!g_signals.parked && !g_signals.listener_done) {
    if (pthread_cond_timedwait(&g_signals.changed, &g_signals.mutex, &until) == ETIMEDOUT) break;
  }
  bool parked = g_signals.parked;
  pthread_mutex_unlock(&g_signals.mutex);
  return parked;
}

// hdrw_milter_log_stats - the counters as one level-6 line
void hdrw_milter_log_stats(const MilterStats *stats) {
  char line[512];
  milter_stats_format(stats, line, sizeof line);
  milter_log(TVR_LOG_INFO, "hdrweights milter: counters: %s", line);
}

// hdrw_milter_reload - a reload and its log line
void hdrw_milter_reload(MilterRules *rules, MilterMetrics *metrics, int sig) {
  enum MilterReloadOutcome outcome;
  char why[512];
  uint32_t rc = milter_rules_reload(rules, &outcome, why, sizeof why);
  if (rc != MILTER_RULES_ABANDONED) milter_metrics_reloaded(metrics, rc == 0);
  if (metrics != nullptr && rc == 0 && outcome == MILTER_RELOAD_NEW &&
      milter_metrics_rules(metrics, milter_rules_instance(rules)) != 0) {
    milter_log(TVR_LOG_ERR,
               "hdrweights milter: no memory to describe the new rules in the metrics");
  }
  const char *name = sig == SIGHUP ? "SIGHUP" : "SIGUSR1";
  if (rc == MILTER_RULES_ABANDONED) {
    milter_log(TVR_LOG_NOTICE, "hdrweights milter: reload (%s) abandoned: the daemon stops", name);
  } else if (rc != 0) {
    milter_log(
        TVR_LOG_ERR,
        "hdrweights milter: reload (%s) failed, code %u: %s; the previous rules keep serving", name,
        (unsigned)rc, rc == MILTER_RULES_FILE ? why : hdrw_milter_reason(rc));
  } else if (outcome == MILTER_RELOAD_SAME) {
    milter_log(TVR_LOG_NOTICE, "hdrweights milter: reload (%s): configuration and rules unchanged",
               name);
  } else {
    milter_log(TVR_LOG_NOTICE, "hdrweights milter: reload (%s): new rules in service", name);
  }
}

// hdrw_milter_reloader - reloads on its own thread until no reload is asked for
// A signal that arrives during a reload asks for one more: the file on disk
// may have changed after this reload read it.
void *hdrw_milter_reloader(void *) {
  pthread_mutex_lock(&g_signals.mutex);
  for (;;) {
    int sig = g_reloads.sig;
    g_reloads.again = 0;
    pthread_mutex_unlock(&g_signals.mutex);
    hdrw_milter_reload(g_reloads.rules, g_reloads.metrics, sig);
    pthread_mutex_lock(&g_signals.mutex);
    if (!g_reloads.again) break;
  }
  g_reloads.running = 0;
  pthread_mutex_unlock(&g_signals.mutex);
  return nullptr;
}

// hdrw_milter_ask_reload - starts a reload, or asks the running one for another
// The main thread stays free to take a stop while the module reads rules.
void hdrw_milter_ask_reload(MilterRules *rules, MilterMetrics *metrics, int sig) {
  pthread_mutex_lock(&g_signals.mutex);
  g_reloads.sig = sig;
  bool running = g_reloads.running;
  if (running) g_reloads.again = 1;
  pthread_mutex_unlock(&g_signals.mutex);
  if (running) return;
  if (g_reloads.started) pthread_join(g_reloads.thread, nullptr);  // ended: returns at once
  g_reloads.started = false;
  g_reloads.rules = rules;
  g_reloads.metrics = metrics;
  g_reloads.running = 1;
  if (pthread_create(&g_reloads.thread, nullptr, hdrw_milter_reloader, nullptr) == 0) {
    g_reloads.started = true;
  } else {
    g_reloads.running = 0;
    hdrw_milter_reload(rules, metrics, sig);
  }
}

// hdrw_milter_end_reloads - gives up any reload and waits for its thread
void hdrw_milter_end_reloads(MilterRules *rules) {
  milter_rules_abandon(rules);
  if (g_reloads.started) pthread_join(g_reloads.thread, nullptr);
  g_reloads.started = false;
}

// hdrw_milter_watch_descriptors - logs the start and end of a descriptor shortage
// With no descriptor left, libmilter cannot accept a connection (and says so
// only in the system log): the MTA then tempfails every message. Logged once
// per episode, which ends when the reserve is free again.
void hdrw_milter_watch_descriptors() {
  static bool short_of = false;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  uint64_t max = limit.rlim_cur;
  uint64_t used = 0;
  DIR *dir = opendir("/proc/self/fd");  // takes a descriptor itself: none left is EMFILE
  if (dir == nullptr && errno != EMFILE) return;
  if (dir == nullptr) used = max;
  while (dir != nullptr && readdir(dir) != nullptr) ++used;
  if (dir != nullptr) {
    closedir(dir);
    used -= 3;  // ".", ".." and the directory's own descriptor
  }
  if (!short_of && used + kShortDescriptors >= max) {
    short_of = true;
    milter_log(TVR_LOG_ERR,
               "hdrweights milter: %llu of %llu descriptors in use: new MTA connections cannot "
               "be accepted, and the MTA tempfails their mail",
               (unsigned long long)used, (unsigned long long)max);
  } else if (short_of && used + kReservedDescriptors <= max) {
    short_of = false;
    milter_log(TVR_LOG_NOTICE, "hdrweights milter: %llu of %llu descriptors in use again",
               (unsigned long long)used, (unsigned long long)max);
  }
}

// hdrw_milter_connection_cap - raises the descriptor limit; the connections it allows
// The soft limit goes up to the hard one (LimitNOFILE in the unit); the cap
// leaves kReservedDescriptors for the daemon's own files, the rule files the
// module reads and the spool files of messages.
uint32_t hdrw_milter_connection_cap() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kMaxConnections : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kMaxConnections + kReservedDescriptors)
    return kMaxConnections;
  if (limit.rlim_cur <= 2 * kReservedDescriptors) return (uint32_t)limit.rlim_cur / 2;
  return (uint32_t)(limit.rlim_cur - kReservedDescriptors);
}

// hdrw_milter_serve - the main thread's signal loop; returns when told to stop
// (false) or when libmilter's listener ended with an error (true)
bool hdrw_milter_serve(MilterRules *rules, const MilterStats *stats, uint32_t stats_interval) {
  MilterMetrics *metrics = stats->metrics;
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, sig);
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  next.tv_sec += stats_interval;
  for (;;) {
    hdrw_milter_watch_descriptors();
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct timespec wait = {kWatchSeconds, 0};
    bool stats_due = false;
    if (stats_interval > 0) {
      struct timespec left = {0, 0};
      if (now.tv_sec < next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec < next.tv_nsec)) {
        left.tv_sec = next.tv_sec - now.tv_sec;
        left.tv_nsec = next.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
          left.tv_nsec += 1000000000;
          --left.tv_sec;
        }
      }
      if (left.tv_sec < wait.tv_sec) {
        wait = left;
        stats_due = true;
      }
    }
    int sig = sigtimedwait(&set, nullptr, &wait);
    if (sig < 0 && errno == EAGAIN) {
      if (stats_due) {
        hdrw_milter_log_stats(stats);
        next.tv_sec += stats_interval;
      }
      continue;
    }
    if (sig < 0) continue;  // EINTR
    if (sig == SIGHUP || sig == SIGUSR1) {
      hdrw_milter_ask_reload(rules, metrics, sig);
    } else if (sig == SIGINT || sig == SIGTERM) {
      milter_log(TVR_LOG_NOTICE, "hdrweights milter: %s: stopping",
                 sig == SIGINT ? "SIGINT" : "SIGTERM");
      return false;
    } else {
      pthread_mutex_lock(&g_signals.mutex);
      bool done = g_signals.listener_done;
      int result = g_signals.listener_result;
      pthread_mutex_unlock(&g_signals.mutex);
      if (done) {
        milter_log(result == MI_SUCCESS ? TVR_LOG_NOTICE : TVR_LOG_ERR,
                   "hdrweights milter: libmilter's listener ended%s; stopping",
                   result == MI_SUCCESS ? "" : " with an error");
        return result != MI_SUCCESS;
      }
    }
  }
}

const char *const kActionNames[] = {"tag", "reject", "tempfail", "hold", "discard"};

// hdrw_milter_start - everything up to a listening daemon with its rules
// On failure what was made is left in d for hdrw_milter_release.
int hdrw_milter_start(const HdrwMilterOptions *options, MilterDaemon *d, char *why,
                      size_t why_size) {
  MilterUser account;
  const MilterUser *user = nullptr;
  if (options->user != nullptr) {
    const struct passwd *entry = getpwnam(options->user);
    if (entry == nullptr) return hdrw_milter_fail(why, why_size, "no such user: %s", options->user);
    account = {options->user, entry->pw_uid, entry->pw_gid};
    user = &account;
  }
  char text[512] = "";
  if (options->trusted != nullptr &&
      milter_nets_parse(options->trusted, &d->trusted, text, sizeof text) != 0) {
    return hdrw_milter_fail(why, why_size, "not a network: '%s'", text);
  }
  uint32_t rc = hdrw_plugin_load(options->module, &d->plugin, text, sizeof text);
  if (rc != 0) {
    return hdrw_milter_fail(why, why_size, "cannot load the module %s: %s", options->module,
                            text[0] != '\0' ? text : hdrw_milter_reason(rc));
  }
  struct smfiDesc description;
  milter_session_describe(&description);
  if (smfi_register(description) != MI_SUCCESS ||
      smfi_settimeout(MILTER_SESSION_READ_TIMEOUT) != MI_SUCCESS) {
    return hdrw_milter_fail(why, why_size, "libmilter refused the filter description");
  }
  if (hdrw_milter_open_socket(options, user, why, why_size) != 0) return 1;
  d->socket_open = true;
  d->socket_file = hdrw_milter_own_file(hdrw_milter_unix_path(options->socket));
  if (options->metrics != nullptr &&
      milter_http_open(options->metrics, &d->http, why, why_size) != 0)
    return 1;
  if (options->pid_file != nullptr) {
    if (hdrw_milter_write_pid(options->pid_file, why, why_size) != 0) return 1;
    d->pid_written = true;
    d->pid_file = hdrw_milter_own_file(options->pid_file);
  }
  if (user != nullptr && user->uid != geteuid()) {
    if (!hdrw_milter_start_keeper(d)) {
      return hdrw_milter_fail(why, why_size,
                              "cannot start the process that removes the socket "
                              "and pid file at the stop: %s",
                              strerror(errno));
    }
    d->kept = true;
  }
  if (user != nullptr && hdrw_milter_drop(user, why, why_size) != 0) return 1;
  // The module resolves relative paths inside the configuration against the
  // directory that holds it.
  snprintf(text, sizeof text, "%s", options->config);
  char *slash = strrchr(text, '/');
  if (slash != nullptr) *(slash == text ? slash + 1 : slash) = '\0';
  if (slash != nullptr && chdir(text) != 0) {
    return hdrw_milter_fail(why, why_size, "%s: cannot change into it: %s", text, strerror(errno));
  }
  char file_why[512];
  rc = milter_rules_open(&d->rules, d->plugin, options->load_point, options->config,
                         options->threshold, file_why, sizeof file_why);
  if (rc == MILTER_RULES_FILE) return hdrw_milter_fail(why, why_size, "%s", file_why);
  if (rc != 0) {
    return hdrw_milter_fail(why, why_size, "%s: code %u: %s", options->config, (unsigned)rc,
                            hdrw_milter_reason(rc));
  }
  if (d->http != nullptr) {
    if (milter_metrics_create(&d->metrics, &d->stats, options->metrics_rules,
                              options->version != nullptr ? options->version : "") != 0 ||
        milter_metrics_rules(d->metrics, milter_rules_instance(d->rules)) != 0)
      return hdrw_milter_fail(why, why_size, "no memory for the metrics");
    d->stats.metrics = d->metrics;
    milter_metrics_serving(d->metrics, 1);
    if (milter_http_start(d->http, d->metrics) != 0) {
      return hdrw_milter_fail(why, why_size, "%s: the HTTP server would not start",
                              options->metrics);
    }
  }
  MilterSessionSetup setup = {};
  setup.rules = d->rules;
  setup.policy.action = options->action;
  setup.policy.reply = options->reply;
  setup.skip_authenticated = options->skip_authenticated;
  setup.trusted = d->trusted;
  setup.stats = &d->stats;
  setup.tcp = g_listener.ss_family == AF_INET || g_listener.ss_family == AF_INET6;
  setup.max_connections = hdrw_milter_connection_cap();
  if (milter_session_start(&setup) != 0) return hdrw_milter_fail(why, why_size, "no memory");
  pthread_mutex_lock(&g_signals.mutex);
  g_signals.active = 1;
  pthread_mutex_unlock(&g_signals.mutex);
  if (pthread_create(&d->listener, nullptr, hdrw_milter_listener, nullptr) != 0) {
    return hdrw_milter_fail(why, why_size, "cannot start the listener thread");
  }
  d->listening = true;
  if (!hdrw_milter_wait_parked()) {
    pthread_mutex_lock(&g_signals.mutex);
    bool done = g_signals.listener_done;
    pthread_mutex_unlock(&g_signals.mutex);
    if (done)
      return hdrw_milter_fail(why, why_size,
                              "libmilter's listener ended at once (its log says why)");
    milter_log(TVR_LOG_WARNING,
               "hdrweights milter: libmilter's signal thread is not under the daemon's control: "
               "SIGHUP may stop it and SIGINT abort messages in flight");
  }
  return 0;
}

// hdrw_milter_release - ends the listener, frees what the start made, removes its files
// The rules and the module stay when messages are still in flight: their
// threads use them until the process ends.
void hdrw_milter_release(const HdrwMilterOptions *options, MilterDaemon *d) {
  uint32_t left = 0;
  int idle = 0;
  milter_metrics_serving(d->metrics, 0);
  if (d->rules != nullptr) milter_rules_abandon(d->rules);
  if (d->listening) {
    hdrw_milter_stop_listener();
    pthread_join(d->listener, nullptr);
    left = milter_session_drain(MILTER_DRAIN_SECONDS, MILTER_IDLE_SECONDS, &idle);
  }
  milter_http_close(d->http);
  d->http = nullptr;
  // The reload thread describes new rules in the metrics: it ends first.
  if (d->rules != nullptr) hdrw_milter_end_reloads(d->rules);
  if (left == 0) {
    milter_rules_close(d->rules);
    hdrw_plugin_unload(d->plugin);
    d->stats.metrics = nullptr;
    milter_metrics_free(d->metrics);
    d->metrics = nullptr;
  } else if (idle) {
    milter_log(TVR_LOG_NOTICE,
               "hdrweights milter: %u messages in flight without a word from the MTA for %d "
               "seconds: not waited for (the MTA tempfails them)",
               (unsigned)left, MILTER_IDLE_SECONDS);
  } else {
    milter_log(TVR_LOG_WARNING,
               "hdrweights milter: %u messages still in flight after %d seconds (the MTA "
               "tempfails them)",
               (unsigned)left, MILTER_DRAIN_SECONDS);
  }
  if (d->kept) {
    // The keeper removes them once this process is gone.
  } else if (d->socket_open) {
    hdrw_milter_remove_own(&d->socket_file);
  }
  if (d->pid_written && !d->kept && !hdrw_milter_remove_own(&d->pid_file)) {
    milter_log(TVR_LOG_WARNING, "hdrweights milter: cannot remove %s: %s", options->pid_file,
               strerror(errno));
  }
  // No new connection arrives once the listener ended: nothing reads the networks.
  milter_nets_free(d->trusted);
}

}  // namespace

// sigwait - the C library's sigwait, except for libmilter's signal thread
// (see the top of this file); exported so that libmilter's call binds here.
extern "C" __attribute__((visibility("default"))) int sigwait(const sigset_t *set, int *sig) {
  pthread_mutex_lock(&g_signals.mutex);
  bool park = g_signals.active && hdrw_milter_libmilter_set(set);
  if (park) {
    g_signals.parked = 1;
    pthread_cond_broadcast(&g_signals.changed);
    // Parked until the process ends: the daemon takes these signals itself.
    for (;;) pthread_cond_wait(&g_signals.changed, &g_signals.mutex);
  }
  pthread_mutex_unlock(&g_signals.mutex);
  int got = sigwaitinfo(set, nullptr);
  if (got < 0) return errno;
  *sig = got;
  return 0;
}

// hdrw_milter_run - the daemon (see the header)
int hdrw_milter_run(const HdrwMilterOptions *options, char *why, size_t why_size) {
  if (why != nullptr && why_size > 0) why[0] = '\0';
  if (options == nullptr || options->socket == nullptr || options->module == nullptr ||
      options->reply == nullptr || options->action < MILTER_TAG || options->action > MILTER_DISCARD)
    return hdrw_milter_fail(why, why_size, "incomplete options");
  const char *socket_path = hdrw_milter_unix_path(options->socket);
  if (socket_path != nullptr && socket_path[0] != '/')
    return hdrw_milter_fail(why, why_size, "%s: the socket's path must be absolute",
                            options->socket);

  // Every thread made from here on inherits the blocked signals.
  g_main_thread = pthread_self();
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  static MilterDaemon daemon;  // static: libmilter's threads may count until the process ends
  if (hdrw_milter_start(options, &daemon, why, why_size) != 0) {
    hdrw_milter_release(options, &daemon);
    return 1;
  }
  if (milter_nets_everything(daemon.trusted)) {
    milter_log(TVR_LOG_WARNING,
               "hdrweights milter: the trusted networks %s cover every client address: no "
               "message is evaluated",
               options->trusted);
  }
  // The address as bound: the port and interface the MTA really reaches.
  char bound[128];
  bool loopback = true;
  if (!hdrw_milter_bound(bound, sizeof bound, &loopback))
    snprintf(bound, sizeof bound, "%s", options->socket);
  if (!loopback) {
    milter_log(TVR_LOG_WARNING,
               "hdrweights milter: %s is reachable from other hosts, not only this one: every "
               "client that reaches it may use the filter (give @127.0.0.1 to stay local)",
               bound);
  }
  milter_log(TVR_LOG_NOTICE,
             "hdrweights milter: started on %s (pid %ld, threshold %d, on spam %s%s%s%s%s); "
             "reload with SIGHUP or SIGUSR1",
             bound, (long)getpid(), (int)options->threshold, kActionNames[options->action],
             options->skip_authenticated ? ", authenticated senders skipped" : "",
             milter_nets_count(daemon.trusted) > 0 ? ", trusted networks skipped" : "",
             daemon.http != nullptr ? ", metrics on " : "",
             daemon.http != nullptr ? options->metrics : "");
  bool failed = hdrw_milter_serve(daemon.rules, &daemon.stats, options->stats_interval);
  hdrw_milter_release(options, &daemon);
  hdrw_milter_log_stats(&daemon.stats);
  milter_log(TVR_LOG_NOTICE, "hdrweights milter: stopped");
  if (failed) return hdrw_milter_fail(why, why_size, "libmilter's listener ended with an error");
  return 0;
}
