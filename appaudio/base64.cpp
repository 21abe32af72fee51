#include "appaudio/base64.h"

#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit value, so that three bytes take two look-ups
// and two stores. The reader encodes every byte of the stream; this table makes
// it about half as fast again as one look-up per character.
struct CharPair {
    wchar_t first;
    wchar_t second;
};

const std::array<CharPair, 4096> PAIRS = [] {
    std::array<CharPair, 4096> pairs{};
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        pairs[i] = {static_cast<wchar_t>(ALPHABET[i >> 6]), static_cast<wchar_t>(ALPHABET[i & 63])};
    }
    return pairs;
}();

wchar_t* putGroup(wchar_t* to, uint32_t group) {
    const CharPair& high = PAIRS[group >> 12];
    const CharPair& low = PAIRS[group & 4095];
    to[0] = high.first;
    to[1] = high.second;
    to[2] = low.first;
    to[3] = low.second;
    return to + 4;
}

uint32_t readGroup(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 16 | uint32_t{bytes[1]} << 8 | bytes[2];
}

} // namespace

void appendBase64(std::wstring& out, const uint8_t* bytes, std::size_t size) {
    const std::size_t start = out.size();
    out.resize(start + base64Length(size));
    wchar_t* to = out.data() + start;
    std::size_t i = 0;
    // Two groups from one big-endian 8-byte read while 8 bytes remain.
    for (; i + 8 <= size; i += 6) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        to = putGroup(to, static_cast<uint32_t>(word >> 40));
        to = putGroup(to, static_cast<uint32_t>(word >> 16) & 0xFFFFFF);
    }
    for (; i + 3 <= size; i += 3) to = putGroup(to, readGroup(bytes + i));
    if (i == size) return;
    const bool two = size - i == 2;
    const uint32_t group = uint32_t{bytes[i]} << 16 | (two ? uint32_t{bytes[i + 1]} << 8 : 0);
    to = putGroup(to, group);
    to[-1] = L'=';
    if (!two) to[-2] = L'=';
}
