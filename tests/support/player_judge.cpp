#include "support/player_judge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <stdexcept>

#include "support/mp4_inspect.h"

namespace reelknit::testing {
namespace {

constexpr double FOREVER = std::numeric_limits<double>::infinity();
/// Times are compared to the millisecond: the players round to ticks of their own.
constexpr double SLACK = 1e-3;
/// The frame of AAC, the sound of every chapter here.
constexpr double AAC_FRAME_SAMPLES = 1024;

/// What a chapter must present in the joined file: its share of the expected timeline.
struct ChapterPlan {
  double start = 0;        ///< its span of the joined movie
  double end = FOREVER;    ///< the last chapter's span runs on for as long as anything plays
  std::size_t video_begin = 0, video_end = 0;  ///< its frames in the expected timeline
  std::size_t audio_begin = 0, audio_end = 0;  ///< its blocks of sound
  std::size_t packet_begin = 0, packet_end = 0;  ///< its packets of sound
  double frame = 0;        ///< one video frame's duration
  double audio_frame = 0;  ///< one AAC frame's duration at its sample rate
  double priming = 0;      ///< the sound its own edit hides at its start (the encoder's priming)
};

struct Expectation {
  Timeline timeline;  ///< in the joined movie's time
  std::vector<ChapterPlan> chapters;
};

/// What the judge needs of a file's boxes: its movie duration and its sound's rate and priming.
struct FileFacts {
  double duration = 0;
  double audio_frame = AAC_FRAME_SAMPLES / 48000;
  double priming = 0;
};

std::uint32_t load_be32(const Bytes& bytes, std::size_t at) {
  if (at + 4 > bytes.size()) throw std::runtime_error("a sample entry too short for its sample rate");
  return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) | (std::uint32_t{bytes[at + 2]} << 8) |
         bytes[at + 3];
}

FileFacts facts_of(const std::string& path) {
  const Movie movie = inspect_movie(read_file(path));
  if (movie.timescale == 0) throw std::runtime_error(path + " has no movie timescale");
  FileFacts facts;
  facts.duration = static_cast<double>(movie.duration) / movie.timescale;
  for (const TrackSamples& track : movie.tracks) {
    if (track.format != "mp4a" || track.sample_entries.empty()) continue;
    // The sample rate is the high half of the 16.16 field 32 bytes into an audio sample entry.
    const std::uint32_t rate = load_be32(track.sample_entries.front(), 32) >> 16;
    if (rate != 0) facts.audio_frame = AAC_FRAME_SAMPLES / rate;
    for (const TrackSamples::Edit& edit : track.edits) {
      if (edit.media_time == -1) continue;
      if (track.mdhd_timescale != 0) facts.priming = static_cast<double>(edit.media_time) / track.mdhd_timescale;
      break;
    }
    break;
  }
  return facts;
}

/// The usual spacing of the frames: the median, so that one long frame at an edit does not count.
double frame_spacing(const std::vector<Presented>& frames, double fallback) {
  std::vector<double> spacings;
  for (std::size_t k = 1; k < frames.size(); ++k) spacings.push_back(frames[k].time - frames[k - 1].time);
  if (spacings.empty()) return fallback;
  std::nth_element(spacings.begin(), spacings.begin() + static_cast<std::ptrdiff_t>(spacings.size() / 2), spacings.end());
  return spacings[spacings.size() / 2];
}

/// Seconds of sound that play within [start, end).
double sound_within(const std::vector<Presented>& blocks, std::size_t begin, std::size_t end, double start,
                    double stop) {
  // Sound whose times overlap is heard once: a player plays one moment at a
  // time, so what counts is the time the blocks cover, not their sum.
  std::vector<std::pair<double, double>> spans;
  for (std::size_t k = begin; k < end; ++k) {
    const double from = std::max(blocks[k].time, start);
    const double to = std::min(blocks[k].time + blocks[k].duration, stop);
    if (to > from) spans.emplace_back(from, to);
  }
  std::sort(spans.begin(), spans.end());
  double seconds = 0, covered_to = start;
  for (const auto& [from, to] : spans) {
    if (to <= covered_to) continue;
    seconds += to - std::max(from, covered_to);
    covered_to = to;
  }
  return seconds;
}

std::string ms(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%+.1f ms", seconds * 1e3);
  return text;
}

std::string sec(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

Expectation chapters_laid_end_to_end(Player player, const std::vector<std::string>& chapters) {
  Expectation expected;
  double due = 0;
  for (std::size_t k = 0; k < chapters.size(); ++k) {
    const FileFacts facts = facts_of(chapters[k]);
    const Timeline alone = presented_timeline(chapters[k], player);
    ChapterPlan plan;
    plan.start = due;
    plan.end = k + 1 == chapters.size() ? FOREVER : due + facts.duration;
    plan.frame = frame_spacing(alone.video, facts.duration - (alone.video.empty() ? 0 : alone.video.front().time));
    plan.audio_frame = facts.audio_frame;
    plan.priming = facts.priming;
    plan.video_begin = expected.timeline.video.size();
    for (Presented frame : alone.video) {
      frame.time += due;
      expected.timeline.video.push_back(frame);
    }
    plan.video_end = expected.timeline.video.size();
    plan.audio_begin = expected.timeline.audio.size();
    for (Presented block : alone.audio) {
      block.time += due;
      expected.timeline.audio.push_back(block);
    }
    plan.audio_end = expected.timeline.audio.size();
    plan.packet_begin = expected.timeline.audio_packets.size();
    for (Presented packet : alone.audio_packets) {
      packet.time += due;
      expected.timeline.audio_packets.push_back(packet);
    }
    plan.packet_end = expected.timeline.audio_packets.size();
    expected.chapters.push_back(plan);
    due += facts.duration;
  }
  return expected;
}

/// How much later `part` shows the first entry it shares with `whole` than `whole` shows it.
double lead_of(const std::vector<Presented>& part, const std::vector<Presented>& whole) {
  for (const Presented& p : part) {
    for (const Presented& w : whole)
      if (w.checksum == p.checksum) return p.time - w.time;
  }
  return 0;
}

void shift(std::vector<Presented>& list, double by) {
  for (Presented& p : list) p.time += by;
}

std::size_t video_samples(const std::string& path) {
  for (const TrackSamples& track : inspect_movie(read_file(path)).tracks) {
    for (const char* format : {"avc1", "avc3", "hvc1", "hev1", "mp4v"})
      if (track.format == format) return track.samples.size();
  }
  return 0;
}

Expectation recording_cut_into(Player player, const std::string& recording, const std::vector<std::string>& parts) {
  Expectation expected;
  expected.timeline = presented_timeline(recording, player);
  const FileFacts facts = facts_of(recording);
  const double frame = frame_spacing(expected.timeline.video, facts.duration);
  // The joined parts start as the first part starts, which need not be as the
  // recording does: ffmpeg's segment muxer begins the first part with an empty
  // edit per track. The recording is moved by as much, track by track; from
  // there on every seam must be where the recording has it.
  const Timeline first = presented_timeline(parts.front(), player);
  shift(expected.timeline.video, lead_of(first.video, expected.timeline.video));
  const double audio_lead = lead_of(first.audio_packets, expected.timeline.audio_packets);
  shift(expected.timeline.audio, audio_lead);
  shift(expected.timeline.audio_packets, audio_lead);
  const auto first_at = [&](const std::vector<Presented>& list, double time) {
    return static_cast<std::size_t>(
        std::find_if(list.begin(), list.end(), [&](const Presented& p) { return p.time >= time - SLACK; }) -
        list.begin());
  };
  // A part shows as many frames as it holds: the recording's frames, in the
  // order shown, are shared out so (closed groups of pictures keep a part's together).
  std::size_t video_at = 0;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    ChapterPlan plan;
    plan.frame = frame;
    plan.audio_frame = facts.audio_frame;
    plan.video_begin = std::min(video_at, expected.timeline.video.size());
    video_at += video_samples(parts[k]);
    plan.video_end = std::min(video_at, expected.timeline.video.size());
    plan.start = k == 0 || plan.video_begin == plan.video_end ? (k == 0 ? 0 : expected.chapters.back().end)
                                                             : expected.timeline.video[plan.video_begin].time;
    if (k > 0) expected.chapters.back().end = plan.start;
    expected.chapters.push_back(plan);
  }
  for (ChapterPlan& plan : expected.chapters) {
    plan.audio_begin = first_at(expected.timeline.audio, plan.start);
    plan.audio_end = first_at(expected.timeline.audio, plan.end);
    plan.packet_begin = first_at(expected.timeline.audio_packets, plan.start);
    plan.packet_end = first_at(expected.timeline.audio_packets, plan.end);
  }
  return expected;
}

/// Where a chapter's run of entries (`want`, from `begin` to `end`) starts
/// among `list`, at or after `from`: where its first few entries follow one
/// another, or failing that its first entry. Silence, or a still picture, repeats; of several places the one
/// nearest to where the run is due counts.
std::optional<std::size_t> find_run(const std::vector<Presented>& list, std::size_t from,
                                    const std::vector<Presented>& want, std::size_t begin, std::size_t end) {
  // A run cut short where the joined file loses an entry: then its first entry alone.
  for (const std::size_t run : {std::min<std::size_t>(8, end - begin), std::size_t{1}}) {
    std::optional<std::size_t> found;
    for (std::size_t k = from; k + run <= list.size(); ++k) {
      bool same = true;
      for (std::size_t r = 0; r < run && same; ++r) same = list[k + r].checksum == want[begin + r].checksum;
      if (!same) continue;
      if (!found || std::fabs(list[k].time - want[begin].time) < std::fabs(list[*found].time - want[begin].time)) {
        found = k;
      }
    }
    if (found) return found;
  }
  return std::nullopt;
}

/// "chapter 2's frame 5": whose frame a picture is, by checksum.
std::string whose_frame(const Expectation& expected, const std::string& checksum) {
  for (std::size_t c = 0; c < expected.chapters.size(); ++c) {
    const ChapterPlan& plan = expected.chapters[c];
    for (std::size_t k = plan.video_begin; k < plan.video_end; ++k) {
      if (expected.timeline.video[k].checksum == checksum) {
        return "chapter " + std::to_string(c + 1) + "'s frame " + std::to_string(k - plan.video_begin + 1);
      }
    }
  }
  return "a picture no chapter shows";
}

std::size_t chapter_of_frame(const Expectation& expected, std::size_t index) {
  for (std::size_t c = 0; c < expected.chapters.size(); ++c)
    if (index < expected.chapters[c].video_end) return c;
  return expected.chapters.size() - 1;
}

/// Every frame once and in order: the first place where the joined file
/// shows another picture than the chapters, and how many pictures it shows
/// too often or never.
void judge_frames(const Expectation& expected, const Timeline& joined, PlayerVerdict& verdict) {
  const std::string who = std::string(player_name(verdict.player)) + ", ";
  const auto& want = expected.timeline.video;
  const auto& got = joined.video;
  std::size_t k = 0;
  while (k < want.size() && k < got.size() && want[k].checksum == got[k].checksum) ++k;
  if (k == want.size() && k == got.size()) return;
  if (k < want.size()) {
    const std::size_t c = chapter_of_frame(expected, k);
    const ChapterPlan& plan = expected.chapters[c];
    verdict.faults.push_back(
        who + "chapter " + std::to_string(c + 1) + ": its frame " + std::to_string(k - plan.video_begin + 1) + " of " +
        std::to_string(plan.video_end - plan.video_begin) + ", due at " + sec(want[k].time) + ", is not shown there: " +
        (k < got.size() ? "the joined file shows " + whose_frame(expected, got[k].checksum) + " at " + sec(got[k].time)
                        : "the joined file has shown all its " + std::to_string(got.size()) + " frames"));
  } else {
    verdict.faults.push_back(who + "after the chapters' " + std::to_string(want.size()) +
                             " frames the joined file shows more: " + whose_frame(expected, got[k].checksum) + " at " +
                             sec(got[k].time));
  }
  std::map<std::string, long> balance;  // shown in the joined file minus shown by the chapters
  for (const Presented& p : want) --balance[p.checksum];
  for (const Presented& p : got) ++balance[p.checksum];
  long twice = 0, never = 0;
  for (const auto& [checksum, count] : balance) (count > 0 ? twice : never) += std::labs(count);
  verdict.faults.push_back(who + "the chapters show " + std::to_string(want.size()) + " frames, the joined file " +
                           std::to_string(got.size()) + ": " + std::to_string(twice) + " shown more often, " +
                           std::to_string(never) + " less often or never");
}

PlayerVerdict judge(Player player, const Expectation& expected, const Timeline& joined) {
  PlayerVerdict verdict;
  verdict.player = player;
  verdict.complaints = joined.complaints;
  judge_frames(expected, joined, verdict);
  std::size_t video_from = 0, packet_from = 0;
  for (std::size_t c = 0; c < expected.chapters.size(); ++c) {
    const ChapterPlan& plan = expected.chapters[c];
    const std::string who = std::string(player_name(player)) + ", chapter " + std::to_string(c + 1) + ": ";
    ChapterMeasure measure;
    measure.due = plan.start;
    if (plan.video_begin < plan.video_end) {
      const Presented& first = expected.timeline.video[plan.video_begin];
      if (const auto at = find_run(joined.video, video_from, expected.timeline.video, plan.video_begin, plan.video_end)) {
        measure.video_offset = joined.video[*at].time - first.time;
        // The next chapter is looked for after this one's first half: where
        // chapters are copies, not within this one.
        video_from = *at + std::max<std::size_t>(1, (plan.video_end - plan.video_begin) / 2);
      } else {
        verdict.faults.push_back(who + "its first frame, due at " + sec(first.time) + ", is never shown");
      }
    }
    // The sound is found by its first packet: decoded, it would not be
    // recognised (see Timeline::audio_packets).
    double audio_due = plan.packet_begin < plan.packet_end ? expected.timeline.audio_packets[plan.packet_begin].time : 0;
    if (plan.packet_begin < plan.packet_end) {
      // A player decides edit by edit whether the packet that straddles an
      // edit's start plays: the chapter may start with its second packet.
      const std::size_t last_anchor = std::min(plan.packet_begin + 1, plan.packet_end - 1);
      for (std::size_t anchor = plan.packet_begin; anchor <= last_anchor && !measure.audio_offset; ++anchor) {
        if (const auto at = find_run(joined.audio_packets, packet_from, expected.timeline.audio_packets, anchor,
                                     plan.packet_end)) {
          audio_due = expected.timeline.audio_packets[anchor].time;
          measure.audio_offset = joined.audio_packets[*at].time - audio_due;
          packet_from = *at + std::max<std::size_t>(1, (plan.packet_end - plan.packet_begin) / 2);
        }
      }
      if (!measure.audio_offset) {
        verdict.faults.push_back(who + "its sound, due from " + sec(expected.timeline.audio_packets[plan.packet_begin].time) +
                                 ", is never played");
      }
    }
    measure.audio_seconds = sound_within(joined.audio, 0, joined.audio.size(), plan.start, plan.end);
    measure.expected_audio_seconds =
        sound_within(expected.timeline.audio, plan.audio_begin, plan.audio_end, plan.start, plan.end);

    const double video_limit = plan.frame + SLACK;
    const double audio_limit = plan.audio_frame + SLACK;
    // Priming the joined file shows instead of hiding moves the whole chapter
    // later by at most that much; its picture and sound stay together.
    const bool moved_by_priming = plan.priming > 0 && measure.video_offset && measure.audio_offset &&
                                  *measure.audio_offset >= 0 && *measure.audio_offset <= plan.priming + audio_limit &&
                                  *measure.video_offset <= plan.priming + video_limit &&
                                  std::fabs(*measure.audio_offset - *measure.video_offset) <= audio_limit;
    if (measure.video_offset && std::fabs(*measure.video_offset) > video_limit && !moved_by_priming) {
      verdict.faults.push_back(who + "its first frame is due at " + sec(expected.timeline.video[plan.video_begin].time) +
                               ", shown at " + sec(expected.timeline.video[plan.video_begin].time + *measure.video_offset) +
                               " (" + ms(*measure.video_offset) + ", more than a frame)");
    }
    if (measure.audio_offset && std::fabs(*measure.audio_offset) > audio_limit && !moved_by_priming) {
      verdict.faults.push_back(who + "its sound is due at " + sec(audio_due) + ", played at " +
                               sec(audio_due + *measure.audio_offset) +
                               " (" + ms(*measure.audio_offset) + ", more than an AAC frame)");
    }
    if (std::fabs(measure.audio_seconds - measure.expected_audio_seconds) > audio_limit) {
      verdict.faults.push_back(who + "its span from " + sec(plan.start) + " plays " + sec(measure.audio_seconds) +
                               " of sound, the chapter alone " + sec(measure.expected_audio_seconds));
    }
    verdict.chapters.push_back(measure);
  }
  for (const std::string& fault : verdict.faults) {
    for (std::size_t c = 0; c < verdict.chapters.size(); ++c) {
      if (fault.find("chapter " + std::to_string(c + 1) + ":") != std::string::npos) verdict.chapters[c].faulty = true;
    }
  }
  return verdict;
}

std::string test_name() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name() : "";
}

