#include "datafiles/stats.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

std::string statsHeader() {
  return "frame,read_ms,sampling_ms,emission_ms,model_step_ms,snapshots_ms,fovea_ms,rendering_ms,"
         "overlay_ms,iteration_ms,real_frame_ms,events_pushed,displaced_total,batches_total,"
         "fovea_cx,fovea_cy,frame_time_ms,resident_mib,sampled_cx,sampled_cy";
}

StatsWriter::~StatsWriter() {
  discard();
}

std::string StatsWriter::create(const std::string& path, const std::vector<std::string>& comments) {
  target_ = path;
  const std::string problem = file_.create(path, TemporaryKind::anonymous);
  if (!problem.empty()) {
    error_ = cannotWrite(path, problem);
    return error_;
  }
  // A stream of its own on the temporary file, which may have no name until commit.
  const int fd = fcntl(file_.descriptor(), F_DUPFD_CLOEXEC, 0);
  out_ = fd < 0 ? nullptr : fdopen(fd, "w");
  if (out_ == nullptr) {
    fail();
    if (fd >= 0) close(fd);
    discard();
    return error_;
  }
  for (const std::string& comment : comments) {
    if (!addComment(comment).empty()) break;
  }
  if (error_.empty() && std::fprintf(out_, "%s\n", statsHeader().c_str()) < 0) fail();
  if (!error_.empty()) discard();
  return error_;
}

std::string StatsWriter::addComment(const std::string& text) {
  if (out_ == nullptr || !error_.empty()) return error_;
  // A line break in the text (a file name may hold one) continues the comment.
  std::string comment = "# ";
  for (const char c : text)
    comment += c == '\n' || c == '\r' ? std::string("\n# ") : std::string(1, c);
  return std::fprintf(out_, "%s\n", comment.c_str()) >= 0 ? std::string() : fail();
}

std::string StatsWriter::add(const StatsRow& r) {
  if (out_ == nullptr || !error_.empty()) return error_;
  const StageSeconds& s = r.stages;
  const double read = r.readSeconds + s.convert;
  const double frame = read + s.work() + s.modelStep;
  const int written = std::fprintf(
      out_,
      "%lld,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f,%zu,%llu,%llu,%d,%d,%d,%.1f,%d,%d\n",
      static_cast<long long>(r.frame), read * 1e3, s.sampling * 1e3, s.emission * 1e3,
      s.modelStep * 1e3, s.snapshots * 1e3, s.fovea * 1e3, s.rendering * 1e3, s.overlay * 1e3,
      s.work() * 1e3, frame * 1e3, r.eventsPushed,
      static_cast<unsigned long long>(r.queue.displaced),
      static_cast<unsigned long long>(r.queue.batches), r.center.cx, r.center.cy, r.frameTimeMs,
      r.residentMib, r.sampledCenter.cx, r.sampledCenter.cy);
  return written >= 0 ? std::string() : fail();
}

std::string StatsWriter::finish() {
  if (out_ == nullptr && error_.empty()) error_ = cannotWrite(target_, "");
  if (error_.empty()) {
    const int closed = std::fclose(out_);
    out_ = nullptr;
    if (closed != 0) fail();
  }
  if (!error_.empty()) discard();
  return error_;
}

void StatsWriter::discard() {
  if (out_ != nullptr) std::fclose(out_);
  out_ = nullptr;
  file_.abandon();
}

std::string StatsWriter::commit() {
  const std::string problem = file_.commit();
  return problem.empty() ? problem : cannotWrite(target_, problem);
}

const std::string& StatsWriter::fail() {
  if (error_.empty()) error_ = cannotWrite(target_, std::strerror(errno));
  return error_;
}
