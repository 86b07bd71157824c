#include "service/BoundedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {

BoundedFile failed(const std::string& why) {
    BoundedFile file;
    file.error = "cannot read: " + why;
    return file;
}

} // namespace

BoundedFile BoundedFile::read(const std::string& path, std::size_t maxBytes) {
    // Non-blocking: opening a FIFO would otherwise wait for a writer, and the reload with it, with the signals
    // and the scrapes behind it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return failed(std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return failed(std::strerror(errno));
    }
    if (S_ISDIR(status.st_mode)) {
        return failed(std::strerror(EISDIR));
    }
    // A pipe without a writer reads as empty, which would pass for a file that watches nothing.
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
        return failed("a pipe or a socket, not a file");
    }
    BoundedFile file;
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return failed(std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        file.text.append(chunk.data(), static_cast<std::size_t>(got));
        if (file.text.size() > maxBytes) {
            file.text.clear();
            file.outcome = Outcome::TooLarge;
            return file;
        }
    }
    file.outcome = Outcome::Read;
    return file;
}
