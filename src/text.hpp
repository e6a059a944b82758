#pragma once

// UTF-8 and Unicode helpers shared by every module. Inputs are always valid UTF-8: the
// binding only hands over strings that Python encoded, and preprocessing keeps them valid.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veskal::text {

// True for the characters of the Unicode White_Space property.
constexpr bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// True when `byte` starts a character (is not a UTF-8 continuation byte).
constexpr bool is_lead_byte(unsigned char byte) {
  return (byte & 0xC0) != 0x80;
}

// True when `byte` is a whole character that is not White_Space: trimming stops there at once.
constexpr bool is_ascii_non_space(unsigned char byte) {
  return byte < 0x80 && byte != 0x20 && (byte < 0x09 || byte > 0x0D);
}

// Number of characters in `s`.
inline std::uint64_t count_chars(std::string_view s);

// The offset of the first byte of `s` at or after `from` that is not ASCII, or the size of `s`.
std::size_t find_non_ascii(std::string_view s, std::size_t from);

// Decodes the character that starts at byte `i` of `s` and advances `i` past it.
char32_t decode_at(std::string_view s, std::size_t& i);

// Decodes the character that ends at byte `i` of `s` (exclusive) and moves `i` back to its start.
char32_t decode_before(std::string_view s, std::size_t& i);

// All characters of `s` as code points.
std::u32string decode(std::string_view s);

// Replaces the contents of `out` with the characters of `s`, reusing its storage.
void decode(std::string_view s, std::u32string& out);

// Appends the UTF-8 encoding of `c` to `out`.
void append_utf8(std::string& out, char32_t c);

// `s` without Unicode White_Space at either end; a view into `s`.
inline std::string_view trim(std::string_view s);
std::u32string_view trim(std::u32string_view s);

// The occurrences of the non-empty `needle` in `haystack`, overlapping ones included, one at a
// time in increasing order. Linear in the haystack for every needle. Both must outlive it.
class Occurrences {
 public:
  static constexpr std::size_t npos = std::string_view::npos;

  Occurrences(std::string_view haystack, std::string_view needle);

  // The byte offset of the next occurrence, or npos once there is none (and ever after).
  std::size_t next();

 private:
  std::size_t next_overlapping();

  std::string_view haystack_;
  std::string_view needle_;
  std::size_t pos_ = 0;      // The first byte not yet examined.
  std::size_t matched_ = 0;  // Bytes of the needle matched just before pos_ (automaton state).
  std::vector<std::size_t> border_;  // Empty unless the needle overlaps itself.
};

// Calls `on_match(byte_offset)` for every occurrence of the non-empty `needle` in `haystack`,
// overlapping ones included, in increasing order. Linear in the haystack for every needle.
template <class OnMatch>
void for_each_occurrence(std::string_view haystack, std::string_view needle, OnMatch&& on_match);

}  // namespace veskal::text

#include "text_inl.hpp"
