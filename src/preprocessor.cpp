#include "preprocessor.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "cancel.hpp"
#include "text.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VESKAL_X86 1
#endif

#ifdef __linux__
#include <sys/mman.h>
#endif

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

// ---- texts of code units ----

// The special-character table, applied after lowercasing.
constexpr char32_t fold_char(char32_t c) {
  switch (c) {
    case 0xE0:
    case 0xE2:
    case 0xE4:
    case U'@':
      return U'a';
    case 0xE7:
      return U'c';
    case 0xE8:
    case 0xE9:
    case 0xEA:
    case 0xEB:
    case 0x20AC:
      return U'e';
    case 0xEF:
      return U'i';
    case 0xF9:
    case 0xFB:
    case 0xFC:
      return U'u';
    default:
      return c;
  }
}

// What normalisation makes of `c` once lowercased (or not): line feed and table.
constexpr char32_t finish_char(char32_t c, bool fold) {
  if (c == U'\n') return U' ';
  return fold ? fold_char(c) : c;
}

// The two characters whose full lowercase in the root locale is not their simple lowercase:
// U+0130 becomes two characters, and sigma depends on its context.
constexpr bool needs_case_map(char32_t c) {
  return c == 0x0130 || c == 0x03A3;
}

// Every BMP character normalised, but for those that need_case_map: one lookup per character
// where ICU's string API would cost several times more. Full lowercase equals simple lowercase
// for every other character, and maps the BMP into itself.
using BmpTable = std::array<char16_t, 0x10000>;

std::unique_ptr<BmpTable> make_bmp_table(bool lower, bool fold) {
  auto table = std::make_unique<BmpTable>();
  for (char32_t c = 0; c < 0x10000; ++c) {
    const char32_t lowered = lower ? static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))) : c;
    (*table)[c] = static_cast<char16_t>(finish_char(lowered, fold));
  }
  return table;
}

// Built on first use, once per flag combination, and kept for the life of the process.
const BmpTable& bmp_table(bool lower, bool fold) {
  static const std::unique_ptr<BmpTable> tables[2][2] = {
      {make_bmp_table(false, false), make_bmp_table(false, true)},
      {make_bmp_table(true, false), make_bmp_table(true, true)}};
  return *tables[lower][fold];
}

// Latin-1 lowercases and folds into Latin-1, so a byte table serves Latin-1 texts.
using Latin1Table = std::array<text::Latin1, 256>;

Latin1Table make_latin1_table(bool lower, bool fold) {
  Latin1Table table{};
  const BmpTable& bmp = bmp_table(lower, fold);
  for (std::size_t c = 0; c < 256; ++c) table[c] = static_cast<text::Latin1>(bmp[c]);
  return table;
}

const Latin1Table& latin1_table(bool lower, bool fold) {
  static const Latin1Table tables[2][2] = {
      {make_latin1_table(false, false), make_latin1_table(false, true)},
      {make_latin1_table(true, false), make_latin1_table(true, true)}};
  return tables[lower][fold];
}

// A unit that CPython lets a str hold but no text may: half of a UTF-16 pair, alone.
constexpr bool is_surrogate(char32_t c) {
  return c >= 0xD800 && c < 0xE000;
}

// What a map of units wrote: the bitwise OR of its units (which tells the narrowest width that
// holds them as their maximum would), and whether it read a character that needs_case_map, or
// a surrogate.
template <class Unit>
struct Mapped {
  Unit high = 0;
  bool special = false;
  bool surrogate = false;
};

// A unit through `table` (one of the bmp_table); beyond the BMP, where nothing folds, lowercased
// with `lower`, as the table is.
template <class Unit>
Unit map_unit(Unit c, const BmpTable& table, bool lower) {
  if constexpr (sizeof(Unit) == 4) {
    if (c >= 0x10000) return lower ? static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))) : c;
  }
  return table[c];
}

// The units through map_unit in a scalar loop, then the OR and the test in loops of their own
// over the units in cache, which vectorise: all three in one loop, with a bool and a maximum,
// take twice as long.
template <class Unit>
Mapped<Unit> map_units(const Unit* in, Unit* out, std::size_t n, const BmpTable& table,
                       bool lower) {
  for (std::size_t i = 0; i < n; ++i) out[i] = map_unit(in[i], table, lower);
  Mapped<Unit> mapped;
  Unit marks = 0;
  Unit lone = 0;
  for (std::size_t i = 0; i < n; ++i) marks |= static_cast<Unit>(-Unit{needs_case_map(in[i])});
  for (std::size_t i = 0; i < n; ++i) lone |= static_cast<Unit>(-Unit{is_surrogate(in[i])});
  for (std::size_t i = 0; i < n; ++i) mapped.high |= out[i];
  mapped.special = marks != 0;
  mapped.surrogate = lone != 0;
  return mapped;
}

