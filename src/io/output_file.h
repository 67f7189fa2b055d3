// Where a join writes, and how the written file takes the output's name. A
// camera owner deletes the chapters once the joined file is there, so the
// output's path must only ever hold a finished join, or what it held before:
// the join writes a new file beside the output and renames it over the output
// once it is whole and on the disk. A device or named pipe, and a folder where
// no new file can be made, are written in place.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "io/file.h"

namespace reelknit {

/// The system calls that put an output in place; tests replace them.
struct OutputCalls {
  std::function<Result<FileStatus>(const std::string&)> status_of_path = reelknit::status_of_path;
  std::function<std::string(const std::string&)> resolve_links = reelknit::resolve_links;
  std::function<Result<std::unique_ptr<File>>(const std::string&)> create_new = create_new_file;
  std::function<Result<std::unique_ptr<File>>(const std::string&)> create_in_place = create_for_writing;
  std::function<Status(const std::string&, const std::string&)> rename = rename_file;
  std::function<Status(const std::string&)> remove = remove_file;
  std::function<Status(const std::string&)> sync_folder = reelknit::sync_folder;
};

/// The file a join into `path` writes until it is whole: ".NAME.reelknit-partial"
/// in the same folder, with "-N" appended for the `attempt`-th try after the first.
std::string partial_path_of(const std::string& path, int attempt = 1);

/// The folder that holds `path`: "." for a bare name.
std::string folder_of(const std::string& path);

class PendingOutput {
 public:
  /// Creates the file a join into `output_path` writes: a new partial file
  /// beside the output (a symbolic link's final target), or the output
  /// itself where it is no regular file or its folder takes no new file
  /// (no permission, or a name too long for the partial file). Errors name
  /// `output_path`. `calls` must outlive the result.
  static Result<PendingOutput> create(const std::string& output_path, const OutputCalls& calls);

  PendingOutput(PendingOutput&& other) noexcept;
  PendingOutput& operator=(PendingOutput&&) = delete;
  /// Abandons an output that was not committed.
  ~PendingOutput();

  /// The file to write; there is one.
  std::unique_ptr<File> take_file() { return std::move(file_); }
  /// A regular file, whose bytes an fsync brings to the disk; a device or
  /// named pipe has nothing to sync.
  bool is_regular() const { return road_ != Road::InPlaceOther; }
  /// Where the bytes go now: the partial file, or the output itself.
  const std::string& written_path() const { return written_path_; }

  /// Once the file is written and closed: renames it over the output, then,
  /// when `sync` asks, syncs the folder, so that the new name survives a power
  /// cut. A folder that cannot be synced is a warning: the output is whole.
  Status commit(bool sync);
  /// A join that failed or was stopped: the partial file is removed; an
  /// output written in place is emptied where it is a regular file, so that
  /// no cut-short file looks like a finished join. Later calls do nothing.
  void abandon();

 private:
  enum class Road {
    Replace,         ///< a partial file beside the output, renamed over it
    InPlaceRegular,  ///< a regular file written where it is
    InPlaceOther,    ///< a device or named pipe
  };
  PendingOutput(const OutputCalls& calls, std::string output_path, std::string destination, std::string written_path,
                Road road, std::unique_ptr<File> file);

  const OutputCalls* calls_;
  std::string output_path_;   ///< as the caller named it, for errors
  std::string destination_;   ///< the path the finished file takes: links resolved
  std::string written_path_;  ///< the partial file, or the destination
  Road road_;
  std::unique_ptr<File> file_;
  bool settled_ = false;  ///< committed or abandoned
};

}  // namespace reelknit
