#include "text.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <utility>

#include "cancel.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VESKAL_X86 1
#endif

namespace veskal::text {

namespace {

std::atomic<bool> avx2_off{false};

}  // namespace

bool has_avx2() {
#if VESKAL_X86
  static const bool available = __builtin_cpu_supports("avx2") != 0;
  return available && !avx2_off.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

bool has_avx512_vbmi2() {
#if VESKAL_X86
  static const bool available = __builtin_cpu_supports("avx512f") != 0 &&
                                __builtin_cpu_supports("avx512bw") != 0 &&
                                __builtin_cpu_supports("avx512vbmi2") != 0;
  return available && !avx2_off.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

namespace detail {

void use_avx2(bool on) {
  avx2_off.store(!on, std::memory_order_relaxed);
}

}  // namespace detail

// ---- owned texts ----

namespace {

template <class Unit>
std::size_t max_char_of(const Unit* p, std::size_t n) {
  // Branch-free so that it vectorises.
  Unit high = 0;
  for (std::size_t i = 0; i < n; ++i) high = std::max(high, p[i]);
  return high;
}

}  // namespace

template <class Unit>
char32_t max_char(Units<Unit> units) {
  return static_cast<char32_t>(max_char_of(units.data(), units.size()));
}

namespace {

// In blocks with a narrow accumulator, which the compiler vectorises.
template <class Unit>
bool has_surrogate_scalar(const Unit* p, std::size_t n) {
  constexpr std::size_t kBlock = 4096;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t end = std::min(n, start + kBlock);
    Unit found = 0;
    for (std::size_t i = start; i < end; ++i) {
      found |= static_cast<Unit>(static_cast<Unit>(p[i] - 0xD800) < 0x800);
    }
    if (found != 0) return true;
  }
  return false;
}

#if VESKAL_X86

// The lanes of the units at `p` that hold a surrogate, 0xD800 | 11 bits, all ones.
template <class Unit>
__attribute__((target("avx2"))) __m256i surrogate_lanes(const Unit* p) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  if constexpr (sizeof(Unit) == 2) {
    return _mm256_cmpeq_epi16(_mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xF800))),
                              _mm256_set1_epi16(static_cast<short>(0xD800)));
  } else {
    return _mm256_cmpeq_epi32(_mm256_and_si256(v, _mm256_set1_epi32(static_cast<int>(0xFFFFF800))),
                              _mm256_set1_epi32(0xD800));
  }
}

// `lowest` lowered by `units` shifted so that surrogates, and only they, fall below 0x800 (the
// lanes wrap): two operations a vector, where a mask and a comparison take three.
template <class Unit>
__attribute__((target("avx2"))) __m256i lower_by_surrogates(__m256i lowest, __m256i units) {
  if constexpr (sizeof(Unit) == 2) {
    return _mm256_min_epu16(lowest, _mm256_add_epi16(units, _mm256_set1_epi16(0x2800)));
  } else {
    return _mm256_min_epu32(lowest, _mm256_sub_epi32(units, _mm256_set1_epi32(0xD800)));
  }
}

// True when a lane of `lowest` fell below 0x800: a surrogate was seen.
template <class Unit>
__attribute__((target("avx2"))) bool saw_surrogate(__m256i lowest) {
  if constexpr (sizeof(Unit) == 2) {
    const __m256i below = _mm256_min_epu16(lowest, _mm256_set1_epi16(0x7FF));
    return _mm256_movemask_epi8(_mm256_cmpeq_epi16(below, lowest)) != 0;
  } else {
    const __m256i below = _mm256_min_epu32(lowest, _mm256_set1_epi32(0x7FF));
    return _mm256_movemask_epi8(_mm256_cmpeq_epi32(below, lowest)) != 0;
  }
}

// Twice the width of what the compiler makes of the loop above: a search that skips most of a
// text still checks all of it, so this check can be most of its work.
template <class Unit>
__attribute__((target("avx2"))) bool has_surrogate_avx2(const Unit* p, std::size_t n) {
  constexpr std::size_t kLanes = 32 / sizeof(Unit);
  std::size_t i = 0;
  // Four vectors a round, tested once: the test is the loop's only branch.
  for (; i + 4 * kLanes <= n; i += 4 * kLanes) {
    const __m256i any = _mm256_or_si256(
        _mm256_or_si256(surrogate_lanes(p + i), surrogate_lanes(p + i + kLanes)),
        _mm256_or_si256(surrogate_lanes(p + i + 2 * kLanes), surrogate_lanes(p + i + 3 * kLanes)));
    if (!_mm256_testz_si256(any, any)) return true;
  }
  return has_surrogate_scalar(p + i, n - i);
}

#endif

}  // namespace

template <class Unit>
bool has_surrogate(Units<Unit> units) {
  if constexpr (sizeof(Unit) == 1) {
    return false;
  } else {
#if VESKAL_X86
    if (has_avx2()) return has_surrogate_avx2(units.data(), units.size());
#endif
    return has_surrogate_scalar(units.data(), units.size());
  }
}

template bool has_surrogate(Units<Latin1>);
template bool has_surrogate(Units<char16_t>);
template bool has_surrogate(Units<char32_t>);

template char32_t max_char(Units<Latin1>);
template char32_t max_char(Units<char16_t>);
template char32_t max_char(Units<char32_t>);

OwnedText OwnedText::from_utf8(std::string_view utf8) {
  return narrowest(decode(utf8));
}

OwnedText OwnedText::narrowest(std::u32string_view chars) {
  const char32_t high = max_char(Units<char32_t>(chars.data(), chars.size()));
  const Width width = fits<Latin1>(high)     ? Width::one
                      : fits<char16_t>(high) ? Width::two
                                             : Width::four;
  return *of_width(chars, width);
}

