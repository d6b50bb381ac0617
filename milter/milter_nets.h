// milter_nets - the trusted client networks: a list of IPv4 and IPv6 prefixes
//
// milter_nets_parse(text, &nets, bad, bad_size) reads "CIDR[,CIDR...]": each item
// an IPv4 address (dotted quad) or IPv6 address (any form inet_pton takes),
// optionally "/LEN" with LEN 0 to 32 or 0 to 128; without it the item is one
// address. Blanks around items are allowed, empty items are not. An IPv4 prefix
// also matches the IPv4-mapped IPv6 form of its addresses (::ffff:a.b.c.d), as
// a dual-stack MTA reports IPv4 clients. Host bits below the prefix are ignored
// (10.1.2.3/8 is 10.0.0.0/8). Results: 0 with *nets set (a tlvpr heap record
// the caller frees with milter_nets_free; an empty text gives an empty list);
// 10040 null argument or an item that does not parse (copied, cut to fit and
// terminated, into bad when bad is non-null and bad_size > 0); 10013 no memory.
// Nothing is logged.
//
// milter_nets_match(nets, address) is 1 when the socket address (AF_INET or
// AF_INET6; anything else, such as a unix socket client, never matches) lies
// in one of the prefixes, else 0; null arguments give 0. milter_nets_count(nets)
// is the number of prefixes; milter_nets_everything(nets) is 1 when one prefix
// covers every address of its family (0.0.0.0/0 or ::/0), else 0. The list is read-only after
// parsing: any number of threads may match at once.
#ifndef MILTER_MILTER_NETS_H
#define MILTER_MILTER_NETS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MilterNets MilterNets;

uint32_t milter_nets_parse(const char *text, MilterNets **nets, char *bad, size_t bad_size);
void milter_nets_free(MilterNets *nets);
int milter_nets_match(const MilterNets *nets, const struct sockaddr *address);
uint32_t milter_nets_count(const MilterNets *nets);
int milter_nets_everything(const MilterNets *nets);

#ifdef __cplusplus
}
#endif

#endif
