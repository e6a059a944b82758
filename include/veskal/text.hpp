#pragma once

// Texts as arrays of code units, one character each, and the helpers every module shares.
// A text is stored at the narrowest of three widths that holds its characters, as CPython
// stores a str: Latin-1 bytes, UCS-2 or UCS-4. A character position is an index, so nothing is
// ever counted or decoded. Patterns arrive as UTF-8, which the UTF-8 helpers below read.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace veskal::text {

// A Latin-1 code unit: the byte is the code point (U+0000..U+00FF). Latin-1 bytes get a type of
// their own so that a `std::string_view`, which this code reads as UTF-8, never stands for them.
using Latin1 = std::uint8_t;

// The code units of a text: Latin1, char16_t (UCS-2: every unit one character, no surrogate
// pairs) or char32_t (UCS-4).
template <class Unit>
using Units = std::span<const Unit>;

enum class Width : std::uint8_t { one = 1, two = 2, four = 4 };

// True when the code point `c` can be stored as one `Unit`.
template <class Unit>
constexpr bool fits(char32_t c) {
  return c <= std::numeric_limits<Unit>::max();
}

// A borrowed text of any width. The caller keeps the units alive and unchanged while it is used.
class TextView {
 public:
  TextView() = default;
  // Units of any of the three types; a template, so that strings convert to the views below
  // without ambiguity.
  template <class Unit>
  explicit TextView(Units<Unit> units)
      : data_(units.data()),
        size_(units.size()),
        width_(sizeof(Unit) == 1   ? Width::one
               : sizeof(Unit) == 2 ? Width::two
                                   : Width::four) {
    static_assert(std::is_same_v<Unit, Latin1> || std::is_same_v<Unit, char16_t> ||
                  std::is_same_v<Unit, char32_t>);
  }
  // Every unit one character; a surrogate pair counts as two characters.
  TextView(std::u16string_view s) : TextView(Units<char16_t>(s.data(), s.size())) {}  // NOLINT
  TextView(std::u32string_view s) : TextView(Units<char32_t>(s.data(), s.size())) {}  // NOLINT

  static TextView latin1(const Latin1* data, std::size_t size) {
    return TextView(Units<Latin1>(data, size));
  }

  Width width() const { return width_; }
  // The number of characters.
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const void* data() const { return data_; }

  // `f(Units<Unit>)` for the text's own unit type: engines dispatch on the width once per call.
  template <class F>
  decltype(auto) visit(F&& f) const {
    switch (width_) {
      case Width::one:
        return f(Units<Latin1>(static_cast<const Latin1*>(data_), size_));
      case Width::two:
        return f(Units<char16_t>(static_cast<const char16_t*>(data_), size_));
      case Width::four:
        break;
    }
    return f(Units<char32_t>(static_cast<const char32_t*>(data_), size_));
  }

 private:
  const void* data_ = nullptr;
  std::size_t size_ = 0;
  Width width_ = Width::one;
};

// A text that owns its units, at the narrowest width that holds them.
class OwnedText {
 public:
  OwnedText() = default;
  // The characters of `utf8`, a convenience for callers that hold UTF-8.
  static OwnedText from_utf8(std::string_view utf8);
  // `chars` at the narrowest width that holds them.
  static OwnedText narrowest(std::u32string_view chars);
  // `chars` at `width`, or nothing when one of them does not fit.
  static std::optional<OwnedText> of_width(std::u32string_view chars, Width width);
  // `chars` at every width that holds them, narrowest first: a search must find the same in each.
  static std::vector<OwnedText> every_width(std::u32string_view chars);

  TextView view() const;

 private:
  std::variant<std::vector<Latin1>, std::u16string, std::u32string> units_;
};

// The largest code point of `units`, 0 when empty.
template <class Unit>
char32_t max_char(Units<Unit> units);

// True for the characters of the Unicode White_Space property.
[[gnu::always_inline]] constexpr bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// `u` as a search that reads line feeds as spaces reads it.
template <class Unit>
constexpr Unit line_feed_as_space(Unit u) {
  return u == Unit{'\n'} ? Unit{' '} : u;
}

// `s` without Unicode White_Space at either end; a view into `s`.
template <class Unit>
Units<Unit> trim(Units<Unit> s) {
  std::size_t begin = 0;
  while (begin < s.size() && is_white_space(s[begin])) ++begin;
  std::size_t end = s.size();
  while (end > begin && is_white_space(s[end - 1])) --end;
  return s.subspan(begin, end - begin);
}

