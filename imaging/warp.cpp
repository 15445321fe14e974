#include "imaging/warp.hpp"
