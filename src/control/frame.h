#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace control {

inline constexpr std::size_t frameSize = 4096;

// One command frame. The buffer holds one byte more than a frame, which is always NUL, so that
// the text of a frame without any NUL ends at the frame's end.
struct Frame {
    std::array<char, frameSize + 1> bytes{};
    std::size_t received = 0;  // bytes that arrived for this frame

    void clear() {
        bytes.fill('\0');
        received = 0;
    }
    // The text from `offset` up to the first NUL byte.
    std::string_view text(std::size_t offset = 0) const {
        if (offset >= frameSize) return {};
        return std::string_view(bytes.data() + offset);
    }
};

}  // namespace control
