// tvr_config_test - configuration files, platform pruning and the typed XPath getters
#include "tvr_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/entities.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "test_support.h"
#include "tlvpr_mem.h"

namespace {

using hdrw_test::TempDir;

// The parser library is initialised once, before any test, as a host does.
const bool parser_ready = (tvr_config_init(), true);

std::string fixture(const std::string &name) {
  return std::string(HDRW_SOURCE_DIR) + "/tests/data/config/" + name;
}

struct ConfigFree {
  void operator()(ConfigHandle *handle) const { tvr_config_free(handle); }
};
using ConfigPtr = std::unique_ptr<ConfigHandle, ConfigFree>;

ConfigPtr open_config(const std::string &path) {
  ConfigHandle *handle = nullptr;
  EXPECT_EQ(tvr_config_open(&handle, path.c_str()), 0u) << path;
  return ConfigPtr(handle);
}

// A string setting as (code, text); the text is empty unless the code is 0.
std::pair<uint32_t, std::string> get_text(const char *expr, const ConfigHandle *handle) {
  char *text = nullptr;
  uint32_t rc = tvr_config_get_string(&text, expr, handle);
  std::string copy = text != nullptr ? text : "";
  tlvpr_free(text);
  return {rc, copy};
}

std::string take_text(char *text) {
  std::string copy = text != nullptr ? text : "(null)";
  tlvpr_free(text);
  return copy;
}

std::vector<std::string> textlist_texts(const TextList *list) {
  std::vector<std::string> texts;
  for (uint32_t i = 0; i < tlv_textlist_count(list); i++) {
    texts.emplace_back(tlv_textlist_at(list, i));
  }
  return texts;
}

// Sets the process-wide parser defaults a host may use for its own documents:
// substitute entities and load external DTDs. Restored on destruction.
class HostParserDefaults {
 public:
  explicit HostParserDefaults(bool on) {
    saved_load_ = xmlLoadExtDtdDefaultValue;
    saved_subst_ = xmlSubstituteEntitiesDefault(on ? 1 : 0);
    if (on) {
      xmlLoadExtDtdDefaultValue = XML_DETECT_IDS | XML_COMPLETE_ATTRS;
    }
  }
  ~HostParserDefaults() {
    xmlSubstituteEntitiesDefault(saved_subst_);
    xmlLoadExtDtdDefaultValue = saved_load_;
  }

 private:
  int saved_load_;
  int saved_subst_;
};

TEST(TvrConfigOpen, ResultCodesForBadFiles) {
  TempDir dir;
  hdrw_test::write_file(dir.file("empty.xml"), "");
  hdrw_test::write_file(dir.file("text.xml"), "maxHeaderLength=768\n");
  hdrw_test::write_file(dir.file("locked.xml"), "<server/>");
  ASSERT_EQ(chmod(dir.file("locked.xml").c_str(), 0), 0);
  // Tests run as root, which may read any file: "unreadable" is a missing
  // path, a directory, or a file without its read permission bits (which the
  // readable test looks at even for root).
  const struct {
    std::string path;
    uint32_t want;
  } rows[] = {
      {dir.file("missing.xml"), 21020},
      {dir.path(), 21020},
      {dir.path() + "/", 21020},
      {dir.file("locked.xml"), 21020},
      {"", 21020},
      {fixture("malformed.xml"), 21016},
      {dir.file("empty.xml"), 21016},
      {dir.file("text.xml"), 21016},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.path);
    ConfigHandle *sentinel = (ConfigHandle *)&rows;
    ConfigHandle *handle = sentinel;
    EXPECT_EQ(tvr_config_open(&handle, row.path.c_str()), row.want);
    EXPECT_EQ(handle, sentinel);
  }
  ConfigHandle *handle = nullptr;
  EXPECT_EQ(tvr_config_open(nullptr, fixture("server.xml").c_str()), 10040u);
  EXPECT_EQ(tvr_config_open(&handle, nullptr), 10040u);
  EXPECT_EQ(handle, nullptr);
  tvr_config_free(nullptr);
}

