#pragma once

// What the export file holds: its groups, every dataset with its element type, units,
// description and value names, and the root attributes. ExportFile creates and fills them; when
// and from which thread it is called is the writer's business (export.cpp), which calls it from
// one thread at a time.
//
//   /                 root attributes: the run's provenance (tool, command line, input, mode,
//                     start time, ...), frame_width and frame_height, how the run ended
//   /parameters       one attribute per parameter key, the parameter file as toml, non_default
//   /frames/*         one row per drawn frame: frame, t, fovea_cx, fovea_cy, frame_time_ms,
//                     events_pushed, displaced_total, batches_total, queue_size, sampled_cx,
//                     sampled_cy
//   /events/*         one row per pushed event but the Konio outputs: frame, t, src, dst, kind,
//                     weight
//   /konio_events/*   one row per Konio output: frame, t, unit, weight
//   /retina/*         one row per sensor: index, x, y, color_class, is_spiral, is_prime, radius,
//                     px, py
//   /gains, /konio    --export-gains only: frames x sensors

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "datafiles/export.h"
#include "datafiles/h5_file.h"

// One row of /frames.
struct ExportFrameRow {
  std::int32_t frame = 0;
  double t = 0.0;
  std::int32_t foveaCx = 0;
  std::int32_t foveaCy = 0;
  std::int32_t frameTimeMs = 0;
  std::int64_t eventsPushed = 0;
  std::int64_t displacedTotal = 0;
  std::int64_t batchesTotal = 0;
  std::int64_t queueSize = 0;
  std::int32_t sampledCx = 0;  // the centre the frame's events were sampled around
  std::int32_t sampledCy = 0;
};

// The file and every dataset in it. Each call returns false when an HDF5 call failed; the cause
// is then in the calling thread's H5ErrorCatch.
class ExportFile {
 public:
  // Truncates `path` and creates the groups and every growing column, with its units.
  bool create(const std::string& path);

  // The root attributes known before the first frame, /parameters, and every column's
  // description (the time stamps' depend on the clock: `info.deterministic`).
  bool writeRunAttributes(const ExportRunInfo& info, bool withGains);

  // /retina, frame_width and frame_height, and, `withGains`, the empty /gains and /konio, whose
  // width is the number of sensors. Once, with the first frame.
  bool writeRetina(const std::vector<Sensor>& sensors, const SensorOffsets& offsets,
                   float retinaScale, cv::Size frameSize, bool withGains);

  bool appendFrame(const ExportFrameRow& row);
  // `events` in push order, each counted for `frame`: the Konio outputs go to /konio_events,
  // every other kind to /events.
  bool appendEvents(std::int32_t frame, const std::vector<RetinaEvent>& events);
  // A row of /gains and of /konio; false, without a cause, before writeRetina or when a
  // snapshot's size is not the number of sensors.
  bool appendSnapshots(const std::vector<float>& gains, const std::vector<float>& konio);

  // The root attributes input_ended_early and input_ended_early_cause.
  bool writeInputEndedEarly(std::int64_t frame, const std::string& cause);

  // Writes every column's last rows and the root attributes of the run's end (and, when
  // `firstFrameUnixTime` is given, live, the wall-clock time of the first frame's t).
  bool writeEnd(const ExportEnd& end, const double* firstFrameUnixTime);

  // Closes every dataset and group, then the file; false when any of it failed, typically the
  // last writes on a full disk. Safe to call again.
  bool close();

 private:
  bool createColumns();
  bool describeColumns(bool deterministic);
  // Calls `f` on every growing column, whatever its element type; true when every call returned
  // true. Every column is visited even after a failure, so that each one is closed.
  template <class F>
  bool forEachColumn(F&& f);

  H5Id file_;
  H5Id framesGroup_, eventsGroup_, konioEventsGroup_, retinaGroup_;

  H5Column<std::int32_t> frame_;
  H5Column<double> t_;
  H5Column<std::int32_t> foveaCx_, foveaCy_, frameTimeMs_;
  H5Column<std::int64_t> eventsPushed_, displacedTotal_, batchesTotal_, queueSize_;
  H5Column<std::int32_t> sampledCx_, sampledCy_;

  H5Column<std::int32_t> eventFrame_;
  H5Column<double> eventTime_;
  H5Column<std::int32_t> eventSrc_, eventDst_;
  H5Column<std::uint8_t> eventKind_;
  H5Column<float> eventWeight_;

  H5Column<std::int32_t> konioFrame_;
  H5Column<double> konioTime_;
  H5Column<std::int32_t> konioUnit_;
  H5Column<float> konioWeight_;

  H5Id gains_, konio_;  // frames x sensors; created with the retina, whose size they need
  bool retinaWritten_ = false;
  std::size_t sensors_ = 0;  // the width of /gains and /konio
};
