// The fuzzed bytes as the first input, the template of the output tree: alone,
// and followed by a valid recording.
#include "join_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace reelknit::fuzzing;
  const Bytes fuzzed(data, data + size);
  join_and_check({fuzzed});
  join_and_check({fuzzed, partner_movie()});
  return 0;
}