// libxml2's own reports of a malformed file or query become debug traces; none
// reaches standard error, where a host's output would be interleaved with them.
TEST(TvrConfigOpen, LibxmlReportsAreTracesNotStandardError) {
  hdrw_test::LogCapture log(TVR_LOG_DEBUG);
  TempDir dir;
  std::string err_path = dir.file("stderr");
  fflush(stderr);
  int saved = dup(2);
  int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(err, 0);
  dup2(err, 2);
  ConfigHandle *handle = nullptr;
  EXPECT_EQ(tvr_config_open(&handle, fixture("malformed.xml").c_str()), 21016u);
  ConfigPtr config = open_config(fixture("values.xml"));
  char *text = nullptr;
  EXPECT_EQ(tvr_config_get_string(&text, "//list[", config.get()), 21019u);
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(err);
  EXPECT_EQ(hdrw_test::read_file(err_path), "");
  std::vector<std::string> traces = log.messages(TVR_LOG_NO_CODE);
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_NE(traces[0].find("[tvr_config:246] libxml2: " + fixture("malformed.xml") + ":"),
            std::string::npos)
      << traces[0];
  EXPECT_NE(traces[1].find("libxml2: error 1207 in \"//list[\" at 7"), std::string::npos)
      << traces[1];
}

TEST(TvrConfigOpen, ReadsTheModuleSettingsOfAServerConfiguration) {
  ConfigPtr config = open_config(fixture("server.xml"));
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(get_text("//package[@name='serverPackage']/clientCert", config.get()),
            std::make_pair(0u, std::string("/etc/talvora/client.pem")));
  // The SOLARIS/AIX module comes first in the file and is gone; the limits
  // are those of the module kept for this platform.
  const struct {
    const char *expr;
    uint32_t want;
  } limits[] = {
      {"//module[@name='hdrweights']/maxHeaderLength", 1024},
      {"//module[@name='hdrweights']/maxTotalHeadersLength", 65536},
      {"//module[@name='hdrweights']/maxBackTracks", 30000},  // "  +30000" and a line end
  };
  for (const auto &limit : limits) {
    SCOPED_TRACE(limit.expr);
    uint32_t value = 0;
    EXPECT_EQ(tvr_config_get_uint(&value, limit.expr, config.get()), 0u);
    EXPECT_EQ(value, limit.want);
  }
}

TEST(TvrConfigPrune, ForeignNodesVanishWithTheirSubtreeAndAreTracedOnce) {
  hdrw_test::LogCapture log(TVR_LOG_DEBUG);
  ConfigPtr config = open_config(fixture("server.xml"));
  ASSERT_NE(config, nullptr);
  const std::string tail = " because it is not for the current platform";
  EXPECT_EQ(log.messages(TVR_LOG_NO_CODE), (std::vector<std::string>{
                                               "[tvr_config:245] removing node module" + tail,
                                               "[tvr_config:245] removing node services" + tail,
                                               "[tvr_config:245] removing node listener" + tail,
                                           }));
  for (const char *expr : {"//services", "//service", "//port[.='2525']", "//port[.='110']"}) {
    SCOPED_TRACE(expr);
    EXPECT_EQ(get_text(expr, config.get()).first, 21018u);
  }
  // "win32" in lower case keeps the submission listener; "OS2" drops legacy.
  char **ports = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(tvr_config_get_string_array(&ports, &count, "//listener/port", config.get()), 0u);
  std::vector<std::string> got(ports, ports + count);
  tvr_config_free_string_array(ports, count);
  EXPECT_EQ(got, (std::vector<std::string>{"25", "587", "465"}));
}

TEST(TvrConfigPrune, RemovingTheRootLeavesNoData) {
  ConfigPtr config = open_config(fixture("pruned_root.xml"));
  ASSERT_NE(config, nullptr);
  for (const char *expr : {"/server", "/*", "//maxHeaderLength", "//module"}) {
    SCOPED_TRACE(expr);
    EXPECT_EQ(get_text(expr, config.get()).first, 21018u);
    ConfigHandle *sub = nullptr;
    EXPECT_EQ(tvr_config_get_subconfig(&sub, expr, config.get()), 21018u);
  }
}

enum class Kind { String, Uint, Int, Bool };

