// milter_session - the libmilter callbacks: one MTA connection after another,
// each message through milter_message
//
// milter_session_describe(description) fills the filter description to hand
// to smfi_register. milter_session_start(setup) fills the process-wide session
// state from setup (copied; the rules, trusted networks and stats it points at
// stay the caller's and must outlive every callback). Results: 0; 10040 null
// argument; 10013 no memory. Call both once, before smfi_main.
//
// What the milter asks of the MTA when a connection opens (negotiation): to add
// and change headers, to quarantine (hold), and to set its macro lists ("i" and
// "{auth_authen}" at MAIL, "i" at the end of the headers); the steps
// HELO, RCPT, DATA, unknown commands and the body are switched off, no reply is
// sent to the connection, MAIL, each header and the end of the headers, and
// header values come with their leading space. Over TCP (tcp set) DATA is
// kept and answered: see milter_session_negotiate on the MTA's Nagle delay. Of these it takes what
// the MTA offers; an MTA that cannot add or change headers is refused the connection (logged at
// level 3).
//
// Connections. With max_connections set, a connection that would be one more
// than the cap is refused at negotiation (libmilter closes it, freeing its
// descriptor); the first refusal of an episode is logged at level 4 with the
// figures, and the episode ends when the open connections fall below nine
// tenths of the cap.
//
// Per message: MAIL begins it (skipped when the sender authenticated and
// skip_authenticated is set, or the client address is in trusted), headers
// build the block, the end of the headers judges it, the end of the message
// removes incoming headers named like the milter's own (last first, so the
// indices stay right), adds the status and hits headers (only when the message
// is delivered) and answers: continue, 550 5.7.1 or 451 4.7.1 with the reply
// text, discard, or quarantine (hold) and continue. Abort and close end an
// open message and free what it held.
//
// Shutdown. milter_session_drain(seconds, idle_seconds, &idle) stops new
// messages from starting and waits until no message is in flight (begun, not
// yet ended), the time is up, or no message in flight has had a word from the
// MTA for idle_seconds (the MTA has left them: their client went quiet or the
// MTA keeps the connection without an abort); it returns the number still in
// flight, and idle (may be null) is 1 when it stopped waiting for the last
// reason. Such messages are the MTA's to answer (it tempfails a message whose
// milter went away). Once it returned 0, callbacks no longer touch the rules,
// and the caller may free them: a message that starts afterwards is answered
// 451 4.7.1 at its end. Drain from one thread, once.
//
// milter_session_deadline(&until, ms): until becomes the CLOCK_REALTIME time
// ms milliseconds from now, as pthread_cond_timedwait takes it (the daemon's
// waits that look again every so often use it too).
#ifndef MILTER_MILTER_SESSION_H
#define MILTER_MILTER_SESSION_H

#include <stddef.h>
#include <stdint.h>

#include "milter_message.h"
#include "milter_nets.h"
#include "milter_rules.h"
#include "milter_stats.h"

struct smfiDesc;
struct timespec;

#ifdef __cplusplus
extern "C" {
#endif

enum {
  // Seconds libmilter waits for the MTA's next command before it closes the
  // connection: longer than an MTA keeps a quiet SMTP session and its milter
  // connection (Postfix smtpd_timeout 300 s; Sendmail Timeout.command 1 h), so
  // only a connection no MTA uses any more is closed.
  MILTER_SESSION_READ_TIMEOUT = 3660
};

typedef struct MilterSessionSetup {
  MilterRules *rules;         // the generations messages evaluate on
  MilterPolicy policy;        // action on spam and reply text (copied)
  int skip_authenticated;     // 1: authenticated senders pass unevaluated
  const MilterNets *trusted;  // clients passing unevaluated; may be null
  MilterStats *stats;         // where messages are counted
  int tcp;                    // 1: the MTA connects over TCP (DATA is answered)
  uint32_t max_connections;   // MTA connections served at once; 0 = no cap
} MilterSessionSetup;

void milter_session_describe(struct smfiDesc *description);
uint32_t milter_session_start(const MilterSessionSetup *setup);
uint32_t milter_session_drain(uint32_t seconds, uint32_t idle_seconds, int *idle);
void milter_session_deadline(struct timespec *until, uint32_t ms);

#ifdef __cplusplus
}
#endif

#endif
