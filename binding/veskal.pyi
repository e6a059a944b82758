"""Find every exact or fuzzy occurrence of a pattern in a text, over characters or tokens."""

# Installed as the stub-only package veskal-stubs: an extension module cannot carry py.typed, and
# mypy ignores a bare veskal.pyi beside it. The aliases below exist for type checkers only; import
# them under `if TYPE_CHECKING:`.

from collections.abc import Iterable
from typing import Literal, SupportsIndex

__all__ = [
    "exact_raw_extract",
    "exact_token_extract",
    "fuzzy_raw_extract",
    "fuzzy_token_extract",
]

__version__: str

# Any other name raises PanicException as soon as a candidate is scored, so plain str is refused:
# a checker can catch the misspelling that the search would only report by failing.
type Metric = Literal[
    "levenshtein",
    "damerau_levenshtein",
    "osa",
    "hamming",
    "indel",
    "lcs_seq",
    "prefix",
    "postfix",
    "jaro",
    "jaro_winkler",
]
# Unknown strategy names are allowed (one picks the first candidate and ends the choice), so
# Strategies also takes plain strings; list[Strategy] is listed apart because list is invariant.
type Strategy = Literal["best_match", "shortest", "longest", "minimum_isolated_character"]
type Strategies = list[Strategy] | list[str] | tuple[str, ...]
# (start, end, score): character positions in the normalised text, end exclusive; score is a
# distance, 0.0 for an exact match.
type Match = tuple[int, int, float]
# (pattern_index, start, end, score): a Match of the pattern at that index.
type Hit = tuple[int, int, int, float]

class PanicException(BaseException):
    """Raised when the search fails internally (an unknown metric name, an empty pattern with an
    empty tokenizer pattern, the interpreter out of memory). Like SystemExit it derives from
    BaseException, so `except Exception` does not catch it. No partial result is returned and the
    module stays usable."""

# ---- exact ---------------------------------------------------------------------------------

def exact_raw_extract(
    s: str,
    pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    strategies: Strategies,
) -> list[Match]:
    """Every window of characters of `s` equal to `pattern`, one per group of overlapping or
    touching windows, chosen by `strategies`.

    Text and pattern are normalised first (a line feed becomes a blank; `case_insensitive`: full
    Unicode lowercase; `special_char_insensitive`: à â ä @ → a, ç → c, è é ê ë € → e, ï → i,
    ù û ü → u) and compared with white space trimmed at both ends. Returns (start, end, 0.0)
    tuples in ascending order of start."""

def exact_token_extract(
    s: str,
    pattern: str,
    tokenizer_pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
) -> list[Match]:
    """Every run of whole tokens of `s` equal to `pattern`, overlapping runs included.

    Tokens are the pieces between occurrences of the literal string `tokenizer_pattern`; the
    pattern is cut the same way and a run holds as many tokens as it does. Strings are normalised
    as in exact_raw_extract. Raises PanicException for an empty pattern with an empty
    `tokenizer_pattern`. Returns (start, end, 0.0) tuples in ascending order of start."""

# ---- fuzzy ---------------------------------------------------------------------------------

def fuzzy_raw_extract(
    s: str,
    pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    metric: Metric,
    threshold: float,
    threshold_kind: SupportsIndex,
    strategies: Strategies,
) -> list[Match]:
    """Every window of characters of `s` whose score against `pattern` under `metric` is at most
    `threshold`, one per group of overlapping or touching windows, chosen by `strategies`.

    `threshold_kind` 0 compares raw scores (counts of edits) with windows of the pattern's
    length; any other value (up to 255) compares normalised scores between 0 and 1, with windows
    of the pattern's length ± int(len(pattern) * threshold), at most 127. A NaN threshold
    matches nothing. Strings are normalised as in exact_raw_extract. Returns (start, end, score)
    tuples in ascending order of start."""

def fuzzy_token_extract(
    s: str,
    pattern: str,
    tokenizer_pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    metric: Metric,
    threshold: float,
    threshold_kind: SupportsIndex,
    strategies: Strategies,
) -> list[Match]:
    """Every run of whole tokens of `s` whose score against `pattern` under `metric` is at most
    `threshold`, one per group of overlapping or touching runs, chosen by `strategies`.

    Tokens are cut as in exact_token_extract, scores and thresholds are those of
    fuzzy_raw_extract (`threshold_kind` 0: raw, otherwise normalised). Raises PanicException for
    an empty pattern with an empty `tokenizer_pattern`. Returns (start, end, score) tuples in
    ascending order of start."""

class Matcher:
    """Many patterns compiled once, searched for together by find() and find_all().

    tokenizer_pattern selects runs of tokens (the token functions) instead of windows of
    characters, metric selects fuzzy matching instead of equality; threshold and threshold_kind
    apply with a metric only, strategies to every mode but exact tokens. Each pattern's matches
    are exactly those of the function so selected, called with that pattern and these options.
    Raises ValueError for an unknown metric, or for an empty pattern with an empty
    tokenizer_pattern. Pickles as a call of the constructor with the same arguments.
    """

    def __init__(
        self,
        patterns: Iterable[str],
        *,
        tokenizer_pattern: str | None = None,
        case_insensitive: bool = False,
        special_char_insensitive: bool = False,
        metric: Metric | None = None,
        threshold: float = 0.0,
        threshold_kind: SupportsIndex = 0,
        strategies: Iterable[str] = (),
    ) -> None:
        """Compiles `patterns` for the mode the keywords select; see the class."""
    def find(self, s: str, /) -> list[Hit]:
        """Every match of every pattern in s: (pattern_index, start, end, score) tuples sorted
        by start, then pattern_index, then end. Runs without the interpreter lock."""
    def find_all(
        self, texts: Iterable[str], threads: SupportsIndex | None = None
    ) -> list[list[Hit]]:
        """find() for every text, on up to `threads` native threads, the calling one among
        them (default: one per processor); one list per text, in the order of texts."""