std::optional<OwnedText> OwnedText::of_width(std::u32string_view chars, Width width) {
  const char32_t high = max_char(Units<char32_t>(chars.data(), chars.size()));
  OwnedText out;
  switch (width) {
    case Width::one:
      if (!fits<Latin1>(high)) return std::nullopt;
      out.units_.emplace<std::vector<Latin1>>(chars.begin(), chars.end());
      break;
    case Width::two: {
      if (!fits<char16_t>(high)) return std::nullopt;
      auto& units = out.units_.emplace<std::u16string>(chars.size(), u'\0');
      std::transform(chars.begin(), chars.end(), units.begin(),
                     [](char32_t c) { return static_cast<char16_t>(c); });
      break;
    }
    case Width::four:
      out.units_.emplace<std::u32string>(chars);
      break;
  }
  return out;
}

std::vector<OwnedText> OwnedText::every_width(std::u32string_view chars) {
  std::vector<OwnedText> out;
  for (const Width width : {Width::one, Width::two, Width::four}) {
    if (std::optional<OwnedText> text = of_width(chars, width)) out.push_back(std::move(*text));
  }
  return out;
}

TextView OwnedText::view() const {
  return std::visit(
      [](const auto& units) {
        using Unit = std::remove_cvref_t<decltype(units[0])>;
        return TextView(Units<Unit>(units.data(), units.size()));
      },
      units_);
}

// ---- UTF-8 ----

std::uint64_t count_chars(std::string_view s) {
  std::uint64_t chars = 0;
  for (const char c : s) chars += is_lead_byte(static_cast<unsigned char>(c));
  return chars;
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
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) out.push_back(decode_at(s, i));
  return out;
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

// ---- substring search ----

namespace {

// How common a character is in prose, higher being rarer: probes on rare characters leave the
// fewest candidates to compare.
int rarity(char32_t c) {
  constexpr std::string_view kByFrequency = " etaoinsrulhdcmpgfbvwyqxjkz";
  const char32_t lower = c >= U'A' && c <= U'Z' ? c + 32 : c;
  if (lower < 0x80) {
    const std::size_t rank = kByFrequency.find(static_cast<char>(lower));
    // Capitals are rarer than their letters; digits and signs rarer than most letters.
    if (rank != std::string_view::npos) return static_cast<int>(rank) + (lower != c ? 8 : 0);
    return 20;
  }
  return 16;  // accented letters and the like: about as rare as the rarer letters
}

}  // namespace

template <class Unit>
Probes probes(Units<Unit> needle) {
  if (needle.size() < 2) return {0, 0};
  // The rarest unit, then the rarest other one, the farthest one on ties: neighbours tend to
  // occur together.
  std::size_t a = 0;
  for (std::size_t i = 1; i < needle.size(); ++i) {
    if (rarity(needle[i]) > rarity(needle[a])) a = i;
  }
  std::size_t b = a == 0 ? 1 : 0;
  const auto distance = [a](std::size_t i) { return i > a ? i - a : a - i; };
  for (std::size_t i = 0; i < needle.size(); ++i) {
    if (i == a) continue;
    const int r = rarity(needle[i]);
    if (r > rarity(needle[b]) || (r == rarity(needle[b]) && distance(i) > distance(b))) b = i;
  }
  return {std::min(a, b), std::max(a, b)};
}

template Probes probes(Units<Latin1>);
template Probes probes(Units<char16_t>);
template Probes probes(Units<char32_t>);

namespace {

// Where a search stopped: an occurrence, none (npos), or, when its verification budget ran out,
// the first start it did not examine.
struct Found {
  std::size_t at;
  bool gave_up;
};

// Candidates are the starts where two units of the needle, its probes, match; only those compare
// the whole needle. Measured on French prose at every width against glibc's memmem (on the
// units' bytes) and std::boyer_moore_horspool_searcher, this filter was the fastest for rare and
// frequent words alike (memmem tied only on rare Latin-1 words); 32-byte vectors pay off over
// 16-byte ones on wide units.
//
// `Spaced` searches read a line feed of the haystack as a space; their probes lie elsewhere.
template <bool Spaced, class Unit>
bool verify(const Unit* at, const Unit* needle, std::size_t m, std::size_t& budget) {
  if (m <= 2) return true;  // the probes cover the needle
  budget = budget > m ? budget - m : 0;
  if constexpr (Spaced) {
    for (std::size_t k = 0; k < m; ++k) {
      if (line_feed_as_space(at[k]) != needle[k]) return false;
    }
    return true;
  } else {
    return std::memcmp(at, needle, m * sizeof(Unit)) == 0;
  }
}

template <bool Spaced, class Unit>
Found find_scalar(const Unit* h, std::size_t n, const Unit* p, std::size_t m, Probes probes,
                  std::size_t i, std::size_t& budget) {
  for (; i + m <= n; ++i) {
    if (h[i + probes.first] != p[probes.first] || h[i + probes.second] != p[probes.second]) {
      continue;
    }
    if (budget == 0) return {i, true};
    if (verify<Spaced>(h + i, p, m, budget)) return {i, false};
  }
  return {npos, false};
}

#if VESKAL_X86

template <class Unit>
__m128i splat128(Unit u) {
  if constexpr (sizeof(Unit) == 1) return _mm_set1_epi8(static_cast<char>(u));
  if constexpr (sizeof(Unit) == 2) return _mm_set1_epi16(static_cast<short>(u));
  if constexpr (sizeof(Unit) == 4) return _mm_set1_epi32(static_cast<int>(u));
}

template <class Unit>
__m128i equal128(__m128i a, __m128i b) {
  if constexpr (sizeof(Unit) == 1) return _mm_cmpeq_epi8(a, b);
  if constexpr (sizeof(Unit) == 2) return _mm_cmpeq_epi16(a, b);
  if constexpr (sizeof(Unit) == 4) return _mm_cmpeq_epi32(a, b);
}

// The byte mask of one matching unit at bit `bit`, cleared after it is looked at; over two
// vectors' masks with a 64-bit Mask.
template <class Unit, class Mask = std::uint32_t>
constexpr Mask unit_bits(unsigned bit) {
  return ((Mask{1} << sizeof(Unit)) - 1) << bit;
}

template <bool Spaced, class Unit>
Found find_sse2(const Unit* h, std::size_t n, const Unit* p, std::size_t m, Probes probes,
                std::size_t i, std::size_t& budget) {
  constexpr std::size_t kLanes = 16 / sizeof(Unit);
  const __m128i first = splat128(p[probes.first]);
  const __m128i last = splat128(p[probes.second]);
  for (; i + kLanes + m - 1 <= n; i += kLanes) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + probes.first));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + probes.second));
    auto mask = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_and_si128(equal128<Unit>(a, first), equal128<Unit>(b, last))));
    while (mask != 0) {
      const auto bit = static_cast<unsigned>(std::countr_zero(mask));
      const std::size_t at = i + bit / sizeof(Unit);
      if (budget == 0) return {at, true};
      if (verify<Spaced>(h + at, p, m, budget)) return {at, false};
      mask &= ~unit_bits<Unit>(bit);
    }
  }
  return find_scalar<Spaced>(h, n, p, m, probes, i, budget);
}