// Runs one single-value getter; on success value is its output as text, on
// failure it checks that the output still holds its sentinel.
uint32_t get_single(Kind kind, const char *expr, const ConfigHandle *handle, std::string *value) {
  uint32_t rc = 0;
  switch (kind) {
    case Kind::String: {
      char *text = (char *)"sentinel";
      rc = tvr_config_get_string(&text, expr, handle);
      *value = rc == 0 ? take_text(text) : std::string(text);
      break;
    }
    case Kind::Uint: {
      uint32_t n = 77;
      rc = tvr_config_get_uint(&n, expr, handle);
      *value = rc == 0 || n != 77 ? std::to_string(n) : "sentinel";
      break;
    }
    case Kind::Int: {
      int32_t n = 77;
      rc = tvr_config_get_int(&n, expr, handle);
      *value = rc == 0 || n != 77 ? std::to_string(n) : "sentinel";
      break;
    }
    case Kind::Bool: {
      int flag = 77;
      rc = tvr_config_get_bool(&flag, expr, handle);
      *value = rc == 0 || flag != 77 ? std::to_string(flag) : "sentinel";
      break;
    }
  }
  return rc;
}

TEST(TvrConfigGet, SingleValueTexts) {
  ConfigPtr config = open_config(fixture("values.xml"));
  ASSERT_NE(config, nullptr);
  const struct {
    Kind kind;
    const char *expr;
    uint32_t rc;
    const char *want;  // "sentinel" when the output must stay untouched
  } rows[] = {
      {Kind::String, "//empty", 21018, "sentinel"},
      {Kind::String, "//emptyPair", 21018, "sentinel"},
      {Kind::String, "//nested", 21018, "sentinel"},  // first child is an element
      {Kind::String, "//nested/inner", 0, "7"},
      {Kind::String, "//mixed", 0, "lead"},
      {Kind::String, "//item", 21018, "sentinel"},  // first match empty, later one not
      {Kind::Uint, "//item", 21018, "sentinel"},
      {Kind::String, "//attr/@key", 0, "k1"},
      {Kind::String, "//attr/@blank", 0, ""},
      {Kind::String, "//attr/@missing", 21018, "sentinel"},
      {Kind::String, "values/empty", 21018, "sentinel"},  // relative on a document: no context node
      {Kind::Uint, "//uint[@name='plain']", 0, "40000"},
      {Kind::Uint, "//uint[@name='padded']", 0, "40000"},
      {Kind::Uint, "//uint[@name='blank-after']", 0, "40000"},
      {Kind::Uint, "//uint[@name='line-after']", 0, "40000"},
      {Kind::Uint, "//uint[@name='letter-after']", 21017, "sentinel"},
      {Kind::Uint, "//uint[@name='minus']", 21017, "sentinel"},
      {Kind::Uint, "//uint[@name='max']", 0, "4294967295"},
      {Kind::Uint, "//uint[@name='over']", 21017, "sentinel"},
      {Kind::Uint, "//uint[@name='letters']", 21017, "sentinel"},
      {Kind::Uint, "//uint[@name='tab-before']", 21017, "sentinel"},
      {Kind::Uint, "//attr/@blank", 21017, "sentinel"},
      {Kind::Int, "//uint[@name='minus']", 0, "-1"},
      {Kind::Int, "//int[@name='min']", 0, "-2147483648"},
      {Kind::Int, "//int[@name='max']", 0, "2147483647"},
      {Kind::Int, "//int[@name='over']", 21017, "sentinel"},
      {Kind::Int, "//int[@name='under']", 21017, "sentinel"},
      {Kind::Int, "//int[@name='sign-only']", 21017, "sentinel"},
      {Kind::Bool, "//bool[@name='t']", 0, "1"},
      {Kind::Bool, "//bool[@name='T']", 0, "1"},
      {Kind::Bool, "//bool[@name='f']", 0, "0"},
      {Kind::Bool, "//bool[@name='mixed']", 0, "1"},
      {Kind::Bool, "//bool[@name='prefix-true']", 0, "1"},
      {Kind::Bool, "//bool[@name='prefix-false']", 0, "0"},
      {Kind::Bool, "//bool[@name='short']", 21017, "sentinel"},
      {Kind::Bool, "//bool[@name='yes']", 21017, "sentinel"},
      {Kind::Bool, "//bool[@name='one']", 21017, "sentinel"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.expr);
    std::string value;
    EXPECT_EQ(get_single(row.kind, row.expr, config.get(), &value), row.rc);
    EXPECT_EQ(value, row.want);
  }
}

