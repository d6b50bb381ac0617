// kelh_workload - a deterministic rule base and header blocks shaped like a
// public header rule set and the mail it is run on, for bench/kelh_bench.cpp.
//
// Rules (format version 2): at 340 rules about 97 on Subject, 59 on X-Mailer,
// 39 on From, 34 on Received, 21 on Content-Type, 17 on Message-ID and a few
// on each of 31 other names; about 3 in 100 without a literal header name
// (tried on every line). Almost all begin with "^Name:". Shapes: "^Name:.*"
// then a literal, letter-case classes ([Vv][Ii][Aa]...), gapped letters
// ([Ll].{0,2}[Ee]...), alternations of 10 to 20 words, counted classes
// ([0-9]{1,3}\.), anchored ends (...$), a few with ".*" several times and a
// few with a repeated group. The same generator scales to any count: the
// names keep their shares and the words come from a vocabulary that grows
// with the rule count, most of whose words never occur in the mail.
// Patterns keep to what POSIX extended syntax, PCRE2, RE2 and Hyperscan
// read alike.
//
// Header blocks: 1 to 8 KB (median about 3.2 KB), about 24 header lines,
// about 4.5 Received lines of 100 to 300 bytes, some lines over 768 bytes
// (signatures, long reference lists), folded lines, CR LF line ends; a third
// are spam-like, with words, case games and gapped spellings the rules look
// for.
#ifndef BENCH_KELH_WORKLOAD_H
#define BENCH_KELH_WORKLOAD_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace kelh_workload {

// ------------------------------------------------------------------ words

inline const std::vector<std::string> &spam_words() {
  static const std::vector<std::string> words = {
      "viagra",      "cialis",
      "casino",      "lottery",
      "winner",      "prize",
      "cheap",       "discount",
      "pills",       "pharmacy",
      "meds",        "loan",
      "mortgage",    "refinance",
      "bitcoin",     "invest",
      "profit",      "bonus",
      "offer",       "free",
      "urgent",      "exclusive",
      "limited",     "deal",
      "replica",     "watches",
      "rolex",       "weight",
      "diet",        "dating",
      "singles",     "inheritance",
      "beneficiary", "million",
      "dollars",     "transfer",
      "claim",       "congratulations",
      "selected",    "guaranteed",
      "income",      "unsubscribe",
      "click",       "verify",
      "account",     "suspended",
      "password",    "invoice",
      "payment",     "refund",
      "shipping",    "delivery",
      "parcel",      "tracking",
      "gift",        "card",
      "voucher",     "sale",
      "clearance",   "lowest",
      "save",        "credit",
      "debt",        "approved",
      "wealth",      "stocks",
      "forex",       "crypto",
      "trading",     "reward",
      "cash",        "earn",
      "jackpot",     "spins",
      "betting",     "slots",
      "enlarge",     "herbal",
      "miracle",     "secret",
      "opportunity", "risk",
      "trial",       "order",
      "now",         "today",
      "instant",
  };
  return words;
}

inline const std::vector<std::string> &ham_words() {
  static const std::vector<std::string> words = {
      "meeting",  "agenda",   "project", "review",  "report",   "quarterly", "update",
      "schedule", "minutes",  "notes",   "draft",   "proposal", "budget",    "team",
      "lunch",    "tomorrow", "release", "build",   "patch",    "kernel",    "conference",
      "travel",   "family",   "photos",  "weekend", "question", "thanks",    "hello",
      "regards",  "status",   "ticket",  "backup",  "planning", "contract",  "invoice",
      "customer", "support",  "server",  "network", "design",   "summary",   "feedback",
      "training", "holiday",  "office",  "dinner",  "birthday", "garden",
  };
  return words;
}

