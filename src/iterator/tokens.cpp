#include "tokens.hpp"

// Not built yet.
