// hdrw_milter - the milter daemon: the second reference host, loading the
// module exactly as the server does and answering an MTA through libmilter
//
// hdrw_milter_run(options, why, why_size) runs the daemon in the foreground
// until it is told to stop, and returns its exit status: 0 after an orderly
// stop, 1 when it could not start (one line of reason in why, when why is
// non-null and why_size > 0; always terminated then). In order, it:
//   - blocks SIGHUP, SIGINT, SIGTERM, SIGUSR1 and SIGUSR2 in every thread and
//     takes them itself (libmilter's own signal thread, which would stop on
//     SIGHUP and abort messages in flight on SIGINT, is kept waiting);
//   - loads the module, refuses a unix socket that another process still
//     answers on, removes a stale one, and opens the socket (unix sockets mode
//     0660, owned by user and its group when user is set; the path must be
//     absolute);
//   - with metrics set, binds the HTTP endpoint's socket (milter_http.h);
//   - writes the pid file, then drops to user (its uid, gid and groups);
//     when that changes the user, a child process keeps root's rights to
//     remove the socket and pid file once the daemon has ended, however it
//     ends (a stop, a failed start, a crash);
//   - changes into the configuration's directory (relative paths inside the
//     configuration resolve against it), reads the configuration and
//     initialises the module; a failure here removes the socket and pid file;
//   - with metrics set, starts serving /metrics and /healthz
//     (milter_metrics.h; metrics_rules adds the per-rule series);
//   - raises its descriptor limit to the hard limit and serves at most that
//     limit less 64 MTA connections (milter_session.h); libmilter closes a
//     connection quiet for MILTER_SESSION_READ_TIMEOUT seconds;
//   - logs a warning (level 4) for trusted networks covering every address
//     and for a socket other hosts can reach, then its start line (level 5)
//     naming the address as bound, and serves. Every 2 seconds it looks at
//     its descriptors: a shortage (libmilter cannot accept) is logged at
//     level 3 once per episode.
// Every reload is counted in the metrics; at a stop /healthz answers 503
// from the moment the drain begins, and the endpoint closes after it.
// Signals: SIGHUP or SIGUSR1 reloads on a thread of its own (milter_rules_reload:
// a new instance when the content of the configuration or rule file changed;
// on failure the previous one keeps serving and the reason is logged at level
// 3; every MTA connection stays open; a signal during a reload asks for one
// more; a stop abandons it). SIGTERM or SIGINT stops accepting connections,
// lets messages in flight finish (at most MILTER_DRAIN_SECONDS, and not at all
// once none of them had a word from the MTA for MILTER_IDLE_SECONDS; ending the
// process then closes every MTA connection, and the MTA tempfails what it had
// not finished), frees the instance, logs the counters (level 6) and the stop
// line (level 5), removes the pid file and the unix socket and returns 0. Only
// the very files it made are removed (same device and inode): a file that took
// their name meanwhile stays.
// With stats_interval > 0 the counters are logged every stats_interval
// seconds too.
//
// Logging goes through the shared log settings, which the caller makes
// (hdrw_host_configure_log) before the call. The call is made once per
// process; it is not reentrant.
#ifndef MILTER_HDRW_MILTER_H
#define MILTER_HDRW_MILTER_H

#include <stddef.h>
#include <stdint.h>

#include "milter_message.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  MILTER_DRAIN_SECONDS = 10,  // longest wait for messages in flight at a stop
  MILTER_IDLE_SECONDS = 2     // a stop does not wait for messages the MTA left this long
};

typedef struct HdrwMilterOptions {
  const char *socket;        // libmilter's address: "unix:PATH", "inet:PORT@HOST", ...
  const char *config;        // the server configuration (absolute path)
  const char *load_point;    // directory holding the rule file (absolute path)
  const char *module;        // the module library (absolute path)
  int32_t threshold;         // weight threshold of every message
  enum MilterAction action;  // what happens to spam
  const char *reply;         // text of the reject and tempfail replies
  int skip_authenticated;    // 1: authenticated senders pass unevaluated
  const char *trusted;       // "CIDR[,CIDR...]" of clients passing unevaluated; may be null
  const char *user;          // user to run as after opening the socket; may be null
  const char *pid_file;      // file to write the process id to; may be null
  uint32_t stats_interval;   // seconds between counter lines; 0 = only at exit
  const char *metrics;       // HOST:PORT of the HTTP endpoint; null = none
  int metrics_rules;         // 1: a hit counter per rule ID in the metrics
  const char *version;       // the version the metrics name; may be null
} HdrwMilterOptions;

int hdrw_milter_run(const HdrwMilterOptions *options, char *why, size_t why_size);

#ifdef __cplusplus
}
#endif

#endif
