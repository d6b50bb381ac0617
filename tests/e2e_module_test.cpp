// End-to-end tests of the plug-in: the real libhdrweights.so, loaded with dlopen
// and driven through the reference host, with real rule files, configuration and
// log files. Settings are covered in e2e_settings_test.cpp.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "regex_filter.h"
#include "rule_hit.h"
#include "tlvpr_mem.h"

using namespace hdrw_test;

namespace {

// The module's entry points as the test resolves them itself, for calls the
// host never makes (null arguments, incomplete callback tables).
struct EntryPoints {
  void *library = dlopen(HDRW_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  TlvModInitModuleFn init_module = (TlvModInitModuleFn)dlsym(library, "tlvModInitModule");
  TlvModQueryModuleFn query_module = (TlvModQueryModuleFn)dlsym(library, "tlvModQueryModule");
  TlvModInitMessageFn init_message = (TlvModInitMessageFn)dlsym(library, "tlvModInitMessage");
  TlvModEndMessageFn end_message = (TlvModEndMessageFn)dlsym(library, "tlvModEndMessage");
  TlvModFreeMessageFn free_message = (TlvModFreeMessageFn)dlsym(library, "tlvModFreeMessage");
  TlvModGetVersionFn get_version = (TlvModGetVersionFn)dlsym(library, "tlvModGetVersion");
  ~EntryPoints() { dlclose(library); }
};

// A message whose store the test lays out itself.
struct RawMessage {
  MessageDataStore *store;  // what getMessageStore answers (may be null)
  uint32_t length;          // what getHeaderLength answers
};

// end_raw - tlvModEndMessage on a raw message, with the host's other callbacks
const char *end_raw(const EntryPoints &module, const HdrwHost *host, const ModuleInstance *instance,
                    RawMessage *msg, RuleHit **hits) {
  HostCallbackTable table = *instance->callbacks;
  table.entry[TVR_HOST_GET_MESSAGE_STORE] = [](uintptr_t m) {
    return (uintptr_t)((RawMessage *)m)->store;
  };
  table.entry[TVR_HOST_GET_HEADER_LENGTH] = [](uintptr_t m) {
    return (uintptr_t)((RawMessage *)m)->length;
  };
  ModuleInstance copy = *instance;
  copy.callbacks = &table;
  MessageContext *context = module.init_message(0, 1);
  const char *answer = module.end_message(hits, context, (uintptr_t)msg, &copy, (uintptr_t)host);
  module.free_message(context);
  return answer;
}

// set_mtime - gives a file an explicit modification time
void set_mtime(const std::string &path, time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A header block of exactly len bytes: a Subject line, then padding headers.
std::string block_of(size_t len) {
  std::string block = "Subject: free money\n";
  while (block.size() < len) {
    size_t room = len - block.size();
    size_t take = room > 200 ? 100 : room;  // keeps the last line at least 9 bytes
    if (room > 200 || room >= 9) {
      std::string line = "X-Pad: " + std::string(take - 8, 'a') + "\n";
      block += line;
    } else {
      block.insert(block.size() - 1, room, 'b');  // lengthens the last line
    }
  }
  return block;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.write_config();
    world.write_rules(sample_rules());
  }
  ModuleWorld world;
  HookGuard hooks;
};

}  // namespace

TEST_F(ModuleTest, QueryRecordNamesTheVerdictThatEndMessageReturns) {
  EntryPoints module;
  const ModuleQueryInfo *info = module.query_module();
  ASSERT_NE(info, nullptr);
  EXPECT_STREQ(info->name, "spam");
  EXPECT_EQ(info->verdict_count, 1u);
  ASSERT_NE(info->verdicts, nullptr);
  EXPECT_STREQ(info->verdicts[0], "spam");
  EXPECT_NE((const void *)info->name, (const void *)info->verdicts[0]);
  EXPECT_EQ(info->reserved, 0u);
  EXPECT_EQ(module.query_module(), info);

  // A message whose block is over the limit is "spam" without evaluation; the
  // text returned is the query record's own object.
  HdrwHost *host = world.make_host();
  ModuleInstance *instance = (ModuleInstance *)hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  RawMessage msg{nullptr, 40000};
  RuleHit *hits = nullptr;
  EXPECT_EQ(end_raw(module, host, instance, &msg, &hits), info->verdicts[0]);
  EXPECT_EQ(hits, nullptr);

  // The length is compared unsigned: a block of 2^31 bytes or more is over the
  // limit too, not a negative length that would be read.
  world.clear_log();
  RawMessage huge{nullptr, 0x80000000u};
  EXPECT_EQ(end_raw(module, host, instance, &huge, &hits), info->verdicts[0]);
  EXPECT_EQ(hits, nullptr);
  EXPECT_TRUE(world.logged(TVR_LOG_NOTICE, 11013,
                           "tlvModEndMessage: (regex filter) headers length 2147483648 > max "
                           "allowed 32768, returning spam disposition."));
  EXPECT_TRUE(world.log_lines(11008).empty());
  hdrw_host_free_instance(host, instance);
}

TEST_F(ModuleTest, StoreFailuresGiveNoVerdictAndFreeTheList) {
  EntryPoints module;
  HdrwHost *host = world.make_host(-5);  // an evaluation would be "spam"
  ModuleInstance *instance = (ModuleInstance *)hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  unsigned char memory[16] = {}, block[16];
  MessageDataStore no_file{};  // claims a file part but has no spool file
  no_file.memory = memory;
  no_file.memory_length = no_file.memory_capacity = 16;
  no_file.file_length = 64;
  no_file.block = block;
  no_file.block_size = 16;
  no_file.window_invalid = 1;
  struct Row {
    const char *name;
    MessageDataStore *store;
    uint32_t code;
    const char *text;
  } rows[] = {
      {"no store", nullptr, 11008, "tlvModEndHeaders: (regex filter) could not seek MDS."},
      {"unreadable file part", &no_file, 11007,
       "tlvModEndHeaders: (regex filter) could not read MDS."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    world.clear_log();
    RawMessage msg{row.store, 20};
    RuleHit *hits = (RuleHit *)tlvpr_calloc(1, sizeof(RuleHit));  // freed by the module
    EXPECT_EQ(end_raw(module, host, instance, &msg, &hits), nullptr);
    EXPECT_EQ(hits, nullptr);
    EXPECT_TRUE(world.logged(TVR_LOG_ERR, row.code, row.text));
  }
  hdrw_host_free_instance(host, instance);
}

namespace {

// The host's own callbacks, wrapped so that a test sees which are asked in which order.
std::vector<int> g_asked;
HostCallback g_host_entry[TVR_HOST_CALLBACK_COUNT];

template <int Position>
uintptr_t recording_callback(uintptr_t argument) {
  g_asked.push_back(Position);
  return g_host_entry[Position](argument);
}

}  // namespace

TEST_F(ModuleTest, MessageCallbacksAreAskedInOrder) {
  HdrwHost *host = world.make_host();
  ModuleInstance *instance = (ModuleInstance *)hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  const HostCallbackTable *own = instance->callbacks;
  for (int i = 0; i < TVR_HOST_CALLBACK_COUNT; i++) g_host_entry[i] = own->entry[i];
  HostCallbackTable recording = *own;
  recording.entry[TVR_HOST_GET_MESSAGE_STORE] = recording_callback<TVR_HOST_GET_MESSAGE_STORE>;
  recording.entry[TVR_HOST_GET_HEADER_LENGTH] = recording_callback<TVR_HOST_GET_HEADER_LENGTH>;
  recording.entry[TVR_HOST_GET_WEIGHT_THRESHOLD] =
      recording_callback<TVR_HOST_GET_WEIGHT_THRESHOLD>;
  instance->callbacks = &recording;

  struct Row {
    const char *name;
    std::string text;
    size_t header_len;
    std::vector<int> asked;
  } rows[] = {
      {"evaluated",
       message({"Subject: free money"}),
       0,
       {TVR_HOST_GET_MESSAGE_STORE, TVR_HOST_GET_HEADER_LENGTH, TVR_HOST_GET_WEIGHT_THRESHOLD}},
      {"empty block",
       message({"Subject: free money"}),
       0,
       {TVR_HOST_GET_MESSAGE_STORE, TVR_HOST_GET_HEADER_LENGTH}},
      {"over-long block",
       block_of(40000),
       40000,
       {TVR_HOST_GET_MESSAGE_STORE, TVR_HOST_GET_HEADER_LENGTH}},
  };
  rows[0].header_len = header_length(rows[0].text);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    g_asked.clear();
    HdrwVerdict verdict;
    hdrw_verdict_init(&verdict);
    EXPECT_EQ(hdrw_host_evaluate(host, instance, row.text.data(), row.text.size(), row.header_len,
                                 &verdict),
              0u);
    hdrw_verdict_free(&verdict);
    EXPECT_EQ(g_asked, row.asked);
  }
  instance->callbacks = own;
  hdrw_host_free_instance(host, instance);
}

TEST_F(ModuleTest, VersionIsTheEmptyText) {
  EntryPoints module;
  char buffer[8] = "xxxxxxx";
  uint32_t size = 0;
  EXPECT_EQ(module.get_version(buffer, &size), 8089u);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(buffer[0], 'x');
  for (uint32_t given : {1u, 8u}) {
    size = given;
    EXPECT_EQ(module.get_version(buffer, &size), 0u);
    EXPECT_EQ(size, 1u);
    EXPECT_STREQ(buffer, "");
  }
  uint32_t through_host = 8;
  EXPECT_EQ(hdrw_plugin_version(world.plugin, buffer, &through_host), 0u);
  EXPECT_EQ(module.get_version(buffer, nullptr), 10040u);  // no crash without a size
}

TEST_F(ModuleTest, EvaluatesHitsInRuleOrder) {
  HdrwHost *host = world.make_host(0);  // threshold 0: every rule is evaluated
  void *instance = hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(world.log_lines(29029).size(), 1u);
  struct Row {
    const char *name;
    std::vector<std::string> headers;
    Outcome want;
  } rows[] = {
      {"clean", {"Subject: lunch", "From: a@b.example"}, {0, 0, 0, {}}},
      {"two rules",
       {"From: x@bulk.example", "Subject: free money now"},
       {0, 1, 110, {{1001, 60}, {1002, 50}}}},
      {"negative weight",
       {"Subject: free money", "X-Trusted: yes"},
       {0, 1, 40, {{1001, 60}, {1003, -20}}}},
      {"trusted only", {"Subject: hello", "X-Trusted: yes"}, {0, 0, -20, {{1003, -20}}}},
      {"multi-line rule",
       {"Subject: special offer", "To: undisclosed-recipients:;"},
       {0, 1, 30, {{1004, 30}}}},
      {"half a multi-line rule", {"Subject: special offer", "To: bob@example.org"}, {0, 0, 0, {}}},
      {"folded subject", {"Subject: free", " money"}, {0, 1, 60, {{1001, 60}}}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(evaluate(host, instance, message(row.headers, "body\n")), row.want);
  }
  hdrw_host_free_instance(host, instance);
}

TEST_F(ModuleTest, ThresholdStopsTheEvaluationEarly) {
  HdrwHost *host = world.make_host(100);
  void *instance = hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  Outcome got = evaluate(
      host, instance, message({"From: x@bulk.example", "Subject: free money", "X-Trusted: yes"}));
  EXPECT_EQ(got, (Outcome{0, 1, 110, {{1001, 60}, {1002, 50}}}));  // 1003 not reached
  hdrw_host_free_instance(host, instance);
}

TEST_F(ModuleTest, StoreLayoutDoesNotChangeTheVerdict) {
  HdrwHost *host = world.make_host(0);
  void *instance = hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  std::string text =
      message({"Received: from relay.example by mx.example", "From: x@bulk.example",
               "To: undisclosed-recipients:;", "Subject: a special offer of free money"},
              std::string(300, 'z') + "\n");
  Outcome want = evaluate(host, instance, text);
  ASSERT_EQ(want.hits.size(), 3u);
  struct Layout {
    uint32_t block, capacity;
  } layouts[] = {
      {4096, 1u << 20},  // wholly in memory
      {7, 0},            // all whole blocks spooled, the tail in memory
      {16, 200},         // the header block spans the end of the file part
      {64, 350},         // the header block lies in memory after a spooled part
      {1, 0},            // one-byte blocks: the whole message in the file, none in memory
  };
  for (const Layout &layout : layouts) {
    SCOPED_TRACE(std::to_string(layout.block) + "/" + std::to_string(layout.capacity));
    ASSERT_EQ(hdrw_host_set_store_layout(host, layout.block, layout.capacity), 0u);
    EXPECT_EQ(evaluate(host, instance, text), want);
  }
  EXPECT_EQ(hdrw_host_set_store_layout(host, 0, 10), 10040u);
  hdrw_host_free_instance(host, instance);
}

TEST_F(ModuleTest, ReusesTheInstanceUntilTheRuleFileOrALimitChanges) {
  set_mtime(world.rule_path, 1700000000);
  HdrwHost *host = world.make_host();
  void *first = hdrw_host_init(host, nullptr);
  ASSERT_NE(first, nullptr);
  world.clear_log();

  // Unchanged settings and rule file: the previous instance itself, nothing loaded.
  EXPECT_EQ(hdrw_host_init(host, first), first);
  EXPECT_TRUE(world.log_lines(29029).empty());

  // The decision does not read the file: same size and time, other content.
  std::string plain = sample_rules();
  plain.replace(plain.find("free money"), 10, "FREE MONEY");
  world.write_rules(plain);
  set_mtime(world.rule_path, 1700000000);
  EXPECT_EQ(hdrw_host_init(host, first), first);

  // A new modification time loads a new instance; the previous one stays usable.
  set_mtime(world.rule_path, 1700000001);
  void *touched = hdrw_host_init(host, first);
  ASSERT_NE(touched, nullptr);
  EXPECT_NE(touched, first);
  EXPECT_EQ(world.log_lines(29029).size(), 1u);
  EXPECT_EQ(evaluate(host, first, message({"Subject: free money"})).hits.size(), 1u);
  EXPECT_EQ(evaluate(host, touched, message({"Subject: free money"})).hits.size(), 0u);
  hdrw_host_free_instance(host, touched);

  // Any of the three limits, or another certificate, gives a new instance.
  set_mtime(world.rule_path, 1700000000);  // the file as the first instance saw it
  const char *changes[] = {"<maxHeaderLength>769</maxHeaderLength>",
                           "<maxTotalHeadersLength>1000</maxTotalHeadersLength>",
                           "<maxBackTracks>100</maxBackTracks>",
                           "<maxBackTracks>25000</maxBackTracks>"};
  bool want_new[] = {true, true, true, false};  // the last one spells out the default
  for (size_t i = 0; i < 4; i++) {
    SCOPED_TRACE(changes[i]);
    world.write_config(changes[i]);
    HdrwHost *changed = world.make_host();
    void *instance = hdrw_host_init(changed, first);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance != first, want_new[i]);
    if (instance != first) hdrw_host_free_instance(changed, instance);
  }
  std::string other_cert = world.dir.file("other.pem");
  write_file(other_cert, "another certificate");
  world.write_config("", true, other_cert);
  HdrwHost *other = world.make_host();
  EXPECT_EQ(hdrw_host_init(other, first), nullptr);  // other key: the rule file does not decrypt
  hdrw_host_free_instance(host, first);
}

TEST_F(ModuleTest, ReuseNeedsTheSamePathAndFileSize) {
  set_mtime(world.rule_path, 1700000000);
  HdrwHost *host = world.make_host();
  void *first = hdrw_host_init(host, nullptr);
  ASSERT_NE(first, nullptr);

  // The same rule file, byte for byte and with the same time, at another load point.
  std::string other_point = world.dir.file("other-load-point");
  ASSERT_EQ(mkdir(other_point.c_str(), 0700), 0);
  std::string other_rules = other_point + "/kelv";
  write_file(other_rules, read_file(world.rule_path));
  set_mtime(other_rules, 1700000000);
  HdrwHost *moved = world.make_host(100, other_point.c_str());
  void *elsewhere = hdrw_host_init(moved, first);
  ASSERT_NE(elsewhere, nullptr);
  EXPECT_NE(elsewhere, first);
  hdrw_host_free_instance(moved, elsewhere);

  // Other size, same time: a new instance.
  world.write_rules(sample_rules() + rule_line(1099, 5, "001", "&-", "^X-Extra: yes"));
  set_mtime(world.rule_path, 1700000000);
  void *grown = hdrw_host_init(host, first);
  ASSERT_NE(grown, nullptr);
  EXPECT_NE(grown, first);
  hdrw_host_free_instance(host, grown);
  hdrw_host_free_instance(host, first);
}

TEST_F(ModuleTest, OpenRetriesWaitHalfASecondThenDouble) {
  std::string stored = read_file(world.rule_path);
  ASSERT_EQ(unlink(world.rule_path.c_str()), 0);
  HdrwHost *host = world.make_host();

  // Never there: five attempts, four sleeps, 7.5 s in all.
  SleepRecorder::install();
  EXPECT_EQ(hdrw_host_init(host, nullptr), nullptr);
  EXPECT_EQ(SleepRecorder::sleeps(), (std::vector<uint32_t>{500, 1000, 2000, 4000}));
  EXPECT_EQ(world.log_lines(10019).size(), 1u);
  EXPECT_TRUE(world.logged(TVR_LOG_ERR, 10019, "Could not open file: " + world.rule_path + "."));

  // Created just before the third attempt: loaded after 0.5 s and 1 s.
  SleepRecorder::install();
  SleepRecorder::on_sleep([&](size_t index) {
    if (index == 1) write_file(world.rule_path, stored);
  });
  void *instance = hdrw_host_init(host, nullptr);
  EXPECT_NE(instance, nullptr);
  EXPECT_EQ(SleepRecorder::sleeps(), (std::vector<uint32_t>{500, 1000}));
  SleepRecorder::on_sleep(nullptr);
  hdrw_host_free_instance(host, instance);

  // What opens but is no rule file is refused at once, unread: a device, a
  // FIFO without a writer (which would block a plain open), a file over 64 MiB.
  const std::function<void()> makers[] = {
      [&] { ASSERT_EQ(symlink("/dev/zero", world.rule_path.c_str()), 0); },
      [&] { ASSERT_EQ(mkfifo(world.rule_path.c_str(), 0600), 0); },
      [&] {
        write_file(world.rule_path, "");
        ASSERT_EQ(truncate(world.rule_path.c_str(), (64 << 20) + 1), 0);
      }};
  for (const auto &make : makers) {
    ASSERT_EQ(unlink(world.rule_path.c_str()), 0);
    make();
    SleepRecorder::install();
    EXPECT_EQ(hdrw_host_init(host, nullptr), nullptr);
    EXPECT_TRUE(SleepRecorder::sleeps().empty());
  }
}

TEST_F(ModuleTest, HeaderBlockLimitJudgesTheOverlongBlockUnread) {
  HdrwHost *host = world.make_host();
  void *instance = hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  for (size_t len : {32768u, 32769u}) {
    SCOPED_TRACE(len);
    std::string block = block_of(len);
    ASSERT_EQ(block.size(), len);
    world.clear_log();
    HdrwVerdict verdict;
    hdrw_verdict_init(&verdict);
    Outcome got = evaluate(host, instance, block + "\nbody\n", len, &verdict);
    hdrw_verdict_free(&verdict);
    std::vector<std::string> lines = world.log_lines(11013);
    if (len == 32768) {
      EXPECT_EQ(got, (Outcome{0, 0, 60, {{1001, 60}}}));  // evaluated: the Subject rule hit
      EXPECT_TRUE(lines.empty());
    } else {
      EXPECT_EQ(got, (Outcome{0, 1, 0, {}}));  // "spam", no rule evaluated
      EXPECT_EQ(lines.size(), 1u);
      EXPECT_TRUE(world.logged(TVR_LOG_NOTICE, 11013,
                               "tlvModEndMessage: (regex filter) headers length 32769 > max "
                               "allowed 32768, returning spam disposition."));
    }
  }
  hdrw_host_free_instance(host, instance);

  // A limit of 0 refuses no block.
  world.write_config("<maxTotalHeadersLength>0</maxTotalHeadersLength>");
  HdrwHost *unlimited = world.make_host();
  instance = hdrw_host_init(unlimited, nullptr);
  ASSERT_NE(instance, nullptr);
  std::string block = block_of(100000);
  HdrwVerdict verdict;
  hdrw_verdict_init(&verdict);
  EXPECT_EQ(evaluate(unlimited, instance, block, block.size(), &verdict),
            (Outcome{0, 0, 60, {{1001, 60}}}));
  hdrw_verdict_free(&verdict);
  hdrw_host_free_instance(unlimited, instance);
}

TEST_F(ModuleTest, EmptyHeaderBlockGivesNoVerdictAndNoLogLine) {
  HdrwHost *host = world.make_host(-5);  // a negative threshold would make any evaluation spam
  void *instance = hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  world.clear_log();
  HdrwVerdict verdict;
  hdrw_verdict_init(&verdict);
  EXPECT_EQ(evaluate(host, instance, "Subject: free money\n\n", 0, &verdict),
            (Outcome{0, 0, 0, {}}));
  EXPECT_EQ(world.log_text(), "");
  EXPECT_EQ(evaluate(host, instance, "", 0, &verdict), (Outcome{0, 0, 0, {}}));
  EXPECT_EQ(world.log_text(), "");
  hdrw_verdict_free(&verdict);
  hdrw_host_free_instance(host, instance);
}

TEST_F(ModuleTest, EngineErrorLeavesNoHitsAndNoVerdict) {
  HdrwHost *host = world.make_host(-5);
  void *instance = hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  // A block whose last header line lacks its LF is refused by the engine; the
  // host's verdict names the first error the module logged, even when the log
  // threshold drops the record, and a verdict reused for a good message is clean.
  struct Row {
    const char *text;
    int32_t log_level;
    uint32_t error;
  } rows[] = {
      {"Subject: free money", 7, 10047},
      {"Subject: free money\rTo: x\r\r", 7, 10047},
      {"Subject: free money\r", 0, 10047},
      {"Subject: free money\n", 7, 0},
      {"", 7, 0},
  };
  HdrwVerdict verdict;
  hdrw_verdict_init(&verdict);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    ASSERT_EQ(hdrw_host_configure_log(world.log.path().c_str(), row.log_level), 0u);
    world.clear_log();
    std::string text = row.text;
    // Threshold -5: a judged block is spam before the first rule.
    Outcome want = row.error != 0 ? Outcome{0, 0, 0, {}, row.error} : Outcome{0, 1, 0, {}};
    if (text.empty()) want = Outcome{};
    EXPECT_EQ(evaluate(host, instance, text, text.size(), &verdict), want);
    size_t logged = row.error != 0 && row.log_level > 0;
    EXPECT_EQ(world.log_lines(10047).size(), logged);
    EXPECT_EQ(world.log_lines(11009).size(), logged);
  }
  hdrw_verdict_free(&verdict);
  hdrw_host_free_instance(host, instance);

