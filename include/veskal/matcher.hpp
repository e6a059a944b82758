#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cancel.hpp"
#include "text.hpp"

namespace veskal::matcher {

// How a matcher searches. Each field means what the engine parameter of the same name means;
// the two optional ones choose the engine.
struct Options {
  // Set: runs of tokens (the token engines); unset: windows of characters (the raw engines).
  std::optional<std::string> tokenizer_pattern;
  bool case_insensitive = false;
  bool special_char_insensitive = false;
  // Set: within a threshold under this metric (the fuzzy engines); unset: equality.
  std::optional<std::string> metric;
  double threshold = 0.0;
  std::uint8_t threshold_kind = 0;
  // Unused by the exact token engine, which resolves no conflicts.
  std::vector<std::string> strategies;
};

// One match of one pattern: the pattern's index in the list compiled, then as `Match`.
struct Hit {
  std::size_t pattern;
  std::uint64_t start;
  std::uint64_t end;
  double score;

  friend bool operator==(const Hit&, const Hit&) = default;
};

// Why a matcher could not be built.
struct Error {
  enum class Code {
    unknown_metric,  // no metric of that name
    empty_token,     // patterns[pattern] and the tokenizer pattern are both empty: no token run
  };
  Code code;
  std::size_t pattern = 0;
};

// Many patterns compiled once and searched for together. The matches of each pattern are exactly
// those of the engine its options select, called with that pattern and the same options. Safe to
// search from several threads at once.
class Matcher {
 public:
  // The matcher, or nothing with `error` set.
  static std::unique_ptr<Matcher> compile(std::vector<std::string> patterns, Options options,
                                          Error& error);

  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;
  ~Matcher();

  // The matches of every pattern in `text`, sorted by start, then pattern, then end; nothing
  // once `check` asks to stop. With `surrogate`, `text` is also checked for surrogate code points
  // (U+D800..U+DFFF), as it is normalised where it is: on one, *surrogate is set and no match
  // returned.
  std::optional<std::vector<Hit>> find(text::TextView text, const cancel::Check& check = {},
                                       bool* surrogate = nullptr) const;

  // `find` for each text on up to `threads` threads (0: one per processor), the calling thread
  // among them, in the order of `texts`. `check` is asked on the calling thread about every
  // check.interval while they run, and its stop halts every worker. Exceptions thrown on a worker
  // are thrown here once all have stopped.
  std::optional<std::vector<std::vector<Hit>>> find_all(std::span<const text::TextView> texts,
                                                        unsigned threads,
                                                        const cancel::Check& check = {}) const;

  // Takes the hits of texts[index], on the calling thread; false stops the search. `hits` is
  // null for a text found to hold a surrogate code point, which is not searched.
  using Deliver = std::function<bool(std::size_t index, std::vector<Hit>* hits)>;

  // find_all handing each text's hits to `deliver` as soon as they are found, in no set order,
  // so that the caller's work on them overlaps the search of the rest. With `vet`, each text is
  // checked for surrogate code points, as `find` checks it, by the thread that searches it.
  // False once `check` or `deliver` stopped it, with texts left undelivered.
  bool find_each(std::span<const text::TextView> texts, unsigned threads,
                 const cancel::Check& check, const Deliver& deliver, bool vet = false) const;

 private:
  struct Impl;
  explicit Matcher(std::unique_ptr<const Impl> impl);

  std::unique_ptr<const Impl> impl_;
};

}  // namespace veskal::matcher
