// tvr_status - the status codes of the whole system, by name
//
// Every fallible call of the library answers 0 for success or one of these
// codes (the regex engine answers its REGX_ codes, the runtime like the C
// library); a log record's code is one of them too. Units use the names, so a
// grep for a name finds every place that returns, logs or tests for it.
//
// Two kinds:
// - TVR_STATUS_LOGGED: codes with a text in the message catalog
//   (tvr_messages.h). They are what log readers see; many are also returned.
// - TVR_STATUS_RETURNED: codes that are only returned, never logged: the
//   catalog has no text for them. Each comes with the text a caller shows for
//   it ("" where the system has none): tvr_returned_text (tvr_messages.h).
// tvr_messages.cpp checks at compile time that every logged code has a catalog
// text, that every returned code has none, and that the catalog holds no code
// this header does not name.
//
// Some failures have more than one code, each on its own path and each seen
// by hosts or log readers as it stands: no memory is 10013 for most results,
// 10001 and 10008 (with the size) where the failed allocation is logged, and
// 10055 from the log file cleanup; a null argument is 10040 for inner
// routines, 10018 (with the routine's name) where an entry point logs it, and
// 10028 from the text list.
//
// Each list is X(name, code) or X(name, code, text); in C++ the names are
// constexpr uint32_t, in C enumerators. Plain data, no state.
#ifndef COMMON_UTILS_SRC_TVR_STATUS_H
#define COMMON_UTILS_SRC_TVR_STATUS_H

#include <stdint.h>

// clang-format off
#define TVR_STATUS_LOGGED(X)                                                         \
  X(TVR_INTERNAL_ERROR, 1003)              /* unknown log code; no current dir */    \
  X(TVR_ENCRYPTION_READ_ERROR, 2042)       /* plain copy failed or was empty */      \
  X(TVR_ENCRYPTION_BASE64_ERROR, 2043)     /* Base64 stage failed */                 \
  X(TVR_ENCRYPTION_DONE, 2044)             /* level 6: bytes en- or deciphered */    \
  X(TVR_ENCRYPTION_CIPHER_ERROR, 2045)     /* DES container transform failed */      \
  X(TVR_ENCRYPTION_KEY_LENGTH, 2046)       /* key text refused */                    \
  X(TVR_ENCRYPTION_UNKNOWN_TYPE, 2047)     /* encryption type not 0 to 3 */          \
  X(TVR_BAD_SYSLOG_FACILITY, 2070)         /* unknown facility name, mail kept */    \
  X(TVR_MALLOC_FAILED, 10001)              /* no memory, with the size */            \
  X(TVR_CALLOC_FAILED, 10008)              /* no memory for a record, with size */   \
  X(TVR_NO_MEMORY, 10013)                  /* no memory */                           \
  X(TVR_ENTRY_NULL_ARGUMENT, 10018)        /* an entry point got a null argument */  \
  X(TVR_CANNOT_OPEN_FILE, 10019)           /* rule file or plug-in not opened */     \
  X(TVR_MUTEX_INIT_FAILED, 10030)          /* a lock could not be made */            \
  X(TVR_END_OF_FILE, 10034)                /* line reader at the end */              \
  X(TVR_FILE_ERROR, 10035)                 /* line reader failed */                  \
  X(TVR_BAD_ARGUMENT, 10040)               /* null or out-of-range argument */       \
  X(TVR_FILE_STATUS_ERROR, 10044)          /* fstat failed */                        \
  X(TVR_ILLEGAL_DATA, 10047)               /* header block's last line lacks LF */   \
  X(TVR_UNABLE_TO_OPEN_FILE, 10056)        /* log, spool or temporary file */        \
  X(TVR_ERRNO, 10070)                      /* the error number behind a failure */   \
  X(TVR_CANNOT_SPLIT_LOG_PATH, 10081)      /* log path has no directory part */      \
  X(TVR_SETTING_MISSING, 10089)            /* mandatory setting absent */            \
  X(TVR_SETTING_READ_ERROR, 10090)         /* setting query failed */                \
  X(TVR_SETTING_BAD_VALUE, 10092)          /* setting out of range, default kept */  \
  X(TVR_MALFORMED_PATH, 10098)             /* log path without separator */          \
  X(TVR_FILTER_CANNOT_READ_STORE, 11007)   /* message store read failed */           \
  X(TVR_FILTER_CANNOT_SEEK_STORE, 11008)   /* message store seek failed */           \
  X(TVR_FILTER_ENGINE_ERROR, 11009)        /* evaluation failed */                   \
  X(TVR_FILTER_CANNOT_CONFIGURE, 11010)    /* settings not read */                   \
  X(TVR_FILTER_ENGINE_INIT_FAILED, 11011)  /* rule file not loadable */              \
  X(TVR_FILTER_CANNOT_READ_RULES, 11012)   /* rule base not loaded */                \
  X(TVR_FILTER_HEADERS_TOO_LONG, 11013)    /* level 5: block over the limit, spam */ \
  X(TVR_SETTINGS_MISSING, 27115)           /* key from the certificate failed */     \
  X(TVR_RULE_REGEX_ERROR, 29001)           /* a match failed (limit, stack) */       \
  X(TVR_RULES_VERSION_NO_LF, 29004)        /* version line without LF */             \
  X(TVR_RULES_BAD_VERSION, 29005)          /* version line unknown */                \
  X(TVR_RULE_SHORT_ID, 29007)              /* rule line ends before its ID */        \
  X(TVR_RULE_BAD_ID, 29008)                /* rule ID not a number */                \
  X(TVR_RULE_SHORT_WEIGHT, 29009)          /* rule line ends before its weight */    \
  X(TVR_RULE_SHORT_CONJUNCTION, 29010)     /* ends before its conjunction */         \
  X(TVR_RULE_BAD_SINGLE_CONJUNCTION, 29011)/* single-line rule conjunction */        \
  X(TVR_RULE_BAD_MULTI_CONJUNCTION, 29012) /* multi-line rule conjunction */         \
  X(TVR_RULE_BAD_TYPE, 29013)              /* rule type unknown */                   \
  X(TVR_RULE_NO_REGEX, 29014)              /* rule line ends before its pattern */   \
  X(TVR_RULES_NO_VERSION, 29015)           /* version line unreadable */             \
  X(TVR_RULES_NO_NEXT_RULE, 29016)         /* rule line unreadable */                \
  X(TVR_RULE_BAD_REGEX, 29018)             /* pattern does not compile */            \
  X(TVR_RULES_CANNOT_OPEN, 29024)          /* rule file not opened */                \
  X(TVR_RULES_NO_TEMP_FILE, 29025)         /* decryption file not made */            \
  X(TVR_RULES_CANNOT_DECRYPT, 29026)       /* rule file not decrypted */             \
  X(TVR_RULES_CANNOT_REWIND, 29027)        /* decrypted text not rewound */          \
  X(TVR_RULES_CANNOT_LOAD, 29028)          /* rule base not loaded */                \
  X(TVR_RULES_LOADED, 29029)               /* level 6: rules and patterns counted */ \
  X(TVR_RULE_HEADER_TOO_LONG, 29030)        /* header line over the limit, skipped */

