#pragma once

#include <cstdint>

// The NAL units of an Annex-B access unit, wherever they lie in it: access-unit
// delimiters, SEI, parameter sets (the H.265 VPS joined to the rest or alone) and
// slices, in any order an encoder or a camera writes them.
namespace qx {

struct NalUnit {
    int type = -1;
    // At its start code; size runs to the next start code or the end.
    const unsigned char* start = nullptr;
    int64_t size = 0;
};

struct AccessUnit {
    static constexpr int kMaxUnits = 64;
    NalUnit units[kMaxUnits];
    int count = 0;
    // The first unit that is neither a delimiter nor an SEI; -1 when none is.
    int leadType = -1;
    // The type of the first slice; -1 when the unit holds none.
    int sliceType = -1;
    // The parameter sets: the first SPS (H.264 SPS or subset SPS, H.265 SPS) and the
    // first VPS (H.265), as indices into units so that a copy stays whole; -1 when absent.
    int spsIndex = -1;
    int vpsIndex = -1;
    // A parameter set comes before the first slice.
    bool parameterSetFirst = false;

    bool Contains(int type) const;
    const NalUnit* Sps() const { return spsIndex < 0 ? nullptr : &units[spsIndex]; }
    const NalUnit* Vps() const { return vpsIndex < 0 ? nullptr : &units[vpsIndex]; }
};

// Walks the payload (start code first). Units past kMaxUnits are not listed.
// Never reads past size.
AccessUnit DescribeAccessUnit(const unsigned char* payload, int64_t size, bool h264);

// True for a whole packet (header first, length bytes) of H.264 or H.265 video with a
// slice in it: a picture, not only parameter sets.
bool CarriesPicture(const unsigned char* packet, int64_t length);

}  // namespace qx
