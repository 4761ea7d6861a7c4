#include "display/render.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include <opencv2/imgproc.hpp>

#include "display/circle_stamp.h"
#include "retina/color_response.h"

namespace {

constexpr int kDiscRadius = 2;                   // pixels
constexpr int kPrimeSpiralDiscRadius = 3;        // pixels
const cv::Vec3b kPrimeSpiralColor(0, 255, 255);  // yellow, BGR
const cv::Vec3b kLowGainRingColor(0, 0, 255);    // red, BGR

// The four shapes of the retina, traced from cv::circle once per process.
struct RetinaStamps {
  CircleStamp disc = traceCircle(kDiscRadius, cv::FILLED);
  CircleStamp primeDisc = traceCircle(kPrimeSpiralDiscRadius, cv::FILLED);
  CircleStamp ring = traceCircle(kDiscRadius + 1, 1);
  CircleStamp primeRing = traceCircle(kPrimeSpiralDiscRadius + 1, 1);
};

const RetinaStamps& retinaStamps() {
  static const RetinaStamps stamps;
  return stamps;
}

// BGR colour of a sensor's disc before the gain: its response scaled back to 0..255 (which gives
// the channel byte itself, or the three-channel mean) in the channel its class reads, or in all
// three for the mean.
cv::Vec3f baseColor(ColorClass colorClass, const std::uint8_t* bgr) {
  const float level = colorResponse(colorClass, bgr) * 255.0f;
  const int channel = colorChannel(colorClass);
  if (channel < 0) return {level, level, level};
  cv::Vec3f color(0.0f, 0.0f, 0.0f);
  color[channel] = level;
  return color;
}

}  // namespace

int discRadius(const Sensor& sensor) {
  return isPrimeSpiral(sensor) ? kPrimeSpiralDiscRadius : kDiscRadius;
}

HiddenDiscs findHiddenDiscs(const PackedSensors& sensors) {
  HiddenDiscs hidden(sensors.size(), 0);
  // Walking backwards: for every offset, the largest disc radius drawn there later.
  std::unordered_map<std::uint32_t, int> largestLater;
  for (std::size_t i = sensors.size(); i-- > 0;) {
    const PackedSensor& p = sensors[i];
    const auto key = (static_cast<std::uint32_t>(static_cast<std::uint16_t>(p.dx)) << 16) |
                     static_cast<std::uint16_t>(p.dy);
    const int radius = p.primeSpiral ? kPrimeSpiralDiscRadius : kDiscRadius;
    int& later = largestLater.try_emplace(key, 0).first->second;
    hidden[i] = later >= radius;
    later = std::max(later, radius);
  }
  return hidden;
}

DiscRecords discRecords(const PackedSensors& sensors) {
  const HiddenDiscs hidden = findHiddenDiscs(sensors);
  DiscRecords discs(sensors.size());
  for (std::size_t i = 0; i < sensors.size(); ++i) {
    const PackedSensor& p = sensors[i];
    DiscRecord& d = discs[i];
    d.dx = p.dx;
    d.dy = p.dy;
    d.colorClass = p.colorClass;
    d.flags = static_cast<std::uint8_t>((p.primeSpiral ? kDiscPrimeSpiral : 0) |
                                        (hidden[i] != 0 ? kDiscHidden : 0));
  }
  return discs;
}

void renderRetina(const cv::Mat& frame, const DiscRecords& discs, std::int32_t cx, std::int32_t cy,
                  cv::Mat& canvas, const std::vector<float>& gainSnapshot,
                  const DrawingParameters& drawing) {
  canvas.create(frame.size(), CV_8UC3);  // keeps the storage while the size stays
  if (canvas.isContinuous()) {
    std::memset(canvas.data, 0, canvas.total() * canvas.elemSize());
  } else {
    canvas.setTo(cv::Scalar::all(0));
  }

  const RetinaStamps& stamps = retinaStamps();
  const cv::Size frameSize = frame.size();  // kept in a local: the stamps write through bytes
  const float* gains = gainSnapshot.data();
  const std::size_t gainCount = gainSnapshot.size();
  const float lowGainThreshold = drawing.lowGainThreshold;
  // In locals too: the stamps write through bytes, which may alias the vector's own pointers.
  const DiscRecord* const records = discs.data();
  const std::size_t count = discs.size();
  for (std::size_t i = 0; i < count; ++i) {
    const DiscRecord disc = records[i];
    const cv::Point pixel(cx + disc.dx, cy + disc.dy);
    if (!insideFrame(pixel, frameSize)) continue;

    const float gain = i < gainCount ? gains[i] : 1.0f;
    const bool prime = (disc.flags & kDiscPrimeSpiral) != 0;

    if ((disc.flags & kDiscHidden) == 0) {
      cv::Vec3b color = kPrimeSpiralColor;
      if (!prime) {
        const cv::Vec3f base =
            baseColor(disc.colorClass, frame.ptr<std::uint8_t>(pixel.y) + 3 * pixel.x);
        const double g = gain;  // the darkening is done in double precision
        color = stampColor(cv::Scalar(base[0] * g, base[1] * g, base[2] * g));
      }
      drawStamp(canvas, prime ? stamps.primeDisc : stamps.disc, pixel, color);
    }
    if (gain < lowGainThreshold) {
      drawStamp(canvas, prime ? stamps.primeRing : stamps.ring, pixel, kLowGainRingColor);
    }
  }
}
