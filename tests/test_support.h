// Throwaway folders, for every test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

using Lines = std::vector<std::string>;

/// A fresh folder under the system's temporary folder, removed with all it
/// holds when the object goes. Not to be copied.
struct TempDir {
  TempDir() : path(std::filesystem::temp_directory_path() / "msgdb-trim-test.XXXXXX") {
    if (mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  /// The path of `name` inside the folder.
  std::string operator/(const std::string& name) const { return path + "/" + name; }

  std::string path;  ///< The folder's path, without a trailing slash.
};
