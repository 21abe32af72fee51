#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "appaudio/base64.h"
#include "appaudio/relay.h"

namespace {

const std::wstring PREFIX = L"{\"type\":\"appAudio:pcm\",\"data\":\"";
const std::wstring SUFFIX = L"\"}";

std::wstring encode(const std::vector<uint8_t>& bytes) {
    std::wstring text;
    appendBase64(text, bytes.data(), bytes.size());
    return text;
}

// Strict decoding: every character from the alphabet but up to two "=" at the end.
bool decode(const std::wstring& text, std::vector<uint8_t>& out) {
    static const std::array<int, 128> VALUES = [] {
        const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::array<int, 128> values;
        values.fill(-1);
        for (int i = 0; i < 64; ++i) values[static_cast<size_t>(alphabet[i])] = i;
        return values;
    }();
    const int* value = VALUES.data();
    const size_t size = text.size();
    if (size % 4 != 0) return false;
    size_t padding = 0;
    while (padding < 2 && padding < size && text[size - 1 - padding] == L'=') ++padding;
    out.resize(size / 4 * 3);
    const wchar_t* in = text.data();
    uint8_t* to = out.data();
    uint32_t group = 0;
    for (size_t i = 0; i < size; ++i) {
        const int v = i >= size - padding ? 0 : in[i] < 128 ? value[in[i]] : -1;
        if (v < 0) return false;
        group = group << 6 | static_cast<uint32_t>(v);
        if (i % 4 != 3) continue;
        *to++ = static_cast<uint8_t>(group >> 16);
        *to++ = static_cast<uint8_t>(group >> 8);
        *to++ = static_cast<uint8_t>(group);
    }
    out.resize(out.size() - padding);
    return true;
}

std::vector<uint8_t> countingBytes(size_t size, size_t from = 0) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((from + i) * 7 % 256);
    return bytes;
}

TEST(AppAudioBase64, MatchesTheStandardVectors) {
    const struct {
        std::vector<uint8_t> bytes;
        const wchar_t* text;
    } cases[] = {
        {{}, L""},
        {{'f'}, L"Zg=="},
        {{'f', 'o'}, L"Zm8="},
        {{'f', 'o', 'o'}, L"Zm9v"},
        {{'f', 'o', 'o', 'b'}, L"Zm9vYg=="},
        {{'f', 'o', 'o', 'b', 'a'}, L"Zm9vYmE="},
        {{'f', 'o', 'o', 'b', 'a', 'r'}, L"Zm9vYmFy"},
        // The last two letters of the alphabet and the extremes of a byte.
        {{0xFB, 0xFF, 0xBF}, L"+/+/"},
        {{0x00, 0x00, 0x00, 0xFF}, L"AAAA/w=="},
        {{97, 98, 99}, L"YWJj"},
    };
    for (const auto& c : cases) EXPECT_EQ(encode(c.bytes), c.text);
}

TEST(AppAudioBase64, AppendsAfterWhatIsThere) {
    std::wstring text = L"x";
    const uint8_t bytes[] = {'f', 'o'};
    appendBase64(text, bytes, 2);
    EXPECT_EQ(text, L"xZm8=");
}

TEST(AppAudioBase64, RoundTripsEveryLengthUpToThreeChunks) {
    const std::vector<uint8_t> bytes = countingBytes(3 * PCM_CHUNK_THRESHOLD);
    std::wstring text;
    std::vector<uint8_t> back;
    for (size_t size = 0; size <= bytes.size(); ++size) {
        text.clear();
        appendBase64(text, bytes.data(), size);
        ASSERT_EQ(text.size(), base64Length(size)) << size;
        ASSERT_TRUE(decode(text, back)) << size;
        ASSERT_TRUE(back.size() == size && std::equal(back.begin(), back.end(), bytes.begin()))
            << size;
    }
}

TEST(AppAudioRelay, MessageWrapsTheBase64InTheFixedText) {
    EXPECT_EQ(pcmMessage(countingBytes(0).data(), 0), PREFIX + SUFFIX);
    const uint8_t abc[] = {97, 98, 99};
    EXPECT_EQ(pcmMessage(abc, 3), L"{\"type\":\"appAudio:pcm\",\"data\":\"YWJj\"}");
}

