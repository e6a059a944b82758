#include "text.hpp"

#include <cstring>

#include <utility>

namespace veskal::text {

std::size_t find_non_ascii(std::string_view s, std::size_t from) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::size_t i = from;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if ((word & kHigh) != 0) break;
  }
  for (; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) >= 0x80) return i;
  }
  return s.size();
}

char32_t decode_at(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : 1;
  char32_t c = b0 & (0x3F >> extra);
  ++i;
  for (; extra > 0 && i < s.size(); --extra, ++i) {
    c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  }
  return c;
}

char32_t decode_before(std::string_view s, std::size_t& i) {
  std::size_t start = i - 1;
  while (start > 0 && !is_lead_byte(static_cast<unsigned char>(s[start]))) --start;
  std::size_t j = start;
  const char32_t c = decode_at(s, j);
  i = start;
  return c;
}

std::u32string decode(std::string_view s) {
  std::u32string out;
  decode(s, out);
  return out;
}

void decode(std::string_view s, std::u32string& out) {
  out.resize(s.size());
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size();) {
    const auto byte = static_cast<unsigned char>(s[i]);
    if (byte < 0x80) {
      out[n++] = byte;
      ++i;
    } else {
      out[n++] = decode_at(s, i);
    }
  }
  out.resize(n);
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

namespace detail {

std::string_view trim_decoding(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t next = begin;
    if (!is_white_space(decode_at(s, next))) break;
    begin = next;
  }
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t prev = end;
    if (!is_white_space(decode_before(s, prev))) break;
    end = prev;
  }
  return s.substr(begin, end - begin);
}

}  // namespace detail

std::u32string_view trim(std::u32string_view s) {
  std::size_t begin = 0;
  while (begin < s.size() && is_white_space(s[begin])) ++begin;
  std::size_t end = s.size();
  while (end > begin && is_white_space(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

namespace detail {

std::vector<std::size_t> borders(std::string_view needle) {
  std::vector<std::size_t> border(needle.size(), 0);
  std::size_t k = 0;
  for (std::size_t i = 1; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
    if (needle[i] == needle[k]) ++k;
    border[i] = k;
  }
  return border;
}

}  // namespace detail

Occurrences::Occurrences(std::string_view haystack, std::string_view needle)
    : haystack_(haystack), needle_(needle) {
  if (needle.size() < 2) return;
  std::vector<std::size_t> border = detail::borders(needle);
  if (border.back() != 0) border_ = std::move(border);
}

// Self-overlapping needle: a KMP automaton keeps the scan linear however dense the matches.
std::size_t Occurrences::next_overlapping() {
  const std::size_t n = haystack_.size();
  const std::size_t m = needle_.size();
  std::size_t k = matched_;
  for (std::size_t i = pos_; i < n; ++i) {
    while (k > 0 && haystack_[i] != needle_[k]) k = border_[k - 1];
    if (haystack_[i] == needle_[k]) ++k;
    if (k == m) {
      pos_ = i + 1;
      matched_ = border_[m - 1];
      return i + 1 - m;
    }
  }
  pos_ = n;
  matched_ = 0;
  return npos;
}

}  // namespace veskal::text
