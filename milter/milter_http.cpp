// milter_http - /metrics and /healthz over libmicrohttpd (see the header).
// The daemon binds the socket itself and hands it to the library, which then
// owns it. Tests: the Prometheus run (tests/milter_prometheus.py).
#include "milter_http.h"

#include <errno.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "milter_log.h"
#include "tlvpr_mem.h"

struct MilterHttp {
  int fd;                  // the listening socket; -1 once the library owns it
  struct MHD_Daemon *mhd;  // the server, or null before the start
  MilterMetrics *metrics;  // borrowed
};

namespace {

constexpr const char kMetricsType[] = "text/plain; version=0.0.4";

// milter_http_free_text - hands a scrape's text back to the tlvpr heap
void milter_http_free_text(void *text) { tlvpr_free(text); }

// milter_http_reply - queues a fixed answer
MHD_Result milter_http_reply(struct MHD_Connection *connection, unsigned status, const char *body,
                             const char *allow) {
  struct MHD_Response *response =
      MHD_create_response_from_buffer(strlen(body), (void *)body, MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
  if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  MHD_Result rc = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return rc;
}

// milter_http_answer - the library's request handler
MHD_Result milter_http_answer(void *cls, struct MHD_Connection *connection, const char *url,
                              const char *method, const char *, const char *, size_t *, void **) {
  MilterHttp *http = (MilterHttp *)cls;
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return milter_http_reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                             "GET, HEAD");
  }
  if (strcmp(url, "/healthz") == 0) {
    bool serving = milter_metrics_is_serving(http->metrics);
    return milter_http_reply(connection, serving ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE,
                             serving ? "ok\n" : "not serving\n", nullptr);
  }
  if (strcmp(url, "/metrics") != 0) {
    return milter_http_reply(connection, MHD_HTTP_NOT_FOUND, "not found\n", nullptr);
  }
  char *text = nullptr;
  size_t length = 0;
  if (milter_metrics_format(http->metrics, &text, &length) != 0) {
    return milter_http_reply(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "no memory\n", nullptr);
  }
  struct MHD_Response *response =
      MHD_create_response_from_buffer_with_free_callback(length, text, milter_http_free_text);
  if (response == nullptr) {
    tlvpr_free(text);
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kMetricsType);
  MHD_Result rc = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return rc;
}

}  // namespace

// milter_http_parse - HOST:PORT as a socket address
uint32_t milter_http_parse(const char *address, struct sockaddr_storage *storage,
                           socklen_t *length) {
  if (address == nullptr || storage == nullptr || length == nullptr) return 1;
  const char *colon = strrchr(address, ':');
  if (colon == nullptr || colon == address) return 1;
  char host[256];
  size_t host_len = (size_t)(colon - address);
  const char *start = address;
  if (address[0] == '[') {
    if (host_len < 3 || colon[-1] != ']') return 1;
    ++start;
    host_len -= 2;
  }
  if (host_len == 0 || host_len >= sizeof host) return 1;
  memcpy(host, start, host_len);
  host[host_len] = '\0';
  const char *port = colon + 1;
  size_t digits = strspn(port, "0123456789");
  if (digits == 0 || digits > 5 || port[digits] != '\0') return 1;
  long number = strtol(port, nullptr, 10);
  if (number < 1 || number > 65535) return 1;
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (address[0] == '[' ? AI_NUMERICHOST : 0);
  struct addrinfo *found = nullptr;
  if (getaddrinfo(host, port, &hints, &found) != 0 || found == nullptr) return 1;
  memcpy(storage, found->ai_addr, found->ai_addrlen);
  *length = found->ai_addrlen;
  freeaddrinfo(found);
  return 0;
}

// milter_http_open - binds and listens on the address
uint32_t milter_http_open(const char *address, MilterHttp **http, char *why, size_t why_size) {
  struct sockaddr_storage storage;
  socklen_t length = 0;
  if (milter_http_parse(address, &storage, &length) != 0) {
    return milter_reason(why, why_size, "%s: not HOST:PORT", address ? address : "(null)");
  }
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return milter_reason(why, why_size, "%s: socket: %s", address, strerror(errno));
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, (struct sockaddr *)&storage, length) != 0 || listen(fd, 64) != 0) {
    int err = errno;
    close(fd);
    return milter_reason(why, why_size, "%s: cannot listen: %s", address, strerror(err));
  }
  MilterHttp *made = (MilterHttp *)tlvpr_calloc(1, sizeof(MilterHttp));
  if (made == nullptr) {
    close(fd);
    return milter_reason(why, why_size, "no memory");
  }
  made->fd = fd;
  *http = made;
  return 0;
}

// milter_http_start - the server thread on the bound socket
uint32_t milter_http_start(MilterHttp *http, MilterMetrics *metrics) {
  if (http == nullptr || metrics == nullptr || http->mhd != nullptr) return 1;
  http->metrics = metrics;
  http->mhd =
      MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD, 0, nullptr, nullptr, milter_http_answer, http,
                       MHD_OPTION_LISTEN_SOCKET, (MHD_socket)http->fd, MHD_OPTION_CONNECTION_LIMIT,
                       (unsigned)MILTER_HTTP_CONNECTIONS, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                       (unsigned)MILTER_HTTP_PER_CLIENT, MHD_OPTION_CONNECTION_TIMEOUT,
                       (unsigned)MILTER_HTTP_TIMEOUT, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                       (size_t)MILTER_HTTP_MEMORY, MHD_OPTION_END);
  if (http->mhd == nullptr) return 1;
  http->fd = -1;
  return 0;
}

// milter_http_close - stops the server and frees the record
void milter_http_close(MilterHttp *http) {
  if (http == nullptr) return;
  if (http->mhd != nullptr) MHD_stop_daemon(http->mhd);
  if (http->fd >= 0) close(http->fd);
  tlvpr_free(http);
}
