#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../preprocessor.hpp"
#include "../text.hpp"

namespace veskal::iterator::tokens {

// A token: character positions in the text (end exclusive).
struct TokenSpan {
  std::uint64_t start;
  std::uint64_t end;

  friend bool operator==(const TokenSpan&, const TokenSpan&) = default;
};

// One run of consecutive tokens: its character span and its text, separators included,
// as a view into the iterated text.
template <class Unit>
struct Item {
  std::uint64_t start;
  std::uint64_t end;
  text::Units<Unit> text;
};

// A separator as units of the text's width. One holding a character that the text's width
// cannot store never occurs in it: it is `absent`, and its units are meaningless.
// With `line_feeds`, the separator " " also cuts at a line feed: the text was lent with the line
// feeds that normalisation would have made spaces.
template <class Unit>
struct Separator {
  Separator(std::u32string_view chars,  // NOLINT: implicit, from the normalised separator
            bool cut_line_feeds = false)
      : owned(text::narrow<Unit>(chars)), line_feeds(cut_line_feeds && chars == U" ") {}

  text::Units<Unit> units() const {
    return owned ? text::Units<Unit>(*owned) : text::Units<Unit>();
  }
  bool absent() const { return !owned; }
  // True when the one-unit separator cuts at `u`.
  bool cuts_at(Unit u) const { return owned->front() == u || (line_feeds && u == Unit{'\n'}); }

  std::optional<std::vector<Unit>> owned;
  bool line_feeds;
};

// Produces the token spans of `text`, cut at every occurrence (overlapping ones included) of
// `separator`, one at a time in order. An occurrence that begins inside the previous separator
// extends it, so start <= end always. Text and separator must outlive it.
template <class Unit>
class Tokenizer {
 public:
  Tokenizer(text::Units<Unit> text, const Separator<Unit>& separator);

  // Stores the next token span in `span`; false once the text is exhausted (and ever after),
  // in which case `span` may have been overwritten. Inlined: called once per token, and a span
  // handed back through memory stalls the caller's wide load of it.
  [[gnu::always_inline]] bool next(TokenSpan& span);

 private:
  [[gnu::always_inline]] bool next_at_unit(TokenSpan& span);
  // Marks the separators of the 64-unit block that holds unit `at`.
  void load_block(std::size_t at);
  bool next_at_occurrence(TokenSpan& span);

  text::Units<Unit> text_;
  text::Units<Unit> separator_;
  bool absent_;
  bool line_feeds_;
  text::Occurrences<Unit> occurrences_;
  std::uint64_t start_ = 0;       // Where the current token starts.
  std::size_t block_ = 1;         // The block of separators_ (a multiple of 64 once loaded).
  std::uint64_t separators_ = 0;  // Bit k: unit block_ + k is the one-unit separator.
  bool done_ = false;
};

// All token spans of `text` under `separator` (see Tokenizer).
template <class Unit>
std::vector<TokenSpan> tokenize(text::Units<Unit> text, const Separator<Unit>& separator) {
  std::vector<TokenSpan> spans;
  Tokenizer<Unit> tokenizer(text, separator);
  for (TokenSpan span; tokenizer.next(span);) spans.push_back(span);
  return spans;
}

// Hands out every run of `window` consecutive tokens of a text, in order of the first token.
// Tokens are cut as the runs are handed out, so memory stays proportional to the window.
// The text and the separator must outlive the iterator.
template <class Unit>
class TokenIterator {
 public:
  // Cuts `text` into tokens at `separator`; `window` is the number of tokens per item.
  TokenIterator(text::Units<Unit> text, const Separator<Unit>& separator, std::uint64_t window);

  // Stores the next run in `item`; false once fewer than `window` tokens remain (and ever
  // after). Requires fault() to be empty. Inlined into the engines' loops for the same reason
  // as Tokenizer::next.
  [[gnu::always_inline]] bool next(Item<Unit>& item);

  // The index fault that the next call of next() would hit (only with a window of 0), if any.
  std::optional<std::string> fault() const;

  // The number of tokens in the whole text; a separate pass over it.
  std::uint64_t count() const;

 private:
  bool fill();

  text::Units<Unit> text_;
  const Separator<Unit>& separator_;
  Tokenizer<Unit> tokenizer_;
  std::vector<TokenSpan> ring_;  // The current run's spans; the first is at ring_[head_].
  std::size_t head_ = 0;
  std::uint64_t index_ = 0;
  std::uint64_t window_;
  bool done_ = false;
};

// A token search's pattern, separator and text, normalised. Where a line feed and a space cut,
// trim and score alike, the caller's text is lent as it is; `line_feeds` then tells whether its
// line feeds must cut as the separator " " does. With `surrogate`, the text is checked for lone
// surrogates as preprocessor::normalise says, except a lent text when the engine `reads_lent`:
// it checks the text itself, and compares line feeds as spaces, so it is lent the text for a
// pattern with inner white space too (`spaced` then tells it to).
struct Inputs {
  std::u32string pattern;
  std::u32string separator;
  preprocessor::Normalised text;
  bool line_feeds;
  bool spaced;
};

Inputs normalise(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                 bool case_insensitive, bool special_char_insensitive, bool* surrogate = nullptr,
                 bool reads_lent = false);

// The number of tokens of `pattern` under `separator` (left-to-right split, empty pieces count;
// with an empty separator, the number of characters). This is the window of the token engines.
std::uint64_t pattern_token_count(std::u32string_view pattern, std::u32string_view separator);

}  // namespace veskal::iterator::tokens

#include "tokens_inl.hpp"
