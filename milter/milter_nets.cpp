// milter_nets - trusted client networks (see the header).
// Every prefix is kept as 16 bytes in IPv6 form (IPv4 as ::ffff:a.b.c.d with
// the length raised by 96), so one comparison serves both families.
// Tests: tests/milter_test.cpp.
#include "milter_nets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tvr_status.h"

namespace {

constexpr size_t kItemMax = 64;  // longest item text: an IPv6 address with a length

constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

struct MilterPrefix {
  unsigned char address[16];  // network address, host bits cleared
  uint32_t bits;              // prefix length in the IPv6 form, 0 to 128
};

struct MilterNets {
  uint32_t count;          // prefixes in use
  MilterPrefix prefix[1];  // count entries (at least one slot)
};

// milter_nets_mask - clears the bits of address below a prefix of bits
static void milter_nets_mask(unsigned char *address, uint32_t bits) {
  for (uint32_t i = 0; i < 16; ++i) {
    uint32_t keep = bits >= 8 * (i + 1) ? 8 : bits > 8 * i ? bits - 8 * i : 0;
    address[i] &= (unsigned char)(0xFF00u >> keep);
  }
}

// milter_nets_parse_item - one "ADDRESS[/LEN]" item; false when it does not parse
static bool milter_nets_parse_item(const char *item, MilterPrefix *out) {
  char text[kItemMax];
  size_t len = strlen(item);
  if (len == 0 || len >= sizeof text) return false;
  memcpy(text, item, len + 1);
  char *slash = strchr(text, '/');
  long bits = -1;
  if (slash != nullptr) {
    *slash = '\0';
    const char *digits = slash + 1;
    if (*digits < '0' || *digits > '9' || strlen(digits) > 3) return false;
    char *end = nullptr;
    bits = strtol(digits, &end, 10);
    if (*end != '\0') return false;
  }
  struct in_addr v4;
  struct in6_addr v6;
  if (inet_pton(AF_INET, text, &v4) == 1) {
    if (bits > 32) return false;
    memcpy(out->address, kMappedPrefix, 12);
    memcpy(out->address + 12, &v4, 4);
    out->bits = (uint32_t)(bits < 0 ? 32 : bits) + 96;
  } else if (inet_pton(AF_INET6, text, &v6) == 1) {
    if (bits > 128) return false;
    memcpy(out->address, &v6, 16);
    out->bits = (uint32_t)(bits < 0 ? 128 : bits);
  } else {
    return false;
  }
  milter_nets_mask(out->address, out->bits);
  return true;
}

// milter_nets_parse - reads a comma-separated list of prefixes
uint32_t milter_nets_parse(const char *text, MilterNets **nets, char *bad, size_t bad_size) {
  if (bad != nullptr && bad_size > 0) bad[0] = '\0';
  if (text == nullptr || nets == nullptr) return TVR_BAD_ARGUMENT;
  uint32_t slots = 1;
  for (const char *p = text; *p != '\0'; ++p) slots += *p == ',';
  MilterNets *made =
      (MilterNets *)tlvpr_calloc(1, sizeof(MilterNets) + (slots - 1) * sizeof(MilterPrefix));
  if (made == nullptr) return TVR_NO_MEMORY;
  const char *p = text;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '\0') {  // no item at all: an empty list
    *nets = made;
    return 0;
  }
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    const char *end = p;
    while (*end != ',' && *end != '\0') ++end;
    const char *last = end;
    while (last > p && (last[-1] == ' ' || last[-1] == '\t')) --last;
    char item[kItemMax];
    size_t len = (size_t)(last - p);
    bool ok = len > 0 && len < sizeof item;
    if (ok) {
      memcpy(item, p, len);
      item[len] = '\0';
      ok = milter_nets_parse_item(item, &made->prefix[made->count]);
    }
    if (!ok) {
      if (bad != nullptr && bad_size > 0) {
        size_t n = len < bad_size - 1 ? len : bad_size - 1;
        memcpy(bad, p, n);
        bad[n] = '\0';
      }
      tlvpr_free(made);
      return TVR_BAD_ARGUMENT;
    }
    ++made->count;
    if (*end == '\0') break;
    p = end + 1;
  }
  *nets = made;
  return 0;
}

// milter_nets_free - frees the list
void milter_nets_free(MilterNets *nets) { tlvpr_free(nets); }

// milter_nets_match - whether a client address lies in one of the prefixes
int milter_nets_match(const MilterNets *nets, const struct sockaddr *address) {
  if (nets == nullptr || address == nullptr) return 0;
  unsigned char client[16];
  if (address->sa_family == AF_INET) {
    const struct sockaddr_in *in = (const struct sockaddr_in *)address;
    memcpy(client, kMappedPrefix, 12);
    memcpy(client + 12, &in->sin_addr, 4);
  } else if (address->sa_family == AF_INET6) {
    memcpy(client, &((const struct sockaddr_in6 *)address)->sin6_addr, 16);
  } else {
    return 0;
  }
  for (uint32_t i = 0; i < nets->count; ++i) {
    unsigned char masked[16];
    memcpy(masked, client, 16);
    milter_nets_mask(masked, nets->prefix[i].bits);
    if (memcmp(masked, nets->prefix[i].address, 16) == 0) return 1;
  }
  return 0;
}

// milter_nets_count - the number of prefixes
uint32_t milter_nets_count(const MilterNets *nets) { return nets == nullptr ? 0 : nets->count; }

// milter_nets_everything - whether a prefix covers a whole address family
int milter_nets_everything(const MilterNets *nets) {
  if (nets == nullptr) return 0;
  for (uint32_t i = 0; i < nets->count; ++i) {
    const MilterPrefix &p = nets->prefix[i];
    if (p.bits == 0 || (p.bits == 96 && memcmp(p.address, kMappedPrefix, 12) == 0)) return 1;
  }
  return 0;
}
