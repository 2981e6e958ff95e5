#pragma once

#include <cstdint>
#include <vector>

namespace qx::kit {

// A YUV 4:2:0 picture with tightly packed planes (strides width and width / 2).
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> y;
    std::vector<uint8_t> u;
    std::vector<uint8_t> v;
};

// Where the burnt-in frame counter sits: kCounterDigits digits of a 5x7 font, each font pixel
// scale x scale picture pixels, the first digit's top-left corner at (x, y), on a dark plate
// one font pixel wider on every side.
struct CounterLayout {
    int scale = 1;
    int x = 0;
    int y = 0;
};

constexpr int kCounterDigits = 6;
// The counter shows the frame number modulo this.
constexpr int64_t kCounterModulo = 1000000;

CounterLayout CounterLayoutFor(int width, int height);

// Frames that fall on a whole second of stream time are flash frames.
bool IsFlashFrame(int64_t frame, int fps);

// The source picture of frame number `frame`: a scrolling diagonal ramp, a bouncing box and
// moving chroma, or for a flash frame an almost white picture; the frame counter on top.
// Same arguments, same bytes.
Picture MakePicture(int width, int height, int64_t frame, int fps);

// Reads the burnt-in counter back from a luma plane of the given size (a decoded picture
// will do). Returns -1 if a digit does not resemble any glyph.
int64_t ReadCounter(const uint8_t* y, int stride, int width, int height);
int64_t ReadCounter(const Picture& picture);

}  // namespace qx::kit
