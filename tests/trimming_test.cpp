// The removal walk: order, the stop at the target, and what counts as removed.
#include <cstdint>
#include <filesystem>

#include "folder_data.h"
#include "gtest/gtest.h"
#include "test_support.h"

namespace {

// Files present before each walk: name and size.
const std::pair<const char*, uint64_t> kFiles[] = {{"a", 100}, {"b", 200}, {"c", 300}};

}  // namespace

TEST(TrimFiles, RemovesInListOrderUntilTheTargetIsMet) {
  const struct {
    const char* what;
    std::vector<std::string> names;
    uint64_t target;
    uint64_t removed;
    std::vector<std::string> left;
  } cases[] = {
      {"stops at the target", {"b", "a", "c"}, 250, 300, {"c"}},
      {"a first file larger than the target", {"c", "a"}, 10, 300, {"a", "b"}},
      {"target 0 handles only the first name", {"b", "a"}, 0, 200, {"a", "c"}},
      {"target 0 with the first name missing", {"gone", "a"}, 0, 0, {"a", "b", "c"}},
      {"missing names are passed over", {"gone", "a", "gone", "b"}, 250, 300, {"c"}},
      {"falls short when the list runs out", {"a", "b", "c"}, 10000, 600, {}},
      {"an empty list", {}, 100, 0, {"a", "b", "c"}},
      {"names reaching outside the folder are not special", {"../x"}, 1, 0, {"a", "b", "c"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    for (const auto& [name, size] : kFiles) write_file(dir / name, size);
    FolderData data(dir.path());
    EXPECT_EQ(data.trim_files(c.names, c.target), c.removed) << c.what;
    EXPECT_EQ(list_folder(dir.path()), c.left) << c.what;
  }
}

TEST(TrimFiles, AFailedDeletionCountsNothingAndTheWalkGoesOn) {
  TempDir dir;
  std::filesystem::create_directory(dir / "00000001.movra.msg.db");
  write_file(dir / "00000001.movra.msg.db/inside", 5000);
  write_file(dir / "00000002.movra.msg.db", 100);
  FolderData data(dir.path());
  EXPECT_EQ(data.trim_files({"00000001.movra.msg.db", "00000002.movra.msg.db"}, 1), 100u);
  EXPECT_EQ(list_folder(dir.path()), std::vector<std::string>{"00000001.movra.msg.db"});
}
