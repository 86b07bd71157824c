#include "alerts/WavFile.h"

#include <QFile>

#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;
constexpr std::uint16_t kExtensible = 0xFFFE;

std::uint32_t le32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

std::uint16_t le16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

bool skipExactly(QFile& file, qint64 bytes) {
    return bytes == 0 || file.skip(bytes) == bytes;
}

} // namespace

std::optional<std::chrono::milliseconds> WavFile::duration(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    char riff[12];
    if (file.read(riff, 12) != 12 || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return std::nullopt;

    std::uint32_t byteRate = 0;
    // A damaged file could chain chunks forever; real files have a handful.
    for (int chunk = 0; chunk < 64; ++chunk) {
        char header[8];
        if (file.read(header, 8) != 8)
            return std::nullopt;
        const std::uint32_t size = le32(header + 4);
        if (std::memcmp(header, "fmt ", 4) == 0) {
            char fmt[16];
            if (size < 16 || file.read(fmt, 16) != 16)
                return std::nullopt;
            const std::uint16_t format = le16(fmt);
            if (format != kPcm && format != kFloat && format != kExtensible)
                return std::nullopt;
            byteRate = le32(fmt + 8);
            if (byteRate == 0)
                return std::nullopt;
            if (!skipExactly(file, size - 16 + (size & 1)))
                return std::nullopt;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (byteRate == 0)
                return std::nullopt;
            // A data size past the end of the file belongs to a cut-off file: only what is there plays.
            const auto available = static_cast<std::uint64_t>(file.size() - file.pos());
            const std::uint64_t bytes = std::min<std::uint64_t>(size, available);
            return std::chrono::milliseconds((bytes * 1000 + byteRate - 1) / byteRate);
        } else if (!skipExactly(file, static_cast<qint64>(size) + (size & 1))) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}
