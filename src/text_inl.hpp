#pragma once

// Inline and template definitions for text.hpp.

#include <cstring>
#include <vector>

namespace veskal::text {

namespace detail {

// KMP failure table: border[i] is the length of the longest proper border of needle[0..i].
std::vector<std::size_t> borders(std::string_view needle);

}  // namespace detail

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