#if VESKAL_X86

// Lanes of Latin-1 bytes (`Unit` Latin1) or of UCS-2 units (char16_t) in a 32-byte vector.
template <class Unit>
__attribute__((target("avx2"), always_inline)) inline __m256i splat(std::uint16_t u) {
  if constexpr (sizeof(Unit) == 1) return _mm256_set1_epi8(static_cast<char>(u));
  return _mm256_set1_epi16(static_cast<short>(u));
}

template <class Unit>
__attribute__((target("avx2"), always_inline)) inline __m256i equal(__m256i v, std::uint16_t u) {
  if constexpr (sizeof(Unit) == 1) return _mm256_cmpeq_epi8(v, splat<Unit>(u));
  return _mm256_cmpeq_epi16(v, splat<Unit>(u));
}

// The lanes of `v` within [lo, lo + span], all ones.
template <class Unit>
__attribute__((target("avx2"), always_inline)) inline __m256i within(__m256i v, std::uint16_t lo,
                                                                     std::uint16_t span) {
  if constexpr (sizeof(Unit) == 1) {
    const __m256i x = _mm256_sub_epi8(v, splat<Unit>(lo));
    return _mm256_cmpeq_epi8(_mm256_min_epu8(x, splat<Unit>(span)), x);
  }
  const __m256i x = _mm256_sub_epi16(v, splat<Unit>(lo));
  return _mm256_cmpeq_epi16(_mm256_min_epu16(x, splat<Unit>(span)), x);
}

// Where `mask`, `u`; elsewhere `v`.
template <class Unit>
__attribute__((target("avx2"), always_inline)) inline __m256i put(__m256i v, __m256i mask,
                                                                  std::uint16_t u) {
  return _mm256_blendv_epi8(v, splat<Unit>(u), mask);
}

// The Latin-1 lanes of `v` normalised as the table does it (other lanes come out as they are):
// line feeds to spaces, then with `Lower` the capitals lowercased, then with `Fold` the folding.
template <class Unit, bool Lower, bool Fold>
__attribute__((target("avx2"), always_inline)) inline __m256i normalise_lanes(__m256i v) {
  __m256i r = put<Unit>(v, equal<Unit>(v, '\n'), ' ');
  if constexpr (Lower) {
    // A-Z, and the capitals U+00C0..U+00DE but for U+00D7 (multiplication sign).
    const __m256i capital =
        _mm256_or_si256(within<Unit>(v, 'A', 'Z' - 'A'),
                        _mm256_andnot_si256(equal<Unit>(v, 0xD7), within<Unit>(v, 0xC0, 0x1E)));
    r = _mm256_or_si256(r, _mm256_and_si256(capital, splat<Unit>(0x20)));
  }
  if constexpr (Fold) {
    // The folded letters of U+00E0..U+00FF by their low four bits, one row of sixteen a high
    // half; 0 where the letter stays. The shuffle reads bytes, so in UCS-2 it also fills the
    // lanes' high bytes, which the mask clears.
    const __m256i e_row =
        _mm256_setr_epi8('a', 0, 'a', 0, 'a', 0, 0, 'c', 'e', 'e', 'e', 'e', 0, 0, 0, 'i', 'a', 0,
                         'a', 0, 'a', 0, 0, 'c', 'e', 'e', 'e', 'e', 0, 0, 0, 'i');
    const __m256i f_row = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 'u', 0, 'u', 'u', 0, 0, 0, 0,
                                           0, 0, 0, 0, 0, 0, 0, 0, 'u', 0, 'u', 'u', 0, 0, 0);
    const __m256i low = _mm256_and_si256(r, splat<Unit>(0x0F));
    const __m256i row = _mm256_and_si256(r, splat<Unit>(sizeof(Unit) == 1 ? 0xF0 : 0xFFF0));
    __m256i folded =
        _mm256_or_si256(_mm256_and_si256(equal<Unit>(row, 0xE0), _mm256_shuffle_epi8(e_row, low)),
                        _mm256_and_si256(equal<Unit>(row, 0xF0), _mm256_shuffle_epi8(f_row, low)));
    if constexpr (sizeof(Unit) == 2) folded = _mm256_and_si256(folded, splat<Unit>(0xFF));
    r = _mm256_blendv_epi8(folded, r, equal<Unit>(folded, 0));
    r = put<Unit>(r, equal<Unit>(r, '@'), 'a');
  }
  return r;
}

