#include "preprocessor.hpp"

// Not built yet.