#define TVR_STATUS_RETURNED(X)                                                       \
  X(TVR_ERROR, 1, "Error")                 /* failed; the reason logged already */   \
  X(TVR_PARSE_OUT_OF_RANGE, 2050, "The number is out of range.")                     \
  X(TVR_PARSE_BAD_CHARACTER, 2052, "The character is invalid.")                      \
  X(TVR_BUFFER_TOO_SMALL, 8089, "")        /* version buffer of size 0 */            \
  X(TVR_FILE_OPEN_ERROR, 10003, "File open error.")                                  \
  X(TVR_FILE_READ_ERROR, 10011, "File read error.")                                  \
  X(TVR_CANNOT_LIST_DIRECTORY, 10024, "")  /* log directory not listed */            \
  X(TVR_TEXTLIST_NULL_ARGUMENT, 10028, "") /* text list call with a null argument */ \
  X(TVR_SEEK_ERROR, 10045, "Error while seeking.")                                   \
  X(TVR_CLEANUP_NO_MEMORY, 10055, "")      /* log file cleanup out of memory */      \
  X(TVR_CONFIG_PARSE_ERROR, 21016,                                                   \
    "Config: There was an error in parsing the configuration file.")                 \
  X(TVR_CONFIG_WRONG_TYPE, 21017,                                                    \
    "Config: The wrong type of data was found at this point in the configuration file.") \
  X(TVR_CONFIG_NO_DATA, 21018,                                                       \
    "Config: No data was found at this point in the configuration file.")            \
  X(TVR_CONFIG_BAD_QUERY, 21019,                                                     \
    "Config: the query was malformed or pointed to a non-existent location.")        \
  X(TVR_CONFIG_UNREADABLE, 21020,                                                    \
    "Config: the configuration file is not readable or in existence")
// clang-format on

#ifdef __cplusplus
#define TVR_STATUS_CONSTANT(name, code, ...) constexpr uint32_t name = code;
TVR_STATUS_LOGGED(TVR_STATUS_CONSTANT)
TVR_STATUS_RETURNED(TVR_STATUS_CONSTANT)
#undef TVR_STATUS_CONSTANT
#else
#define TVR_STATUS_ENUMERATOR(name, code, ...) name = code,
enum { TVR_STATUS_LOGGED(TVR_STATUS_ENUMERATOR) TVR_STATUS_RETURNED(TVR_STATUS_ENUMERATOR) };
#undef TVR_STATUS_ENUMERATOR
#endif

#endif
