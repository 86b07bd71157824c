#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "alerts/WavFile.h"
#include "support/TempDir.h"

namespace {

void put32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s += static_cast<char>(v >> (8 * i) & 0xFF);
}

void put16(std::string& s, std::uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}

// A WAV file image: an optional chunk before "fmt ", the format, and `dataBytes` of silence.
std::string wav(std::uint16_t format, std::uint32_t rate, std::uint16_t channels, std::uint32_t dataBytes,
                bool listChunk = false, std::uint32_t declaredData = 0) {
    std::string body = "WAVE";
    if (listChunk) {
        body += "LIST";
        put32(body, 5);
        body += "INFOx";
        body += '\0'; // pad to an even size
    }
    body += "fmt ";
    put32(body, 16);
    put16(body, format);
    put16(body, channels);
    put32(body, rate);
    put32(body, rate * channels * 2);
    put16(body, static_cast<std::uint16_t>(channels * 2));
    put16(body, 16);
    body += "data";
    put32(body, declaredData != 0 ? declaredData : dataBytes);
    body += std::string(dataBytes, '\0');
    std::string file = "RIFF";
    put32(file, static_cast<std::uint32_t>(body.size()));
    return file + body;
}

TEST(WavFileTest, Durations) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        std::optional<std::chrono::milliseconds> expected;
    };
    using std::chrono::milliseconds;
    const Case cases[] = {
        {"mono", wav(1, 22050, 1, 22050 * 2 / 2), milliseconds(500)},
        {"stereo", wav(1, 44100, 2, 44100 * 4), milliseconds(1000)},
        {"roundsUp", wav(1, 1000, 1, 3), milliseconds(2)},
        {"chunkBeforeFormat", wav(1, 8000, 1, 1600, true), milliseconds(100)},
        {"cutOff", wav(1, 8000, 1, 1600, false, 16000), milliseconds(100)},
        {"compressed", wav(2, 8000, 1, 1600), std::nullopt},
        {"zeroRate", wav(1, 0, 1, 1600), std::nullopt},
        {"text", "this is not a sound", std::nullopt},
        {"truncatedHeader", wav(1, 8000, 1, 1600).substr(0, 30), std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(std::string(c.name) + ".wav");
        std::ofstream(path, std::ios::binary) << c.content;
        EXPECT_EQ(WavFile::duration(QString::fromStdString(path)), c.expected) << c.name;
    }
    EXPECT_EQ(WavFile::duration(QString::fromStdString(dir.file("missing.wav"))), std::nullopt);
}

TEST(WavFileTest, ShippedChimeIsShortPcm) {
    const char* source = std::getenv("OSTREVO_SOURCE_DIR");
    if (source == nullptr)
        GTEST_SKIP() << "OSTREVO_SOURCE_DIR is not set";
    const auto duration = WavFile::duration(QString::fromUtf8(source) + QStringLiteral("/resources/alert.wav"));
    ASSERT_TRUE(duration);
    EXPECT_GE(duration->count(), 200);
    EXPECT_LE(duration->count(), 500);
}

} // namespace
