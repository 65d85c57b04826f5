// The clock every wait of the X driver is bounded by.
#pragma once

#include <chrono>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
