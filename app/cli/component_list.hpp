// Component numbers as the user writes them: "1,3,5-7".
#pragma once

#include <string>
#include <vector>

namespace korvane {

// Parses "1,3,5-7" into component numbers within 1..K (sorted, unique).
// Anything but digits, one dash per item and commas is refused, and so are
// a range from high to low ("4-2") and every number outside 1..K however
// many digits it has.
bool parseComponentList(const std::string &text, int K, std::vector<int> &out, std::string &err);

// Every list of a repeated option (e.g. --group), each parsed as above.
bool parseGroups(const std::vector<std::string> &texts, int K, std::vector<std::vector<int>> &out, std::string &err);

}  // namespace korvane