  char reason[HDRW_HOST_ERROR_TEXT];
  hdrw_host_error_text(10047, reason, sizeof reason);
  EXPECT_STREQ(reason, "Illegal data. (the header block's last line has no LF)");
  hdrw_host_error_text(10001, reason, sizeof reason);
  EXPECT_STREQ(reason, "Malloc error while attempting to allocate ... bytes.");
  hdrw_host_error_text(29001, reason, sizeof reason);
  EXPECT_STREQ(reason, "Rule ...; regex error ... (...) for header \"...\".");
  hdrw_host_error_text(4242, reason, sizeof reason);
  EXPECT_STREQ(reason, "code 4242");
  hdrw_host_error_text(10047, reason, 8);
  EXPECT_STREQ(reason, "Illegal");
}

TEST_F(ModuleTest, NullArgumentsAreRefusedWithoutCrashing) {
  EntryPoints module;
  HdrwHost *host = world.make_host();
  ModuleInstance *instance = (ModuleInstance *)hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  HostCallbackTable incomplete = *instance->callbacks;
  incomplete.entry[TVR_HOST_GET_CONFIGURATION] = nullptr;
  world.clear_log();

  EXPECT_EQ(module.init_module(0, 0, instance->callbacks, nullptr), nullptr);    // no host
  EXPECT_EQ(module.init_module(0, (uintptr_t)host, nullptr, nullptr), nullptr);  // no table
  EXPECT_EQ(module.init_module(0, (uintptr_t)host, &incomplete, instance), nullptr);
  EXPECT_EQ(module.init_message(0, 0), nullptr);
  std::vector<std::string> init_lines = world.log_lines(10018);
  ASSERT_EQ(init_lines.size(), 4u);
  EXPECT_NE(init_lines[0].find("Null argument(s) passed to tlvModInitModule: (regex filter)."),
            std::string::npos);
  EXPECT_NE(init_lines[3].find("tlvModInitMessage: (regex filter)"), std::string::npos);

  // tlvModEndMessage without instance, context or hit list address: no verdict,
  // and whatever the list held is freed.
  MessageContext *context = module.init_message(0, 1);
  ASSERT_NE(context, nullptr);
  for (int missing = 0; missing < 3; missing++) {
    SCOPED_TRACE(missing);
    RuleHit *hits = (RuleHit *)tlvpr_calloc(1, sizeof(RuleHit));
    RuleHit **list = missing == 0 ? nullptr : &hits;
    EXPECT_EQ(module.end_message(list, missing == 1 ? nullptr : context, 0,
                                 missing == 2 ? nullptr : instance, 0),
              nullptr);
    if (missing == 0)
      tlvpr_free(hits);  // no list address: nothing the module could free
    else
      EXPECT_EQ(hits, nullptr);
  }
  EXPECT_EQ(world.log_lines(10018).size(), 7u);
  EXPECT_NE(world.log_lines(10018)[6].find("tlvModEndMessage: (regex filter)"), std::string::npos);
  module.free_message(context);
  module.free_message(nullptr);
  hdrw_host_free_instance(host, instance);
  hdrw_host_free_instance(host, nullptr);
}

