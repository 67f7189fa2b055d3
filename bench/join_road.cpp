// A join whose road for the media data is chosen when it runs, for the
// benchmarks (bench/join_bench.sh --kernel-road):
//   join_road kernel|buffered|default OUTPUT INPUT...
// kernel: copy_file_range(2) between any two files, local ones too;
// buffered: read(2) and write(2) through the buffer; default: the join's own
// choice (the kernel road only between files of a network file system).
// Like the reelknit command it then gives the output the first input's file
// time; it prints nothing but an error. Like `reelknit --no-fsync` it does not
// wait for the disk: join_bench.sh times what the copying costs.
#include <cstdio>
#include <string>
#include <vector>

#include "io/range_copy.h"
#include "join/join_seams.h"
#include "reelknit/join.h"

int main(int argc, char** argv) {
  using namespace reelknit;
  const std::string road = argc > 1 ? argv[1] : "";
  JoinSeams seams;
  if (road == "kernel") {
    seams.range_copy = system_range_copy();
  } else if (road == "buffered") {
    seams.range_copy = nullptr;
  } else if (road == "default") {
    seams.range_copy = offloaded_range_copy();
  } else {
    std::fprintf(stderr, "usage: %s kernel|buffered|default OUTPUT INPUT...\n", argv[0]);
    return 2;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s kernel|buffered|default OUTPUT INPUT...\n", argv[0]);
    return 2;
  }
  if (road == "kernel" && !seams.range_copy) {
    std::fprintf(stderr, "no in-kernel copy on this system\n");
    return 2;
  }
  const std::string output = argv[2];
  const std::vector<std::string> inputs(argv + 3, argv + argc);
  JoinOptions options;
  options.sync = false;
  const Status joined = join_files_with(inputs, output, options, seams);
  if (!joined) {
    std::fprintf(stderr, "Error: %s\n", joined.error().describe().c_str());
    return 101;
  }
  update_file_times(inputs.front(), output);
  return 0;
}
