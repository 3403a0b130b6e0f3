// Which names are log files, what index they carry, and what the index file holds.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "folder_data.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {

// The definition of a log file name, which the hand-written matcher must agree with.
const std::regex kLogFileName(R"(^([0-9a-fA-F]{8})\.movra\.msg\.db(-journal)?$)");

// Valid names: databases and journals, digits of either case and at both ends of the range.
const Lines kValid = {"00000000.movra.msg.db", "00000000.movra.msg.db-journal",
                      "0000000a.movra.msg.db", "0000000A.movra.msg.db-journal",
                      "7fFfFfFf.movra.msg.db", "ffffffff.movra.msg.db-journal",
                      "FFFFFFFF.movra.msg.db", "0123abcd.movra.msg.db-journal",
                      "89ABCDEF.movra.msg.db"};

// Every change of one character of `name`: each one replaced by, or preceded
// by, a character of `alphabet`, or dropped; and `name` with one appended.
Lines one_changes(const std::string& name, const std::string& alphabet) {
  Lines changed;
  for (size_t at = 0; at <= name.size(); ++at) {
    for (const char c : alphabet) {
      if (at < name.size()) changed.push_back(std::string(name).replace(at, 1, 1, c));
      changed.push_back(std::string(name).insert(at, 1, c));
    }
    if (at < name.size()) changed.push_back(std::string(name).erase(at, 1));
  }
  return changed;
}

// Digits and letters on either side of the hexadecimal range, each letter of
// the fixed part in both cases, separators, and bytes past ASCII: for one
// change, and fewer of them for a second one.
const std::string kAlphabet =
    std::string("09afgAFG.-_ /MOVRASGDBJUNLmovrsgdbjunlx\x7f\x80\xe9\xff") + '\0';
const std::string kSecondAlphabet = "0aAgG.-x\x80";

TEST(LogCatalogue, TheMatcherAgreesWithThePatternOnEveryNearMiss) {
  Lines names = kValid;
  for (const std::string& name : kValid) {
    for (const std::string& once : one_changes(name, kAlphabet)) {
      names.push_back(once);
      // Two changes of one database name and one journal name.
      if (name != kValid[0] && name != kValid[1]) continue;
      for (const std::string& twice : one_changes(once, kSecondAlphabet)) names.push_back(twice);
    }
  }
  const std::string longest = "0123abcd.movra.msg.db-journal.bak-journal";
  for (size_t size = 0; size <= 40; ++size) names.push_back(longest.substr(0, size));

  FolderData data("/nonexistent");
  for (const std::string& name : names) {
    std::smatch match;
    const bool matches = std::regex_match(name, match, kLogFileName);
    const auto expected = matches ? std::strtoul(match.str(1).c_str(), nullptr, 16) : 0;
    uint32_t index = 0;
    ASSERT_EQ(FolderData::match_log_file_name(name, index), matches)
        << testing::PrintToString(name);
    ASSERT_EQ(index, expected) << testing::PrintToString(name);
    ASSERT_EQ(data.filename_to_index(name), expected) << testing::PrintToString(name);
  }
}

TEST(IndexFile, ReadsTheDecimalNumberAtItsStart) {
  const struct {
    const char* content;
    uint32_t index;
  } cases[] = {
      // clang-format off
      {"42\n", 42}, {"  \n\t 42", 42}, {"42 17\n", 42}, {"42abc", 42}, {"0000000042", 42},
      {"4294967295", 4294967295u}, {"", 0}, {"\n", 0}, {"abc", 0}, {"0x2a", 0}, {"-5", 0}, {"+5", 0},
      {"4294967296", 0}, {"99999999999999999999999999", 0},
      // clang-format on
  };
  TempDir dir;
  FolderData data(dir.path);
  for (const auto& c : cases) {
    write_text(dir / "msgdb.idx", c.content);
    testing::internal::CaptureStdout();
    EXPECT_EQ(data.read_index_file(), c.index) << '"' << c.content << '"';
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reading log idx from file...\n");
  }
}

}  // namespace