// Pseudo-words for rules beyond the common vocabulary: two to four syllables.
inline std::string pseudo_word(std::mt19937 &random) {
  static const char *const syllables[] = {"ka",  "lo",  "mi",  "ne",  "ru",  "sa",  "ti",  "vo",
                                          "zu",  "bra", "cle", "dro", "fle", "gri", "pla", "qua",
                                          "sto", "tre", "xan", "yel", "mor", "pex", "dal", "fin"};
  std::string word;
  const int n = 2 + static_cast<int>(random() % 3);
  for (int i = 0; i < n; ++i) {
    word += syllables[random() % (sizeof syllables / sizeof syllables[0])];
  }
  return word;
}

template <class T>
const T &pick(std::mt19937 &random, const std::vector<T> &list) {
  return list[random() % list.size()];
}

inline int chance(std::mt19937 &random, int percent) {
  return static_cast<int>(random() % 100) < percent;
}

// ------------------------------------------------------------------ rules

// A word the rules look for: common (it occurs in mail) with a share that
// shrinks as the rule base grows, else a pseudo-word that never does.
inline std::string rule_word(std::mt19937 &random, int rules) {
  const int common = static_cast<int>(std::lround(45.0 * std::pow(340.0 / rules, 0.5)));
  if (chance(random, common)) {
    return chance(random, 90) ? pick(random, spam_words()) : pick(random, ham_words());
  }
  return pseudo_word(random);
}

inline std::string hex(std::mt19937 &random, int count, bool upper = false) {
  const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (int n = 0; n < count; ++n) {
    text += digits[random() % 16];
  }
  return text;
}

inline std::string number(std::mt19937 &random, unsigned from, unsigned to) {
  return std::to_string(from + random() % (to - from + 1));
}

// [Vv][Ii][Aa]... for a word
inline std::string case_classes(const std::string &word) {
  std::string out;
  for (char c : word) {
    if (c >= 'a' && c <= 'z') {
      out += '[';
      out += static_cast<char>(c - 32);
      out += c;
      out += ']';
    } else {
      out += c;
    }
  }
  return out;
}

// [Vv].{0,2}[Ii].{0,2}... for a word's first letters
inline std::string gapped(const std::string &word, size_t letters) {
  std::string out;
  for (size_t i = 0; i < word.size() && i < letters; ++i) {
    if (i != 0) {
      out += ".{0,2}";
    }
    out += '[';
    out += static_cast<char>(word[i] - 32);
    out += word[i];
    out += ']';
  }
  return out;
}

inline std::string alternation(std::mt19937 &random, int rules, int min, int max) {
  const int n = min + static_cast<int>(random() % static_cast<unsigned>(max - min + 1));
  std::string out = "(";
  for (int i = 0; i < n; ++i) {
    if (i != 0) {
      out += '|';
    }
    out += rule_word(random, rules);
  }
  out += ')';
  return out;
}

inline const std::vector<std::string> &mailers() {
  static const std::vector<std::string> names = {"Microsoft Outlook Express 6.00.2900.2180",
                                                 "Microsoft Outlook 16.0",
                                                 "The Bat! (v3.5.25)",
                                                 "PHPMailer 5.2.9",
                                                 "Foxmail 6, 13, 102, 15 [cn]",
                                                 "Mozilla Thunderbird 115.3",
                                                 "Apple Mail (2.3654)",
                                                 "MailChimp Mailer",
                                                 "sendmail 8.17.1",
                                                 "Roundcube Webmail/1.6.5",
                                                 "Internet Mail Service (5.5.2653.19)",
                                                 "QUALCOMM Windows Eudora Version 7.1",
                                                 "AOL 9.0 for Windows US sub 5035",
                                                 "Becky! ver. 2.75.03",
                                                 "Atlas Mailer 2.0",
                                                 "Dynamic Mailer 3.1",
                                                 "Mass Sender Pro 4.0",
                                                 "Group Mail Pro",
                                                 "Express Blaster 2",
                                                 "Kiwi Mail 1.2",
                                                 "Nova Send 5.5 [ru]",
                                                 "BulkMailer 7.0",
                                                 "Turbo Mail 2.1"};
  return names;
}

inline const std::vector<std::string> &tlds() {
  static const std::vector<std::string> list = {"com",  "net",   "org", "de", "ru", "cn", "biz",
                                                "info", "co.uk", "io",  "br", "kr", "in", "top"};
  return list;
}