TEST(TvrConfigGet, QueryAndArgumentFailuresHaveTheirOwnCodes) {
  ConfigPtr config = open_config(fixture("values.xml"));
  ASSERT_NE(config, nullptr);
  ConfigHandle bare = {nullptr, nullptr};  // neither document nor node: no XPath context
  const struct {
    const char *expr;
    const ConfigHandle *handle;
    uint32_t rc;
  } rows[] = {
      {"//list[", config.get(), 21019},
      {"//list/entry[", config.get(), 21019},
      {"nosuchfunction()", config.get(), 21019},
      {"$undefined", config.get(), 21019},
      {"count(//entry)", config.get(), 21018},  // a number, not a node set
      {"//nosuch", config.get(), 21018},
      {"//namespace::*", config.get(), 21018},  // namespace nodes carry no text
      {"//entry", &bare, 1},
      {nullptr, config.get(), 10040},
      {"//entry", nullptr, 10040},
  };
  for (Kind kind : {Kind::String, Kind::Uint, Kind::Int, Kind::Bool}) {
    for (const auto &row : rows) {
      SCOPED_TRACE(std::string(row.expr ? row.expr : "(null)") + " kind " +
                   std::to_string((int)kind));
      std::string value;
      EXPECT_EQ(get_single(kind, row.expr, row.handle, &value), row.rc);
      EXPECT_EQ(value, "sentinel");
    }
  }
  EXPECT_EQ(tvr_config_get_string(nullptr, "//entry", config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_uint(nullptr, "//entry", config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_int(nullptr, "//entry", config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_bool(nullptr, "//entry", config.get()), 10040u);
}

TEST(TvrConfigGet, MultiValueTexts) {
  ConfigPtr config = open_config(fixture("values.xml"));
  ASSERT_NE(config, nullptr);
  using Texts = std::vector<std::string>;
  const struct {
    const char *expr;
    uint32_t rc;
    Texts want;
  } rows[] = {
      {"//list/entry", 0, {"alpha", "beta", "gamma"}},
      {"//list/entry/@k", 0, {"a1", "b1", "c1"}},
      {"//attr/@blank", 0, {""}},
      {"//list/entry | //nested/inner", 0, {"7", "alpha", "beta", "gamma"}},
      {"//holey/entry", 21018, {}},        // the middle entry is empty
      {"//list/entry/text()", 21018, {}},  // first match is a text node
      {"//namespace::*", 21018, {}},
      {"//nosuch", 21018, {}},
      {"count(//entry)", 21018, {}},
      {"//list[", 21019, {}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.expr);
    char **sentinel = (char **)&rows;
    char **array = sentinel;
    uint32_t count = 99;
    EXPECT_EQ(tvr_config_get_string_array(&array, &count, row.expr, config.get()), row.rc);
    if (row.rc == 0) {
      EXPECT_EQ(Texts(array, array + count), row.want);
      tvr_config_free_string_array(array, count);
    } else {
      EXPECT_EQ(array, sentinel);
      EXPECT_EQ(count, 99u);
    }
    TextList *list_sentinel = (TextList *)&rows;
    TextList *list = list_sentinel;
    EXPECT_EQ(tvr_config_get_text_list(&list, row.expr, config.get()), row.rc);
    if (row.rc == 0) {
      EXPECT_EQ(textlist_texts(list), row.want);
      tlvpr_free(list);
    } else {
      EXPECT_EQ(list, list_sentinel);
    }
  }
  char **array = nullptr;
  uint32_t count = 0;
  TextList *list = nullptr;
  ConfigHandle bare = {nullptr, nullptr};
  EXPECT_EQ(tvr_config_get_string_array(nullptr, &count, "//entry", config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_string_array(&array, nullptr, "//entry", config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_string_array(&array, &count, nullptr, config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_string_array(&array, &count, "//entry", nullptr), 10040u);
  EXPECT_EQ(tvr_config_get_string_array(&array, &count, "//entry", &bare), 1u);
  EXPECT_EQ(tvr_config_get_text_list(nullptr, "//entry", config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_text_list(&list, nullptr, config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_text_list(&list, "//entry", nullptr), 10040u);
  EXPECT_EQ(tvr_config_get_text_list(&list, "//entry", &bare), 1u);
  tvr_config_free_string_array(nullptr, 3);
}

TEST(TvrConfigSubHandle, RelativeQueriesStartAtTheNode) {
  ConfigPtr config = open_config(fixture("server.xml"));
  ASSERT_NE(config, nullptr);
  ConfigHandle **listeners = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(tvr_config_get_node_list(&listeners, &count, "//listener", config.get()), 0u);
  ASSERT_EQ(count, 3u);
  const struct {
    const char *name;
    uint32_t port;
    int enabled;
  } want[] = {{"smtp", 25, 1}, {"submission", 587, 0}, {"smtps", 465, 1}};
  for (uint32_t i = 0; i < count; i++) {
    SCOPED_TRACE(want[i].name);
    uint32_t port = 0;
    int enabled = -1;
    EXPECT_EQ(get_text("@name", listeners[i]), std::make_pair(0u, std::string(want[i].name)));
    EXPECT_EQ(tvr_config_get_uint(&port, "port", listeners[i]), 0u);
    EXPECT_EQ(port, want[i].port);
    EXPECT_EQ(tvr_config_get_bool(&enabled, "./enabled", listeners[i]), 0u);
    EXPECT_EQ(enabled, want[i].enabled);
    EXPECT_EQ(get_text("../../package/clientCert", listeners[i]).second, "/etc/talvora/other.pem");
    EXPECT_EQ(get_text("//package[2]/clientCert", listeners[i]).second, "/etc/talvora/client.pem");
    EXPECT_EQ(get_text("clientCert", listeners[i]).first, 21018u);
  }
  EXPECT_EQ(take_text(tvr_config_node_to_text(listeners[1])),
            "<listener name=\"submission\" platformControl=\"win32\"><port>587</port>"
            "<enabled>FALSE</enabled></listener>");
  tvr_config_free_node_list(listeners, count);

  // A sub-handle of a sub-handle, freed before its parent.
  ConfigHandle *package = nullptr;
  ASSERT_EQ(tvr_config_get_subconfig(&package, "//package[@name='serverPackage']", config.get()),
            0u);
  ConfigHandle *dest = nullptr;
  ASSERT_EQ(tvr_config_get_subconfig(&dest, "logDestination", package), 0u);
  EXPECT_EQ(take_text(tvr_config_node_to_text(dest)), "<logDestination>stderr</logDestination>");
  EXPECT_EQ(get_text(".", dest).second, "stderr");
  tvr_config_free(dest);
  ConfigHandle *attr = nullptr;
  ASSERT_EQ(tvr_config_get_subconfig(&attr, "@name", package), 0u);
  EXPECT_EQ(get_text(".", attr).second, "serverPackage");
  tvr_config_free(attr);
  tvr_config_free(package);

  EXPECT_EQ(tvr_config_node_to_text(config.get()), nullptr);  // a document handle has no node
  EXPECT_EQ(tvr_config_node_to_text(nullptr), nullptr);
}

TEST(TvrConfigSubHandle, FailuresHandOutNothing) {
  ConfigPtr config = open_config(fixture("server.xml"));
  ASSERT_NE(config, nullptr);
  ConfigHandle bare = {nullptr, nullptr};
  const struct {
    const char *expr;
    const ConfigHandle *handle;
    uint32_t rc;
  } rows[] = {
      {"//services", config.get(), 21018},
      {"//listener[", config.get(), 21019},
      {"count(//listener)", config.get(), 21018},
      {"//namespace::*", config.get(), 21018},
      {"//listener", &bare, 1},
      {nullptr, config.get(), 10040},
      {"//listener", nullptr, 10040},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.expr ? row.expr : "(null)");
    ConfigHandle **array = (ConfigHandle **)&rows;
    uint32_t count = 99;
    EXPECT_EQ(tvr_config_get_node_list(&array, &count, row.expr, row.handle), row.rc);
    if (row.rc != 10040) {
      EXPECT_EQ(array, nullptr);
      EXPECT_EQ(count, 0u);
    }
    ConfigHandle *sub = (ConfigHandle *)&rows;
    EXPECT_EQ(tvr_config_get_subconfig(&sub, row.expr, row.handle), row.rc);
    EXPECT_EQ(sub, nullptr);
  }
  uint32_t count = 0;
  ConfigHandle **array = nullptr;
  EXPECT_EQ(tvr_config_get_node_list(nullptr, &count, "//listener", config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_node_list(&array, nullptr, "//listener", config.get()), 10040u);
  EXPECT_EQ(tvr_config_get_subconfig(nullptr, "//listener", config.get()), 10040u);
  tvr_config_free_node_list(nullptr, 2);
}

// The fixture declares an external DTD (with an entity and a default attribute
// that would prune the module), an external general entity holding a local
// secret, and an external parameter entity. None of them may be read.
TEST(TvrConfigOpen, NeverLoadsExternalEntitiesOrDtds) {
  const char *secrets[] = {"hdrw-secret-from-file", "hdrw-secret-from-dtd",
                           "hdrw-secret-from-param"};
  for (bool host_defaults : {false, true}) {
    SCOPED_TRACE(host_defaults ? "host parser defaults on" : "library defaults");
    HostParserDefaults defaults(host_defaults);
    if (host_defaults) {
      // The fixture is live: the plain parser call expands the secret here.
      xmlDocPtr doc = xmlParseFile(fixture("external_entities.xml").c_str());
      ASSERT_NE(doc, nullptr);
      xmlChar *dump = nullptr;
      int len = 0;
      xmlDocDumpMemory(doc, &dump, &len);
      EXPECT_NE(std::string((const char *)dump, len).find(secrets[0]), std::string::npos);
      xmlFree(dump);
      xmlFreeDoc(doc);
    }
    ConfigPtr config = open_config(fixture("external_entities.xml"));
    ASSERT_NE(config, nullptr);
    // Neither the entity's file nor the parameter entity's DTD was read.
    xmlEntityPtr secret = xmlGetDocEntity(config->document, BAD_CAST "secret");
    ASSERT_NE(secret, nullptr);
    EXPECT_EQ(secret->children, nullptr);
    EXPECT_EQ(xmlGetDocEntity(config->document, BAD_CAST "fromparam"), nullptr);
    EXPECT_EQ(config->document->extSubset, nullptr);
    for (const char *expr : {"//clientCert", "//fromdtd", "//fromparam"}) {
      EXPECT_EQ(get_text(expr, config.get()).first, 21018u) << expr;
    }
    uint32_t limit = 0;
    EXPECT_EQ(
        tvr_config_get_uint(&limit, "//module[@name='hdrweights']/maxHeaderLength", config.get()),
        0u);
    EXPECT_EQ(limit, 768u);
    ConfigHandle *root = nullptr;
    ASSERT_EQ(tvr_config_get_subconfig(&root, "/server", config.get()), 0u);
    std::string text = take_text(tvr_config_node_to_text(root));
    tvr_config_free(root);
    EXPECT_NE(text.find("&secret;"), std::string::npos);
    for (const char *secret : secrets) {
      EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
  }
}

// A loopback listener that counts the connections made to it and closes them.
class CountingListener {
 public:
  CountingListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    EXPECT_EQ(bind(fd_, (sockaddr *)&addr, len), 0);
    EXPECT_EQ(listen(fd_, 8), 0);
    EXPECT_EQ(getsockname(fd_, (sockaddr *)&addr, &len), 0);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
          close(accept(fd_, nullptr, nullptr));
          connections_++;
        } else if (stop_) {
          return;
        }
      }
    });
  }
  ~CountingListener() { stop(); }
  int stop() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
      close(fd_);
    }
    return connections_;
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

TEST(TvrConfigOpen, NeverReachesTheNetwork) {
  TempDir dir;
  auto write_config = [&](int port) {
    std::string url = "http://127.0.0.1:" + std::to_string(port);
    hdrw_test::write_file(
        dir.file("net.xml"),
        "<!DOCTYPE server SYSTEM \"" + url +
            "/server.dtd\" [\n"
            "  <!ENTITY remote SYSTEM \"" +
            url +
            "/entity\">\n]>\n"
            "<server><clientCert>&remote;</clientCert><port>25</port></server>\n");
  };
  HostParserDefaults defaults(true);
  if (xmlHasFeature(XML_WITH_HTTP)) {
    // The fixture is live: the plain parser call connects to the listener.
    CountingListener listener;
    write_config(listener.port());
    xmlFreeDoc(xmlParseFile(dir.file("net.xml").c_str()));
    EXPECT_GT(listener.stop(), 0);
  }
  CountingListener listener;
  write_config(listener.port());
  ConfigPtr config = open_config(dir.file("net.xml"));
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(get_text("//port", config.get()).second, "25");
  EXPECT_EQ(get_text("//clientCert", config.get()).first, 21018u);
  EXPECT_EQ(listener.stop(), 0);
}

// Every allocation of each operation fails once in turn: the call reports
// 10013 (a text list code for the text list), writes nothing and leaks nothing
// (LeakSanitizer checks the last part in the sanitizer build).
TEST(TvrConfigFault, EveryAllocationFailureIsReportedCleanly) {
  TempDir dir;
  std::string many = "<config><list>";
  for (int i = 0; i < 40; i++) {
    many += "<entry>entry number " + std::to_string(i) + " of the long list</entry>";
  }
  hdrw_test::write_file(dir.file("many.xml"), many + "</list></config>");
  ConfigPtr config = open_config(dir.file("many.xml"));
  ASSERT_NE(config, nullptr);
  const ConfigHandle *h = config.get();
  const struct {
    const char *name;
    std::function<uint32_t()> op;  // runs the call, frees and checks what a success hands out
  } rows[] = {
      {"open",
       [&] {
         ConfigHandle *handle = nullptr;
         uint32_t rc = tvr_config_open(&handle, dir.file("many.xml").c_str());
         EXPECT_EQ(handle != nullptr, rc == 0);
         tvr_config_free(handle);
         return rc;
       }},
      {"string",
       [&] {
         char *text = nullptr;
         uint32_t rc = tvr_config_get_string(&text, "//entry[2]", h);
         EXPECT_EQ(take_text(text), rc == 0 ? "entry number 1 of the long list" : "(null)");
         return rc;
       }},
      {"string array",
       [&] {
         char **array = nullptr;
         uint32_t count = 7;
         uint32_t rc = tvr_config_get_string_array(&array, &count, "//entry", h);
         EXPECT_EQ(count, rc == 0 ? 40u : 7u);
         EXPECT_EQ(array != nullptr, rc == 0);
         tvr_config_free_string_array(array, count);
         return rc;
       }},
      {"text list",
       [&] {
         TextList *list = nullptr;
         uint32_t rc = tvr_config_get_text_list(&list, "//entry", h);
         EXPECT_EQ(list != nullptr, rc == 0);
         if (list != nullptr) {
           EXPECT_EQ(textlist_texts(list).size(), 40u);
         }
         tlvpr_free(list);
         return rc;
       }},
      {"node list",
       [&] {
         ConfigHandle **array = nullptr;
         uint32_t count = 7;
         uint32_t rc = tvr_config_get_node_list(&array, &count, "//entry", h);
         EXPECT_EQ(count, rc == 0 ? 40u : 0u);
         EXPECT_EQ(array != nullptr, rc == 0);
         tvr_config_free_node_list(array, count);
         return rc;
       }},
      {"subconfig",
       [&] {
         ConfigHandle *sub = nullptr;
         uint32_t rc = tvr_config_get_subconfig(&sub, "//entry", h);
         EXPECT_EQ(sub != nullptr, rc == 0);
         tvr_config_free(sub);
         return rc;
       }},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    uint64_t allocations = hdrw_test::fault_loop([&] {
      uint32_t rc = row.op();
      EXPECT_TRUE(rc == 0 || rc == 10013) << rc;
    });
    EXPECT_GT(allocations, 0u);
  }
  ConfigHandle *sub = nullptr;
  ASSERT_EQ(tvr_config_get_subconfig(&sub, "//entry", h), 0u);
  hdrw_test::fault_loop([&] {
    char *text = tvr_config_node_to_text(sub);
    tlvpr_free(text);
  });
  tvr_config_free(sub);
}

}  // namespace