// Sixteen units of a wide text as 16-bit lanes, those beyond 16 bits as 0xFFFF (no Latin-1).
template <class Unit>
__attribute__((target("avx2"), always_inline)) inline __m256i load_lanes(const Unit* in) {
  if constexpr (sizeof(Unit) == 2) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  } else {
    const __m256i packed =
        _mm256_packus_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8)));
    // The pack interleaves the halves' 128-bit lanes.
    return _mm256_permute4x64_epi64(packed, 0xD8);
  }
}

// Sixteen 16-bit lanes stored as units of a wide text.
template <class Unit>
__attribute__((target("avx2"), always_inline)) inline void store_lanes(Unit* out, __m256i lanes) {
  if constexpr (sizeof(Unit) == 2) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), lanes);
  } else {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_cvtepu16_epi32(_mm256_castsi256_si128(lanes)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8),
                        _mm256_cvtepu16_epi32(_mm256_extracti128_si256(lanes, 1)));
  }
}

// The table's Latin-1 entries computed in vectors: French prose is nearly all Latin-1, and a
// lookup a unit is most of a normalisation's time. Lanes beyond Latin-1 (a typographic
// apostrophe, say) are looked up one by one, as map_units maps them.
template <class Unit, bool Lower, bool Fold>
__attribute__((target("avx2"))) Mapped<Unit> map_wide_avx2(const Unit* in, Unit* out, std::size_t n,
                                                           const BmpTable& table) {
  constexpr std::size_t kLanes = 16;
  __m256i high = _mm256_setzero_si256();
  __m256i marks = _mm256_setzero_si256();
  Mapped<Unit> mapped;
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    const __m256i v = load_lanes(in + i);
    const __m256i r = normalise_lanes<char16_t, Lower, Fold>(v);
    if constexpr (Lower) {
      marks = _mm256_or_si256(
          marks, _mm256_or_si256(equal<char16_t>(v, 0x130), equal<char16_t>(v, 0x3A3)));
    }
    store_lanes(out + i, r);
    const __m256i latin1 =
        _mm256_cmpeq_epi16(_mm256_and_si256(v, splat<char16_t>(0xFF00)), _mm256_setzero_si256());
    high = _mm256_or_si256(high, _mm256_and_si256(latin1, r));
    // The other lanes, from the table; the mask has two bits a lane, the even ones count.
    for (auto bits = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(latin1)) & 0x55555555u;
         bits != 0; bits &= bits - 1) {
      const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(bits)) / 2;
      out[at] = map_unit(in[at], table, Lower);
      mapped.high |= out[at];
      mapped.surrogate = mapped.surrogate || is_surrogate(in[at]);
    }
  }
  alignas(32) std::array<char16_t, kLanes> lanes;
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.data()), high);
  for (const char16_t lane : lanes) mapped.high |= lane;
  mapped.special = !_mm256_testz_si256(marks, marks);
  const Mapped<Unit> rest = map_units(in + i, out + i, n - i, table, Lower);
  mapped.high |= rest.high;
  mapped.special = mapped.special || (Lower && rest.special);
  mapped.surrogate = mapped.surrogate || rest.surrogate;
  return mapped;
}

// A Latin-1 text through `table`, latin1_table(Lower, Fold), thirty-two bytes at a time.
template <bool Lower, bool Fold>
__attribute__((target("avx2"))) void map_latin1_avx2(const text::Latin1* in, text::Latin1* out,
                                                     std::size_t n, const Latin1Table& table) {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                        normalise_lanes<text::Latin1, Lower, Fold>(v));
  }
  for (; i < n; ++i) out[i] = table[in[i]];
}

#endif

// map_units for a wide text, whose Latin-1 units the vector code maps where the processor has
// it; `table` is bmp_table(Lower, Fold).
template <bool Lower, bool Fold, class Unit>
Mapped<Unit> map_wide_units(const Unit* in, Unit* out, std::size_t n, const BmpTable& table) {
#if VESKAL_X86
  if (text::has_avx2()) return map_wide_avx2<Unit, Lower, Fold>(in, out, n, table);
#endif
  return map_units(in, out, n, table, Lower);
}

