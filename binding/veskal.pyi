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
