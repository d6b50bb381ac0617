// milter_check - one option negotiation with a milter (see the header).
// A packet is a 32-bit big-endian length, a command byte and its data; the
// negotiation carries the protocol version, the actions and the steps.
// Tests: the Prometheus run (tests/milter_prometheus.py).
#include "milter_check.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "milter_log.h"

namespace {

constexpr uint32_t kVersion = 6;
constexpr uint32_t kAllActions = 0x1FF;
constexpr uint32_t kAllSteps = 0x1FFFFF;

// milter_check_connect - a connected socket to the address, or -1 with errno set
int milter_check_connect(const char *address, uint32_t timeout, bool *bad_address) {
  *bad_address = false;
  const char *path = nullptr;
  if (strncmp(address, "unix:", 5) == 0) path = address + 5;
  if (strncmp(address, "local:", 6) == 0) path = address + 6;
  if (address[0] == '/') path = address;
  struct sockaddr_storage storage = {};
  socklen_t length = 0;
  if (path != nullptr) {
    struct sockaddr_un *un = (struct sockaddr_un *)&storage;
    if (path[0] == '\0' || strlen(path) >= sizeof un->sun_path) {
      *bad_address = true;
      return -1;
    }
    un->sun_family = AF_UNIX;
    strcpy(un->sun_path, path);
    length = sizeof *un;
  } else {
    int family = strncmp(address, "inet:", 5) == 0    ? AF_INET
                 : strncmp(address, "inet6:", 6) == 0 ? AF_INET6
                                                      : AF_UNSPEC;
    const char *rest = strchr(address, ':');
    const char *at = rest != nullptr ? strchr(rest, '@') : nullptr;
    if (family == AF_UNSPEC || at == nullptr || at == rest + 1 || at[1] == '\0' ||
        (size_t)(at - rest - 1) > 5) {
      *bad_address = true;
      return -1;
    }
    char port[8];
    snprintf(port, sizeof port, "%.*s", (int)(at - rest - 1), rest + 1);
    struct addrinfo hints = {};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(at + 1, port, &hints, &found) != 0 || found == nullptr) {
      *bad_address = true;
      return -1;
    }
    memcpy(&storage, found->ai_addr, found->ai_addrlen);
    length = found->ai_addrlen;
    freeaddrinfo(found);
  }
  int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct timeval limit = {(time_t)timeout, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(fd, (struct sockaddr *)&storage, length) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// milter_check_read - reads exactly size bytes; false at the end or on a failure
bool milter_check_read(int fd, unsigned char *out, size_t size) {
  while (size > 0) {
    ssize_t got = read(fd, out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= (size_t)got;
  }
  return true;
}

// milter_check_put32 - a 32-bit value in network order
void milter_check_put32(unsigned char *at, uint32_t value) {
  uint32_t net = htonl(value);
  memcpy(at, &net, 4);
}

}  // namespace

// milter_check - one negotiation (see the header)
uint32_t milter_check(const char *address, uint32_t timeout, char *why, size_t why_size) {
  if (why != nullptr && why_size > 0) why[0] = '\0';
  if (address == nullptr) return milter_reason(why, why_size, "no address");
  bool bad_address = false;
  int fd = milter_check_connect(address, timeout == 0 ? 1 : timeout, &bad_address);
  if (fd < 0) {
    if (bad_address) {
      return milter_reason(why, why_size, "%s: not unix:PATH, inet:PORT@HOST or inet6:PORT@HOST",
                           address);
    }
    return milter_reason(why, why_size, "%s: cannot connect: %s", address, strerror(errno));
  }
  unsigned char packet[17];
  milter_check_put32(packet, 13);
  packet[4] = 'O';
  milter_check_put32(packet + 5, kVersion);
  milter_check_put32(packet + 9, kAllActions);
  milter_check_put32(packet + 13, kAllSteps);
  uint32_t rc = 0;
  unsigned char head[5];
  if (write(fd, packet, sizeof packet) != (ssize_t)sizeof packet) {
    rc = milter_reason(why, why_size, "%s: cannot send the negotiation: %s", address,
                       strerror(errno));
  } else if (!milter_check_read(fd, head, sizeof head)) {
    rc = milter_reason(why, why_size, "%s: no answer to the negotiation%s%s", address,
                       errno == EAGAIN ? " within the timeout" : "",
                       errno == EAGAIN ? "" : " (connection closed)");
  } else if (head[4] != 'O') {
    rc = milter_reason(why, why_size, "%s: answered '%c' instead of a negotiation", address,
                       head[4] >= 0x20 && head[4] < 0x7F ? head[4] : '?');
  } else {
    unsigned char quit[5];
    milter_check_put32(quit, 1);
    quit[4] = 'Q';
    if (write(fd, quit, sizeof quit) < 0) {
      // The answer came; a milter that is already gone again is the next check's business.
    }
  }
  close(fd);
  return rc;
}