template <class Unit>
__attribute__((target("avx2"))) __m256i splat256(Unit u) {
  if constexpr (sizeof(Unit) == 1) return _mm256_set1_epi8(static_cast<char>(u));
  if constexpr (sizeof(Unit) == 2) return _mm256_set1_epi16(static_cast<short>(u));
  if constexpr (sizeof(Unit) == 4) return _mm256_set1_epi32(static_cast<int>(u));
}

template <class Unit>
__attribute__((target("avx2"))) __m256i equal256(__m256i a, __m256i b) {
  if constexpr (sizeof(Unit) == 1) return _mm256_cmpeq_epi8(a, b);
  if constexpr (sizeof(Unit) == 2) return _mm256_cmpeq_epi16(a, b);
  if constexpr (sizeof(Unit) == 4) return _mm256_cmpeq_epi32(a, b);
}

template <bool Spaced, class Unit>
__attribute__((target("avx2"))) Found find_avx2(const Unit* h, std::size_t n, const Unit* p,
                                                std::size_t m, Probes probes, std::size_t i,
                                                std::size_t& budget) {
  constexpr std::size_t kLanes = 32 / sizeof(Unit);
  const __m256i first = splat256(p[probes.first]);
  const __m256i last = splat256(p[probes.second]);
  for (; i + kLanes + m - 1 <= n; i += kLanes) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i + probes.first));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i + probes.second));
    auto mask = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_and_si256(equal256<Unit>(a, first), equal256<Unit>(b, last))));
    while (mask != 0) {
      const auto bit = static_cast<unsigned>(std::countr_zero(mask));
      const std::size_t at = i + bit / sizeof(Unit);
      if (budget == 0) return {at, true};
      if (verify<Spaced>(h + at, p, m, budget)) return {at, false};
      mask &= ~unit_bits<Unit>(bit);
    }
  }
  return find_sse2<Spaced>(h, n, p, m, probes, i, budget);
}

template <class Unit>
__attribute__((target("avx2"))) __m256i load256(const Unit* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// find_avx2 over the starts from `i` on, two vectors of starts a round while one fits before
// the haystack's end and `i` is before `to`, checking the units of every start it examines for
// surrogates: one extra load a vector, of units the probes' loads have just brought into cache.
// Sets `surrogate` on one among the units of the starts up to an occurrence, or up to the
// returned `i` when there is none. The units of a start past its round's, which an occurrence
// may skip, are the needle's: the caller checks the needle. The check is tested only where a
// round has candidates and when the rounds end, and one test covers both vectors' candidates:
// the loop's one branch.
template <bool Spaced, class Unit>
__attribute__((target("avx2"))) Found find_vetted_avx2(const Unit* h, std::size_t n, const Unit* p,
                                                       std::size_t m, Probes probes, std::size_t& i,
                                                       std::size_t to, std::size_t& budget,
                                                       bool& surrogate) {
  constexpr std::size_t kLanes = 32 / sizeof(Unit);
  const std::size_t last = n - m + 1;  // the starts where the needle fits
  const __m256i first = splat256(p[probes.first]);
  const __m256i second = splat256(p[probes.second]);
  __m256i lowest = _mm256_set1_epi8(-1);
  for (; i < to && i + 2 * kLanes <= last; i += 2 * kLanes) {
    lowest = lower_by_surrogates<Unit>(lowest, load256(h + i));
    lowest = lower_by_surrogates<Unit>(lowest, load256(h + i + kLanes));
    const __m256i low = _mm256_and_si256(equal256<Unit>(load256(h + i + probes.first), first),
                                         equal256<Unit>(load256(h + i + probes.second), second));
    const __m256i high =
        _mm256_and_si256(equal256<Unit>(load256(h + i + kLanes + probes.first), first),
                         equal256<Unit>(load256(h + i + kLanes + probes.second), second));
    const __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) continue;
    // A byte a unit's byte, over both vectors.
    std::uint64_t mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
                         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))}
                             << 32;
    while (mask != 0) {
      const auto bit = static_cast<unsigned>(std::countr_zero(mask));
      const std::size_t at = i + bit / sizeof(Unit);
      // The caller checks the rest of the text before the automaton reads it.
      if (budget == 0) return {at, true};
      if (verify<Spaced>(h + at, p, m, budget)) {
        surrogate = saw_surrogate<Unit>(lowest);
        return {surrogate ? npos : at, false};
      }
      mask &= ~unit_bits<Unit, std::uint64_t>(bit);
    }
  }
  surrogate = saw_surrogate<Unit>(lowest);
  if (surrogate || i >= to) return {npos, false};
  // Fewer than a round of starts before the end: found unit by unit.
  surrogate = has_surrogate_scalar(h + i, last - i);
  if (surrogate) return {npos, false};
  const Found found = find_scalar<Spaced>(h, n, p, m, probes, i, budget);
  i = last;
  return found;
}

