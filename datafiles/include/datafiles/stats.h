#pragma once

// --stats FILE.csv: one line per frame of what the summary condenses (columns in
// docs/export-format.md), for plotting a run's timings and counters.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "display/fovea.h"
#include "model/event_queue.h"
#include "safe_output/atomic_file.h"
#include "session/session.h"  // StageSeconds

// One frame's line.
struct StatsRow {
  std::int64_t frame = 0;    // 1 = the first drawn frame
  double readSeconds = 0.0;  // waiting for the frame, before its conversion (in `stages`)
  StageSeconds stages;
  std::size_t eventsPushed = 0;
  EventQueueStats queue;  // after the frame
  FoveaCenter center;
  std::int32_t frameTimeMs = 0;  // as the overlay shows it
  double residentMib = -1.0;
  FoveaCenter sampledCenter;  // the centre the frame's events were sampled around
};

// The header line, without its line end.
std::string statsHeader();

class StatsWriter {
 public:
  StatsWriter() = default;
  ~StatsWriter();  // a file that was not finished is discarded
  StatsWriter(const StatsWriter&) = delete;
  StatsWriter& operator=(const StatsWriter&) = delete;

  // Before the run: creates the temporary file beside `path` (see AtomicFile for what is
  // refused) and writes `comments`, each line as a comment ("# ..."), then the header. Returns
  // an empty string or the message.
  std::string create(const std::string& path, const std::vector<std::string>& comments = {});

  // Writes one line (buffered). An empty string, or the message once writing has failed.
  std::string add(const StatsRow& row);
  // Writes one comment line, "# " and `text`, after the rows. As add().
  std::string addComment(const std::string& text);

  // Flushes and closes the file. Returns an empty string or the message (the file is then
  // discarded).
  std::string finish();
  // After finish: renames the file into place. An empty string or the message.
  std::string commit();
  void discard();

 private:
  const std::string& fail();  // records errno as the cause (the first failure's); returns it

  std::string target_;
  AtomicFile file_;
  std::FILE* out_ = nullptr;
  std::string error_;
};