// One rule pattern on a header name (or on every line for an empty name).
inline std::string rule_pattern(std::mt19937 &random, const std::string &name, int rules) {
  const std::string w1 = rule_word(random, rules);
  const std::string w2 = rule_word(random, rules);
  const std::string anchor = "^" + name + ":";
  const unsigned kind = random() % 100;
  if (name == "Subject") {
    if (kind < 28) return anchor + ".*" + alternation(random, rules, 10, 20);
    if (kind < 46) return anchor + ".*" + case_classes(w1);
    if (kind < 60) return anchor + ".*" + gapped(w1, 3 + random() % 4);
    if (kind < 68) return anchor + " (Re: |Fwd: |RE: )?" + w1;
    if (kind < 76) return anchor + ".*(!!!|\\$\\$\\$|\\?\\?\\?|" + w1 + ")$";
    if (kind < 82) return anchor + ".*[0-9]{2,3}% (off|discount|" + w1 + ")";
    if (kind < 87) return anchor + " *[A-Z][A-Z !]{14,}$";
    if (kind < 92) return anchor + ".*" + w1 + ".*" + w2;
    if (kind < 95) return anchor + ".*\\$[0-9]{1,3}(,[0-9]{3})+";
    return anchor + ".*[^ -~]{3,}";
  }
  if (name == "X-Mailer") {
    if (kind < 35) {
      std::string out = anchor + " (";
      const int n = 10 + static_cast<int>(random() % 11);
      for (int i = 0; i < n; ++i) {
        std::string m = chance(random, 60) ? pick(random, mailers()) : pseudo_word(random);
        if (i != 0) {
          out += '|';
        }
        out += m.substr(0, m.find_first_of(" (["));
      }
      return out + ")";
    }
    if (kind < 60) {
      std::string m = chance(random, 70) ? pick(random, mailers()) : pseudo_word(random);
      m = m.substr(0, m.find_first_of(" (["));
      return anchor + " .*" + m + " [0-9]\\.[0-9]";
    }
    if (kind < 75) {
      return anchor + " [A-Z][a-z]+ (Mail|Mailer|Sender)[a-z]* " + number(random, 1, 9) +
             "\\.[0-9]+";
    }
    if (kind < 88) return anchor + ".*" + case_classes(chance(random, 50) ? "bulk" : w1);
    return anchor + " *$";
  }
  if (name == "From") {
    if (kind < 25) return anchor + ".*@" + alternation(random, rules, 10, 14) + "\\.(com|net)";
    if (kind < 45) return anchor + ".*" + alternation(random, rules, 10, 16);
    if (kind < 60) return anchor + " \"?[A-Z][a-z]+ [A-Z]\\.? [A-Z][a-z]+\"? <";
    if (kind < 72) return anchor + ".*" + w1 + "[0-9]{4,}@";
    if (kind < 86) return anchor + ".*@[a-z0-9.-]*\\.(" + pick(random, tlds()) + "|biz|info)>?$";
    return anchor + ".*" + case_classes(w1);
  }
  if (name == "Received") {
    if (kind < 18) return anchor + " from [^ ]*" + w1 + "[^ ]*\\.(ru|cn|kr|br|top) ";
    if (kind < 32) return anchor + " from [^ ]+ \\(HELO " + w1 + "\\)";
    if (kind < 46) {
      return anchor + " from .*\\[" + number(random, 1, 223) +
             "\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\]";
    }
    if (kind < 62) return anchor + ".*" + alternation(random, rules, 10, 15);
    if (kind < 72) return anchor + " by " + number(random, 1, 223) + "\\.[0-9.]+ with SMTP";
    if (kind < 82) return anchor + ".*with ESMTPS? id " + hex(random, 2, true) + "[A-F0-9]{8,}";
    if (kind < 90) return anchor + ".*from.*" + w1 + ".*by";
    return anchor + ".*" + w1;
  }
  if (name == "Content-Type") {
    if (kind < 30) return anchor + " text/html; charset=\"?" + w1;
    if (kind < 65) {
      return anchor + ".*charset=\"?(koi8-r|big5|ks_c_5601|iso-2022-jp|" + w1 + ")";
    }
    if (kind < 85) {
      return anchor + " multipart/(mixed|related|alternative);.*boundary=\"?----=_NextPart_" +
             number(random, 0, 9) + "[0-9]{2}_";
    }
    return anchor + ".*" + w1;
  }
  if (name == "Message-ID") {
    if (kind < 25) return anchor + " <[0-9a-f]{8}\\.[0-9a-f]{8}@[a-z0-9.-]*" + w1;
    if (kind < 45) return anchor + " <[A-Z0-9]{10,}@" + w1;
    if (kind < 65) return anchor + ".*@(localhost|local|mail|" + w1 + ")>$";
    if (kind < 80) return anchor + " <[0-9]+\\.[0-9]+\\.JavaMail\\.";
    return anchor + ".*" + w1;
  }
  if (name.empty()) {
    switch (random() % 5) {
      case 0:
        return "^(From|Reply-To|Sender):.*@" + alternation(random, rules, 10, 12);
      case 1:
        return "=\\?(utf-8|koi8-r|windows-1251)\\?[BbQq]\\?" + w1;
      case 2:
        return "[0-9]{3}-[0-9]{3}-[0-9]{4}.*" + w1;
      case 3:
        return "(click|visit) (here|below|" + w1 + ")";
      default:
        return "^X-[A-Za-z-]+: .*" + case_classes(w1);
    }
  }
  // Names with a few rules each.
  if (kind < 30) return anchor + ".*" + w1;
  if (kind < 50) return anchor + " " + alternation(random, rules, 10, 12);
  if (kind < 65) return anchor + ".*" + case_classes(w1);
  if (kind < 80) return anchor + " *$";
  if (kind < 90) return anchor + " \\[?" + number(random, 1, 223) + "\\.[0-9]{1,3}\\.";
  return anchor + ".*" + w1 + "$";
}

