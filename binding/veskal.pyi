from typing import Sequence, SupportsIndex

__all__ = [
    "exact_raw_extract",
    "exact_token_extract",
    "fuzzy_raw_extract",
    "fuzzy_token_extract",
]

class PanicException(BaseException):
    """Raised when native code called from Python fails internally."""

def exact_raw_extract(
    s: str,
    pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    strategies: Sequence[str],
) -> list[tuple[int, int, float]]: ...
def exact_token_extract(
    s: str,
    pattern: str,
    tokenizer_pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
) -> list[tuple[int, int, float]]: ...
def fuzzy_raw_extract(
    s: str,
    pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    metric: str,
    threshold: float,
    threshold_kind: SupportsIndex,
    strategies: Sequence[str],
) -> list[tuple[int, int, float]]: ...
def fuzzy_token_extract(
    s: str,
    pattern: str,
    tokenizer_pattern: str,
    case_insensitive: bool,
    special_char_insensitive: bool,
    metric: str,
    threshold: float,
    threshold_kind: SupportsIndex,
    strategies: Sequence[str],
) -> list[tuple[int, int, float]]: ...

class Matcher:
    """Many patterns compiled once, searched for together by find() and find_all().

    tokenizer_pattern selects runs of tokens (the token functions) instead of windows of
    characters, metric selects fuzzy matching instead of equality; threshold and threshold_kind
    apply with a metric only, strategies to every mode but exact tokens. Each pattern's matches
    are exactly those of the function so selected, called with that pattern and these options.
    Raises ValueError for an unknown metric, or for an empty pattern with an empty
    tokenizer_pattern. Pickles as a call of the constructor with the same arguments.
    """

    def __new__(
        cls,
        patterns: Sequence[str],
        *,
        tokenizer_pattern: str | None = None,
        case_insensitive: bool = False,
        special_char_insensitive: bool = False,
        metric: str | None = None,
        threshold: float = 0.0,
        threshold_kind: SupportsIndex = 0,
        strategies: Sequence[str] = (),
    ) -> Matcher: ...
    def find(self, s: str, /) -> list[tuple[int, int, int, float]]:
        """Every match of every pattern in s: (pattern_index, start, end, score) tuples sorted
        by start, then pattern_index, then end. Runs without the interpreter lock."""
    def find_all(
        self, texts: Sequence[str], threads: SupportsIndex | None = None
    ) -> list[list[tuple[int, int, int, float]]]:
        """find() for every text, on up to `threads` native threads (default: one per
        processor); one list per text, in the order of texts."""
    def __reduce__(self) -> tuple[object, ...]: ...
