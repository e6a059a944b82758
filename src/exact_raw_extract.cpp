#include "exact_raw_extract.hpp"

// Not built yet.
