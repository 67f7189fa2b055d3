#include "join_harness.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/layout_check.h"
#include "support/memory_join.h"
#include "support/mp4_builder.h"

namespace reelknit::fuzzing {

const Bytes& partner_movie() {
  static const Bytes movie = [] {
    testing::MoviePlan plan = testing::two_track_plan({40, 13, 27, 9, 31, 12}, {7, 7, 7, 7, 7});
    testing::TrackPlan& video = plan.tracks[0];
    video.sync_samples = {1, 4};
    video.ctts = {{6, 1001}};
    video.with_sdtp = true;
    testing::TrackPlan& audio = plan.tracks[1];
    audio.samples_per_chunk = 3;
    audio.constant_size = true;
    testing::TrackPlan timecode;
    timecode.sample_sizes = {4};
    timecode.format = "tmcd";
    timecode.fill = 200;
    plan.tracks.push_back(timecode);
    return testing::make_movie(plan);
  }();
  return movie;
}

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

}  // namespace

void join_and_check(const std::vector<Bytes>& inputs) {
  testing::MemoryJoinFiles files;
  for (const Bytes& input : inputs) files.inputs.push_back(std::make_shared<Bytes>(input));
  const Status joined = testing::join_memory_files(files);

  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (*files.inputs[i] != inputs[i]) fail("input " + std::to_string(i + 1) + " was changed by the join");
  }
  if (!joined) {
    if (joined.error().message().empty()) fail("a failed join gave an error without a message");
    if (!files.folder.files.empty()) fail("a failed join left " + files.folder.paths().front() + " behind");
    return;
  }
  // Media data may end in the magic by chance: only a join of trailer inputs ends in a trailer.
  bool trailer = false;
  for (const Bytes& input : inputs) trailer = trailer || testing::ends_with_trailer_magic(input);
  const std::uint64_t end = trailer ? testing::box_part_end(*files.output) : files.output->size();
  if (auto problem = testing::find_layout_problem(*files.output, end)) {
    fail("the join reported success but its output is broken: " + *problem);
  }
}

}  // namespace reelknit::fuzzing
