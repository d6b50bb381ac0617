// Tests of the packed TextList: creation, appending and growth, the index and
// iteration operations, and the out-of-memory paths with their log line.

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tlv_textlist.h"
#include "tlvpr_mem.h"
#include "tvr_log_settings.h"

namespace {

using hdrw_test::TempDir;

struct ListFree {
  void operator()(TextList *list) const { tlvpr_free(list); }
};

const char *data_of(const TextList *list) { return reinterpret_cast<const char *>(list + 1); }

// The whole data area as a string (terminators included).
std::string area(const TextList *list) { return std::string(data_of(list), list->used); }

bool zero_after_used(const TextList *list) {
  for (uint32_t i = list->used; i < list->capacity; i++) {
    if (data_of(list)[i] != '\0') return false;
  }
  return true;
}

std::vector<std::string> texts(TextList *list) {
  std::vector<std::string> out;
  for (const char *t = tlv_textlist_next(list, 1); t != nullptr; t = tlv_textlist_next(list, 0)) {
    out.emplace_back(t);
  }
  return out;
}

TEST(TlvTextlist, CreateGivesAnEmptyZeroedList) {
  TextList *list = nullptr;
  ASSERT_EQ(tlv_textlist_create(&list), 0u);
  std::unique_ptr<TextList, ListFree> guard(list);
  EXPECT_EQ(list->capacity, 256u);
  EXPECT_EQ(list->reserved, 0u);
  EXPECT_EQ(list->count, 0u);
  EXPECT_EQ(list->used, 0u);
  EXPECT_EQ(list->cursor, 0u);
  EXPECT_EQ(list->index, 0u);
  EXPECT_TRUE(zero_after_used(list));
  EXPECT_EQ(tlv_textlist_next(list, 1), nullptr);
  EXPECT_EQ(tlv_textlist_create(nullptr), 10028u);
}

TEST(TlvTextlist, AppendPacksTextsAndGrowsIn256ByteSteps) {
  struct Step {
    std::string text;
    uint32_t len;
    uint32_t capacity;  // after the append
    uint32_t used;
  };
  const std::string b250(250, 'b');
  const std::string c600(600, 'c');
  const std::vector<Step> steps = {
      {"abc", 3, 256, 4},
      {"", 0, 256, 6},                         // the empty text takes two terminators
      {"header", 3, 256, 10},                  // only len bytes are copied
      {b250, 250, 512, 261},                   // 251 needed, 246 free: one step
      {std::string(250, 'd'), 250, 512, 512},  // fills the area exactly
      {"e", 1, 768, 514},
      {c600, 600, 1280, 1115},  // 601 needed, 254 free: two steps
  };
  TextList *list = nullptr;
  ASSERT_EQ(tlv_textlist_create(&list), 0u);
  std::string want;
  uint32_t count = 0;
  for (const Step &s : steps) {
    SCOPED_TRACE(s.text.substr(0, 10) + " len " + std::to_string(s.len));
    ASSERT_EQ(tlv_textlist_append(&list, s.text.c_str(), s.len), 0u);
    count++;
    want += s.len == 0 ? std::string(2, '\0') : s.text.substr(0, s.len) + '\0';
    EXPECT_EQ(list->capacity, s.capacity);
    EXPECT_EQ(list->used, s.used);
    EXPECT_EQ(list->count, count);
    EXPECT_EQ(area(list), want);
    EXPECT_TRUE(zero_after_used(list));
  }
  EXPECT_EQ(texts(list),
            (std::vector<std::string>{"abc", "", "hea", b250, std::string(250, 'd'), "e", c600}));
  tlvpr_free(list);
}

TEST(TlvTextlist, NullArgumentsGive10028) {
  TextList *list = nullptr;
  ASSERT_EQ(tlv_textlist_create(&list), 0u);
  TextList *none = nullptr;
  const char *text = nullptr;
  EXPECT_EQ(tlv_textlist_append(nullptr, "a", 1), 10028u);
  EXPECT_EQ(tlv_textlist_append(&none, "a", 1), 10028u);
  EXPECT_EQ(tlv_textlist_append(&list, nullptr, 0), 10028u);
  EXPECT_EQ(tlv_textlist_replace(&list, 0, nullptr, 0), 10028u);
  EXPECT_EQ(tlv_textlist_extend(&none, 0, "a", 1), 10028u);
  EXPECT_EQ(tlv_textlist_get(nullptr, 0, &text), 10028u);
  EXPECT_EQ(tlv_textlist_get(list, 0, nullptr), 10028u);
  EXPECT_EQ(tlv_textlist_clear(nullptr), 10028u);
  EXPECT_EQ(tlv_textlist_count(nullptr), 0u);
  EXPECT_EQ(tlv_textlist_at(nullptr, 0), nullptr);
  EXPECT_EQ(tlv_textlist_next(nullptr, 1), nullptr);
  EXPECT_EQ(list->count, 0u);
  tlvpr_free(list);
}

TEST(TlvTextlist, GetIterateClear) {
  TextList *list = nullptr;
  ASSERT_EQ(tlv_textlist_create(&list), 0u);
  for (const char *t : {"one", "", "three"}) {
    ASSERT_EQ(tlv_textlist_append(&list, t, (uint32_t)strlen(t)), 0u);
  }
  const char *text = nullptr;
  EXPECT_EQ(tlv_textlist_get(list, 2, &text), 0u);
  EXPECT_STREQ(text, "three");
  EXPECT_EQ(tlv_textlist_get(list, 1, &text), 0u);
  EXPECT_STREQ(text, "");
  text = "kept";
  EXPECT_EQ(tlv_textlist_get(list, 3, &text), 1u);
  EXPECT_STREQ(text, "kept");
  EXPECT_EQ(tlv_textlist_at(list, 3), nullptr);
  EXPECT_STREQ(tlv_textlist_at(list, 0), "one");

  EXPECT_STREQ(tlv_textlist_next(list, 1), "one");
  EXPECT_STREQ(tlv_textlist_next(list, 0), "");
  EXPECT_STREQ(tlv_textlist_next(list, 1), "one");  // restart
  EXPECT_STREQ(tlv_textlist_next(list, 0), "");
  EXPECT_STREQ(tlv_textlist_next(list, 0), "three");
  EXPECT_EQ(tlv_textlist_next(list, 0), nullptr);
  EXPECT_EQ(tlv_textlist_next(list, 0), nullptr);

  EXPECT_EQ(tlv_textlist_clear(list), 0u);
  EXPECT_EQ(list->count, 0u);
  EXPECT_EQ(list->used, 0u);
  EXPECT_EQ(list->capacity, 256u);
  EXPECT_TRUE(zero_after_used(list));
  EXPECT_EQ(tlv_textlist_next(list, 0), nullptr);
  ASSERT_EQ(tlv_textlist_append(&list, "again", 5), 0u);
  EXPECT_EQ(texts(list), std::vector<std::string>{"again"});
  tlvpr_free(list);
}

TEST(TlvTextlist, ReplaceAndExtendMoveTheTextsBehind) {
  const std::string long_text(300, 'x');
  struct Row {
    const char *what;
    bool extend;
    uint32_t index;
    std::string text;
    std::vector<std::string> want;
  };
  const std::vector<Row> rows = {
      {"replace shorter", false, 0, "a", {"a", "", "gamma"}},
      {"replace longer", false, 2, "gamma-ray", {"alpha", "", "gamma-ray"}},
      {"replace with empty", false, 0, "", {"", "", "gamma"}},
      {"replace the empty text", false, 1, "beta", {"alpha", "beta", "gamma"}},
      {"replace growing the block", false, 1, long_text, {"alpha", long_text, "gamma"}},
      {"extend", true, 0, "bet", {"alphabet", "", "gamma"}},
      {"extend the empty text", true, 1, "b", {"alpha", "b", "gamma"}},
      {"extend by nothing", true, 2, "", {"alpha", "", "gamma"}},
      {"extend the empty text by nothing", true, 1, "", {"alpha", "", "gamma"}},
      {"extend growing the block", true, 2, long_text, {"alpha", "", "gamma" + long_text}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TextList *list = nullptr;
    ASSERT_EQ(tlv_textlist_create(&list), 0u);
    for (const char *t : {"alpha", "", "gamma"}) {
      ASSERT_EQ(tlv_textlist_append(&list, t, (uint32_t)strlen(t)), 0u);
    }
    uint32_t rc =
        row.extend
            ? tlv_textlist_extend(&list, row.index, row.text.c_str(), (uint32_t)row.text.size())
            : tlv_textlist_replace(&list, row.index, row.text.c_str(), (uint32_t)row.text.size());
    ASSERT_EQ(rc, 0u);
    EXPECT_EQ(texts(list), row.want);
    EXPECT_EQ(list->count, 3u);
    uint32_t used = 0;
    for (const std::string &t : row.want) used += (t.empty() ? 1 : (uint32_t)t.size()) + 1;
    EXPECT_EQ(list->used, used);
    EXPECT_TRUE(zero_after_used(list));
    EXPECT_EQ(list->capacity % 256, 0u);
    EXPECT_EQ(tlv_textlist_replace(&list, 3, "x", 1), 1u);
    EXPECT_EQ(tlv_textlist_extend(&list, 3, "x", 1), 1u);
    tlvpr_free(list);
  }
}

TEST(TlvTextlist, ChangeBeforeTheCursorKeepsTheIteration) {
  TextList *list = nullptr;
  ASSERT_EQ(tlv_textlist_create(&list), 0u);
  for (const char *t : {"a", "b", "c"}) ASSERT_EQ(tlv_textlist_append(&list, t, 1), 0u);
  EXPECT_STREQ(tlv_textlist_next(list, 1), "a");
  ASSERT_EQ(tlv_textlist_replace(&list, 0, "longer", 6), 0u);
  EXPECT_STREQ(tlv_textlist_next(list, 0), "b");
  ASSERT_EQ(tlv_textlist_replace(&list, 2, "", 0), 0u);
  EXPECT_STREQ(tlv_textlist_next(list, 0), "");
  EXPECT_EQ(tlv_textlist_next(list, 0), nullptr);
  tlvpr_free(list);
}

// Out of memory: the code is 10013, the list is untouched and still the
// caller's, and 10001 is logged with the block size.
class TlvTextlistMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = dir_.file("textlist.log");
    tvr_log_configure(log_.c_str(), "7", nullptr, nullptr, nullptr);
  }
  void TearDown() override { tvr_log_configure("stderr", "3", nullptr, nullptr, nullptr); }
  std::string log() { return hdrw_test::read_file(log_); }

