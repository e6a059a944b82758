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

  // Stores the next token span in `span`; false once the text is exhausted (and ever after),
  // in which case `span` may have been overwritten.
  bool next(TokenSpan& span);

 private:
  bool next_at_byte(TokenSpan& span);
  // Marks the separators of the 64-byte block that holds byte `at`.
  void load_block(std::size_t at);
  bool next_at_occurrence(TokenSpan& span);
  // The character position of byte `at`, which must not lie before the previous one asked.
  std::uint64_t position(std::size_t at);
  std::uint64_t count_position(std::size_t at);

  std::string_view text_;
  std::string_view separator_;
  text::Occurrences occurrences_;
  std::uint64_t separator_chars_;
  std::uint64_t start_ = 0;     // Where the current token starts, in characters...
  std::size_t start_byte_ = 0;  // ...and in bytes.
  std::uint64_t seen_ = 0;      // The character position of byte seen_byte_.
  std::size_t seen_byte_ = 0;
  // Up to byte ascii_until_ every byte past seen_byte_ is ASCII: a position there is its byte
  // offset less lag_, the bytes - characters of what lies before.
  std::size_t ascii_until_;
  std::size_t lag_ = 0;
  std::size_t block_ = 1;         // The block of separators_ (a multiple of 64 once loaded).
  std::uint64_t separators_ = 0;  // Bit k: byte block_ + k is the one-byte separator.
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

  // Stores the next run in `item`; false once fewer than `window` tokens remain (and ever
  // after). Requires fault() to be empty.
  bool next(Item& item);

  // The index fault that the next call of next() would hit (only with a window of 0), if any.
  std::optional<std::string> fault() const;

  // The number of tokens in the whole text; a separate pass over it.
  std::uint64_t count() const;

 private:
  bool fill();

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

#include "iterator/tokens_inl.hpp"
