// Joins a file with itself through the installed library and shows the
// library's log lines, then searches the output's folder for GoPro chapters:
// `consumer input output`.
#include <cstdio>
#include <filesystem>
#include <string>

#include "reelknit/chapters.h"
#include "reelknit/error.h"
#include "reelknit/join.h"
#include "reelknit/log.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  reelknit::set_max_level(reelknit::LevelFilter::Debug);
  int lines = 0;
  reelknit::set_sink([&lines](const reelknit::LogRecord&) { ++lines; });

  double last_progress = -1;
  const reelknit::Status joined =
      reelknit::join_files({argv[1], argv[1]}, argv[2], [&](double fraction) { last_progress = fraction; });
  if (!joined) {
    std::fprintf(stderr, "join failed: %s\n", joined.error().describe().c_str());
    return 1;
  }
  reelknit::update_file_times(argv[1], argv[2]);
  std::printf("joined, last progress %.2f, %d log lines\n", last_progress, lines);
  if (last_progress != 1.0 || lines == 0) return 1;

  // The folder holds no chapter names: found, but empty.
  const auto sequences = reelknit::find_chapter_sequences(std::filesystem::path(argv[2]).parent_path().string());
  if (!sequences) {
    std::fprintf(stderr, "chapter search failed: %s\n", sequences.error().describe().c_str());
    return 1;
  }
  const auto second = reelknit::parse_chapter_name("GP010042.MP4");
  return sequences->empty() && second && second->chapter == 2 ? 0 : 1;
}
