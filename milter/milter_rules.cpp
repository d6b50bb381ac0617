// milter_rules - generations of configuration and module instance (see the
// header). One mutex guards the current pointer and the use counts; it is held
// only to pin, unpin and swap, never while the module initialises or
// evaluates. The current generation holds one use of its own, dropped when it
// is replaced. Tests: tests/milter_test.cpp, tests/milter_protocol_test.cpp
// (files refused and changes seen through the daemon).
#include "milter_rules.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tlvpr_mem.h"
#include "tlvpr_strings.h"
#include "tvr_status.h"

enum { MILTER_RULES_DIGEST = 32 };  // bytes of a SHA-256 digest

struct MilterGeneration {
  HdrwHost *host;                             // owned: the configuration and callback table
  void *instance;                             // owned: the module instance
  uint32_t uses;                              // pinned messages, plus one while current
  unsigned char digest[MILTER_RULES_DIGEST];  // of the configuration and rule file it read
};

struct MilterRules {
  const HdrwPlugin *plugin;   // borrowed
  char *load_point;           // owned copy
  char *config_path;          // owned copy
  int32_t threshold;          // of every message
  pthread_mutex_t mutex;      // guards current, abandoned and every generation's uses
  MilterGeneration *current;  // never null once open
  int abandoned;              // reloads give up: the daemon stops
};

// milter_rules_why - writes the reason of a refused file; gives MILTER_RULES_FILE
static uint32_t milter_rules_why(char *why, size_t why_size, const char *format, ...) {
  if (why != nullptr && why_size > 0) {
    va_list args;
    va_start(args, format);
    vsnprintf(why, why_size, format, args);
    va_end(args);
  }
  return MILTER_RULES_FILE;
}

// milter_rules_hash_file - adds a regular file's bytes to the digest
// Opened without blocking, so that a FIFO without a writer cannot hold the
// caller; anything but a regular file of at most MILTER_RULES_MAX_FILE bytes
// is refused before a byte is read. A file that grows while it is read is
// refused at the same size.
static uint32_t milter_rules_hash_file(EVP_MD_CTX *md, const char *path, char *why,
                                       size_t why_size) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return milter_rules_why(why, why_size, "%s: %s", path, strerror(errno));
  struct stat st;
  uint32_t rc = 0;
  if (fstat(fd, &st) != 0) {
    rc = milter_rules_why(why, why_size, "%s: %s", path, strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    rc = milter_rules_why(why, why_size, "%s: not a regular file", path);
  } else if (st.st_size > MILTER_RULES_MAX_FILE) {
    rc = milter_rules_why(why, why_size, "%s: larger than %d MiB (%lld bytes)", path,
                          MILTER_RULES_MAX_FILE >> 20, (long long)st.st_size);
  }
  char buffer[65536];
  uint64_t total = 0;
  while (rc == 0) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      rc = milter_rules_why(why, why_size, "%s: %s", path, strerror(errno));
    } else if ((total += (uint64_t)got) > MILTER_RULES_MAX_FILE) {
      rc = milter_rules_why(why, why_size, "%s: larger than %d MiB", path,
                            MILTER_RULES_MAX_FILE >> 20);
    } else if (EVP_DigestUpdate(md, buffer, (size_t)got) != 1) {
      rc = TVR_NO_MEMORY;
    }
  }
  close(fd);
  return rc;
}

// milter_rules_digest - the digest of the configuration and the rule file
static uint32_t milter_rules_digest(const MilterRules *rules, unsigned char *digest, char *why,
                                    size_t why_size) {
  size_t size = rules->load_point != nullptr ? strlen(rules->load_point) + 6 : 0;
  char *rule_path = size > 0 ? (char *)tlvpr_malloc(size) : nullptr;
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  uint32_t rc = 0;
  if ((size > 0 && rule_path == nullptr) || md == nullptr ||
      EVP_DigestInit_ex(md, EVP_sha256(), nullptr) != 1) {
    rc = TVR_NO_MEMORY;
  }
  if (rc == 0 && rules->config_path != nullptr)
    rc = milter_rules_hash_file(md, rules->config_path, why, why_size);
  if (rc == 0 && rule_path != nullptr) {
    snprintf(rule_path, size, "%s/kelv", rules->load_point);
    rc = milter_rules_hash_file(md, rule_path, why, why_size);
  }
  unsigned int len = 0;
  if (rc == 0 && EVP_DigestFinal_ex(md, digest, &len) != 1) rc = TVR_NO_MEMORY;
  EVP_MD_CTX_free(md);
  tlvpr_free(rule_path);
  return rc;
}

