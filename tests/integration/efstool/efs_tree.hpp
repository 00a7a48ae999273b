// A host folder as a map of relative paths to contents ("a/b/" for folders), so a device dump
// can be compared with an expected tree and a difference names the path.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace efstool_test {

inline std::map<std::string, std::string> ReadTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  namespace fs = std::filesystem;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).generic_string();
    if (entry.is_directory()) {
      tree[relative + "/"] = "";
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      tree[relative] = content.str();
    }
  }
  return tree;
}

// Copies a folder of examples/ into `destination`.
inline void CopyExample(const std::string& name, const std::string& destination) {
  std::filesystem::copy(
      std::string(TEST_SOURCE_DIR) + "/examples/" + name, destination,
      std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
}

inline std::string ExamplePath(const std::string& name) {
  return std::string(TEST_SOURCE_DIR) + "/examples/" + name;
}

}  // namespace efstool_test
