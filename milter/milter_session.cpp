// milter_session - libmilter callbacks (see the header).
// Every connection gets a MilterConnection as libmilter's private data, made
// at negotiation (the first callback of a connection) and freed at close.
// The session state is process-wide and static: libmilter's threads may still
// call in while the daemon shuts down, so nothing they reach is ever freed
// except the rules, and those only after a drain found no message in flight.
// Tests: tests/milter_protocol_test.cpp, tests/milter_stress_test.cpp and the
// Postfix run (tests/milter_postfix.py).
#include "milter_session.h"

#include <errno.h>
#include <libmilter/mfapi.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include "milter_log.h"
#include "tlvpr_mem.h"
#include "tvr_log.h"
#include "tvr_status.h"

namespace {

constexpr unsigned long kWantedActions =
    SMFIF_ADDHDRS | SMFIF_CHGHDRS | SMFIF_QUARANTINE | SMFIF_SETSYMLIST;
constexpr unsigned long kNeededActions = SMFIF_ADDHDRS | SMFIF_CHGHDRS;
// Steps the milter does without, replies it does not send, and the leading space.
constexpr unsigned long kWantedSteps =
    SMFIP_NOHELO | SMFIP_NORCPT | SMFIP_NOBODY | SMFIP_NOUNKNOWN | SMFIP_NODATA | SMFIP_NR_CONN |
    SMFIP_NR_MAIL | SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_HDR_LEADSPC;

struct MilterConnection {
  unsigned long steps;    // protocol steps agreed with the MTA
  int trusted;            // the client address is in the trusted networks
  int in_flight;          // a message is begun and counted in flight
  int refused;            // a message began after the drain started
  MilterMessage message;  // the current message
};

struct MilterSessionState {
  MilterSessionSetup setup;  // rules, policy, trusted networks, stats
  char *reply;               // reply text with every '%' doubled, for smfi_setreply
  pthread_mutex_t mutex;     // guards in_flight, draining
  pthread_cond_t idle;       // signalled when in_flight drops to 0
  uint32_t in_flight;        // messages begun and not ended
  int draining;              // no new message may begin
  uint64_t last_word;        // ms (monotonic) of the MTA's last word on a message in flight
  uint32_t connections;      // MTA connections negotiated and not closed
  int over_cap;              // a refusal at the cap was logged in this episode
};

MilterSessionState g_session = {
    {}, nullptr, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, 0, 0, 0};

// milter_session_admit - counts a new connection; false when the cap is reached
bool milter_session_admit() {
  uint32_t cap = g_session.setup.max_connections;
  pthread_mutex_lock(&g_session.mutex);
  bool admit = cap == 0 || g_session.connections < cap;
  bool first = !admit && !g_session.over_cap;
  if (admit) ++g_session.connections;
  if (first) g_session.over_cap = 1;
  uint32_t open = g_session.connections;
  pthread_mutex_unlock(&g_session.mutex);
  if (first) {
    milter_log(TVR_LOG_WARNING,
               "hdrweights milter: %u MTA connections open, the most the descriptor limit allows "
               "(%u): new connections are refused until some close (idle connections are closed "
               "after %d seconds)",
               (unsigned)open, (unsigned)cap, (int)MILTER_SESSION_READ_TIMEOUT);
  }
  return admit;
}

// milter_session_leave - counts a closed connection; ends an episode at the cap
void milter_session_leave() {
  pthread_mutex_lock(&g_session.mutex);
  --g_session.connections;
  uint32_t cap = g_session.setup.max_connections;
  if (g_session.over_cap && g_session.connections < cap - cap / 10) g_session.over_cap = 0;
  pthread_mutex_unlock(&g_session.mutex);
}

// milter_session_ms - a monotonic clock reading in milliseconds
uint64_t milter_session_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

// milter_session_heard - notes the MTA's word on a message in flight
// One clock for all messages: a drain need only know whether any message in
// flight still moves, not which.
void milter_session_heard(const MilterConnection *conn) {
  if (conn != nullptr && conn->in_flight)
    __atomic_store_n(&g_session.last_word, milter_session_ms(), __ATOMIC_RELAXED);
}

// milter_session_connection - the connection record of a context
MilterConnection *milter_session_connection(SMFICTX *ctx) {
  return (MilterConnection *)smfi_getpriv(ctx);
}

// milter_session_answer - the reply of a step: none when the MTA agreed to that
sfsistat milter_session_answer(const MilterConnection *conn, unsigned long no_reply_step) {
  return conn != nullptr && (conn->steps & no_reply_step) != 0 ? SMFIS_NOREPLY : SMFIS_CONTINUE;
}

// milter_session_end_message - ends the connection's message, if one is open
void milter_session_end_message(MilterConnection *conn, int aborted) {
  conn->refused = 0;
  if (!conn->in_flight) return;
  milter_message_end(&conn->message, aborted, g_session.setup.stats);
  conn->in_flight = 0;
  pthread_mutex_lock(&g_session.mutex);
  if (--g_session.in_flight == 0) pthread_cond_broadcast(&g_session.idle);
  pthread_mutex_unlock(&g_session.mutex);
}

// milter_session_symbol - a macro's value, null when unset or empty
const char *milter_session_symbol(SMFICTX *ctx, const char *name) {
  const char *value = smfi_getsymval(ctx, (char *)name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// milter_session_negotiate - takes the actions and steps the milter wants
sfsistat milter_session_negotiate(SMFICTX *ctx, unsigned long actions, unsigned long steps,
                                  unsigned long, unsigned long, unsigned long *want_actions,
                                  unsigned long *want_steps, unsigned long *want_2,
                                  unsigned long *want_3) {
  if ((actions & kNeededActions) != kNeededActions) {
    milter_log(TVR_LOG_ERR, "the MTA offers no header changes (actions 0x%lx); connection refused",
               actions);
    return SMFIS_REJECT;
  }
  if (!milter_session_admit()) return SMFIS_REJECT;
  MilterConnection *conn = (MilterConnection *)tlvpr_calloc(1, sizeof(MilterConnection));
  if (conn == nullptr || smfi_setpriv(ctx, conn) != MI_SUCCESS) {
    tlvpr_free(conn);
    milter_session_leave();
    milter_log(TVR_LOG_ERR, "no memory for a new MTA connection; connection refused");
    return SMFIS_REJECT;
  }
  milter_stats_count(g_session.setup.stats, MILTER_STAT_CONNECTIONS_OPENED);
  // Over TCP the MTA sends the macros of RCPT and DATA in small packets that
  // get no reply; with Nagle's algorithm its next write, the first header,
  // then waits until the milter's kernel acknowledges them, which it delays by
  // up to 40 ms when the milter sends nothing. Answering DATA sends something.
  unsigned long wanted = g_session.setup.tcp ? kWantedSteps & ~SMFIP_NODATA : kWantedSteps;
  conn->steps = steps & wanted;
  conn->message.leadspc = (conn->steps & SMFIP_HDR_LEADSPC) != 0;
  *want_actions = actions & kWantedActions;
  *want_steps = conn->steps;
  *want_2 = 0;
  *want_3 = 0;
  if ((actions & SMFIF_SETSYMLIST) != 0) {
    smfi_setsymlist(ctx, SMFIM_ENVFROM, (char *)"i {auth_authen}");
    smfi_setsymlist(ctx, SMFIM_EOH, (char *)"i");
  }
  return SMFIS_CONTINUE;
}

// milter_session_data - DATA, answered only over TCP (see milter_session_negotiate)
sfsistat milter_session_data(SMFICTX *ctx) {
  milter_session_heard(milter_session_connection(ctx));
  return SMFIS_CONTINUE;
}

// milter_session_connect - notes whether the client is trusted
sfsistat milter_session_connect(SMFICTX *ctx, char *, _SOCK_ADDR *address) {
  MilterConnection *conn = milter_session_connection(ctx);
  if (conn != nullptr && address != nullptr) {
    conn->trusted = milter_nets_match(g_session.setup.trusted, address);
  }
  return milter_session_answer(conn, SMFIP_NR_CONN);
}

// milter_session_envfrom - a new message begins
sfsistat milter_session_envfrom(SMFICTX *ctx, char **) {
  MilterConnection *conn = milter_session_connection(ctx);
  if (conn == nullptr) return SMFIS_CONTINUE;
  milter_session_end_message(conn, 1);
  int skip = conn->trusted || (g_session.setup.skip_authenticated &&
                               milter_session_symbol(ctx, "{auth_authen}") != nullptr);
  pthread_mutex_lock(&g_session.mutex);
  bool begin = !g_session.draining;
  if (begin) ++g_session.in_flight;
  pthread_mutex_unlock(&g_session.mutex);
  if (begin) {
    milter_message_begin(&conn->message, g_session.setup.rules, skip);
    conn->in_flight = 1;
    milter_session_heard(conn);
  } else {
    conn->refused = 1;
  }
  return milter_session_answer(conn, SMFIP_NR_MAIL);
}

// milter_session_header - one header into the block
sfsistat milter_session_header(SMFICTX *ctx, char *name, char *value) {
  MilterConnection *conn = milter_session_connection(ctx);
  milter_session_heard(conn);
  if (conn != nullptr && conn->in_flight && !conn->message.judged) {
    milter_message_header(&conn->message, name, value);
  }
  return milter_session_answer(conn, SMFIP_NR_HDR);
}

// milter_session_judge - evaluates the message once, at the end of its headers
void milter_session_judge(SMFICTX *ctx, MilterConnection *conn) {
  if (!conn->in_flight || conn->message.judged) return;
  milter_message_judge(&conn->message, &g_session.setup.policy, milter_session_symbol(ctx, "i"),
                       g_session.setup.stats);
}

// milter_session_eoh - the end of the headers: the verdict
sfsistat milter_session_eoh(SMFICTX *ctx) {
  MilterConnection *conn = milter_session_connection(ctx);
  milter_session_heard(conn);
  if (conn != nullptr) milter_session_judge(ctx, conn);
  return milter_session_answer(conn, SMFIP_NR_EOH);
}

// milter_session_edit - removes forged headers and adds the milter's own
void milter_session_edit(SMFICTX *ctx, const MilterMessage *message, const char *id) {
  bool ok = true;
  // Last first: removing one never shifts the index of another still to go.
  for (uint32_t i = message->forged_status; i > 0; --i) {
    ok &= smfi_chgheader(ctx, (char *)MILTER_STATUS_HEADER, (int)i, nullptr) == MI_SUCCESS;
  }
  for (uint32_t i = message->forged_hits; i > 0; --i) {
    ok &= smfi_chgheader(ctx, (char *)MILTER_HITS_HEADER, (int)i, nullptr) == MI_SUCCESS;
  }
  ok &= smfi_addheader(ctx, (char *)MILTER_STATUS_HEADER, (char *)message->decision.status) ==
        MI_SUCCESS;
  if (message->decision.hits != nullptr) {
    ok &= smfi_addheader(ctx, (char *)MILTER_HITS_HEADER, (char *)message->decision.hits) ==
          MI_SUCCESS;
  }
  if (!ok) milter_log(TVR_LOG_ERR, "message %s: the MTA refused a header change", id);
}

// milter_session_eom - the end of the message: headers and the answer
sfsistat milter_session_eom(SMFICTX *ctx) {
  MilterConnection *conn = milter_session_connection(ctx);
  if (conn == nullptr) return SMFIS_CONTINUE;
  if (conn->refused || !conn->in_flight) {
    // Begun after the drain started (or never begun): the milter is going away.
    milter_session_end_message(conn, 1);
    smfi_setreply(ctx, (char *)"451", (char *)"4.7.1",
                  (char *)"Filter shutting down, try again later");
    return SMFIS_TEMPFAIL;
  }
  milter_session_judge(ctx, conn);
  const char *symbol = milter_session_symbol(ctx, "i");
  const char *id = symbol != nullptr ? symbol : "(no queue ID)";
  const MilterDecision &decision = conn->message.decision;
  sfsistat answer = SMFIS_CONTINUE;
  switch (decision.reply) {
    case MILTER_REPLY_ACCEPT:
      milter_session_edit(ctx, &conn->message, id);
      if (decision.quarantine && smfi_quarantine(ctx, (char *)"hdrweights: spam") != MI_SUCCESS) {
        milter_log(TVR_LOG_ERR, "message %s: the MTA refused to hold it", id);
      }
      break;
    case MILTER_REPLY_REJECT:
      smfi_setreply(ctx, (char *)"550", (char *)"5.7.1", g_session.reply);
      answer = SMFIS_REJECT;
      break;
    case MILTER_REPLY_TEMPFAIL:
      smfi_setreply(ctx, (char *)"451", (char *)"4.7.1", g_session.reply);
      answer = SMFIS_TEMPFAIL;
      break;
    case MILTER_REPLY_DISCARD:
      answer = SMFIS_DISCARD;
      break;
  }
  milter_session_end_message(conn, 0);
  return answer;
}

// milter_session_abort - the MTA abandoned the message
sfsistat milter_session_abort(SMFICTX *ctx) {
  MilterConnection *conn = milter_session_connection(ctx);
  if (conn != nullptr) milter_session_end_message(conn, 1);
  return SMFIS_CONTINUE;
}

// milter_session_close - the connection is gone: frees its record
sfsistat milter_session_close(SMFICTX *ctx) {
  MilterConnection *conn = milter_session_connection(ctx);
  if (conn == nullptr) return SMFIS_CONTINUE;
  milter_session_end_message(conn, 1);
  milter_message_free(&conn->message, g_session.setup.stats);
  smfi_setpriv(ctx, nullptr);
  tlvpr_free(conn);
  milter_stats_count(g_session.setup.stats, MILTER_STAT_CONNECTIONS_CLOSED);
  milter_session_leave();
  return SMFIS_CONTINUE;
}

// milter_session_escape - the reply text with every '%' doubled
char *milter_session_escape(const char *text) {
  size_t len = 0;
  for (const char *p = text; *p != '\0'; ++p) len += *p == '%' ? 2 : 1;
  char *out = (char *)tlvpr_malloc(len + 1);
  if (out == nullptr) return nullptr;
  char *q = out;
  for (const char *p = text; *p != '\0'; ++p) {
    *q++ = *p;
    if (*p == '%') *q++ = '%';
  }
  *q = '\0';
  return out;
}

}  // namespace

// milter_session_describe - libmilter's filter description
void milter_session_describe(struct smfiDesc *description) {
  *description = smfiDesc{};
  description->xxfi_name = (char *)"hdrweights";
  description->xxfi_version = SMFI_VERSION;
  description->xxfi_flags = kWantedActions;
  description->xxfi_connect = milter_session_connect;
  description->xxfi_envfrom = milter_session_envfrom;
  description->xxfi_header = milter_session_header;
  description->xxfi_eoh = milter_session_eoh;
  description->xxfi_eom = milter_session_eom;
  description->xxfi_abort = milter_session_abort;
  description->xxfi_close = milter_session_close;
  description->xxfi_data = milter_session_data;
  description->xxfi_negotiate = milter_session_negotiate;
}

// milter_session_start - the session state
uint32_t milter_session_start(const MilterSessionSetup *setup) {
  if (setup == nullptr || setup->rules == nullptr || setup->stats == nullptr ||
      setup->policy.reply == nullptr)
    return TVR_BAD_ARGUMENT;
  char *reply = milter_session_escape(setup->policy.reply);
  if (reply == nullptr) return TVR_NO_MEMORY;
  tlvpr_free(g_session.reply);
  g_session.setup = *setup;
  g_session.reply = reply;
  return 0;
}

// milter_session_deadline - the wall-clock time ms from now, for timed waits
void milter_session_deadline(struct timespec *until, uint32_t ms) {
  clock_gettime(CLOCK_REALTIME, until);
  until->tv_sec += ms / 1000u;
  until->tv_nsec += (long)(ms % 1000u) * 1000000L;
  if (until->tv_nsec >= 1000000000L) {
    until->tv_nsec -= 1000000000L;
    ++until->tv_sec;
  }
}

// milter_session_drain - stops new messages and waits for those still moving
// Looks every 100 ms: a message the MTA has left (its client gone quiet, its
// connection kept open without abort) must not hold the stop.
uint32_t milter_session_drain(uint32_t seconds, uint32_t idle_seconds, int *idle) {
  uint64_t start = milter_session_ms();
  pthread_mutex_lock(&g_session.mutex);
  g_session.draining = 1;
  int quiet = 0;
  while (g_session.in_flight > 0) {
    uint64_t now = milter_session_ms();
    uint64_t last = __atomic_load_n(&g_session.last_word, __ATOMIC_RELAXED);
    if (now - start >= (uint64_t)seconds * 1000u) break;
    if (now >= last && now - last >= (uint64_t)idle_seconds * 1000u) {
      quiet = 1;
      break;
    }
    struct timespec until;
    milter_session_deadline(&until, 100);
    pthread_cond_timedwait(&g_session.idle, &g_session.mutex, &until);
  }
  uint32_t left = g_session.in_flight;
  pthread_mutex_unlock(&g_session.mutex);
  if (idle != nullptr) *idle = left > 0 && quiet;
  return left;
}
