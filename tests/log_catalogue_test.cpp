// Which names are log files, what index they carry, and what the index file holds.
#include <cstdint>
#include <cstdlib>
#include <regex>

#include "folder_data.h"
#include "test_support.h"

namespace {

// The definition of a log file name, which the hand-written matcher must agree with.
const std::regex kLogFileName(R"(^([0-9a-fA-F]{8})\.movra\.msg\.db(-journal)?$)");

// Valid names: databases and journals at both ends of the range, in either
// case; their one-byte changes hold every digit at every place.
const Lines kValid = {"00000000.movra.msg.db", "00000000.movra.msg.db-journal",
                      "ffffffff.movra.msg.db-journal", "FFFFFFFF.movra.msg.db"};

TEST(LogCatalogue, TheMatcherAgreesWithThePatternOnEveryNearMiss) {
  // Every valid name, and every change of one byte in it: each byte replaced
  // by, or preceded by, any byte value, or dropped; and one byte appended.
  Lines names = kValid;
  for (const std::string& name : kValid) {
    for (size_t at = 0; at <= name.size(); ++at) {
      if (at < name.size()) names.push_back(std::string(name).erase(at, 1));
      for (int byte = 0; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        if (at < name.size()) names.push_back(std::string(name).replace(at, 1, 1, c));
        names.push_back(std::string(name).insert(at, 1, c));
      }
    }
  }

  for (const std::string& name : names) {
    std::smatch match;
    const bool matches = std::regex_match(name, match, kLogFileName);
    const auto expected = matches ? std::strtoul(match.str(1).c_str(), nullptr, 16) : 0;
    FolderData::LogFile file;
    ASSERT_EQ(FolderData::match_log_file_name(name, file), matches) << testing::PrintToString(name);
    if (matches) {
      ASSERT_EQ(file.name().data(), name);  // written out again as it was listed
    }
    ASSERT_EQ(FolderData::filename_to_index(name), expected) << testing::PrintToString(name);
  }
}

TEST(IndexFile, ReadsTheDecimalNumberAtItsStart) {
  // clang-format off
  const struct { std::string content; std::optional<uint32_t> index; } cases[] = {
      {"42\n", 42}, {"  \n\t 42", 42}, {"42 17\n", 42}, {"42abc", 42}, {"0000000042", 42},
      {"4294967295", 4294967295u}, {"", 0}, {"\n", 0}, {"abc", 0}, {"0x2a", 0}, {"-5", 0},
      {"+5", 0}, {"4294967296", 0}, {"99999999999999999999999999", 0},
      // Read up to 4 KiB: a number not ended by then is no index the run can know.
      {std::string(4085, ' ') + "4294967295", 4294967295u},
      {std::string(4094, ' ') + "12345", std::nullopt}, {std::string(5000, '0'), std::nullopt},
      // clang-format on
  };
  TempDir dir;
  FolderData data(dir.path);
  for (const auto& c : cases) {
    std::ofstream(dir / "msgdb.idx") << c.content;
    EXPECT_EQ(data.read_index_file(), c.index) << '"' << c.content << '"';
  }
}

}  // namespace