TEST(AppAudioRelay, ChunksAreWholeFramesCutOnceEnoughIsPending) {
    const struct {
        const char* name;
        std::vector<size_t> reads;
        std::vector<size_t> chunks; // per read, 0 for none
        size_t pending;
    } cases[] = {
        {"exactly one chunk", {7680}, {7680}, 0},
        {"one byte short", {7679}, {0}, 7679},
        {"short, then the last byte", {7679, 1}, {0, 7680}, 0},
        {"one frame more", {7688}, {7688}, 0},
        {"a partial frame stays", {7690, 7678}, {7688, 7680}, 0},
        {"at most 7 bytes stay", {7687}, {7680}, 7},
        {"two helper blocks", {3840, 3840}, {0, 7680}, 0},
        {"a full read", {16384}, {16384}, 0},
        {"the largest chunk", {7679, 16384}, {0, 24056}, 7},
        {"small reads",
         {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000},
         {0, 0, 0, 0, 0, 0, 0, 8000},
         0},
    };
    for (const auto& c : cases) {
        PcmChunker chunker;
        size_t written = 0;
        size_t relayed = 0;
        for (size_t i = 0; i < c.reads.size(); ++i) {
            const std::vector<uint8_t> read = countingBytes(c.reads[i], written);
            written += read.size();
            const std::optional<std::wstring> text = chunker.add(read.data(), read.size());
            ASSERT_EQ(text.has_value(), c.chunks[i] != 0) << c.name << ", read " << i;
            if (!text) continue;
            ASSERT_TRUE(text->starts_with(PREFIX) && text->ends_with(SUFFIX)) << c.name;
            std::vector<uint8_t> chunk;
            ASSERT_TRUE(decode(
                text->substr(PREFIX.size(), text->size() - PREFIX.size() - SUFFIX.size()), chunk))
                << c.name;
            EXPECT_EQ(chunk.size(), c.chunks[i]) << c.name << ", read " << i;
            // The stream goes on exactly where the previous chunk ended.
            EXPECT_EQ(chunk, countingBytes(chunk.size(), relayed)) << c.name << ", read " << i;
            relayed += chunk.size();
        }
        EXPECT_EQ(chunker.pending(), c.pending) << c.name;
        EXPECT_EQ(written - relayed, c.pending) << c.name;
    }
}

// MB/s of `work` on one 7680-byte chunk: the fastest of 30 batches of 200, so
// that other load on the machine hides less of it.
template <typename Work> double bestRate(Work work) {
    using Clock = std::chrono::steady_clock;
    double best = 0;
    for (int batch = 0; batch < 30; ++batch) {
        const auto start = Clock::now();
        for (int i = 0; i < 200; ++i) work(i);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        best = std::max(best, 200.0 * PCM_CHUNK_THRESHOLD / seconds / 1e6);
    }
    return best;
}

// The reader encodes 384000 bytes a second. Printed beside memcpy of the same
// bytes in the same run; scripts/measure-relay builds this optimised.
TEST(AppAudioRelay, EncodesFarFasterThanTheStreamArrives) {
    const std::vector<uint8_t> chunk = countingBytes(PCM_CHUNK_THRESHOLD);
    std::vector<uint8_t> copy(chunk.size());
    std::wstring text;
    size_t check = 0;
    const double base64 = bestRate([&](int i) {
        text.clear();
        appendBase64(text, chunk.data(), chunk.size());
        check += text[static_cast<size_t>(i) % text.size()];
    });
    const double memcpy = bestRate([&](int i) {
        std::memcpy(copy.data(), chunk.data(), chunk.size());
        copy[static_cast<size_t>(i) % copy.size()] ^= 1;
        check += copy[static_cast<size_t>(i) % copy.size()];
    });
    std::printf("base64 of 7680-byte chunks: %.0f MB/s; memcpy: %.0f MB/s; ratio 1/%.1f (%zu)\n",
                base64, memcpy, memcpy / base64, check % 10);
    RecordProperty("base64_mb_per_second", static_cast<int>(base64));
    // A hundred times the stream's rate, with room for sanitizers and a loaded machine.
    EXPECT_GT(base64, 38.4);
}

} // namespace
