// Where one chapter's track meets the next. Players follow an edit list in
// their own ways, and the form every one of them presents right is one edit
// per track: so the seams are carried by the sample table where they can be.
// A chapter starts at one time in all its tracks. A track that must wait (it
// lacks the chapter, or ends early) lengthens its last sample before the
// wait; one that runs on shortens it; a first sample the chapter hides whole
// (an encoder's priming) takes a tick. A recording cut into chapters, whose
// later chapters hide at their start what continues the one before, runs on
// as recorded. Only a chapter whose edits do more (a trim, an edit list of
// several parts) keeps its own edits.
#pragma once

#include <cstddef>

#include "mp4/desc.h"

namespace reelknit {

/// Puts every track of the input just read (before its bookkeeping in
/// `finish_input`) into the joined movie: its edits, and where it starts. The
/// first input keeps its edits. A later input starts at one time in every
/// track: where the inputs before it end, or as little after as a track that
/// continues its last edit needs (at most twice its longest sample). A
/// timecode track of a later input is left to `finish_input`.
void place_input_tracks(Desc& desc, std::size_t input_index);

}  // namespace reelknit
