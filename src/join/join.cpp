// join_files: the order of a join, and nothing but order. What an MP4 is and
// what an Insta360 trailer is lives in their own folders.
#include <cerrno>
#include <string>
#include <vector>

#include "base/format.h"
#include "base/log_line.h"
#include "insta360/trailer.h"
#include "io/buffered_reader.h"
#include "io/output_stream.h"
#include "join/join_seams.h"
#include "mp4/read_input.h"
#include "mp4/write_output.h"

namespace reelknit {
namespace {

struct OpenedInputs {
  std::vector<InputFile> files;
  std::vector<FileStatus> statuses;
};

Result<OpenedInputs> open_inputs(const std::vector<std::string>& paths, const JoinSeams& seams) {
  OpenedInputs opened;
  for (const std::string& path : paths) {
    REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Opening input {}: {}", opened.files.size() + 1, path);
    REELKNIT_ASSIGN_OR_RETURN(std::unique_ptr<File> file, seams.open_input(path));
    REELKNIT_ASSIGN_OR_RETURN(const FileStatus status, file->status());
    opened.statuses.push_back(status);
    opened.files.push_back(InputFile{std::move(file), status.size});
  }
  return opened;
}

/// Told before anything is read: the output must not be one of the recordings
/// being joined (the join replaces it), nor a folder.
Status check_output_path(const std::string& output_path, const std::vector<FileStatus>& inputs,
                         const JoinSeams& seams) {
  // What open(2) would say of these; the partial file beside them would only fail at the rename.
  if (output_path.empty()) return Error::from_errno(ENOENT, output_path);
  if (output_path.back() == '/') return Error::from_errno(EISDIR, output_path);
  auto output = seams.output.status_of_path(output_path);
  if (!output) return success();  // nothing there yet
  if (output->type == FileType::Directory) return Error::from_errno(EISDIR, output_path);
  for (const FileStatus& input : inputs) {
    if (input.device == output->device && input.inode == output->inode) {
      return Error(ErrorKind::InvalidInput,
                   format_text("the output file {} is one of the inputs; refusing to overwrite it", output_path));
    }
  }
  return success();
}

/// Everything the reading phase learned.
struct ReadInputs {
  Desc desc;
  std::uint64_t total_size = 0;
  bool has_trailer = false;
  /// Where the first input's boxes end: the writer walks its tree up to here.
  std::uint64_t first_box_part_end = 0;
};

Status check_stop(const JoinOptions& options) {
  if (options.stop && options.stop->load(std::memory_order_relaxed)) return stopped_error();
  return success();
}

Result<ReadInputs> read_inputs(std::vector<InputFile>& inputs, const std::vector<std::string>& paths,
                               const JoinOptions& options) {
  const ProgressCallback& progress = options.progress;
  ReadInputs read;
  const std::size_t count = inputs.size();
  for (std::size_t i = 0; i < count; ++i) {
    REELKNIT_TRY(check_stop(options));
    REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Reading input {} of {}: {}", i + 1, count, paths[i]);
    BufferedReader reader(*inputs[i].file);
    const std::uint64_t size = inputs[i].size;
    read.total_size += size;
    // Every input is tested for a trailer, so that its walk stops where its boxes end.
    REELKNIT_ASSIGN_OR_RETURN(const auto trailer_start, insta360::find_trailer_start(reader, size));
    if (trailer_start) read.has_trailer = true;
    // A trailer size beyond the file is damage; the trailer step reports it.
    const std::uint64_t box_part_end = trailer_start && *trailer_start <= size ? *trailer_start : size;
    if (i == 0) read.first_box_part_end = box_part_end;
    REELKNIT_TRY(read_input(reader, read.desc, i, box_part_end, i + 1 < count, paths[i]));
    if (progress) progress(static_cast<double>(i + 1) / static_cast<double>(count) * 0.1);
  }
  return read;
}

Status write_everything(std::vector<InputFile>& inputs, OutputStream& out, const ReadInputs& read) {
  REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Writing the joined movie");
  REELKNIT_TRY(write_output(inputs, out, read.desc, read.first_box_part_end));
  if (!read.has_trailer) return success();
  REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Writing the merged Insta360 trailer");
  REELKNIT_TRY(out.seek(SeekFrom::end(0)));
  REELKNIT_ASSIGN_OR_RETURN(const auto records, insta360::read_trailers(inputs));
  return insta360::write_merged_trailer(inputs, records, out);
}

Status write_joined(std::vector<InputFile>& inputs, PendingOutput& output, const ReadInputs& read,
                    const JoinOptions& options, const JoinSeams& seams) {
  OutputStream out(ProgressStream(output.take_file(), read.total_size, options.progress, seams.clock, options.stop),
                   seams.range_copy, seams.range_clone);
  Status written = write_everything(inputs, out, read);
  // Only a file whose every byte is on the disk may take the output's name:
  // after a power cut the name would otherwise lead to a file cut short.
  if (written && options.sync && output.is_regular()) {
    REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Syncing {} to the disk", output.written_path());
    written = out.sync();
  }
  // The one release of the output: the last buffered bytes reach the file here,
  // so a full disk now is still a failed join, and no throttled report of that
  // last write-out can follow the final one.
  Status released = out.release();
  if (!written) return written;
  REELKNIT_TRY(released);
  // A stop asked for while the last bytes were synced still leaves nothing.
  REELKNIT_TRY(out.sink().check_stop());
  REELKNIT_TRY(output.commit(options.sync));
  if (options.progress) options.progress(1.0);
  return success();
}

}  // namespace

Status join_files_with(const std::vector<std::string>& input_paths, const std::string& output_path,
                       const JoinOptions& options, const JoinSeams& seams) {
  if (input_paths.empty()) return Error(ErrorKind::InvalidInput, "no input files to join");
  REELKNIT_ASSIGN_OR_RETURN(OpenedInputs inputs, open_inputs(input_paths, seams));
  REELKNIT_TRY(check_output_path(output_path, inputs.statuses, seams));
  // Every input is read and accepted before the output is created: a refused
  // join leaves a file already at the output path as it was.
  REELKNIT_ASSIGN_OR_RETURN(const ReadInputs read, read_inputs(inputs.files, input_paths, options));
  REELKNIT_TRY(check_stop(options));
  REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Creating the output {}", output_path);
  REELKNIT_ASSIGN_OR_RETURN(PendingOutput output, PendingOutput::create(output_path, seams.output));
  // Whatever fails from here on, the output is abandoned: the partial file removed.
  return write_joined(inputs.files, output, read, options, seams);
}

Status join_files(const std::vector<std::string>& input_paths, const std::string& output_path,
                  const JoinOptions& options) {
  return join_files_with(input_paths, output_path, options, JoinSeams{});
}

Status join_files(const std::vector<std::string>& input_paths, const std::string& output_path,
                  const ProgressCallback& progress) {
  return join_files(input_paths, output_path, JoinOptions{progress});
}

}  // namespace reelknit
