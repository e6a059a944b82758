#pragma once

// Template definitions for tokens.hpp: the per-token path of every token engine.

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veskal::iterator::tokens {

namespace detail {

// Bit k set when unit k of the 64 at `p` equals `unit`.
template <class Unit>
std::uint64_t unit_mask(const Unit* p, Unit unit) {
  if constexpr (sizeof(Unit) == 1) {
    // Eight bytes at a time: tokens of prose are a few bytes long, too short for a memchr call
    // per token to pay off.
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t spread = 0x0101010101010101ULL * unit;
    std::uint64_t mask = 0;
    for (int j = 0; j < 8; ++j) {
      std::uint64_t word;
      std::memcpy(&word, p + 8 * j, 8);
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      word ^= spread;
      // Bit 7 of each byte that is zero, and of no other (no carry crosses a byte); the
      // product then gathers the bit of byte t alone into bit 49 + t.
      const std::uint64_t zero = ~(((word & kLow7) + kLow7) | word | kLow7) >> 7;
      mask |= (((zero * 0x0002040810204081ULL) >> 49) & 0xFF) << (8 * j);
    }
    return mask;
  } else {
    std::uint64_t mask = 0;
    for (unsigned k = 0; k < 64; ++k) mask |= std::uint64_t{p[k] == unit} << k;
    return mask;
  }
}

// Bit k set when unit k of the 64 at `p` equals `a` or `b` (which may be equal). Blocks are
// marked once per 64 units of every text searched by tokens, so this is the tokenizer's hot loop.
template <class Unit>
std::uint64_t units_mask(const Unit* p, Unit a, Unit b) {
#if defined(__SSE2__)
  // The compiler turns neither loop above into vector compares and a movemask; 16 units per
  // movemask at every width.
  std::uint64_t mask = 0;
  if constexpr (sizeof(Unit) == 1) {
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    for (int j = 0; j < 4; ++j) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
      const __m128i eq = _mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb));
      mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << (16 * j);
    }
  } else if constexpr (sizeof(Unit) == 2) {
    const __m128i va = _mm_set1_epi16(static_cast<short>(a));
    const __m128i vb = _mm_set1_epi16(static_cast<short>(b));
    for (int j = 0; j < 4; ++j) {
      const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
      const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j + 8));
      // Each lane is 0 or -1, which the signed saturating pack keeps as a byte of 0 or -1.
      const __m128i eq =
          _mm_packs_epi16(_mm_or_si128(_mm_cmpeq_epi16(lo, va), _mm_cmpeq_epi16(lo, vb)),
                          _mm_or_si128(_mm_cmpeq_epi16(hi, va), _mm_cmpeq_epi16(hi, vb)));
      mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << (16 * j);
    }
  } else {
    const __m128i va = _mm_set1_epi32(static_cast<int>(a));
    const __m128i vb = _mm_set1_epi32(static_cast<int>(b));
    const auto eq4 = [&](const Unit* q) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      return _mm_or_si128(_mm_cmpeq_epi32(v, va), _mm_cmpeq_epi32(v, vb));
    };
    for (int j = 0; j < 4; ++j) {
      const Unit* q = p + 16 * j;
      const __m128i eq = _mm_packs_epi16(_mm_packs_epi32(eq4(q), eq4(q + 4)),
                                         _mm_packs_epi32(eq4(q + 8), eq4(q + 12)));
      mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))) << (16 * j);
    }
  }
  return mask;
#else
  const std::uint64_t mask = unit_mask(p, a);
  return a == b ? mask : mask | unit_mask(p, b);
#endif
}

}  // namespace detail

template <class Unit>
Tokenizer<Unit>::Tokenizer(text::Units<Unit> text, const Separator<Unit>& separator)
    : text_(text),
      separator_(separator.units()),
      absent_(separator.absent()),
      line_feeds_(separator.line_feeds),
      occurrences_(text, separator.units()) {}

template <class Unit>
void Tokenizer<Unit>::load_block(std::size_t at) {
  block_ = at & ~std::size_t{63};
  if (block_ + 64 <= text_.size()) {
    separators_ = detail::units_mask(text_.data() + block_, separator_[0],
                                     line_feeds_ ? Unit{'\n'} : separator_[0]);
    return;
  }
  // The last, partial block: the units past the end count as separators, ending the last token.
  separators_ = ~std::uint64_t{0};
  for (std::size_t k = 0; block_ + k < text_.size(); ++k) {
    const Unit u = text_[block_ + k];
    if (u != separator_[0] && !(line_feeds_ && u == Unit{'\n'})) {
      separators_ &= ~(std::uint64_t{1} << k);
    }
  }
}

