#include <cstdio>
#include <string>
#include <vector>

#include "reelknit/join.h"

int main(int argc, char** argv) {
  std::vector<std::string> inputs;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--out") {
      if (i + 1 < argc) output = argv[++i];
    } else {
      inputs.push_back(arg);
    }
  }
  if (inputs.empty()) {
    std::fputs("No input files!\n", stderr);
    return 0;
  }
  if (output.empty()) output = inputs.front() + "_joined.mp4";
  auto result = reelknit::join_files(inputs, output, [](double p) { std::printf("\rMerging... %.2f%%", p * 100); std::fflush(stdout); });
  if (!result) {
    std::fprintf(stderr, "Error: %s\n", result.error().describe().c_str());
    return 101;
  }
  std::printf("\rDone\n");
  return 0;
}