#endif

template <bool Spaced, class Unit>
Found find_from(Units<Unit> haystack, Units<Unit> needle, Probes probes, std::size_t from,
                std::size_t& budget) {
  const Unit* h = haystack.data();
  const std::size_t n = haystack.size();
  const std::size_t m = needle.size();
  if (from >= n || n - from < m) return {npos, false};
  if constexpr (sizeof(Unit) == 1 && !Spaced) {
    if (m == 1) {
      const void* found = std::memchr(h + from, needle[0], n - from);
      return {
          found == nullptr ? npos : static_cast<std::size_t>(static_cast<const Unit*>(found) - h),
          false};
    }
  }
#if VESKAL_X86
  if (has_avx2()) return find_avx2<Spaced>(h, n, needle.data(), m, probes, from, budget);
  return find_sse2<Spaced>(h, n, needle.data(), m, probes, from, budget);
#else
  return find_scalar<Spaced>(h, n, needle.data(), m, probes, from, budget);
#endif
}

}  // namespace

namespace detail {

template <class Unit>
std::vector<std::size_t> borders(Units<Unit> needle) {
  std::vector<std::size_t> border(needle.size(), 0);
  std::size_t k = 0;
  for (std::size_t i = 1; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
    if (needle[i] == needle[k]) ++k;
    border[i] = k;
  }
  return border;
}

template std::vector<std::size_t> borders(Units<Latin1>);
template std::vector<std::size_t> borders(Units<char16_t>);
template std::vector<std::size_t> borders(Units<char32_t>);

}  // namespace detail

template <class Unit>
Occurrences<Unit>::Occurrences(Units<Unit> haystack, Units<Unit> needle, bool vet,
                               bool line_feeds_as_spaces)
    : haystack_(haystack), needle_(needle), vetting_(vet && sizeof(Unit) > 1) {
  if (needle.empty()) return;
  probes_ = probes(needle);
  const auto space = [](Unit u) { return u == Unit{' '} || u == Unit{'\n'}; };
  spaced_ = line_feeds_as_spaces && std::any_of(needle.begin(), needle.end(), space);
  // Probes compare units as they are; the rarest of a trimmed needle are never spaces.
  automaton_first_ = spaced_ && (space(needle[probes_.first]) || space(needle[probes_.second]));
  std::vector<std::size_t> border = detail::borders(needle);
  period_ = needle.size() - border.back();
  // Verifying a candidate costs a needle's length; twice the text's length in such work, spent
  // only on texts built to defeat the filter, is where the automaton's linear bound takes over.
  budget_ = 2 * haystack.size() + 64 * needle.size();
  if (needle.size() > 1 || automaton_first_) border_ = std::move(border);
  // The units an occurrence skips are the needle's, so a needle without surrogates lets the
  // loop check only the units it reads.
  checking_ = vetting_ && has_avx2() && !has_surrogate(needle) && !automaton_first_;
}

template <class Unit>
void Occurrences<Unit>::stop_on_surrogate() {
  surrogate_ = true;
  vetting_ = false;
  checking_ = false;
  automaton_ = false;
  pos_ = haystack_.size();
  needle_ = {};
}

template <class Unit>
bool Occurrences<Unit>::vet_to(std::size_t to) {
  // Counted as work, so that a long stretch without an occurrence still heeds the check.
  cancel::poll(to - vetted_);
  if (vetting_ && has_surrogate(haystack_.subspan(vetted_, to - vetted_))) {
    stop_on_surrogate();
    return false;
  }
  vetted_ = to;
  return true;
}

template <class Unit>
std::size_t Occurrences<Unit>::next_checking() {
#if VESKAL_X86
  // Latin-1 holds no surrogates, and machines without AVX2 check by blocks.
  if constexpr (sizeof(Unit) > 1) {
    const std::size_t n = haystack_.size();
    const std::size_t m = needle_.size();
    const std::size_t last = n < m ? 0 : n - m + 1;  // the starts where the needle fits
    constexpr std::size_t kBlock = (std::size_t{1} << 16) / sizeof(Unit);
    while (pos_ < last) {
      if (pos_ >= vetted_) {
        const std::size_t to = std::min(last, pos_ + kBlock);
        cancel::poll(to - pos_);
        vetted_ = to;
      }
      std::size_t i = pos_;
      bool surrogate = false;
      const Found found = spaced_
                              ? find_vetted_avx2<true>(haystack_.data(), n, needle_.data(), m,
                                                       probes_, i, vetted_, budget_, surrogate)
                              : find_vetted_avx2<false>(haystack_.data(), n, needle_.data(), m,
                                                        probes_, i, vetted_, budget_, surrogate);
      if (surrogate) {
        stop_on_surrogate();
        return npos;
      }
      if (found.gave_up) {
        // The automaton reads on to the end.
        if (has_surrogate(haystack_.subspan(pos_))) {
          stop_on_surrogate();
          return npos;
        }
        automaton_ = true;
        pos_ = found.at;
        matched_ = 0;
        return next_by_automaton();
      }
      if (found.at != npos) {
        pos_ = found.at + period_;
        return found.at;
      }
      pos_ = i;
    }
    // The units after the last start, or all when the needle does not fit.
    if (has_surrogate(haystack_.subspan(std::min(pos_, n)))) {
      stop_on_surrogate();
      return npos;
    }
    pos_ = n;
  }
#endif
  return npos;
}

