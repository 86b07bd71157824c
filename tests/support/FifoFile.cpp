#include "FifoFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

FifoFile::FifoFile(std::string path) : path_(std::move(path)), made_(::mkfifo(path_.c_str(), 0600) == 0) {}

FifoFile::~FifoFile() {
    if (made_)
        ::unlink(path_.c_str());
}

void FifoFile::release() const {
    // A writer's non-blocking open fails until a reader has the FIFO open: a second at most for it to get there.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int writer = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) {
            ::close(writer);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