// milter_rules_make - reads the configuration and asks the module for an instance
// previous is the generation whose instance the module may hand back
// unchanged, offered only when the files' digest is the same; *reused tells
// whether it did (the new host is then freed and nothing is made).
static uint32_t milter_rules_make(const MilterRules *rules, const MilterGeneration *previous,
                                  MilterGeneration **made, bool *reused, char *why,
                                  size_t why_size) {
  *made = nullptr;
  *reused = false;
  unsigned char digest[MILTER_RULES_DIGEST];
  uint32_t rc = milter_rules_digest(rules, digest, why, why_size);
  if (rc != 0) return rc;
  void *offered = nullptr;
  if (previous != nullptr && memcmp(previous->digest, digest, sizeof digest) == 0)
    offered = previous->instance;
  HdrwHost *host = nullptr;
  rc = hdrw_host_create(&host, rules->plugin, rules->load_point, rules->config_path,
                        rules->threshold);
  if (rc != 0) return rc;
  void *instance = hdrw_host_init(host, offered);
  if (instance == nullptr) {
    hdrw_host_free(host);
    return MILTER_RULES_REFUSED;
  }
  if (offered != nullptr && instance == offered) {
    // The previous instance points at its own host's callback table: it stays
    // with its generation, and this host is not needed.
    hdrw_host_free(host);
    *reused = true;
    return 0;
  }
  MilterGeneration *generation = (MilterGeneration *)tlvpr_calloc(1, sizeof(MilterGeneration));
  if (generation == nullptr) {
    hdrw_host_free_instance(host, instance);
    hdrw_host_free(host);
    return TVR_NO_MEMORY;
  }
  generation->host = host;
  generation->instance = instance;
  generation->uses = 1;
  memcpy(generation->digest, digest, sizeof digest);
  *made = generation;
  return 0;
}

// milter_rules_free_generation - hands the instance back and frees the host
static void milter_rules_free_generation(MilterGeneration *generation) {
  hdrw_host_free_instance(generation->host, generation->instance);
  hdrw_host_free(generation->host);
  tlvpr_free(generation);
}

// milter_rules_open - the first generation (see the header)
uint32_t milter_rules_open(MilterRules **rules, const HdrwPlugin *plugin, const char *load_point,
                           const char *config_path, int32_t threshold, char *why, size_t why_size) {
  if (why != nullptr && why_size > 0) why[0] = '\0';
  if (rules == nullptr || plugin == nullptr) return TVR_BAD_ARGUMENT;
  MilterRules *made = (MilterRules *)tlvpr_calloc(1, sizeof(MilterRules));
  if (made == nullptr) return TVR_NO_MEMORY;
  made->plugin = plugin;
  made->threshold = threshold;
  uint32_t rc = 0;
  if ((load_point != nullptr && (made->load_point = tlvpr_strdup(load_point)) == nullptr) ||
      (config_path != nullptr && (made->config_path = tlvpr_strdup(config_path)) == nullptr)) {
    rc = TVR_NO_MEMORY;
  }
  bool reused = false;
  if (rc == 0) rc = milter_rules_make(made, nullptr, &made->current, &reused, why, why_size);
  if (rc == 0 && pthread_mutex_init(&made->mutex, nullptr) != 0) {
    milter_rules_free_generation(made->current);
    rc = TVR_NO_MEMORY;
  }
  if (rc != 0) {
    tlvpr_free(made->load_point);
    tlvpr_free(made->config_path);
    tlvpr_free(made);
    return rc;
  }
  *rules = made;
  return 0;
}

