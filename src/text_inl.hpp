#pragma once

// Inline and template definitions for text.hpp.

#include <cstring>
#include <vector>

namespace veskal::text {

inline std::uint64_t count_chars(std::string_view s) {
  // Eight bytes at a time: a continuation byte is the one whose top bits read 10.
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::uint64_t continuations = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    // One bit per byte at its bottom: the product sums the eight bytes into the top one (a
    // popcount instruction may not be there to call).
    const std::uint64_t ones = (word & ~(word << 1) & kHigh) >> 7;
    continuations += (ones * 0x0101010101010101ULL) >> 56;
  }
  for (; i < s.size(); ++i) continuations += !is_lead_byte(static_cast<unsigned char>(s[i]));
  return s.size() - continuations;
}

namespace detail {

// KMP failure table: border[i] is the length of the longest proper border of needle[0..i].
std::vector<std::size_t> borders(std::string_view needle);

std::string_view trim_decoding(std::string_view s);

}  // namespace detail

inline std::string_view trim(std::string_view s) {
  // Most texts hold words between their blanks: both edges are then plain ASCII letters.
  if (s.empty()) return s;
  if (is_ascii_non_space(static_cast<unsigned char>(s.front())) &&
      is_ascii_non_space(static_cast<unsigned char>(s.back()))) {
    return s;
  }
  return detail::trim_decoding(s);
}

namespace detail {}  // namespace detail

inline std::size_t Occurrences::next() {
  const std::size_t n = haystack_.size();
  const std::size_t m = needle_.size();
  if (m == 0 || pos_ + m > n + matched_) return npos;
  const char* h = haystack_.data();
  if (m == 1) {
    const void* found = std::memchr(h + pos_, needle_[0], n - pos_);
    if (found == nullptr) {
      pos_ = n;
      return npos;
    }
    const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - h);
    pos_ = at + 1;
    return at;
  }
  if (border_.empty()) {
    // A needle without a border cannot overlap itself, so the next occurrence starts after
    // this one ends; memmem's set-up is then paid at most once per m bytes consumed.
    const void* found = memmem(h + pos_, n - pos_, needle_.data(), m);
    if (found == nullptr) {
      pos_ = n;
      return npos;
    }
    const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - h);
    pos_ = at + m;
    return at;
  }
  return next_overlapping();
}

template <class OnMatch>
void for_each_occurrence(std::string_view haystack, std::string_view needle, OnMatch&& on_match) {
  Occurrences occurrences(haystack, needle);
  for (std::size_t at; (at = occurrences.next()) != Occurrences::npos;) on_match(at);
}

}  // namespace veskal::text
