// Recordings ffmpeg makes for the end-to-end cases, each made once per test
// run and shared by every case that asks for the same recipe.
#pragma once

#include <string>
#include <vector>

namespace reelknit::testing {

/// Writes to `output` what ffmpeg makes from `args` (its arguments up to the
/// output path). The first case of a test run to ask for these arguments has
/// ffmpeg record them into the run's store of recordings; every later one, in
/// this process or another, copies them from there. Throws std::runtime_error
/// with ffmpeg's message when it fails.
void record_once(const std::vector<std::string>& args, const std::string& output);

}  // namespace reelknit::testing