// A Latin-1 text through `table`, latin1_table(lower, fold).
void map_latin1(const text::Latin1* in, text::Latin1* out, std::size_t n, bool lower, bool fold,
                const Latin1Table& table) {
#if VESKAL_X86
  if (text::has_avx2()) {
    constexpr decltype(&map_latin1_avx2<false, false>) kMaps[2][2] = {
        {map_latin1_avx2<false, false>, map_latin1_avx2<false, true>},
        {map_latin1_avx2<true, false>, map_latin1_avx2<true, true>}};
    return kMaps[lower][fold](in, out, n, table);
  }
#endif
  for (std::size_t i = 0; i < n; ++i) out[i] = table[in[i]];
}

// The end of the stretch that begins at `begin`: a safe cut (see is_cut) near begin + `chunk`,
// searched backward then forward, as chunk_end does it for UTF-8.
template <class Unit>
std::size_t unit_chunk_end(text::Units<Unit> s, std::size_t begin, std::size_t chunk = kChunk) {
  const std::size_t n = s.size();
  if (n - begin <= chunk) return n;
  const std::size_t target = begin + chunk;
  for (std::size_t at = target; at - 1 > begin; --at) {
    if (is_cut(s[at - 1], s[at])) return at;
  }
  constexpr std::size_t kLimit = INT32_MAX / 4;
  for (std::size_t at = target; at < n; ++at) {
    if (at - begin >= kLimit || is_cut(s[at - 1], s[at])) return at;
  }
  return n;
}

// A transparent huge page, where the system has them (Linux on x86-64 and most ARM).
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Uninitialised storage of `bytes` bytes, of which the first `sure` will all be written. A fresh
// copy costs more to fault in, a small page at a time, than to normalise (11 ms for 20 MB on a
// virtual machine, where huge pages take 2): the whole huge pages of its sure part are asked
// for, as the system's default grants them only on request. Storage the heap hands back warm
// is unchanged, and the tail stays in small pages, so that no unwritten huge page becomes
// resident.
std::unique_ptr<std::byte[]> allocate(std::size_t bytes, std::size_t sure) {
  auto storage = std::make_unique_for_overwrite<std::byte[]>(bytes);
#ifdef __linux__
  const auto at = reinterpret_cast<std::uintptr_t>(storage.get());
  const std::uintptr_t from = (at + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t to = (at + std::min(sure, bytes)) & ~(kHugePage - 1);
  // Without huge pages the copy only costs more.
  if (from < to) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)sure;
#endif
  return storage;
}

}  // namespace

// Builds an owned normalised text: units of one type appended to raw storage, then narrowed in
// place when the characters written allow.
class Writer {
 public:
  // Exactly `units` units, `sure` of which will be written: callers size the text once, as a
  // growing copy would hold two buffers at its peak. Pages never written are never made
  // resident, so a generous size costs nothing.
  template <class Unit>
  void reserve(std::size_t units, std::size_t sure = 0) {
    const std::size_t bytes = units * sizeof(Unit);
    if (bytes <= capacity_) return;
    std::unique_ptr<std::byte[]> bigger = allocate(bytes, sure * sizeof(Unit));
    // Units may have been written without being recorded yet: all of the old storage moves.
    if (capacity_ != 0) std::memcpy(bigger.get(), storage_.get(), capacity_);
    storage_ = std::move(bigger);
    capacity_ = bytes;
  }

  template <class Unit>
  std::size_t capacity() const {
    return capacity_ / sizeof(Unit);
  }

  template <class Unit>
  Unit* units() {
    return reinterpret_cast<Unit*>(storage_.get());
  }

  // Records that `units` units of `Unit` are written. `high` is the largest of them, or any
  // value with the same highest set bit, such as their bitwise OR.
  template <class Unit>
  void wrote(std::size_t units, char32_t high) {
    size_ = units * sizeof(Unit);
    high_ = std::max(high_, high);
  }

