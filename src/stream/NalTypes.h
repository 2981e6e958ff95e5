#pragma once

// NAL unit types the library looks at (ITU-T H.264 Table 7-1, H.265 Table 7-1).
namespace qx {

constexpr int kH264Slice = 1;
constexpr int kH264Idr = 5;
constexpr int kH264Sei = 6;
constexpr int kH264Sps = 7;
constexpr int kH264Pps = 8;
constexpr int kH264Aud = 9;
// Subset SPS of the scalable and multiview extensions.
constexpr int kH264SubsetSps = 15;
constexpr int kH264SliceExtension = 20;

constexpr int kHevcIdrWithLeading = 19;
constexpr int kHevcIdrNoLeading = 20;
constexpr int kHevcVps = 32;
constexpr int kHevcSps = 33;
constexpr int kHevcPps = 34;

}  // namespace qx