template <class Unit>
std::size_t Occurrences<Unit>::next() {
  const std::size_t n = haystack_.size();
  const std::size_t m = needle_.size();
  if (m == 0) {
    if (vetting_) vet_to(n);
    return npos;
  }
  if (automaton_first_) {
    automaton_first_ = false;
    if (!vet_to(n)) return npos;
    automaton_ = true;
  }
  if (automaton_) return next_by_automaton();
  if (checking_) return next_checking();
  // The search goes a block at a time, and counts its work by blocks. A checked block is small
  // enough to stay in the first-level cache between its check and its search, which then cost
  // little more than the check's read from memory: 64 KiB, read again from the second level,
  // cost a third more.
  const std::size_t block = (std::size_t{1} << (vetting_ ? 13 : 16)) / sizeof(Unit);
  for (;;) {
    // Starts up to vetted_ - m lie wholly in checked units.
    if (vetted_ < n && pos_ + m > vetted_) {
      if (!vet_to(std::min(n, std::max(vetted_, pos_ + m - 1) + block))) return npos;
      continue;
    }
    const Units<Unit> vetted = haystack_.first(vetted_);
    const Found found = spaced_ ? find_from<true>(vetted, needle_, probes_, pos_, budget_)
                                : find_from<false>(vetted, needle_, probes_, pos_, budget_);
    if (found.gave_up) {
      // The automaton reads on to the end.
      if (!vet_to(n)) return npos;
      automaton_ = true;
      pos_ = found.at;
      matched_ = 0;
      return next_by_automaton();
    }
    if (found.at == npos) {
      if (vetted_ < n) {
        pos_ = std::max(pos_, vetted_ + 1 - std::min(vetted_ + 1, m));
        continue;
      }
      pos_ = n;
      return npos;
    }
    // No occurrence starts less than a period after another.
    pos_ = found.at + period_;
    return found.at;
  }
}

// A KMP automaton keeps the scan linear however the text is built.
template <class Unit>
std::size_t Occurrences<Unit>::next_by_automaton() {
  constexpr std::size_t kAutomatonLap = std::size_t{1} << 16;
  const std::size_t n = haystack_.size();
  const std::size_t m = needle_.size();
  std::size_t k = matched_;
  for (std::size_t i = pos_ + k; i < n; ++i) {
    if (i % kAutomatonLap == 0) cancel::poll(kAutomatonLap);
    const Unit u = spaced_ ? line_feed_as_space(haystack_[i]) : haystack_[i];
    while (k > 0 && u != needle_[k]) k = border_[k - 1];
    if (u == needle_[k]) ++k;
    if (k == m) {
      pos_ = i + 1 - m + period_;
      matched_ = m == 1 ? 0 : border_[m - 1];
      return i + 1 - m;
    }
  }
  pos_ = n;
  matched_ = 0;
  return npos;
}

template class Occurrences<Latin1>;
template class Occurrences<char16_t>;
template class Occurrences<char32_t>;

// ---- several needles at once ----

namespace {

template <class Unit>
bool is_surrogate(Unit u) {
  return sizeof(Unit) > 1 && static_cast<char32_t>(u) - 0xD800 < 0x800;
}

// scan_probes from `i` on, unit by unit: what the vectors leave at either end.
template <class Unit>
bool scan_probes_scalar(const Unit* h, std::size_t n, std::size_t i, std::size_t to,
                        std::span<const ProbedNeedle<Unit>> needles, bool vet,
                        const std::function<void(std::size_t, std::size_t)>& on_candidate) {
  for (; i < to; ++i) {
    if (vet && is_surrogate(h[i])) return false;
    for (std::size_t j = 0; j < needles.size(); ++j) {
      const ProbedNeedle<Unit>& needle = needles[j];
      if (i + needle.size <= n && h[i + needle.probes.first] == needle.first &&
          h[i + needle.probes.second] == needle.second) {
        on_candidate(j, i);
      }
    }
  }
  return true;
}

#if VESKAL_X86

// All ones in the lanes of the starts from `h` on where the probes `at` find `first` and
// `second`; `probed` holds the units at h + at.first.
template <class Unit>
__attribute__((target("avx2"))) __m256i probe_matches(__m256i probed, const Unit* h, Probes at,
                                                      __m256i first, __m256i second) {
  return _mm256_and_si256(equal256<Unit>(probed, first),
                          equal256<Unit>(load256(h + at.second), second));
}

// Keeps `v` in a register. Without this the compiler folds a load that has two uses into both,
// and the probe rounds are bound by their loads, half of them split across cache lines.
__attribute__((target("avx2"))) inline void in_register(__m256i& v) {
  __asm__("" : "+x"(v));
}

// The needles' probes and the units they look for, splat, in registers for a run of rounds.
template <class Unit, std::size_t kCount>
struct ProbeRound {
  // Plain arrays: std::array would drop the vectors' alignment attribute.
  __m256i firsts[kCount];
  __m256i seconds[kCount];
  Probes probes[kCount];