  // The units written, as `Unit`, narrowed to the narrowest width that holds them.
  template <class Unit>
  Normalised finish() && {
    const std::size_t n = size_ / sizeof(Unit);
    if constexpr (sizeof(Unit) > 1) {
      if (text::fits<text::Latin1>(high_)) return std::move(*this).narrowed<Unit, text::Latin1>(n);
    }
    if constexpr (sizeof(Unit) > 2) {
      if (text::fits<char16_t>(high_)) return std::move(*this).narrowed<Unit, char16_t>(n);
    }
    const text::TextView view(text::Units<Unit>(units<Unit>(), n));
    return Normalised(std::move(storage_), view);
  }

 private:
  // Each narrow unit lands at or before the bytes of the wide unit it replaces, which has been
  // read by then, so the copy needs no second buffer.
  template <class Wide, class Narrow>
  Normalised narrowed(std::size_t n) && {
    std::byte* bytes = storage_.get();
    for (std::size_t i = 0; i < n; ++i) {
      Wide wide;
      std::memcpy(&wide, bytes + i * sizeof(Wide), sizeof(Wide));
      const auto narrow = static_cast<Narrow>(wide);
      std::memcpy(bytes + i * sizeof(Narrow), &narrow, sizeof(Narrow));
    }
    const text::TextView view(text::Units<Narrow>(reinterpret_cast<const Narrow*>(bytes), n));
    return Normalised(std::move(storage_), view);
  }