inline const std::vector<std::string> &other_names() {
  static const std::vector<std::string> names = {"To",
                                                 "Reply-To",
                                                 "Return-Path",
                                                 "Date",
                                                 "X-Priority",
                                                 "X-MSMail-Priority",
                                                 "X-MimeOLE",
                                                 "Content-Transfer-Encoding",
                                                 "MIME-Version",
                                                 "Cc",
                                                 "Organization",
                                                 "X-Originating-IP",
                                                 "List-Unsubscribe",
                                                 "User-Agent",
                                                 "X-Sender",
                                                 "Errors-To",
                                                 "X-Accept-Language",
                                                 "Importance",
                                                 "X-Complaints-To",
                                                 "Sender",
                                                 "Disposition-Notification-To",
                                                 "X-Library",
                                                 "Precedence",
                                                 "In-Reply-To",
                                                 "References",
                                                 "X-Virus-Scanned",
                                                 "Thread-Index",
                                                 "Content-Disposition",
                                                 "X-Campaign",
                                                 "X-Source",
                                                 "X-AntiAbuse"};
  return names;
}

// The rule text of count rules (format version 2), about 1 in 50 a
// two-line rule and 1 in 30 with a negative weight.
inline std::string rules_text(int count, uint32_t seed) {
  std::mt19937 random(seed);
  // Shares per name at 340 rules.
  struct Share {
    const char *name;
    int weight;
  };
  std::vector<Share> shares = {{"Subject", 97},  {"X-Mailer", 59},     {"From", 39},
                               {"Received", 34}, {"Content-Type", 21}, {"Message-ID", 17},
                               {"", 10}};
  int used = 0;
  for (const Share &s : shares) {
    used += s.weight;
  }
  for (const std::string &name : other_names()) {
    shares.push_back({name.c_str(), 0});
  }
  const int rest = 340 - used;  // spread over the other names
  for (size_t i = 7; i < shares.size(); ++i) {
    shares[i].weight = rest / static_cast<int>(other_names().size()) +
                       (static_cast<int>(i - 7) < rest % static_cast<int>(other_names().size()));
  }
  std::vector<int> cumulative;
  int total = 0;
  for (const Share &s : shares) {
    total += s.weight;
    cumulative.push_back(total);
  }
  std::string text = "# version 04/18/2001/002\n";
  char line[1024];
  for (int id = 1; id <= count; ++id) {
    const int at = static_cast<int>(random() % static_cast<unsigned>(total));
    size_t which = 0;
    while (cumulative[which] <= at) {
      ++which;
    }
    const std::string name = shares[which].name;
    int weight = 1 + static_cast<int>(random() % 40);
    if (random() % 30 == 0) {
      weight = -1 - static_cast<int>(random() % 20);
    }
    if (random() % 50 == 0) {
      // Two lines: both must match somewhere; the weight is the last line's.
      snprintf(line, sizeof line, "%010d%03d005&+%s\n", id, 0,
               rule_pattern(random, "From", count).c_str());
      text += line;
      snprintf(line, sizeof line, "%010d%03d005&.%s\n", id, weight < 0 ? 5 : weight,
               rule_pattern(random, "Subject", count).c_str());
      text += line;
      continue;
    }
    const std::string pattern = rule_pattern(random, name, count);
    if (weight < 0) {
      snprintf(line, sizeof line, "%010d-%02d001&-%s\n", id, -weight, pattern.c_str());
    } else {
      snprintf(line, sizeof line, "%010d%03d001&-%s\n", id, weight, pattern.c_str());
    }
    text += line;
  }
  return text;
}

