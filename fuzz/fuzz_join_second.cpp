// The fuzzed bytes as a later input, after a valid recording: its tables are
// renumbered onto the first input's and its media data is appended.
#include "join_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace reelknit::fuzzing;
  join_and_check({partner_movie(), Bytes(data, data + size)});
  return 0;
}
