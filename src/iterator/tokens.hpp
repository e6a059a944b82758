#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text.hpp"

namespace veskal::iterator::tokens {

// A token: character positions in the text (end exclusive) and the matching byte offsets.
struct TokenSpan {
  std::uint64_t start;
  std::uint64_t end;
  std::size_t byte_start;
  std::size_t byte_end;

  friend bool operator==(const TokenSpan&, const TokenSpan&) = default;
};

// One run of consecutive tokens: its character span and its text, separators included,
// as a view into the iterated text.
struct Item {
  std::uint64_t start;
  std::uint64_t end;
  std::string_view text;
};

// Produces the token spans of `text`, cut at every occurrence (overlapping ones included) of
// `separator`, one at a time in order. An occurrence that begins inside the previous separator
// extends it, so start <= end always. Text and separator must outlive it.
class Tokenizer {
 public:
  Tokenizer(std::string_view text, std::string_view separator);

  // The next token span, or nothing once the text is exhausted (and ever after).
  std::optional<TokenSpan> next();

 private:
  std::string_view text_;
  std::string_view separator_;
  text::Occurrences occurrences_;
  std::uint64_t separator_chars_;
  std::uint64_t start_ = 0;        // Where the current token starts, in characters...
  std::size_t start_byte_ = 0;     // ...and in bytes.
  std::uint64_t seen_ = 0;         // The character position of byte seen_byte_.
  std::size_t seen_byte_ = 0;
  bool done_ = false;
};

// All token spans of `text` under `separator` (see Tokenizer).
std::vector<TokenSpan> tokenize(std::string_view text, std::string_view separator);

// Hands out every run of `window` consecutive tokens of a text, in order of the first token.
// Tokens are cut as the runs are handed out, so memory stays proportional to the window.
// The text and the separator must outlive the iterator.
class TokenIterator {
 public:
  // Cuts `text` into tokens at `separator`; `window` is the number of tokens per item.
  TokenIterator(std::string_view text, std::string_view separator, std::uint64_t window);

  // The next run, or nothing once fewer than `window` tokens remain. Requires fault() to be empty.
  std::optional<Item> next();

  // The index fault that the next call of next() would hit (only with a window of 0), if any.
  std::optional<std::string> fault() const;

  // The number of tokens in the whole text; a separate pass over it.
  std::uint64_t count() const;

 private:
  std::string_view text_;
  std::string_view separator_;
  Tokenizer tokenizer_;
  std::vector<TokenSpan> ring_;  // The current run's spans; the first is at ring_[head_].
  std::size_t head_ = 0;
  std::uint64_t index_ = 0;
  std::uint64_t window_;
  bool done_ = false;
};

// The number of tokens of `pattern` under `separator` (left-to-right split, empty pieces count;
// with an empty separator, the number of characters). This is the window of the token engines.
std::uint64_t pattern_token_count(std::string_view pattern, std::string_view separator);

// The characters start..end of `text` (fewer where the text ends first).
std::string char_substring(std::string_view text, std::uint64_t start, std::uint64_t end);

}  // namespace veskal::iterator::tokens
