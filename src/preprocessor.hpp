#pragma once

#include <string>

namespace veskal::preprocessor {

// Normalises `text`: line feeds become spaces; with `case_insensitive`, full Unicode lowercase
// (root locale, Final_Sigma, U+0130 -> "i\u0307"); then with `special_char_insensitive`, the
// fourteen French accented letters and signs become plain ASCII letters. Never fails.
std::string preprocess(std::string text, bool case_insensitive, bool special_char_insensitive);

}  // namespace veskal::preprocessor
