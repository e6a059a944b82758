#include "solver.hpp"

// Not built yet.
