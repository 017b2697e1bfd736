// Benchmark rows of definition files: a dialogue, a getter and a setter of a
// defined instrument against raw TCP, a setter among 2,000 properties against
// one among 10, and how long files take to load.
#pragma once

#include <functional>

namespace tarvos::bench {

// rawRate measures the raw TCP ping-pong rate of one session for a time.
void DefinitionRows(double seconds, const char* directory, const std::function<double(double)>& rawRate);

}  // namespace tarvos::bench
