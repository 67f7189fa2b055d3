#include "io/output_file.h"

#include <cerrno>
#include <utility>

#include "base/log_line.h"

namespace reelknit {
namespace {

/// A name tried after this many taken ones is no longer worth trying: the
/// folder is full of partial files that crashed joins left behind.
constexpr int PARTIAL_NAME_ATTEMPTS = 100;

/// A folder that takes no new file from us, while the output itself may still
/// be written: no permission, or the partial file's longer name is too long.
bool takes_no_new_file(const Error& error) {
  switch (error.os_error()) {
    case EACCES:
    case EPERM:
    case ENAMETOOLONG: return true;
    default: return false;
  }
}

/// The same failure told with the path the caller named: the partial file's
/// name is ours, not theirs.
Error naming(const Error& error, const std::string& path) {
  if (error.os_error() == 0) return error;
  return Error::from_errno(error.os_error(), path);
}

}  // namespace

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string partial_path_of(const std::string& path, int attempt) {
  // Appended piece by piece: GCC 12 at -O2 takes a chain of + on strings for
  // an overlapping copy (-Wrestrict).
  const auto name_start = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  std::string partial = path.substr(0, name_start);
  partial += '.';
  partial.append(path, name_start, std::string::npos);
  partial += ".reelknit-partial";
  if (attempt > 1) {
    partial += '-';
    partial += std::to_string(attempt);
  }
  return partial;
}

PendingOutput::PendingOutput(const OutputCalls& calls, std::string output_path, std::string destination,
                             std::string written_path, Road road, std::unique_ptr<File> file)
    : calls_(&calls),
      output_path_(std::move(output_path)),
      destination_(std::move(destination)),
      written_path_(std::move(written_path)),
      road_(road),
      file_(std::move(file)) {}

PendingOutput::PendingOutput(PendingOutput&& other) noexcept
    : calls_(other.calls_),
      output_path_(std::move(other.output_path_)),
      destination_(std::move(other.destination_)),
      written_path_(std::move(other.written_path_)),
      road_(other.road_),
      file_(std::move(other.file_)),
      settled_(std::exchange(other.settled_, true)) {}

PendingOutput::~PendingOutput() { abandon(); }

Result<PendingOutput> PendingOutput::create(const std::string& output_path, const OutputCalls& calls) {
  // A link keeps pointing at the joined file: the rename replaces its target, not the link.
  const std::string destination = calls.resolve_links(output_path);
  auto in_place = [&](Road road) -> Result<PendingOutput> {
    auto file = calls.create_in_place(destination);
    if (!file) return naming(file.error(), output_path);
    return PendingOutput(calls, output_path, destination, destination, road, std::move(file).value());
  };
  if (auto existing = calls.status_of_path(destination); existing) {
    if (existing->type == FileType::Directory) return Error::from_errno(EISDIR, output_path);
    if (existing->type != FileType::Regular) {
      REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Writing in place: {} is {}", output_path, file_type_text(existing->type));
      return in_place(Road::InPlaceOther);
    }
  }
  for (int attempt = 1; attempt <= PARTIAL_NAME_ATTEMPTS; ++attempt) {
    const std::string partial = partial_path_of(destination, attempt);
    auto file = calls.create_new(partial);
    if (file) {
      REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Writing {} until the join is whole", partial);
      return PendingOutput(calls, output_path, destination, partial, Road::Replace, std::move(file).value());
    }
    if (file.error().os_error() == EEXIST) continue;
    if (takes_no_new_file(file.error())) {
      REELKNIT_DEBUG(LOG_TARGET_DRIVER, "Writing in place: no new file beside {}: {}", output_path,
                     file.error().describe());
      return in_place(Road::InPlaceRegular);
    }
    return naming(file.error(), output_path);
  }
  return Error::from_errno(EEXIST, partial_path_of(destination));
}

Status PendingOutput::commit(bool sync) {
  settled_ = true;
  if (road_ != Road::Replace) return success();
  if (Status renamed = calls_->rename(written_path_, destination_); !renamed) {
    (void)calls_->remove(written_path_);
    return naming(renamed.error(), output_path_);
  }
  if (!sync) return success();
  if (Status synced = calls_->sync_folder(folder_of(destination_)); !synced) {
    REELKNIT_WARN(LOG_TARGET_DRIVER, "The folder of {} could not be synced; the file is whole, but a power cut may undo its new name: {}",
                  output_path_, synced.error().describe());
  }
  return success();
}

void PendingOutput::abandon() {
  if (std::exchange(settled_, true)) return;
  file_.reset();
  switch (road_) {
    case Road::Replace:
      if (Status removed = calls_->remove(written_path_); !removed) {
        REELKNIT_WARN(LOG_TARGET_DRIVER, "The partial file {} could not be removed: {}", written_path_,
                      removed.error().describe());
      }
      return;
    case Road::InPlaceRegular:
      // Truncated to nothing: an empty file is never taken for a finished join.
      if (auto emptied = calls_->create_in_place(destination_); emptied) (void)(*emptied)->close();
      return;
    case Road::InPlaceOther: return;
  }
}

}  // namespace reelknit