  __attribute__((target("avx2"))) explicit ProbeRound(const ProbedNeedle<Unit>* needles) {
    for (std::size_t j = 0; j < kCount; ++j) {
      firsts[j] = splat256(needles[j].first);
      seconds[j] = splat256(needles[j].second);
      probes[j] = needles[j].probes;
    }
  }

  // The lanes of the kLanes starts from `h` on where some needle's probes match; `probed` holds
  // the units at the first needle's first probe. The needles are told apart only in the rare
  // rounds that have some.
  __attribute__((target("avx2"))) __m256i any(__m256i probed, const Unit* h) const {
    __m256i found = probe_matches(probed, h, probes[0], firsts[0], seconds[0]);
    for (std::size_t j = 1; j < kCount; ++j) {
      found = _mm256_or_si256(
          found, probe_matches(load256(h + probes[j].first), h, probes[j], firsts[j], seconds[j]));
    }
    return found;
  }

  // The byte mask of the lanes where needle `j` matches.
  __attribute__((target("avx2"))) std::uint32_t of(std::size_t j, const Unit* h) const {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(
        probe_matches(load256(h + probes[j].first), h, probes[j], firsts[j], seconds[j])));
  }
};

// The first round of kLanes starts from `i` on, before `end`, where some needle's probes match,
// else the first start that no round reached. Rounds go two at a time while two fit, as the
// exact search's do, one test and branch for both; the returned round is then the first of two
// when i + 2 kLanes <= end. With kVet, sets `surrogate` when the units at the first needle's first
// probe of a round hold one: one load in 32 bytes is checked, and the units [i + probes.first,
// returned + probes.first) are. Calls nothing, which would spill its vectors.
template <class Unit, std::size_t kCount, bool kVet>
__attribute__((target("avx2"))) std::size_t next_probe_round(const Unit* h, std::size_t i,
                                                             std::size_t end,
                                                             const ProbedNeedle<Unit>* needles,
                                                             bool& surrogate) {
  constexpr std::size_t kLanes = 32 / sizeof(Unit);
  constexpr bool kChecks = kVet && sizeof(Unit) > 1;  // Latin-1 holds no surrogates
  const ProbeRound<Unit, kCount> round(needles);
  const std::size_t first = round.probes[0].first;
  __m256i lowest = _mm256_set1_epi8(-1);
  for (; i + 2 * kLanes <= end; i += 2 * kLanes) {
    // The loads the first probe needs anyway are the ones checked.
    __m256i low = load256(h + i + first);
    __m256i high = load256(h + i + kLanes + first);
    in_register(low);
    in_register(high);
    if constexpr (kChecks) {
      lowest = lower_by_surrogates<Unit>(lowest, low);
      lowest = lower_by_surrogates<Unit>(lowest, high);
    }
    const __m256i found = _mm256_or_si256(round.any(low, h + i), round.any(high, h + i + kLanes));
    if (!_mm256_testz_si256(found, found)) break;
  }
  // Fewer than two rounds before `end`: at most one is left.
  if (i + 2 * kLanes > end && i + kLanes <= end) {
    const __m256i probed = load256(h + i + first);
    if constexpr (kChecks) lowest = lower_by_surrogates<Unit>(lowest, probed);
    const __m256i found = round.any(probed, h + i);
    if (_mm256_testz_si256(found, found)) i += kLanes;
  }
  if constexpr (kChecks) {
    if (saw_surrogate<Unit>(lowest)) surrogate = true;
  }
  return i;
}

// The probes of `kCount` needles at kLanes starts a round, and the round's units checked on the
// way: the units are in cache for both. Returns the first start left to the scalar loop, or npos
// on a surrogate (`vet` is false for Latin-1).
template <class Unit, std::size_t kCount>
__attribute__((target("avx2"))) std::size_t scan_probes_avx2(
    const Unit* h, std::size_t n, std::size_t i, std::size_t to,
    std::span<const ProbedNeedle<Unit>> needles, bool vet,
    const std::function<void(std::size_t, std::size_t)>& on_candidate) {
  constexpr std::size_t kLanes = 32 / sizeof(Unit);
  std::size_t reach = 0;  // units a round reads past its last start
  for (const ProbedNeedle<Unit>& needle : needles) reach = std::max(reach, needle.probes.second);
  // Every load of a round stays inside the haystack, and the rounds before `to`.
  const std::size_t end = std::min(to, n - std::min(n, reach));
  bool surrogate = false;
  for (;;) {
    // A loop of its own for each, so that the one that does not check has no test for it.
    i = vet ? next_probe_round<Unit, kCount, true>(h, i, end, needles.data(), surrogate)
            : next_probe_round<Unit, kCount, false>(h, i, end, needles.data(), surrogate);
    if (surrogate) return npos;
    if (i + kLanes > end) return i;
    const std::size_t rounds = i + 2 * kLanes <= end ? 2 : 1;
    const ProbeRound<Unit, kCount> round(needles.data());
    // A byte a unit's byte, over both rounds.
    std::uint64_t masks[kCount];
    std::uint64_t any = 0;
    for (std::size_t j = 0; j < kCount; ++j) {
      masks[j] = round.of(j, h + i);
      if (rounds == 2) masks[j] |= std::uint64_t{round.of(j, h + i + kLanes)} << 32;
      any |= masks[j];
    }
    while (any != 0) {
      const auto bit = static_cast<unsigned>(std::countr_zero(any));
      const std::size_t at = i + bit / sizeof(Unit);
      for (std::size_t j = 0; j < kCount; ++j) {
        if ((masks[j] >> bit & 1) != 0 && at + needles[j].size <= n) on_candidate(j, at);
      }
      any &= ~unit_bits<Unit, std::uint64_t>(bit);
    }
    i += rounds * kLanes;
  }
}