  TempDir dir_;
  std::string log_;
  hdrw_test::HookGuard hooks_;
};

TEST_F(TlvTextlistMemory, CreateFailureLogsAndLeavesOutputAlone) {
  TextList *list = reinterpret_cast<TextList *>(&list);
  TextList *sentinel = list;
  tlvpr_fault_arm(1);
  EXPECT_EQ(tlv_textlist_create(&list), 10013u);
  tlvpr_fault_disarm();
  EXPECT_EQ(list, sentinel);
  EXPECT_NE(log().find("[10001] Malloc error while attempting to allocate 280 bytes."),
            std::string::npos)
      << log();
}

TEST_F(TlvTextlistMemory, GrowthFailureLeavesTheListAsItWas) {
  TextList *list = nullptr;
  ASSERT_EQ(tlv_textlist_create(&list), 0u);
  ASSERT_EQ(tlv_textlist_append(&list, "first", 5), 0u);
  const std::string big(400, 'z');
  for (int op = 0; op < 3; op++) {
    SCOPED_TRACE(op);
    TextList *before = list;
    std::string area_before = area(list);
    tlvpr_fault_arm(1);
    uint32_t rc = op == 0   ? tlv_textlist_append(&list, big.c_str(), 400)
                  : op == 1 ? tlv_textlist_replace(&list, 0, big.c_str(), 400)
                            : tlv_textlist_extend(&list, 0, big.c_str(), 400);
    EXPECT_EQ(tlvpr_fault_disarm(), 1u);
    EXPECT_EQ(rc, 10013u);
    EXPECT_EQ(list, before);
    EXPECT_EQ(list->capacity, 256u);
    EXPECT_EQ(list->count, 1u);
    EXPECT_EQ(area(list), area_before);
  }
  // 24-byte header and 256 + 256 data bytes: the size of the failed block.
  EXPECT_NE(log().find("[10001] Malloc error while attempting to allocate 536 bytes."),
            std::string::npos)
      << log();
  // Appending without growth allocates nothing.
  tlvpr_fault_arm(1);
  EXPECT_EQ(tlv_textlist_append(&list, "small", 5), 0u);
  EXPECT_EQ(tlvpr_fault_disarm(), 0u);
  tlvpr_free(list);
}

TEST_F(TlvTextlistMemory, EveryAllocationOfABuildCanFail) {
  uint64_t needed = hdrw_test::fault_loop([] {
    TextList *list = nullptr;
    uint32_t rc = tlv_textlist_create(&list);
    for (int i = 0; rc == 0 && i < 40; i++)
      rc = tlv_textlist_append(&list, "0123456789abcdefghij", 20);
    EXPECT_TRUE(rc == 0 || rc == 10013u) << rc;
    tlvpr_free(list);
  });
  EXPECT_EQ(needed, 4u);  // create, then growth to 512, 768 and 1024 bytes
}

TEST(TlvTextlist, ImpossibleSizeIsRefusedWithoutTouchingTheList) {
  TextList *list = nullptr;
  ASSERT_EQ(tlv_textlist_create(&list), 0u);
  static const char byte = 'q';
  // The length is larger than any block may be: refused before any copy.
  EXPECT_EQ(tlv_textlist_append(&list, &byte, 0xffffffffu), 10013u);
  EXPECT_EQ(list->count, 0u);
  EXPECT_EQ(list->capacity, 256u);
  tlvpr_free(list);
}

}  // namespace