// milter_rules_reload - a new generation when the configuration or rules changed
uint32_t milter_rules_reload(MilterRules *rules, enum MilterReloadOutcome *outcome, char *why,
                             size_t why_size) {
  if (why != nullptr && why_size > 0) why[0] = '\0';
  if (outcome != nullptr) *outcome = MILTER_RELOAD_FAILED;
  if (rules == nullptr || outcome == nullptr) return TVR_BAD_ARGUMENT;
  pthread_mutex_lock(&rules->mutex);
  bool stopping = rules->abandoned;
  pthread_mutex_unlock(&rules->mutex);
  if (stopping) return MILTER_RULES_ABANDONED;
  // Only this thread replaces current, so reading it unlocked here is safe.
  MilterGeneration *old = rules->current;
  MilterGeneration *made = nullptr;
  bool reused = false;
  uint32_t rc = milter_rules_make(rules, old, &made, &reused, why, why_size);
  if (rc != 0) return rc;
  pthread_mutex_lock(&rules->mutex);
  bool abandoned = rules->abandoned;
  if (!abandoned && !reused) rules->current = made;
  bool last = !abandoned && !reused && --old->uses == 0;
  pthread_mutex_unlock(&rules->mutex);
  if (abandoned) {
    if (made != nullptr) milter_rules_free_generation(made);
    return MILTER_RULES_ABANDONED;
  }
  if (reused) {
    *outcome = MILTER_RELOAD_SAME;
    return 0;
  }
  if (last) milter_rules_free_generation(old);
  *outcome = MILTER_RELOAD_NEW;
  return 0;
}

// milter_rules_abandon - reloads from now on give up
void milter_rules_abandon(MilterRules *rules) {
  if (rules == nullptr) return;
  pthread_mutex_lock(&rules->mutex);
  rules->abandoned = 1;
  pthread_mutex_unlock(&rules->mutex);
}

// milter_rules_pin - the current generation, with one more use
MilterGeneration *milter_rules_pin(MilterRules *rules) {
  pthread_mutex_lock(&rules->mutex);
  MilterGeneration *generation = rules->current;
  ++generation->uses;
  pthread_mutex_unlock(&rules->mutex);
  return generation;
}

// milter_rules_unpin - drops one use; the last use of a replaced generation frees it
void milter_rules_unpin(MilterRules *rules, MilterGeneration *generation) {
  if (rules == nullptr || generation == nullptr) return;
  pthread_mutex_lock(&rules->mutex);
  bool last = --generation->uses == 0;
  pthread_mutex_unlock(&rules->mutex);
  if (last) milter_rules_free_generation(generation);
}

// milter_rules_evaluate - the module's verdict on one header block
uint32_t milter_rules_evaluate(const MilterGeneration *generation, const char *block,
                               uint32_t length, HdrwVerdict *verdict) {
  if (generation == nullptr) return TVR_BAD_ARGUMENT;
  return hdrw_host_evaluate(generation->host, generation->instance, block, length, length, verdict);
}

// milter_rules_threshold - the threshold of every message
int32_t milter_rules_threshold(const MilterRules *rules) {
  return rules == nullptr ? 0 : rules->threshold;
}

// milter_rules_instance - the current instance, for the reloading thread
const void *milter_rules_instance(const MilterRules *rules) {
  // Only the reloading thread replaces current, so reading it unlocked is safe.
  return rules == nullptr ? nullptr : rules->current->instance;
}

// milter_rules_close - frees the current generation and the record
void milter_rules_close(MilterRules *rules) {
  if (rules == nullptr) return;
  milter_rules_free_generation(rules->current);
  pthread_mutex_destroy(&rules->mutex);
  tlvpr_free(rules->load_point);
  tlvpr_free(rules->config_path);
  tlvpr_free(rules);
}