#endif

// The starts a word of where_unit covers: a bit for each of a unit's bytes, as a vector's byte
// mask has them.
template <class Unit>
constexpr std::size_t kStartsPerWord = 64 / sizeof(Unit);

#if VESKAL_X86

template <class Unit>
__attribute__((target("avx2"))) void where_unit_avx2(const Unit* from, Unit unit,
                                                     std::uint64_t* words, std::size_t count) {
  constexpr std::size_t kLanes = 32 / sizeof(Unit);
  const __m256i splat = splat256(unit);
  for (std::size_t w = 0; w < count; ++w, from += 2 * kLanes) {
    const auto low =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(equal256<Unit>(load256(from), splat)));
    const auto high = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(equal256<Unit>(load256(from + kLanes), splat)));
    words[w] = low | std::uint64_t{high} << 32;
  }
}

// Every processor with AVX2 has the popcnt instruction, which the portable code may not use.
__attribute__((target("avx2,popcnt"))) std::size_t count_together_popcnt(const std::uint64_t* a,
                                                                         const std::uint64_t* b,
                                                                         std::size_t count) {
  std::size_t together = 0;
  for (std::size_t w = 0; w < count; ++w) together += std::popcount(a[w] & b[w]);
  return together;
}

#endif

// The bits set in both of the `count` words from `a` and `b` on.
std::size_t count_together(const std::uint64_t* a, const std::uint64_t* b, std::size_t count) {
#if VESKAL_X86
  if (has_avx2()) return count_together_popcnt(a, b, count);
#endif
  std::size_t together = 0;
  for (std::size_t w = 0; w < count; ++w) together += std::popcount(a[w] & b[w]);
  return together;
}

// The bits of the `count` words from `words` on are set for the starts t from 0 on where
// sample[t + offset] == unit.
template <class Unit>
void where_unit(const Unit* sample, std::size_t offset, Unit unit, std::uint64_t* words,
                std::size_t count) {
#if VESKAL_X86
  if (has_avx2()) {
    where_unit_avx2(sample + offset, unit, words, count);
    return;
  }
#endif
  for (std::size_t w = 0; w < count; ++w) {
    std::uint64_t word = 0;
    for (std::size_t b = 0; b < kStartsPerWord<Unit>; ++b) {
      if (sample[offset + w * kStartsPerWord<Unit> + b] == unit) {
        word |= ((std::uint64_t{1} << sizeof(Unit)) - 1) << (b * sizeof(Unit));
      }
    }
    words[w] = word;
  }
}

}  // namespace

template <class Unit>
Probes sampled_probes(Units<Unit> needle, Units<Unit> sample, std::optional<Unit> skip) {
  // The rarest units in prose are the candidates: prose predicts each unit well, a sample of
  // a few thousand units only the pairs that words and phrases make common.
  constexpr std::size_t kCandidates = 6;
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < needle.size(); ++i) {
    if (needle[i] != skip) at.push_back(i);
  }
  std::stable_sort(at.begin(), at.end(), [&](std::size_t x, std::size_t y) {
    return rarity(needle[x]) > rarity(needle[y]);
  });
  const std::size_t count = std::min(at.size(), kCandidates);
  at.resize(count);
  std::sort(at.begin(), at.end());
  const std::size_t words = sample.size() < needle.size()
                                ? 0
                                : (sample.size() - needle.size() + 1) / kStartsPerWord<Unit>;
  if (count < 2 || words == 0) return probes(needle);
  std::vector<std::uint64_t> seen(count * words);
  for (std::size_t c = 0; c < count; ++c) {
    where_unit(sample.data(), at[c], needle[at[c]], seen.data() + c * words, words);
  }
  Probes best = probes(needle);
  std::size_t fewest = std::numeric_limits<std::size_t>::max();
  for (std::size_t x = 0; x < count; ++x) {
    for (std::size_t y = x + 1; y < count; ++y) {
      const std::uint64_t* a = seen.data() + x * words;
      const std::uint64_t* b = seen.data() + y * words;
      const std::size_t together = count_together(a, b, words);
      if (together < fewest) {
        fewest = together;
        best = {at[x], at[y]};
      }
    }
  }
  return best;
}

template Probes sampled_probes(Units<Latin1>, Units<Latin1>, std::optional<Latin1>);
template Probes sampled_probes(Units<char16_t>, Units<char16_t>, std::optional<char16_t>);
template Probes sampled_probes(Units<char32_t>, Units<char32_t>, std::optional<char32_t>);

template <class Unit>
bool scan_probes(Units<Unit> haystack, std::size_t from, std::size_t to,
                 std::span<const ProbedNeedle<Unit>> needles, bool vet,
                 const std::function<void(std::size_t, std::size_t)>& on_candidate) {
  vet = vet && sizeof(Unit) > 1;
  if (needles.empty()) return !vet || !has_surrogate(haystack.subspan(from, to - from));
  std::size_t i = from;
#if VESKAL_X86
  if (has_avx2() && needles.size() <= kMaxProbedNeedles) {
    // The vectors check the units from the first probe on; these are the ones before.
    const std::size_t head = std::min(to, from + needles[0].probes.first);
    if (vet && has_surrogate(haystack.subspan(from, head - from))) return false;
    // One loop a count of needles, so that the compiler unrolls the inner one.
    constexpr std::array kScans = {&scan_probes_avx2<Unit, 1>, &scan_probes_avx2<Unit, 2>,
                                   &scan_probes_avx2<Unit, 3>, &scan_probes_avx2<Unit, 4>};
    static_assert(kScans.size() == kMaxProbedNeedles);
    i = kScans[needles.size() - 1](haystack.data(), haystack.size(), i, to, needles, vet,
                                   on_candidate);
    if (i == npos) return false;
  }
#endif
  return scan_probes_scalar(haystack.data(), haystack.size(), i, to, needles, vet, on_candidate);
}

