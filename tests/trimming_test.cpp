// The removal walk where the end-to-end scenarios can't reach: a target of 0,
// and names that vanished after the listing.
#include "folder_data.h"
#include "test_support.h"

TEST(TrimFiles, RemovesInListOrderUntilTheTargetIsMet) {
  const struct {
    Lines names;  // in the folder of "a", "b" and "c", of 100, 200 and 300 bytes
    uint64_t target;
    uint64_t removed;
    Lines left;
  } cases[] = {
      {{"b", "a"}, 0, 200, {"a", "c"}},               // a target of 0: the first name only
      {{"gone", "a"}, 0, 0, {"a", "b", "c"}},         // ... even when it is missing
      {{"gone", "a", "gone", "b"}, 250, 300, {"c"}},  // missing names are passed over
  };
  for (const auto& c : cases) {
    TempDir dir;
    write_text(dir / "a", std::string(100, 'x'));
    write_text(dir / "b", std::string(200, 'x'));
    write_text(dir / "c", std::string(300, 'x'));
    FolderData data(dir.path);
    EXPECT_EQ(data.trim_files(c.names, c.target), c.removed) << testing::PrintToString(c.names);
    EXPECT_EQ(list_folder(dir.path), c.left) << testing::PrintToString(c.names);
  }
}
