// Which mount names the device that holds a folder, read from a mount table.
#include <map>
#include <sstream>

#include "folder_data.h"
#include "test_support.h"

TEST(BlockDevice, TheMountThatHoldsTheFolder) {
  // The folder is "/mnt/my data", on the file system of device number 7.
  // clang-format off
  // Each row: what it shows, the table, the device numbers of the mount points
  // on the folder's path, the device named.
  const struct { const char* what; const char* table; std::map<std::string, uint64_t> devices;
                 const char* device; } cases[] = {
      {"the deepest mount point on the path, its device's escapes decoded, one at its very end",
       "bound\\134src\\134 /mnt rw\nroot / ext4 rw 0 0\nlonely\n", {{"/", 7}, {"/mnt", 7}},
       "bound\\src\\"},
      {"a mount point listed twice, \\040 for its space: the later is on top",
       "root /\nlow /mnt/my\\040data\nhigh /mnt/my\\040data\n", {{"/", 1}, {"/mnt/my data", 7}},
       "high"},
      {"one deeper on the path, of another file system", "root /\nhidden /mnt\n",
       {{"/", 7}, {"/mnt", 9}}, "root"},
      {"only whole components: /mnt/my is off the path", "off /mnt/my\nroot /\n", {{"/", 7}},
       "root"},
      {"fields parted by spaces only: a vertical tab, form feed or return is a name's own",
       "root /\nv\vf\fr\r /mnt\n", {{"/", 1}, {"/mnt", 7}}, "v\vf\fr\r"},
      {"none holds it", "root /\nother /mnt\n", {{"/", 1}, {"/mnt", 2}}, ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::istringstream table(c.table);
    // Asked of a mount point off the path, it throws.
    const auto device_of = [&](const std::string& point) {
      return std::optional<uint64_t>(c.devices.at(point));
    };
    EXPECT_EQ(
        FolderData::pick_device(FolderData::parse_mount_table(table), "/mnt/my data", 7, device_of),
        c.device);
  }
}