template bool scan_probes(Units<Latin1>, std::size_t, std::size_t,
                          std::span<const ProbedNeedle<Latin1>>, bool,
                          const std::function<void(std::size_t, std::size_t)>&);
template bool scan_probes(Units<char16_t>, std::size_t, std::size_t,
                          std::span<const ProbedNeedle<char16_t>>, bool,
                          const std::function<void(std::size_t, std::size_t)>&);
template bool scan_probes(Units<char32_t>, std::size_t, std::size_t,
                          std::span<const ProbedNeedle<char32_t>>, bool,
                          const std::function<void(std::size_t, std::size_t)>&);

#if VESKAL_X86
// Sixteen units from `p` on, one per 16-bit lane.
template <class Unit>
__attribute__((target("avx2"))) __m256i sixteen_units(const Unit* p) {
  if constexpr (sizeof(Unit) == 1) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  } else {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
}

// Per 32-bit lane, the bit of `words` at the window_hash of the window whose units are those of
// `low` and `high`, as the lowest bit.
__attribute__((target("avx2"))) __m256i marked_lanes(__m256i low, __m256i high, __m256i kept,
                                                     __m128i shift, const int* words) {
  const __m256i h = _mm256_srl_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(low, _mm256_set1_epi32(static_cast<int>(kWindowHashLow))),
                       _mm256_mullo_epi32(_mm256_and_si256(high, kept),
                                          _mm256_set1_epi32(static_cast<int>(kWindowHashHigh)))),
      shift);
  const __m256i word = _mm256_i32gather_epi32(words, _mm256_srli_epi32(h, 5), 4);
  return _mm256_srlv_epi32(word, _mm256_and_si256(h, _mm256_set1_epi32(31)));
}

// Each block of 16 starts is hashed as two vectors of eight windows, the even starts' and the odd
// ones', whose 32-bit lanes hold two units each; the bitmap's words are gathered, not loaded
// one start at a time.
template <class Unit>
__attribute__((target("avx2"))) void marked_starts_avx2(const Unit* p, std::size_t at,
                                                        std::size_t stop,
                                                        const std::uint64_t* bitmap, unsigned bits,
                                                        bool three_units,
                                                        std::vector<std::size_t>& starts) {
  const __m256i kept = _mm256_set1_epi32(three_units ? 0xFFFF : -1);
  const __m256i lowest = _mm256_set1_epi32(1);
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(32 - bits));
  const auto* words = reinterpret_cast<const int*>(bitmap);
  // The 8 bits of `lanes` at the even bits of 16.
  const auto spread = [](unsigned lanes) {
    lanes = (lanes | lanes << 4) & 0x0F0Fu;
    lanes = (lanes | lanes << 2) & 0x3333u;
    return (lanes | lanes << 1) & 0x5555u;
  };
  for (; at < stop; at += 16) {
    const Unit* q = p + at;
    const __m256i even = marked_lanes(sixteen_units(q), sixteen_units(q + 2), kept, shift, words);
    const __m256i odd =
        marked_lanes(sixteen_units(q + 1), sixteen_units(q + 3), kept, shift, words);
    if (_mm256_testz_si256(_mm256_or_si256(even, odd), lowest)) continue;
    const auto even_lanes = static_cast<unsigned>(_mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(even, lowest), lowest))));
    const auto odd_lanes = static_cast<unsigned>(_mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(odd, lowest), lowest))));
    for (unsigned m = spread(even_lanes) | spread(odd_lanes) << 1; m != 0; m &= m - 1) {
      starts.push_back(at + static_cast<std::size_t>(std::countr_zero(m)));
    }
  }
}
#endif

template <class Unit>
std::size_t marked_starts(Units<Unit> units, std::size_t at, std::size_t to,
                          std::span<const std::uint64_t> bitmap, unsigned bits, bool three_units,
                          std::vector<std::size_t>& starts) {
#if VESKAL_X86
  if constexpr (sizeof(Unit) <= 2) {
    // A block of 16 starts reads 19 units.
    const std::size_t blocks = std::min(to, units.size() >= 3 ? units.size() - 3 : 0);
    const std::size_t stop = blocks > at ? at + (blocks - at) / 16 * 16 : at;
    if (has_avx2() && stop > at && bitmap.size() << 6 == std::size_t{1} << bits) {
      marked_starts_avx2(units.data(), at, stop, bitmap.data(), bits, three_units, starts);
      return stop;
    }
  }
#endif
  (void)units, (void)to, (void)bitmap, (void)bits, (void)three_units, (void)starts;
  return at;
}

template std::size_t marked_starts(Units<Latin1>, std::size_t, std::size_t,
                                   std::span<const std::uint64_t>, unsigned, bool,
                                   std::vector<std::size_t>&);
template std::size_t marked_starts(Units<char16_t>, std::size_t, std::size_t,
                                   std::span<const std::uint64_t>, unsigned, bool,
                                   std::vector<std::size_t>&);
template std::size_t marked_starts(Units<char32_t>, std::size_t, std::size_t,
                                   std::span<const std::uint64_t>, unsigned, bool,
                                   std::vector<std::size_t>&);

}  // namespace veskal::text
