#include "preprocessor.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "text.hpp"

namespace veskal::preprocessor {

namespace {

// Lowercase work is cut into chunks of about this many bytes: short enough to stay in cache
// and within ICU's 32-bit lengths, long enough that ICU's per-call set-up is negligible.
constexpr std::size_t kChunk = 64 * 1024;

// The one table entry outside Latin-1's second byte range: U+20AC EURO SIGN.
constexpr unsigned char kEuro[3] = {0xE2, 0x82, 0xAC};

// Replacement letter for U+00C0 + k encoded as 0xC3, 0x80 + k; 0 keeps the character.
constexpr std::array<char, 64> kLatin1Fold = [] {
  std::array<char, 64> t{};
  t[0xE0 - 0xC0] = 'a';
  t[0xE2 - 0xC0] = 'a';
  t[0xE4 - 0xC0] = 'a';
  t[0xE7 - 0xC0] = 'c';
  t[0xE8 - 0xC0] = 'e';
  t[0xE9 - 0xC0] = 'e';
  t[0xEA - 0xC0] = 'e';
  t[0xEB - 0xC0] = 'e';
  t[0xEF - 0xC0] = 'i';
  t[0xF9 - 0xC0] = 'u';
  t[0xFB - 0xC0] = 'u';
  t[0xFC - 0xC0] = 'u';
  return t;
}();

// Byte maps for pure-ASCII stretches: line feed to space, optionally A-Z lowered and '@' folded.
using ByteMap = std::array<char, 256>;

constexpr ByteMap make_byte_map(bool lower, bool fold) {
  ByteMap t{};
  for (int b = 0; b < 256; ++b) t[b] = static_cast<char>(b);
  t['\n'] = ' ';
  if (lower) {
    for (int b = 'A'; b <= 'Z'; ++b) t[b] = static_cast<char>(b + ('a' - 'A'));
  }
  if (fold) t['@'] = 'a';
  return t;
}

constexpr ByteMap kByteMaps[2][2] = {{make_byte_map(false, false), make_byte_map(false, true)},
                                     {make_byte_map(true, false), make_byte_map(true, true)}};

// Maps every byte of [begin, end) through `map`; only right for ASCII text.
void map_bytes(char* begin, char* end, const ByteMap& map) {
  for (char* p = begin; p != end; ++p) *p = map[static_cast<unsigned char>(*p)];
}

bool is_ascii(std::string_view s) {
  unsigned char any = 0;
  for (const char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// Line feeds to spaces and, with `fold`, the special-character table, in place over
// [begin, s.size()). Folding only ever shortens the text, so one read and one write cursor do.
void finish_in_place(std::string& s, std::size_t begin, bool fold) {
  char* const data = s.data();
  const std::size_t n = s.size();
  if (!fold) {
    for (char* p = data + begin; (p = static_cast<char*>(std::memchr(p, '\n', data + n - p)));) {
      *p++ = ' ';
    }
    return;
  }
  std::size_t w = begin;
  for (std::size_t r = begin; r < n;) {
    const auto b = static_cast<unsigned char>(data[r]);
    if (b < 0x80) {
      data[w++] = b == '\n' ? ' ' : b == '@' ? 'a' : static_cast<char>(b);
      ++r;
    } else if (const auto b1 = r + 1 < n ? static_cast<unsigned char>(data[r + 1]) : 0;
               b == 0xC3 && (b1 & 0xC0) == 0x80 && kLatin1Fold[b1 - 0x80] != 0) {
      data[w++] = kLatin1Fold[b1 - 0x80];
      r += 2;
    } else if (b == kEuro[0] && r + 2 < n && static_cast<unsigned char>(data[r + 1]) == kEuro[1] &&
               static_cast<unsigned char>(data[r + 2]) == kEuro[2]) {
      data[w++] = 'e';
      r += 3;
    } else {
      data[w++] = data[r++];
    }
  }
  s.resize(w);
}

// Whether lowercasing may treat the boundary between characters `before` and `after` as the
// end and start of separate strings. Full lowercase in the root locale is context-free except
// for Final_Sigma, whose context runs over case-ignorable characters; a boundary between two
// characters that are neither case-ignorable nor sigma is never crossed by that context.
bool is_cut(char32_t before, char32_t after) {
  constexpr char32_t kSigma = 0x03A3;
  return before != kSigma && after != kSigma &&
         !u_hasBinaryProperty(static_cast<UChar32>(before), UCHAR_CASE_IGNORABLE) &&
         !u_hasBinaryProperty(static_cast<UChar32>(after), UCHAR_CASE_IGNORABLE);
}

// The end of the chunk that begins at byte `begin`: a safe cut near begin + kChunk, searched
// backward then forward. A text with no safe cut at all would need one ICU call past 2^31
// bytes; it is then cut at a character boundary regardless, which can only misplace a final
// sigma in a pathological multi-gigabyte run of case-ignorable characters.
std::size_t chunk_end(std::string_view s, std::size_t begin) {
  const std::size_t n = s.size();
  if (n - begin <= kChunk) return n;
  std::size_t target = begin + kChunk;
  while (!text::is_lead_byte(static_cast<unsigned char>(s[target]))) --target;
  for (std::size_t at = target; at > begin;) {
    std::size_t prev = at;
    const char32_t before = text::decode_before(s, prev);
    if (prev == begin) break;
    std::size_t next = at;
    if (is_cut(before, text::decode_at(s, next))) return at;
    at = prev;
  }
  constexpr std::size_t kLimit = INT32_MAX / 2;
  for (std::size_t at = target; at < n;) {
    if (at - begin >= kLimit) return at;
    std::size_t prev = at;
    const char32_t before = text::decode_before(s, prev);
    std::size_t next = at;
    if (is_cut(before, text::decode_at(s, next))) return at;
    at = next;
  }
  return n;
}

// Full lowercase (root locale) of `text`, with line feeds and the table applied as it goes.
std::string lower_and_finish(std::string_view text, bool fold) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  const ByteMap& ascii_map = kByteMaps[1][fold];
  icu::StringByteSink<std::string> sink(&out);
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = chunk_end(text, begin);
    const std::string_view chunk(text.data() + begin, end - begin);
    if (is_ascii(chunk)) {
      const std::size_t at = out.size();
      out.resize(at + chunk.size());
      for (std::size_t i = 0; i < chunk.size(); ++i) {
        out[at + i] = ascii_map[static_cast<unsigned char>(chunk[i])];
      }
    } else {
      const std::size_t at = out.size();
      UErrorCode status = U_ZERO_ERROR;
      // "" is the root locale: no Turkish, Azeri or Lithuanian rules, whatever the process locale.
      icu::CaseMap::utf8ToLower("", 0,
                                icu::StringPiece(chunk.data(), static_cast<int32_t>(chunk.size())),
                                sink, nullptr, status);
      // Only reachable on memory exhaustion; a half-lowered text must never be searched.
      if (U_FAILURE(status)) throw std::bad_alloc();
      finish_in_place(out, at, fold);
    }
    begin = end;
  }
  return out;
}

// What one pass over a text tells: whether normalising would change it, and whether it is ASCII.
struct Survey {
  bool changes;
  bool ascii;
};

// The flags are template arguments so that the byte loop, free of branches, vectorises.
template <bool kLower, bool kFold>
Survey survey(std::string_view s) {
  // Blocks let a verdict end the pass early; within one the loop runs without exits.
  constexpr std::size_t kBlock = 4096;
  const auto* const bytes = reinterpret_cast<const unsigned char*>(s.data());
  Survey found{false, true};
  for (std::size_t begin = 0; begin < s.size(); begin += kBlock) {
    const std::size_t end = std::min(s.size(), begin + kBlock);
    unsigned char high = 0;
    unsigned char hit = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const unsigned char c = bytes[i];
      high |= c;
      hit |= c == '\n';
      if constexpr (kLower) hit |= static_cast<unsigned char>(c - 'A') < 26;
      if constexpr (kFold) hit |= c == '@';
    }
    found.changes |= hit != 0;
    if (high < 0x80) continue;
    // Which non-ASCII characters a flag changes is for the full normalisation to find out;
    // without flags only a line feed still matters.
    if (found.changes || kLower || kFold) return {true, false};
    return {std::memchr(bytes + end, '\n', s.size() - end) != nullptr, false};
  }
  return found;
}

Survey survey(std::string_view s, bool case_insensitive, bool special_char_insensitive) {
  if (case_insensitive) {
    return special_char_insensitive ? survey<true, true>(s) : survey<true, false>(s);
  }
  return special_char_insensitive ? survey<false, true>(s) : survey<false, false>(s);
}

}  // namespace

