// Constants of the frame payload syntax shared by the payload writer and reader.
//
// Every frame codes its block type, then for each block (block-major over the
// channels) a global gain, the scalefactors and the lines, with zero runs
// longer than four sent as an escape plus a run length. Before every frame
// whose index is a multiple of 45 the stream is padded to a byte, a fixed
// resync record follows and all models restart, so no model carries
// statistics of more than 45 frames.
#pragma once

#include <array>
#include <cstdint>

namespace qmz {

inline constexpr int kSideAlphabet = 152;         // block type code, global gains, end marker
inline constexpr int kScalefactorAlphabet = 152;  // scalefactors
inline constexpr int kLineAlphabet = 2060;        // line + 1024, and the zero-run escape
inline constexpr int kRunAlphabet = 940;          // zero-run length - 1

inline constexpr int kLineOffset = 1024;
inline constexpr int kMaxLineMagnitude = 1024;  // |line| the line alphabet can carry
inline constexpr int kZeroRunEscape = 2049;
inline constexpr int kMinCodedRun = 5;  // shorter zero runs are coded line by line

inline constexpr int kEndMarker = 139;
inline constexpr int kEndMarkerCount = 9;

inline constexpr int kResyncPeriod = 45;
inline constexpr std::array<uint8_t, 9> kResyncRecord = {0, 0, 0, 0, 0, 0, 0, 0, 0xFF};

constexpr bool isResyncPoint(int frameIndex) {
    return frameIndex > 0 && frameIndex % kResyncPeriod == 0;
}

}  // namespace qmz
