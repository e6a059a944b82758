#pragma once

// Template definitions for text.hpp.

#include <cstring>
#include <vector>

namespace veskal::text {

namespace detail {

// KMP failure table: border[i] is the length of the longest proper border of needle[0..i].
std::vector<std::size_t> borders(std::string_view needle);

}  // namespace detail

template <class OnMatch>
void for_each_occurrence(std::string_view haystack, std::string_view needle, OnMatch&& on_match) {
  const std::size_t n = haystack.size();
  const std::size_t m = needle.size();
  if (m == 0 || m > n) return;
  const char* h = haystack.data();
  if (m == 1) {
    for (const char* p = h; (p = static_cast<const char*>(std::memchr(p, needle[0], h + n - p)));
         ++p) {
      on_match(static_cast<std::size_t>(p - h));
    }
    return;
  }
  const std::vector<std::size_t> border = detail::borders(needle);
  if (border[m - 1] == 0) {
    // A needle without a border cannot overlap itself, so the next occurrence starts after
    // this one ends; memmem's set-up is then paid at most once per m bytes consumed.
    std::size_t pos = 0;
    while (pos + m <= n) {
      const void* found = memmem(h + pos, n - pos, needle.data(), m);
      if (found == nullptr) return;
      const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - h);
      on_match(at);
      pos = at + m;
    }
    return;
  }
  // Self-overlapping needle: a KMP automaton keeps the scan linear however dense the matches.
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    while (k > 0 && haystack[i] != needle[k]) k = border[k - 1];
    if (haystack[i] == needle[k]) ++k;
    if (k == m) {
      on_match(i + 1 - m);
      k = border[m - 1];
    }
  }
}

}  // namespace veskal::text