// ------------------------------------------------------------------ mail

inline std::string base64(std::mt19937 &random, int count) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (int n = 0; n < count; ++n) {
    text += alphabet[random() % 64];
  }
  return text;
}

inline std::string ip(std::mt19937 &random) {
  char text[32];
  snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(1 + random() % 223),
           static_cast<unsigned>(random() % 256), static_cast<unsigned>(random() % 256),
           static_cast<unsigned>(1 + random() % 254));
  return text;
}

inline std::string domain(std::mt19937 &random, bool spam) {
  std::string name =
      spam && chance(random, 50) ? pick(random, spam_words()) : pick(random, ham_words());
  if (chance(random, 40)) {
    name += "-" + pick(random, ham_words());
  }
  return name + "." + pick(random, tlds());
}

inline std::string host(std::mt19937 &random, bool spam) {
  static const std::vector<std::string> parts = {"mail", "mx", "smtp", "relay", "out",     "mta",
                                                 "edge", "in", "dsl",  "pool",  "dynamic", "cable"};
  std::string name = pick(random, parts);
  if (spam && chance(random, 40)) {
    name += "-" + std::to_string(random() % 256) + "-" + std::to_string(random() % 256);
  } else {
    name += std::to_string(random() % 40);
  }
  return name + "." + domain(random, spam);
}

inline std::string address(std::mt19937 &random, bool spam) {
  std::string local = pick(random, ham_words());
  if (spam && chance(random, 30)) {
    local += std::to_string(1000 + random() % 90000);
  } else if (chance(random, 50)) {
    local += "." + pick(random, ham_words());
  }
  return local + "@" + domain(random, spam);
}

// A word as spam writes it: as is, upper case, or spelled with gaps.
inline std::string spam_spelling(std::mt19937 &random, const std::string &word) {
  const unsigned how = random() % 10;
  if (how < 5) {
    return word;
  }
  std::string out;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (how < 8 && c >= 'a' && c <= 'z' && chance(random, 50)) {
      c = static_cast<char>(c - 32);
    }
    out += c;
    if (how >= 8 && i + 1 < word.size()) {
      out += "-._ "[random() % 4];
    }
  }
  return out;
}

inline std::string phrase(std::mt19937 &random, bool spam, int words) {
  std::string out;
  for (int i = 0; i < words; ++i) {
    if (i != 0) {
      out += ' ';
    }
    out += spam && chance(random, 55) ? spam_spelling(random, pick(random, spam_words()))
                                      : pick(random, ham_words());
  }
  return out;
}

