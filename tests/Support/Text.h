// Reading program output in tests.
#pragma once

#include <string>
#include <vector>

namespace TestSupport {

// The lines of a tab-separated listing, each split into its fields.
std::vector<std::vector<std::string>> TabSeparatedRows(const std::string& text);

}  // namespace TestSupport
