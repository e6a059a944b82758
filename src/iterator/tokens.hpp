#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The token spans of `text` cut at every occurrence (overlapping ones included) of `separator`.
// An occurrence that begins inside the previous separator extends it, so start <= end always.
std::vector<TokenSpan> tokenize(std::string_view text, std::string_view separator);

// Hands out every run of `window` consecutive tokens of a text, in order of the first token.
// The text must outlive the iterator.
class TokenIterator {
 public:
  // Cuts `text` into tokens at `separator`; `window` is the number of tokens per item.
  TokenIterator(std::string_view text, std::string_view separator, std::uint64_t window);

  // The next run, or nothing once fewer than `window` tokens remain. Requires fault() to be empty.
  std::optional<Item> next();

  // The index fault that the next call of next() would hit (only with a window of 0), if any.
  std::optional<std::string> fault() const;

  std::uint64_t count() const { return tokens_.size(); }

 private:
  std::string_view text_;
  std::vector<TokenSpan> tokens_;
  std::uint64_t index_ = 0;
  std::uint64_t window_;
};

// The number of tokens of `pattern` under `separator` (left-to-right split, empty pieces count;
// with an empty separator, the number of characters). This is the window of the token engines.
std::uint64_t pattern_token_count(std::string_view pattern, std::string_view separator);

// The characters start..end of `text` (fewer where the text ends first).
std::string char_substring(std::string_view text, std::uint64_t start, std::uint64_t end);

}  // namespace veskal::iterator::tokens
