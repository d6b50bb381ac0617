// cmd_rules_import - "hdrweights rules import spamassassin": SpamAssassin's
// header rules as a plain rule file
//
// Directories are read for their *.cf files in name order (byte order of the
// names), as SpamAssassin reads its rule directory; files named on the command
// line are read where they stand. The translation is sa_import's; this file
// gathers the inputs, writes the three outputs and prints the counts.
// (tested in tests/sa_import_test.cpp and tests/sa_import_diff.sh)
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "sa_import.h"

namespace hdrw_cli {
namespace {

constexpr const char kImportHelp[] =
    "usage: hdrweights rules import spamassassin [-o FILE] [--map FILE] [--skipped FILE]\n"
    "                                            [--scale N] [--score-set 0-3] [--first-id N]\n"
    "                                            [--unscored] PATH...\n"
    "\n"
    "Translates SpamAssassin's header rules (the .cf files named, or those in the\n"
    "directories named, read in name order) into a plain rule file: every\n"
    "'header' rule with a score that tests one header against a regular\n"
    "expression, and every 'meta' rule that is an AND of such rules (as a\n"
    "multi-line rule). One rule line is written per usual spelling of the header\n"
    "name, since rule patterns match names exactly. Weight = score x scale,\n"
    "rounded, clamped to -99..999. The counts go to standard error.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE  the rule file (default: standard output)\n"
    "  --map FILE         one line per rule line written: ID, SpamAssassin name,\n"
    "                     header, expression, score, weight, note (tab-separated)\n"
    "  --skipped FILE     one line per rule not imported: name, file, reason\n"
    "  --scale N          weight per SpamAssassin point (default 20: 5.0 -> 100)\n"
    "  --score-set N      SpamAssassin's score set: 0 no Bayes, no network tests\n"
    "                     (default), 1 network, 2 Bayes, 3 both\n"
    "  --first-id N       the first rule ID (default 100000)\n"
    "  --unscored         also the rules without weight in the score set (the\n"
    "                     '__' sub-rules, scores of 0 or rounding to 0), at\n"
    "                     weight 0: material for 'rules fit' to weigh\n"
    "  -h, --help         this text\n"
    "\n"
    "Exit status: 0 written, 1 a file could not be read or written, 2 usage error.\n";

// import_paths - the .cf files to read, in SpamAssassin's order
std::vector<std::string> import_paths(const std::vector<std::string> &operands,
                                      std::string &version) {
  std::vector<std::string> files;
  for (const std::string &path : operands) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      throw Failure("cannot read " + printable(path) + ": " + errno_text(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
      files.push_back(path);
      continue;
    }
    // The rule directory of a fetched package may carry the package's version.
    if (version.empty()) {
      std::ifstream stated(path + "/VERSION");
      std::getline(stated, version);
    }
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) throw Failure("cannot read " + printable(path) + ": " + errno_text(errno));
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 3 && name.compare(name.size() - 3, 3, ".cf") == 0) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) files.push_back(path + "/" + name);
  }
  return files;
}

std::string base_name(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// rules_import - "rules import spamassassin ..."
int cmd_rules_import(const std::vector<std::string> &words) {
  if (words.empty() || words[0] == "-h" || words[0] == "--help") {
    std::cout << kImportHelp;
    return 0;
  }
  if (words[0] != "spamassassin") {
    throw UsageError("rules import", "unknown source '" + printable(words[0]) + "' (spamassassin)");
  }
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  ArgParser args("rules import spamassassin", rest, {{'o', "output"}});
  std::string output = "-", map_path, skipped_path;
  SaImportOptions options;
  std::vector<std::string> operands;
  while (args.next()) {
    if (!args.is_option()) {
      operands.push_back(args.operand());
      continue;
    }
    const std::string &name = args.name();
    if (name == "help") {
      std::cout << kImportHelp;
      return 0;
    } else if (name == "output") {
      output = args.value();
    } else if (name == "map") {
      map_path = args.value();
    } else if (name == "skipped") {
      skipped_path = args.value();
    } else if (name == "scale") {
      options.scale = parse_positive(args, args.value(), 1000);
    } else if (name == "score-set") {
      const int32_t set = parse_int32(args, args.value());
      if (set < 0 || set > 3) args.fail("--score-set takes 0 to 3");
      options.score_set = set;
    } else if (name == "unscored") {
      args.no_value();
      options.unscored = true;
    } else if (name == "first-id") {
      options.first_id = parse_positive(args, args.value(), 2000000000);
    } else {
      args.unknown();
    }
  }
  if (operands.empty()) args.fail("no rule file or directory given");

  std::vector<SaSourceFile> sources;
  for (const std::string &path : import_paths(operands, options.version)) {
    sources.push_back(SaSourceFile{base_name(path), read_input(path)});
  }
  if (sources.empty()) throw Failure("no .cf file found in " + printable(operands[0]));
  const SaImportResult result = sa_import(sources, options);
  write_output(output, result.rules);
  if (!map_path.empty()) write_output(map_path, result.map);
  if (!skipped_path.empty()) write_output(skipped_path, result.skipped);

  uint32_t skipped = 0;
  for (const auto &entry : result.reasons) skipped += entry.second;
  std::cerr << "hdrweights: SpamAssassin " << (result.version.empty() ? "?" : result.version)
            << ", " << sources.size() << " files: imported " << result.imported_header
            << " header rules and " << result.imported_meta << " meta rules";
  if (options.unscored) std::cerr << ", " << result.imported_unscored << " unscored";
  std::cerr << " (" << result.rule_lines << " rule lines); skipped " << skipped << " rules\n";
  for (const auto &entry : result.reasons) {
    std::cerr << "  skipped " << entry.second << ": " << entry.first << "\n";
  }
  return 0;
}

}  // namespace hdrw_cli
