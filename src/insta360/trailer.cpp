#include "insta360/trailer.h"

#include "insta360/trailer_format.h"

namespace reelknit::insta360 {

Result<std::vector<TrailerRecords>> read_trailers(std::span<InputFile>) {
  return Error(ErrorKind::Unsupported, "Insta360 trailers are not supported yet");
}

Status write_merged_trailer(std::span<InputFile>, const std::vector<TrailerRecords>&, OutputStream& output) {
  (void)output.release();
  return Error(ErrorKind::Unsupported, "Insta360 trailers are not supported yet");
}

Status write_trailer_magic(OutputStream& output) {
  return output.write(std::span(reinterpret_cast<const std::uint8_t*>(TRAILER_MAGIC.data()), MAGIC_SIZE));
}

}  // namespace reelknit::insta360
