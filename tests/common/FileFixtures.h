// File helpers shared by the tests that work on real files in a temporary folder.
#pragma once

#include <string>

namespace nivex::test {

// Writes text to path (binary), creating the missing parent folders first.
void WriteFile(const std::string& path, const std::string& text = "");

// The whole content of path; "" when it cannot be read.
std::string ReadFile(const std::string& path);

// Number of entries directly in folder (files and sub-folders).
int CountEntries(const std::string& folder);

}  // namespace nivex::test
