#pragma once

// Inline definitions for tokens.hpp: the per-token path of every token engine.

#include <bit>
#include <cstring>

namespace veskal::iterator::tokens {

namespace detail {

// Bit k set when byte k of the 64 at `p` equals `byte`. Eight bytes at a time: tokens of prose
// are a few bytes long, too short for a memchr call per token to pay off.
inline std::uint64_t byte_mask(const char* p, char byte) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  const std::uint64_t spread = 0x0101010101010101ULL * static_cast<unsigned char>(byte);
  std::uint64_t mask = 0;
  for (int j = 0; j < 8; ++j) {
    std::uint64_t word;
    std::memcpy(&word, p + 8 * j, 8);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    word ^= spread;
    // Bit 7 of each byte that is zero, and of no other (no carry crosses a byte); the product
    // then gathers the bit of byte t alone into bit 49 + t.
    const std::uint64_t zero = ~(((word & kLow7) + kLow7) | word | kLow7) >> 7;
    mask |= (((zero * 0x0002040810204081ULL) >> 49) & 0xFF) << (8 * j);
  }
  return mask;
}

}  // namespace detail

inline std::uint64_t Tokenizer::position(std::size_t at) {
  if (at <= ascii_until_) return at - lag_;
  return count_position(at);
}

inline void Tokenizer::load_block(std::size_t at) {
  block_ = at & ~std::size_t{63};
  if (block_ + 64 <= text_.size()) {
    separators_ = detail::byte_mask(text_.data() + block_, separator_[0]);
    return;
  }
  // The last, partial block: the bytes past the end count as separators, ending the last token.
  separators_ = ~std::uint64_t{0};
  for (std::size_t k = 0; block_ + k < text_.size(); ++k) {
    if (text_[block_ + k] != separator_[0]) separators_ &= ~(std::uint64_t{1} << k);
  }
}

// A one-byte separator is one character, so the tokens are the maximal runs of other bytes.
inline bool Tokenizer::next_at_byte(TokenSpan& span) {
  std::size_t begin = start_byte_;
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
  const std::uint64_t start = position(begin);
  span = {start, position(end), begin, end};
  start_byte_ = end;
  return true;
}

inline bool Tokenizer::next(TokenSpan& span) {
  if (done_) return false;
  if (separator_.size() == 1) return next_at_byte(span);
  return next_at_occurrence(span);
}

inline bool TokenIterator::next(Item& item) {
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
    item = {span.start, span.end, text_.substr(span.byte_start, span.byte_end - span.byte_start)};
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
  item = {first.start, last.end, text_.substr(first.byte_start, last.byte_end - first.byte_start)};
  return true;
}

}  // namespace veskal::iterator::tokens
