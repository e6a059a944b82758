#include "fuzzy_raw_extract.hpp"

// Not built yet.
