// The removal walk where the end-to-end scenarios can't reach: names that
// vanished after the listing.
#include "folder_data.h"
#include "test_support.h"

TEST(TrimFiles, PassesOverMissingNamesUntilTheTargetIsMet) {
  TempDir dir;
  write_text(dir / "a", std::string(100, 'x'));
  write_text(dir / "b", std::string(200, 'x'));
  write_text(dir / "c", std::string(300, 'x'));
  FolderData data(dir.path);
  EXPECT_EQ(data.trim_files({"gone", "a", "gone", "b", "c"}, 250), 300u);
  EXPECT_EQ(list_folder(dir.path), Lines{"c"});
}