inline std::string date(std::mt19937 &random) {
  static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[80];
  snprintf(text, sizeof text, "%s, %u %s 2026 %02u:%02u:%02u %c%02u00", days[random() % 7],
           static_cast<unsigned>(1 + random() % 28), months[random() % 12],
           static_cast<unsigned>(random() % 24), static_cast<unsigned>(random() % 60),
           static_cast<unsigned>(random() % 60), chance(random, 50) ? '+' : '-',
           static_cast<unsigned>(random() % 12));
  return text;
}

// A Received line of 100 to 300 bytes, folded.
inline std::string received(std::mt19937 &random, bool spam) {
  const std::string from = host(random, spam);
  const std::string address_ip = ip(random);
  std::string text;
  switch (random() % 4) {
    case 0:
      text = "Received: from " + from + " (" + from + " [" + address_ip + "])\r\n\tby " +
             host(random, false) + " (Postfix) with ESMTPS id " + hex(random, 10, true) +
             "\r\n\tfor <" + address(random, false) + ">; " + date(random) + "\r\n";
      break;
    case 1:
      text = "Received: from " + (spam ? "unknown" : from) + " (HELO " + pick(random, ham_words()) +
             ") (" + address_ip + ")\r\n  by " + host(random, false) + " with SMTP; " +
             date(random) + "\r\n";
      break;
    case 2:
      text = "Received: by " + ip(random) + " with SMTP id " + base64(random, 12) +
             ";\r\n        " + date(random) + "\r\n";
      break;
    default:
      text = "Received: from [" + address_ip + "] (port=" + std::to_string(random() % 65536) +
             " helo=" + from + ")\r\n\tby " + host(random, false) +
             " with esmtpa (Exim 4.96)\r\n\tid 1r" + base64(random, 14) + "; " + date(random) +
             "\r\n";
      break;
  }
  return text;
}

