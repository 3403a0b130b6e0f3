// The removal walk where the end-to-end scenarios can't reach: a target of 0,
// and names that vanished after the listing.
#include "folder_data.h"
#include "test_support.h"

TEST(TrimFiles, RemovesInListOrderUntilTheTargetIsMet) {
  const struct {
    const char* what;
    Lines names;
    uint64_t target;
    uint64_t removed;
    Lines left;
  } cases[] = {
      {"target 0 handles only the first name", {"b", "a"}, 0, 200, {"a", "c"}},
      {"target 0 with the first name missing", {"gone", "a"}, 0, 0, {"a", "b", "c"}},
      {"missing names are passed over", {"gone", "a", "gone", "b"}, 250, 300, {"c"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    write_text(dir / "a", std::string(100, 'x'));
    write_text(dir / "b", std::string(200, 'x'));
    write_text(dir / "c", std::string(300, 'x'));
    FolderData data(dir.path);
    EXPECT_EQ(data.trim_files(c.names, c.target), c.removed) << c.what;
    EXPECT_EQ(list_folder(dir.path), c.left) << c.what;
  }
}
