// How a long operation of the library tells its caller how far it has come.
#pragma once

#include <functional>

namespace reelknit {

/// Receives the fraction of the work done, 0.0 to 1.0, on the thread doing the work.
using ProgressCallback = std::function<void(double)>;

}  // namespace reelknit
