#include "fuzzy.hpp"

// Not built yet.
