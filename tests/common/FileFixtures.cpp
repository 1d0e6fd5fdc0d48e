#include "tests/common/FileFixtures.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace nivex::test {

void WriteFile(const std::string& path, const std::string& text) {
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int CountEntries(const std::string& folder) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(folder)) (void)e, ++n;
  return n;
}

}  // namespace nivex::test