TEST_F(ModuleTest, NullLoadPointFailsTheInitialisation) {
  HdrwHost *host = world.make_host(100, nullptr, true);
  EXPECT_EQ(hdrw_host_init(host, nullptr), nullptr);
  EXPECT_EQ(world.log_lines(10018).size(), 1u);
  EXPECT_EQ(world.log_lines(11010).size(), 1u);
}

TEST_F(ModuleTest, OutOfMemoryDuringInitialisationLeavesNoInstance) {
  HdrwHost *host = world.make_host();
  uint64_t needed = fault_loop([&] {
    void *instance = hdrw_host_init(host, nullptr);
    hdrw_host_free_instance(host, instance);
  });
  EXPECT_GT(needed, 5u);
  // Every injected failure was logged with a documented code and gave no instance;
  // a last run without failure works.
  std::string log = world.log_text();
  for (const char *code : {"[10008] ", "[10001] ", "[11010] ", "[11012] "})
    EXPECT_NE(log.find(code), std::string::npos) << code;
  EXPECT_EQ(log.find("[1003] "), std::string::npos);  // no code outside the catalog
  void *instance = hdrw_host_init(host, nullptr);
  EXPECT_NE(instance, nullptr);
  hdrw_host_free_instance(host, instance);
}

TEST_F(ModuleTest, OutOfMemoryDuringEvaluationGivesNoPartialRecords) {
  HdrwHost *host = world.make_host(0);
  void *instance = hdrw_host_init(host, nullptr);
  ASSERT_NE(instance, nullptr);
  std::string text = message({"From: x@bulk.example", "Subject: free money", "X-Trusted: yes"});
  Outcome want = evaluate(host, instance, text);
  ASSERT_EQ(want.hits.size(), 3u);
  ASSERT_EQ(hdrw_host_set_store_layout(host, 8, 16), 0u);  // spooled: the block buffer too
  HdrwVerdict verdict;
  hdrw_verdict_init(&verdict);
  uint64_t needed = fault_loop([&] {
    Outcome got = evaluate(host, instance, text, header_length(text), &verdict);
    // Either the whole answer, an error with nothing, or a lost hit record whose
    // weight still counted.
    if (got.rc != 0) {
      EXPECT_EQ(got.rc, 10013u);
      EXPECT_TRUE(got.hits.empty());
    } else if (!(got == want)) {
      EXPECT_LE(got.hits.size(), want.hits.size());
    }
    hdrw_verdict_free(&verdict);
  });
  EXPECT_GT(needed, 3u);
  std::string log = world.log_text();
  for (const char *code : {"[10008] ", "[10001] "})
    EXPECT_NE(log.find(code), std::string::npos) << code;
  hdrw_host_free_instance(host, instance);
}