inline std::u32string_view trim(std::u32string_view s) {
  const Units<char32_t> t = trim(Units<char32_t>(s.data(), s.size()));
  return {t.data(), t.size()};
}

// True when `units` holds a surrogate code point (U+D800..U+DFFF), which no UTF-8 encodes.
template <class Unit>
bool has_surrogate(Units<Unit> units);

// True when `s` holds a White_Space character.
inline bool has_white_space(std::u32string_view s) {
  for (const char32_t c : s) {
    if (is_white_space(c)) return true;
  }
  return false;
}

// `chars` as units of `Unit`, or nothing when one of them does not fit: such a needle cannot
// occur in a text of that width.
template <class Unit>
std::optional<std::vector<Unit>> narrow(std::u32string_view chars) {
  std::vector<Unit> out(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (!fits<Unit>(chars[i])) return std::nullopt;
    out[i] = static_cast<Unit>(chars[i]);
  }
  return out;
}

template <class Unit>
bool equal(Units<Unit> a, Units<Unit> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Unit)) == 0);
}

// ---- UTF-8, for patterns ----

// True when `byte` starts a character (is not a UTF-8 continuation byte).
constexpr bool is_lead_byte(unsigned char byte) {
  return (byte & 0xC0) != 0x80;
}

// Number of characters in the UTF-8 `s`.
std::uint64_t count_chars(std::string_view s);

// Decodes the character that starts at byte `i` of `s` and advances `i` past it.
char32_t decode_at(std::string_view s, std::size_t& i);

// Decodes the character that ends at byte `i` of `s` (exclusive) and moves `i` back to its start.
char32_t decode_before(std::string_view s, std::size_t& i);

// All characters of `s` as code points.
std::u32string decode(std::string_view s);

// Appends the UTF-8 encoding of `c` to `out`.
void append_utf8(std::string& out, char32_t c);

// ---- substring search ----

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Two positions of a needle, first <= second, whose units a search compares before the rest.
struct Probes {
  std::size_t first;
  std::size_t second;
};

// The probes of the non-empty `needle`: its two rarest characters in prose, 0 and 0 for a needle
// of one unit.
template <class Unit>
Probes probes(Units<Unit> needle);

// Probes of `needle` for a text like `sample`: the two of its rarest units in prose that occur
// together least often at their offsets over the sample's starts, where probes() may pick two
// that a common word holds, never on a unit equal to `skip`. probes(needle) instead when fewer
// than two units are left or the sample holds too few starts (a few dozen) to tell. Costs about as
// much as scanning the sample 15 times.
template <class Unit>
Probes sampled_probes(Units<Unit> needle, Units<Unit> sample, std::optional<Unit> skip = {});

namespace detail {

// KMP failure table: border[i] is the length of the longest proper border of needle[0..i].
template <class Unit>
std::vector<std::size_t> borders(Units<Unit> needle);

}  // namespace detail

// The occurrences of the non-empty `needle` in `haystack`, overlapping ones included, one at a
// time in increasing order. Linear in the haystack for every needle. Both must outlive it.
//
// With `vet`, the haystack is also checked for surrogate code points: by the search's own vector
// loop where it has one, else a block ahead of the search, which then reads it from cache rather
// than memory a second time. The first one found ends the search (next() returns npos) and sets
// surrogate(). Once next() has returned npos the whole haystack has been checked.
//
// With `line_feeds_as_spaces`, the occurrences are those in the haystack with every line feed
// read as a space, found without copying it.
template <class Unit>
class Occurrences {
 public:
  Occurrences(Units<Unit> haystack, Units<Unit> needle, bool vet = false,
              bool line_feeds_as_spaces = false);

  // The index of the next occurrence, or npos once there is none (and ever after).
  std::size_t next();

  // True when vetting found a surrogate code point.
  bool surrogate() const { return surrogate_; }

 private:
  std::size_t next_by_automaton();
  // next() when the vector loop checks the units it searches.
  std::size_t next_checking();
  // Lets the search read up to `to`, checking that far first when vetting; false (and the
  // search over) on a surrogate.
  bool vet_to(std::size_t to);
  // Ends the search on a surrogate.
  void stop_on_surrogate();

