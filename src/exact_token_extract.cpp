#include "exact_token_extract.hpp"

// Not built yet.
