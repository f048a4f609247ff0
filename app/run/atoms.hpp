// Words of a patch line and the atoms they stand for.
#pragma once

#include "ext.h"

#include <string>
#include <vector>

namespace korvane {

// Splits a line at blanks; a word that begins with '#' starts a comment.
std::vector<std::string> splitWords(const std::string &line);

// As in Max: "3", "-3" are ints; "3.", "3.5", "-0.25", "1e-05" are floats;
// anything else is a symbol. Ints beyond a long become floats.
t_atom parseAtom(const std::string &word);

// True when the word parses as an int or a float.
bool isNumberWord(const std::string &word);

}  // namespace korvane