// A one-unit separator is one character, so the tokens are the maximal runs of other units.
template <class Unit>
inline bool Tokenizer<Unit>::next_at_unit(TokenSpan& span) {
  std::size_t begin = start_;
  for (;;) {
    if (begin >= text_.size()) {
      done_ = true;
      return false;
    }
    if ((begin & ~std::size_t{63}) != block_) load_block(begin);
    const std::uint64_t others = ~separators_ >> (begin & 63);
    if (others != 0) {
      begin += static_cast<std::size_t>(std::countr_zero(others));
      break;
    }
    begin = block_ + 64;
  }
  std::size_t end = begin + 1;
  for (;;) {
    if ((end & ~std::size_t{63}) != block_) load_block(end);
    // Past the text's end every bit is set, so this stops at the end at the latest.
    const std::uint64_t seps = separators_ >> (end & 63);
    if (seps != 0) {
      end += static_cast<std::size_t>(std::countr_zero(seps));
      break;
    }
    end = block_ + 64;
  }
  span = {begin, end};
  start_ = end;
  return true;
}

template <class Unit>
bool Tokenizer<Unit>::next_at_occurrence(TokenSpan& span) {
  // The empty separator matches at every position: it closes the empty token (0, 0) at
  // position 0, and from there on each match lies one character past the token start, which
  // only moves the start, up to the end of the text.
  if (separator_.empty() && !absent_) {
    done_ = true;
    span = {0, 0};
    return true;
  }
  const std::uint64_t m = separator_.size();
  for (std::size_t at; !absent_ && (at = occurrences_.next()) != text::npos;) {
    // An occurrence ending one character after the token start stands at the start of the
    // token (one-character separator) or one character into the previous separator: either way
    // no token ends there. An occurrence beginning deeper inside the previous separator (only
    // separators that overlap themselves at a shift of two or more) is treated the same way,
    // as a longer separator, so that no span ever starts after it ends.
    const bool ends_token = at + m != start_ + 1 && at >= start_;
    span = {start_, at};
    start_ = at + m;
    if (ends_token) return true;
  }
  done_ = true;
  if (start_ == text_.size()) return false;
  span = {start_, text_.size()};
  return true;
}

template <class Unit>
inline bool Tokenizer<Unit>::next(TokenSpan& span) {
  if (done_) return false;
  if (separator_.size() == 1) return next_at_unit(span);
  return next_at_occurrence(span);
}

template <class Unit>
TokenIterator<Unit>::TokenIterator(text::Units<Unit> text, const Separator<Unit>& separator,
                                   std::uint64_t window)
    : text_(text), separator_(separator), tokenizer_(text, separator), window_(window) {}

template <class Unit>
bool TokenIterator<Unit>::fill() {
  // First call with a window of several tokens: gather a whole window.
  while (ring_.size() < window_) {
    TokenSpan span;
    if (!tokenizer_.next(span)) {
      done_ = true;
      return false;
    }
    ring_.push_back(span);
  }
  return true;
}

template <class Unit>
std::uint64_t TokenIterator<Unit>::count() const {
  std::uint64_t count = 0;
  Tokenizer<Unit> tokenizer(text_, separator_);
  for (TokenSpan span; tokenizer.next(span);) ++count;
  return count;
}

template <class Unit>
std::optional<std::string> TokenIterator<Unit>::fault() const {
  if (window_ != 0) return std::nullopt;
  const std::uint64_t count = this->count();
  // next() reads the first token of the window, then its last, at index + window - 1.
  const std::uint64_t index = index_ >= count ? index_ : index_ + window_ - 1;
  return "index out of bounds: the len is " + std::to_string(count) + " but the index is " +
         std::to_string(index);
}

template <class Unit>
inline bool TokenIterator<Unit>::next(Item<Unit>& item) {
  // A window of 0 would read the token before the first; fault() reports it, and this guard
  // keeps a caller that did not ask from reading out of bounds.
  if (done_ || window_ == 0) return false;
  if (window_ == 1) {
    TokenSpan span;
    if (!tokenizer_.next(span)) {
      done_ = true;
      return false;
    }
    ++index_;
    item = {span.start, span.end, text_.subspan(span.start, span.end - span.start)};
    return true;
  }
  if (ring_.size() < window_) {
    if (!fill()) return false;
  } else {
    // Slide by one token: the new last token replaces the old first, in place.
    if (!tokenizer_.next(ring_[head_])) {
      done_ = true;
      return false;
    }
    head_ = head_ + 1 == ring_.size() ? 0 : head_ + 1;
  }
  const TokenSpan& first = ring_[head_];
  const TokenSpan& last = ring_[head_ == 0 ? ring_.size() - 1 : head_ - 1];
  ++index_;
  item = {first.start, last.end, text_.subspan(first.start, last.end - first.start)};
  return true;
}

}  // namespace veskal::iterator::tokens
