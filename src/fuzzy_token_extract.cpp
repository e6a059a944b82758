#include "fuzzy_token_extract.hpp"

// Not built yet.
