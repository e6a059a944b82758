#include "iterator/tokens.hpp"

namespace veskal::iterator::tokens {

Tokenizer::Tokenizer(std::string_view text, std::string_view separator)
    : text_(text),
      separator_(separator),
      occurrences_(text, separator),
      separator_chars_(text::count_chars(separator)),
      ascii_until_(text::find_non_ascii(text, 0)) {}

std::uint64_t Tokenizer::count_position(std::size_t at) {
  // Counting only the bytes since the previous count keeps the whole pass linear.
  seen_ += text::count_chars(text_.substr(seen_byte_, at - seen_byte_));
  seen_byte_ = at;
  lag_ = at - seen_;
  ascii_until_ = text::find_non_ascii(text_, at);
  return seen_;
}

bool Tokenizer::next_at_occurrence(TokenSpan& span) {
  // The empty separator matches at every position: it closes the empty token (0, 0) at
  // position 0, and from there on each match lies one character past the token start, which
  // only moves the start, up to the end of the text.
  if (separator_.empty()) {
    done_ = true;
    span = {0, 0, 0, 0};
    return true;
  }
  for (std::size_t at; (at = occurrences_.next()) != text::Occurrences::npos;) {
    const std::uint64_t i = position(at);
    // An occurrence ending one character after the token start stands at the start of the
    // token (one-character separator) or one character into the previous separator: either way
    // no token ends there. An occurrence beginning deeper inside the previous separator (only
    // separators that overlap themselves at a shift of two or more) is treated the same way,
    // as a longer separator, so that no span ever starts after it ends.
    const bool ends_token = i + separator_chars_ != start_ + 1 && i >= start_;
    span = {start_, i, start_byte_, at};
    start_ = i + separator_chars_;
    start_byte_ = at + separator_.size();
    if (ends_token) return true;
  }
  done_ = true;
  if (start_byte_ == text_.size()) return false;
  span = {start_, position(text_.size()), start_byte_, text_.size()};
  return true;
}

std::vector<TokenSpan> tokenize(std::string_view text, std::string_view separator) {
  std::vector<TokenSpan> spans;
  Tokenizer tokenizer(text, separator);
  for (TokenSpan span; tokenizer.next(span);) spans.push_back(span);
  return spans;
}

TokenIterator::TokenIterator(std::string_view text, std::string_view separator,
                             std::uint64_t window)
    : text_(text), separator_(separator), tokenizer_(text, separator), window_(window) {}

bool TokenIterator::fill() {
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

std::uint64_t TokenIterator::count() const {
  std::uint64_t count = 0;
  Tokenizer tokenizer(text_, separator_);
  for (TokenSpan span; tokenizer.next(span);) ++count;
  return count;
}

std::optional<std::string> TokenIterator::fault() const {
  if (window_ != 0) return std::nullopt;
  const std::uint64_t count = this->count();
  // next() reads the first token of the window, then its last, at index + window - 1.
  const std::uint64_t index = index_ >= count ? index_ : index_ + window_ - 1;
  return "index out of bounds: the len is " + std::to_string(count) + " but the index is " +
         std::to_string(index);
}

std::uint64_t pattern_token_count(std::string_view pattern, std::string_view separator) {
  if (separator.empty()) return text::count_chars(pattern);
  // A left-to-right split cuts at the leftmost occurrence and resumes after it, so an
  // occurrence overlapping the previous cut is not a cut.
  std::uint64_t pieces = 1;
  std::size_t resume = 0;
  text::for_each_occurrence(pattern, separator, [&](std::size_t at) {
    if (at < resume) return;
    ++pieces;
    resume = at + separator.size();
  });
  return pieces;
}

std::string char_substring(std::string_view text, std::uint64_t start, std::uint64_t end) {
  // The length wraps like the unsigned difference it is: end < start takes the rest of the text.
  std::uint64_t remaining = end - start;
  std::size_t i = 0;
  for (std::uint64_t skipped = 0; skipped < start && i < text.size(); ++skipped) {
    text::decode_at(text, i);
  }
  const std::size_t begin = i;
  for (; remaining > 0 && i < text.size(); --remaining) text::decode_at(text, i);
  return std::string(text.substr(begin, i - begin));
}

}  // namespace veskal::iterator::tokens