std::string preprocess(std::string text, bool case_insensitive, bool special_char_insensitive) {
  if (case_insensitive && !is_ascii(text)) {
    return lower_and_finish(text, special_char_insensitive);
  }
  if (case_insensitive) {
    map_bytes(text.data(), text.data() + text.size(), kByteMaps[1][special_char_insensitive]);
    return text;
  }
  finish_in_place(text, 0, special_char_insensitive);
  return text;
}

Normalised normalise(std::string_view input, bool case_insensitive, bool special_char_insensitive) {
  const Survey found = survey(input, case_insensitive, special_char_insensitive);
  if (!found.changes) return Normalised({}, input, true, found.ascii);
  if (case_insensitive && !found.ascii) {
    return Normalised(lower_and_finish(input, special_char_insensitive), {}, false, false);
  }
  // The rest normalises character by character, as preprocess does it in place: copied piece
  // by piece, each piece ending on a character boundary and finished while still in cache.
  constexpr std::size_t kPiece = 64 * 1024;
  const ByteMap& map = kByteMaps[case_insensitive][special_char_insensitive];
  std::string out;
  out.reserve(input.size());
  for (std::size_t begin = 0; begin < input.size();) {
    std::size_t end = std::min(input.size(), begin + kPiece);
    while (end < input.size() && !text::is_lead_byte(static_cast<unsigned char>(input[end]))) ++end;
    const std::size_t at = out.size();
    out.append(input.substr(begin, end - begin));
    if (found.ascii) {
      map_bytes(out.data() + at, out.data() + out.size(), map);
    } else {
      finish_in_place(out, at, special_char_insensitive);
    }
    begin = end;
  }
  return Normalised(std::move(out), {}, false, found.ascii);
}

}  // namespace veskal::preprocessor
