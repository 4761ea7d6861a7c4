#pragma once

#include <array>
#include <cstdint>

#include "retina/sensor.h"

// How strongly a sensor responds to the pixel under it, in [0, 1]: the byte of the channel its
// class reads divided by 255, or for any other class the sum of the three bytes divided by 765,
// in single precision. Sampling uses it as the activation, rendering scales it back to 0..255 for
// the disc colour, and the fovea update uses the three-channel mean as brightness.
//
// The divisions are tabulated at compile time: the same single-precision quotients, without a
// division per sensor and frame.

namespace color_response_detail {

template <std::size_t N>
constexpr std::array<float, N> quotients(float divisor) {
  std::array<float, N> table{};
  for (std::size_t i = 0; i < N; ++i)
    table[i] = static_cast<float>(i) / divisor;
  return table;
}

inline constexpr std::array<float, 256> kByteOver255 = quotients<256>(255.0f);
inline constexpr std::array<float, 766> kSumOver765 = quotients<766>(765.0f);

}  // namespace color_response_detail

// (b + g + r) / 765 of a BGR pixel.
inline float meanIntensity(const std::uint8_t* bgr) {
  return color_response_detail::kSumOver765[bgr[0] + bgr[1] + bgr[2]];
}

// The response of a sensor of `colorClass` to the BGR pixel `bgr`.
inline float colorResponse(ColorClass colorClass, const std::uint8_t* bgr) {
  using color_response_detail::kByteOver255;
  switch (colorClass) {
    case ColorClass::albastru:
      return kByteOver255[bgr[0]];
    case ColorClass::verde:
      return kByteOver255[bgr[1]];
    case ColorClass::rosu:
      return kByteOver255[bgr[2]];
    default:
      return meanIntensity(bgr);
  }
}

// The BGR channel (0, 1, 2) a class reads alone, or -1 for the three-channel mean.
inline int colorChannel(ColorClass colorClass) {
  switch (colorClass) {
    case ColorClass::albastru:
      return 0;
    case ColorClass::verde:
      return 1;
    case ColorClass::rosu:
      return 2;
    default:
      return -1;
  }
}
