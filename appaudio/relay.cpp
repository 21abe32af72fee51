#include "appaudio/relay.h"

#include <string_view>

#include "appaudio/base64.h"

std::wstring pcmMessage(const uint8_t* bytes, std::size_t size) {
    constexpr std::wstring_view PREFIX = L"{\"type\":\"appAudio:pcm\",\"data\":\"";
    constexpr std::wstring_view SUFFIX = L"\"}";
    std::wstring text;
    text.reserve(PREFIX.size() + base64Length(size) + SUFFIX.size());
    text += PREFIX;
    appendBase64(text, bytes, size);
    text += SUFFIX;
    return text;
}

std::optional<std::wstring> PcmChunker::add(const uint8_t* data, std::size_t size) {
    bytes.insert(bytes.end(), data, data + size);
    if (bytes.size() < PCM_CHUNK_THRESHOLD) return std::nullopt;
    const std::size_t cut = bytes.size() - bytes.size() % PCM_FRAME_BYTES;
    std::wstring text = pcmMessage(bytes.data(), cut);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    return text;
}