  Units<Unit> haystack_;
  Units<Unit> needle_;
  std::size_t pos_ = 0;      // The first start not yet examined.
  std::size_t matched_ = 0;  // Units of the needle matched just before pos_ (automaton state).
  std::size_t period_ = 0;   // The needle's smallest period: occurrences lie at least this apart.
  Probes probes_{0, 0};
  // Units a vectorised search may still verify before the automaton takes over, keeping the
  // whole scan linear.
  std::size_t budget_ = 0;
  bool automaton_ = false;
  // Line feeds read as spaces, and the needle holds one of either: compared unit by unit.
  bool spaced_ = false;
  // The probes would miss line feeds read as spaces: the automaton reads the whole haystack.
  bool automaton_first_ = false;
  bool vetting_ = false;
  bool checking_ = false;  // Vetting by the vector loop, which keeps units [0, pos_) checked.
  bool surrogate_ = false;
  // Units the search may read (checked, when vetting by blocks); when checking, the starts it
  // has counted as work.
  std::size_t vetted_ = 0;
  std::vector<std::size_t> border_;  // Empty unless the automaton may run.
};

// Calls `on_match(index)` for every occurrence of the non-empty `needle` in `haystack`,
// overlapping ones included, in increasing order.
template <class Unit, class OnMatch>
void for_each_occurrence(Units<Unit> haystack, Units<Unit> needle, OnMatch&& on_match) {
  Occurrences<Unit> occurrences(haystack, needle);
  for (std::size_t at; (at = occurrences.next()) != npos;) on_match(at);
}

// ---- several needles at once ----

// True where the processor runs the 32-byte vector code below (x86 with AVX2 only); elsewhere
// scan_probes works unit by unit.
bool has_avx2();

// True where the processor compresses bytes in 64-byte vectors (x86 with AVX-512 VBMI2), and
// the vector code is on.
bool has_avx512_vbmi2();

namespace detail {

// Turns the AVX2 and AVX-512 code off, or back on where the processor has it, so that tests run
// what other machines run. Not while another thread searches.
void use_avx2(bool on);

}  // namespace detail

// A needle as scan_probes looks for it: its length, and two of its units and their offsets.
template <class Unit>
struct ProbedNeedle {
  std::size_t size;
  Probes probes;
  Unit first;   // the needle's unit at probes.first
  Unit second;  // and at probes.second
};

inline constexpr std::size_t kMaxProbedNeedles = 4;

// Calls `on_candidate(needle, at)` for every start `at` in [from, to) where a needle fits before
// the haystack's end and its two probe units are there: starts ascending, needles ascending at
// one start. One pass for all (at most kMaxProbedNeedles) needles, which reads every unit once.
// With `vet`, the units [from, to) (and perhaps a few after) are also checked for surrogate code
// points as they are read: false on one, after perhaps some of the range's candidates.
template <class Unit>
bool scan_probes(Units<Unit> haystack, std::size_t from, std::size_t to,
                 std::span<const ProbedNeedle<Unit>> needles, bool vet,
                 const std::function<void(std::size_t, std::size_t)>& on_candidate);

// ---- windows marked in a bitmap ----

// A hash of `bits` bits (12 to 32) of a window of four 16-bit units, the first in the low bits:
// two 32-bit products, so that marked_starts computes it for eight windows in one vector.
inline constexpr std::uint32_t kWindowHashLow = 0x9E3779B1u;
inline constexpr std::uint32_t kWindowHashHigh = 0x85EBCA77u;
constexpr std::uint32_t window_hash(std::uint64_t window, unsigned bits) {
  return (static_cast<std::uint32_t>(window) * kWindowHashLow +
          static_cast<std::uint32_t>(window >> 32) * kWindowHashHigh) >>
         (32 - bits);
}

// Appends to `starts`, ascending, every start in [at, stop) whose window of four units (three
// with `three_units`, the fourth read as 0) is marked in `bitmap` (2^bits bits, bit h of word
// h / 64) by window_hash, and returns `stop`: as far towards `to` as the vector code goes, `at`
// where it cannot run. The caller tests the starts from `stop` on one by one.
template <class Unit>
std::size_t marked_starts(Units<Unit> units, std::size_t at, std::size_t to,
                          std::span<const std::uint64_t> bitmap, unsigned bits, bool three_units,
                          std::vector<std::size_t>& starts);

}  // namespace veskal::text