// One header block; spam blocks carry what the rules look for more often.
inline std::string header_block(std::mt19937 &random, size_t target, bool spam) {
  std::string top =
      "Return-Path: <" + (spam && chance(random, 10) ? "" : address(random, spam)) + ">\r\n";
  top += "Delivered-To: " + address(random, false) + "\r\n";
  std::string chain;
  const int hops = 2 + static_cast<int>(random() % 6);  // 2 to 7
  for (int i = 0; i < hops; ++i) {
    chain += received(random, spam && i + 1 == hops);
  }
  std::string rest;
  if (chance(random, 60)) {
    rest += "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=" + domain(random, spam) +
            ";\r\n\ts=selector1; t=1765161667;\r\n\th=from:to:subject:date:message-id:"
            "mime-version:content-type;\r\n\tbh=" +
            base64(random, 44) + ";\r\n\tb=";
    const int chunks = 4 + static_cast<int>(random() % 8);
    for (int n = 0; n < chunks; ++n) {
      rest += base64(random, 70) + "\r\n\t ";
    }
    rest += base64(random, 20) + "\r\n";
  }
  rest += "Authentication-Results: " + host(random, false) +
          ";\r\n\tdkim=pass header.d=" + domain(random, false) +
          ";\r\n\tspf=" + (spam ? "softfail" : "pass") + " smtp.mailfrom=" + address(random, spam) +
          "\r\n";
  const std::string sender = phrase(random, spam, 2);
  rest += "From: \"" + sender + "\" <" + address(random, spam) + ">\r\n";
  rest += "To: " +
          (spam && chance(random, 20) ? std::string("undisclosed-recipients:;")
                                      : address(random, false)) +
          "\r\n";
  if (chance(random, 30)) {
    rest += "Cc: " + address(random, false) + ",\r\n " + address(random, false) + "\r\n";
  }
  std::string subject = phrase(random, spam, 3 + static_cast<int>(random() % 6));
  if (spam && chance(random, 20)) {
    subject += " " + std::to_string(10 + random() % 80) + "% off";
  }
  if (spam && chance(random, 10)) {
    subject += "!!!";
  }
  if (chance(random, 20)) {
    subject = (chance(random, 50) ? "Re: " : "Fwd: ") + subject;
  }
  rest += "Subject: " + subject + "\r\n";
  rest += "Date: " + date(random) + "\r\n";
  if (spam && chance(random, 40)) {
    rest += "Message-ID: <" + hex(random, 12, true) + "@" + domain(random, true) + ">\r\n";
  } else {
    rest += "Message-ID: <" + hex(random, 8) + "." + hex(random, 8) + "@" + host(random, spam) +
            ">\r\n";
  }
  rest += "MIME-Version: 1.0\r\n";
  if (chance(random, 50)) {
    rest += "Content-Type: multipart/alternative;\r\n\tboundary=\"----=_NextPart_" +
            std::to_string(random() % 1000) + "_" + hex(random, 12) + "\"\r\n";
  } else {
    static const std::vector<std::string> charsets = {"utf-8",        "iso-8859-1", "us-ascii",
                                                      "windows-1251", "koi8-r",     "gb2312"};
    rest += std::string("Content-Type: text/") + (chance(random, 50) ? "html" : "plain") +
            "; charset=\"" + (spam ? pick(random, charsets) : std::string("utf-8")) + "\"\r\n";
  }
  if (chance(random, spam ? 70 : 35)) {
    rest += "X-Mailer: " + pick(random, mailers()) + "\r\n";
  }
  if (spam && chance(random, 40)) {
    rest += "X-Priority: " + std::to_string(1 + random() % 3) + "\r\nX-MSMail-Priority: High\r\n";
  }
  if (chance(random, 40)) {
    rest += "List-Unsubscribe: <mailto:unsubscribe@" + domain(random, spam) + ">,\r\n <https://" +
            host(random, spam) + "/unsubscribe?id=" + hex(random, 24) + ">\r\n";
  }
  if (chance(random, 30)) {
    rest += "X-Originating-IP: [" + ip(random) + "]\r\n";
  }
  if (chance(random, 20)) {
    rest += "Organization: " + phrase(random, spam, 2) + "\r\n";
  }
  if (chance(random, 20)) {
    rest += "User-Agent: " + pick(random, mailers()) + "\r\n";
  }
  rest += "X-Spam-Checker-Version: 4.0.0 on " + host(random, false) + "\r\n";
  // Filler up to the target: references of a long thread, list headers.
  while (top.size() + chain.size() + rest.size() < target) {
    switch (random() % 3) {
      case 0: {
        std::string refs = "References:";
        const int n = 3 + static_cast<int>(random() % 12);
        for (int i = 0; i < n; ++i) {
          refs += " <" + hex(random, 16) + "@" + host(random, false) + ">\r\n";
        }
        rest += refs;
        break;
      }
      case 1:
        rest += "X-Campaign: " + hex(random, 24) + "." + pick(random, ham_words()) + "\r\n";
        rest += "List-Id: " + phrase(random, spam, 2) + " <" + domain(random, spam) + ">\r\n";
        break;
      default:
        rest += "ARC-Seal: i=1; a=rsa-sha256; t=1765161667; cv=none; d=" + domain(random, false) +
                "; s=arc;\r\n\tb=" + base64(random, 76) + "\r\n\t " + base64(random, 60) + "\r\n";
        break;
    }
  }
  return top + chain + rest + "\r\n";
}

inline std::vector<std::string> messages(int count, uint32_t seed) {
  std::mt19937 random(seed);
  std::lognormal_distribution<double> size(std::log(2900.0), 0.5);
  std::vector<std::string> blocks;
  while (static_cast<int>(blocks.size()) < count) {
    const size_t target = static_cast<size_t>(size(random));
    std::string block = header_block(random, target, chance(random, 35));
    if (block.size() >= 1024 && block.size() <= 8192) {
      blocks.push_back(block);
    }
  }
  return blocks;
}

}  // namespace kelh_workload

#endif
