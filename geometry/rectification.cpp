#include "geometry/rectification.hpp"
