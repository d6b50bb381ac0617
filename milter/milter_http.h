// milter_http - the milter's HTTP endpoint for Prometheus: /metrics and /healthz
//
// The server is libmicrohttpd on one thread of its own (epoll), beside the
// mail path: it only reads the metrics record (milter_metrics.h), whose
// scrape never takes a lock a message waits on. Hostile clients meet the
// library's limits: at most MILTER_HTTP_CONNECTIONS connections at once
// (MILTER_HTTP_PER_CLIENT from one address), MILTER_HTTP_TIMEOUT seconds of
// silence close a connection, and a request (line and headers) that does not
// fit in MILTER_HTTP_MEMORY bytes is refused and its connection closed.
//
// milter_http_parse(address, &storage, &length) reads HOST:PORT: an IPv4
// address, an IPv6 address in brackets ("[::1]:9100") or a host name (its
// first address), and a port from 1 to 65535. Results: 0 with the socket
// address; 1 not of that form or the name does not resolve.
//
// milter_http_open(address, &http, why, why_size) parses the address and
// binds and listens on it (SO_REUSEADDR, close-on-exec), before the daemon
// gives up root, so a port below 1024 works too. Results: 0 with *http set;
// 1 with one line of reason in why (terminated; why_size > 0). The endpoint
// answers nothing until milter_http_start(http, metrics), which starts the
// server thread: 0, or 1 when the library would not start.
// milter_http_close(http) stops the server (letting an answer in progress
// finish), closes the socket and frees the record; null is ignored.
//
// Answers: GET or HEAD /metrics: 200, "text/plain; version=0.0.4", every
// series; 500 when there is no memory for the text. GET or HEAD /healthz: 200
// "ok" while a rule instance serves, 503 "not serving" otherwise. Any other
// path 404; any other method 405 with "Allow: GET, HEAD".
#ifndef MILTER_MILTER_HTTP_H
#define MILTER_MILTER_HTTP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#include "milter_metrics.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  MILTER_HTTP_CONNECTIONS = 32,  // connections at once
  MILTER_HTTP_PER_CLIENT = 16,   // of them from one address
  MILTER_HTTP_TIMEOUT = 10,      // seconds a connection may stay silent
  MILTER_HTTP_MEMORY = 16384     // bytes of request (line and headers) per connection
};

typedef struct MilterHttp MilterHttp;

uint32_t milter_http_parse(const char *address, struct sockaddr_storage *storage,
                           socklen_t *length);
uint32_t milter_http_open(const char *address, MilterHttp **http, char *why, size_t why_size);
uint32_t milter_http_start(MilterHttp *http, MilterMetrics *metrics);
void milter_http_close(MilterHttp *http);

#ifdef __cplusplus
}
#endif

#endif