  std::unique_ptr<std::byte[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  char32_t high_ = 0;
};

namespace {

// The first index from `first` on where `changes(i)` holds, or `size`. Counted in blocks, so that
// the caller's check runs (and the interpreter's lock is given up) early in a long text.
template <class Changes>
std::size_t first_change(std::size_t first, std::size_t size, Changes&& changes) {
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  while (first < size) {
    const std::size_t stop = std::min(size, first + kBlock);
    for (; first < stop; ++first) {
      if (changes(first)) return first;
    }
    cancel::poll(kBlock / 16);
  }
  return size;
}

// Calls `write(from, to)` over [first, size) in blocks, counted as above.
template <class Write>
void write_blocks(std::size_t first, std::size_t size, Write&& write) {
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  for (std::size_t block = first; block < size; block += kBlock) {
    write(block, std::min(size, block + kBlock));
    cancel::poll(kBlock / 8);
  }
}

// Latin-1 text: one table lookup per character, from the first one that changes.
Normalised normalise_latin1(text::Units<text::Latin1> in, bool lower, bool fold) {
  const Latin1Table& table = latin1_table(lower, fold);
  const std::size_t first =
      first_change(0, in.size(), [&](std::size_t i) { return table[in[i]] != in[i]; });
  if (first == in.size()) return Normalised::borrow(text::TextView(in));
  Writer out;
  out.reserve<text::Latin1>(in.size(), in.size());
  text::Latin1* o = out.units<text::Latin1>();
  if (first != 0) std::memcpy(o, in.data(), first);
  write_blocks(first, in.size(), [&](std::size_t from, std::size_t to) {
    map_latin1(in.data() + from, o + from, to - from, lower, fold, table);
  });
  out.wrote<text::Latin1>(in.size(), 0);
  return std::move(out).finish<text::Latin1>();
}

// A wide text without lowercasing, folded (`fold`) or with its line feeds alone mapped: every
// character maps to one. With `surrogate`, as normalise() says.
template <class Unit>
Normalised map_wide(text::Units<Unit> in, bool fold, bool* surrogate) {
  const BmpTable& table = bmp_table(false, fold);
  const std::size_t first = first_change(
      0, in.size(), [&](std::size_t i) { return map_unit(in[i], table, false) != in[i]; });
  // The units up to the first change are taken as they are, so checked as they are.
  if (surrogate != nullptr && text::has_surrogate(in.first(first))) {
    *surrogate = true;
    return Normalised::borrow(text::TextView(in));
  }
  if (first == in.size()) return Normalised::borrow(text::TextView(in));
  Writer out;
  out.reserve<Unit>(in.size(), in.size());
  Unit* o = out.units<Unit>();
  if (first != 0) std::memcpy(o, in.data(), first * sizeof(Unit));
  Unit high = 0;
  for (std::size_t i = 0; i < first; ++i) high |= o[i];  // as Mapped counts it
  bool lone = false;
  write_blocks(first, in.size(), [&](std::size_t from, std::size_t to) {
    const Unit* const units = in.data() + from;
    Unit* const mapped = o + from;
    const std::size_t n = to - from;
    const Mapped<Unit> block = fold ? map_wide_units<false, true>(units, mapped, n, table)
                                    : map_wide_units<false, false>(units, mapped, n, table);
    high |= block.high;
    lone = lone || block.surrogate;
  });
  if (surrogate != nullptr) *surrogate = lone;
  out.wrote<Unit>(in.size(), high);
  return std::move(out).finish<Unit>();
}

// Full lowercase of a wide text, then line feeds and the table. Stretches holding a character
// that needs ICU's context go through ICU, the others through the table.
template <class Unit>
Normalised lower_wide(text::Units<Unit> in, bool fold, bool* surrogate) {
  const BmpTable& table = bmp_table(true, fold);
  Writer out;
  // Only U+0130 lengthens (to two characters); the slack absorbs a text's few.
  out.reserve<Unit>(in.size() + in.size() / 32 + 16, in.size());
  std::size_t written = 0;
  char32_t high = 0;
  std::u16string source;
  std::u16string lowered;
  for (std::size_t begin = 0; begin < in.size();) {
    const std::size_t end = unit_chunk_end(in, begin);
    const text::Units<Unit> chunk = in.subspan(begin, end - begin);
    cancel::poll(chunk.size() / 4);
    // Optimistically through the table; the rare stretch that needs ICU is written over.
    out.reserve<Unit>(written + chunk.size(), written + (in.size() - begin));
    Unit* o = out.units<Unit>() + written;
    const Mapped<Unit> mapped =
        fold ? map_wide_units<true, true>(chunk.data(), o, chunk.size(), table)
             : map_wide_units<true, false>(chunk.data(), o, chunk.size(), table);
    // Before ICU, which would read a pair of them as one character.
    if (surrogate != nullptr && mapped.surrogate) {
      *surrogate = true;
      return Normalised::borrow(text::TextView(in));
    }
    if (!mapped.special) {
      high = std::max<char32_t>(high, mapped.high);
      written += chunk.size();
      begin = end;
      continue;
    }
    const char16_t* src;
    std::size_t src_size;
    if constexpr (sizeof(Unit) == 2) {
      src = chunk.data();
      src_size = chunk.size();
    } else {
      source.clear();
      for (const char32_t c : chunk) {
        if (c < 0x10000) {
          source.push_back(static_cast<char16_t>(c));
        } else {
          source.push_back(static_cast<char16_t>(0xD7C0 + (c >> 10)));
          source.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
        }
      }
      src = source.data();
      src_size = source.size();
    }
    // Past the slack, the storage grows once, to what the rest of the text needs beyond `chars`.
    const auto grow = [&](std::size_t chars) {
      const text::Units<Unit> rest = in.subspan(end);
      const auto lengthened =
          static_cast<std::size_t>(std::count(rest.begin(), rest.end(), static_cast<Unit>(0x0130)));
      out.reserve<Unit>(written + chars + rest.size() + lengthened, written + chars + rest.size());
    };
    std::int32_t length = 0;
    const char16_t* low = nullptr;
    if constexpr (sizeof(Unit) == 2) {
      // Straight into the text, over what the table wrote: no buffer of its own.
      for (;;) {
        char16_t* const dest = out.units<char16_t>() + written;
        const std::size_t room = std::min<std::size_t>(out.capacity<Unit>() - written, INT32_MAX);
        UErrorCode status = U_ZERO_ERROR;
        // "" is the root locale: no Turkish, Azeri or Lithuanian rules, whatever the locale.
        length = icu::CaseMap::toLower("", 0, src, static_cast<std::int32_t>(src_size), dest,
                                       static_cast<std::int32_t>(room), nullptr, status);
        low = dest;
        if (status == U_BUFFER_OVERFLOW_ERROR) {
          grow(static_cast<std::size_t>(length));
          continue;
        }
        // Only reachable on memory exhaustion; a half-lowered text must never be searched.
        if (U_FAILURE(status)) throw std::bad_alloc();
        break;
      }
    } else {
      for (std::size_t capacity = src_size + src_size / 2 + 16;;) {
        lowered.resize(capacity);
        UErrorCode status = U_ZERO_ERROR;
        length =
            icu::CaseMap::toLower("", 0, src, static_cast<std::int32_t>(src_size), lowered.data(),
                                  static_cast<std::int32_t>(capacity), nullptr, status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
          capacity = static_cast<std::size_t>(length);
          continue;
        }
        if (U_FAILURE(status)) throw std::bad_alloc();
        break;
      }
      low = lowered.data();
      // A surrogate pair in ICU's output is one character of the text.
      std::size_t chars = 0;
      for (std::int32_t i = 0; i < length; ++i, ++chars) {
        if (low[i] >= 0xD800 && low[i] < 0xDC00 && i + 1 < length) ++i;
      }
      if (written + chars > out.capacity<Unit>()) grow(chars);
    }
    // In place for UCS-2: a pair only ever shortens, so each unit is read before it is written.
    Unit* const base = out.units<Unit>();
    for (std::int32_t i = 0; i < length; ++i) {
      char32_t c = low[i];
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low[++i] - 0xDC00);
      }
      c = finish_char(c, fold);
      high = std::max(high, c);
      // The lowercase of a BMP character lies in the BMP, so a UCS-2 text stays one.
      base[written++] = static_cast<Unit>(c);
    }
    begin = end;
  }
  out.wrote<Unit>(written, high);
  return std::move(out).finish<Unit>();
}

}  // namespace

