#pragma once

// Cutting the helper's PCM stream into page messages. The stream is raw stereo
// float frames of 8 bytes with no framing; a chunk is always a whole number of
// frames taken from the front of what has been read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Bytes asked for per read of the helper's output.
inline constexpr std::size_t PCM_READ_SIZE = 16384;
// A chunk is cut as soon as this much is pending: 960 frames, 20 ms of sound.
inline constexpr std::size_t PCM_CHUNK_THRESHOLD = 7680;
inline constexpr std::size_t PCM_FRAME_BYTES = 8;

// {"type":"appAudio:pcm","data":"<Base64 of the bytes>"}
std::wstring pcmMessage(const uint8_t* bytes, std::size_t size);

// The reader's pending bytes. Each read's bytes go in; once 7680 or more are
// pending, the largest whole number of frames comes out as a finished page
// message and fewer than 8 bytes stay behind for the next chunk.
class PcmChunker {
  public:
    std::optional<std::wstring> add(const uint8_t* bytes, std::size_t size);
    std::size_t pending() const { return bytes.size(); }

  private:
    std::vector<uint8_t> bytes;
};