/// One line per chapter, for a table of what each player does with each join.
void print_measures(const PlayerVerdict& verdict) {
  for (std::size_t c = 0; c < verdict.chapters.size(); ++c) {
    const ChapterMeasure& m = verdict.chapters[c];
    std::cout << "[player judge] " << test_name() << " " << player_name(verdict.player) << " chapter " << c + 1 << "/"
              << verdict.chapters.size() << ": due " << sec(m.due) << ", video start "
              << (m.video_offset ? ms(*m.video_offset) : std::string("never")) << ", audio start "
              << (m.audio_offset ? ms(*m.audio_offset) : std::string("never")) << ", audio " << sec(m.audio_seconds)
              << " (alone " << sec(m.expected_audio_seconds) << ")" << (m.faulty ? " FAULTY" : "")
              << "\n";
  }
}

template <class Judge>
void expect_plays(const Judge& judge_with) {
  const std::vector<Player> players = available_players();
  for (const Player player : players) {
    try {
      const PlayerVerdict verdict = judge_with(player);
      print_measures(verdict);
      for (const std::string& fault : verdict.faults) ADD_FAILURE() << fault;
      if (!verdict.faults.empty() && !verdict.complaints.empty()) {
        std::cout << "[player judge] " << player_name(player) << " said while playing the joined file:\n"
                  << verdict.complaints;
      }
    } catch (const std::exception& e) {
      std::cout << "[player judge] " << test_name() << " " << player_name(player) << " cannot play: " << e.what() << "\n";
      ADD_FAILURE() << player_name(player) << ": " << e.what();
    }
  }
  if (std::find(players.begin(), players.end(), Player::Gstreamer) == players.end()) {
    GTEST_SKIP() << "GStreamer is not judged: " << record_missing_gstreamer();
  }
}

}  // namespace

PlayerVerdict judge_chapters(Player player, const std::vector<std::string>& chapters, const std::string& joined) {
  return judge(player, chapters_laid_end_to_end(player, chapters), presented_timeline(joined, player));
}

PlayerVerdict judge_recording(Player player, const std::string& recording, const std::vector<std::string>& parts,
                              const std::string& joined) {
  return judge(player, recording_cut_into(player, recording, parts), presented_timeline(joined, player));
}

void expect_plays_like_chapters(const std::vector<std::string>& chapters, const std::string& joined) {
  expect_plays([&](Player player) { return judge_chapters(player, chapters, joined); });
}

void expect_plays_like_recording(const std::string& recording, const std::vector<std::string>& parts,
                                 const std::string& joined) {
  expect_plays([&](Player player) { return judge_recording(player, recording, parts, joined); });
}

}  // namespace reelknit::testing