template <class Unit>
bool Stream<Unit>::next() {
  // Only a lowercase reads across characters, and only a wide text's.
  const std::size_t end = sizeof(Unit) > 1 && case_insensitive_
                              ? unit_chunk_end(in_, read_, stretch_)
                              : std::min(in_.size(), read_ + stretch_);
  const text::Units<Unit> part = in_.subspan(read_, end - read_);
  // Units no longer needed make room first: a search keeps few, and the units are then held in
  // little more than a stretch's room, allocated once and in cache.
  const auto gone = static_cast<std::size_t>(std::min<std::uint64_t>(dropped_ - first_, held_));
  if (gone > 0) {
    std::memmove(units_.data(), units_.data() + gone, (held_ - gone) * sizeof(Unit));
    held_ -= gone;
    first_ += gone;
  }
  if (units_.size() < held_ + part.size()) units_.resize(held_ + part.size());
  Unit* const out = units_.data() + held_;
  bool lone = false;
  if constexpr (sizeof(Unit) == 1) {
    map_latin1(part.data(), out, part.size(), case_insensitive_, special_char_insensitive_,
               latin1_table(case_insensitive_, special_char_insensitive_));
    held_ += part.size();
  } else {
    const BmpTable& table = bmp_table(case_insensitive_, special_char_insensitive_);
    const auto map = [&]<bool Lower>() {
      return special_char_insensitive_
                 ? map_wide_units<Lower, true>(part.data(), out, part.size(), table)
                 : map_wide_units<Lower, false>(part.data(), out, part.size(), table);
    };
    const Mapped<Unit> mapped =
        case_insensitive_ ? map.template operator()<true>() : map.template operator()<false>();
    lone = mapped.surrogate;
    if (!lone && case_insensitive_ && mapped.special) {
      // A stretch cut where no context crosses lowercases alone as it does in the whole text.
      const Normalised whole = lower_wide(part, special_char_insensitive_, nullptr);
      whole.text().visit([&](auto units) {
        if (units_.size() < held_ + units.size()) units_.resize(held_ + units.size());
        std::copy(units.begin(), units.end(), units_.data() + held_);
        held_ += units.size();
      });
    } else {
      held_ += part.size();
    }
  }
  read_ = end;
  return !lone;
}

template class Stream<text::Latin1>;
template class Stream<char16_t>;
template class Stream<char32_t>;

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

std::u32string normalise_pattern(std::string utf8, bool case_insensitive,
                                 bool special_char_insensitive) {
  return text::decode(preprocess(std::move(utf8), case_insensitive, special_char_insensitive));
}

Normalised normalise(text::TextView input, bool case_insensitive, bool special_char_insensitive,
                     bool line_feeds_matter, bool* surrogate) {
  if (surrogate != nullptr) *surrogate = false;
  if (!case_insensitive && !special_char_insensitive && !line_feeds_matter) {
    if (surrogate != nullptr)
      *surrogate = input.visit([](auto units) { return text::has_surrogate(units); });
    return Normalised::borrow(input);
  }
  return input.visit([&](auto units) -> Normalised {
    using Unit = typename decltype(units)::value_type;
    if constexpr (sizeof(Unit) == 1) {
      return normalise_latin1(units, case_insensitive, special_char_insensitive);
    } else {
      if (case_insensitive) return lower_wide(units, special_char_insensitive, surrogate);
      return map_wide(units, special_char_insensitive, surrogate);
    }
  });
}

}  // namespace veskal::preprocessor
