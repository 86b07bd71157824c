// Time per event-log record at level 2: into an empty log and into one that is already 1 GB.
// Each record is positioned at the end and written at once, so the size of the file must not matter.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "alerts/EventLog.h"

namespace {

constexpr int kRecords = 100000;
constexpr off_t kBigSize = off_t{1} << 30;

class SilentMessages : public MessagePort {
public:
    void showError(const std::string& text, const std::string&) override {
        std::fprintf(stderr, "log failed: %s\n", text.c_str());
        std::exit(1);
    }
};

double microsecondsPerRecord(const std::string& path) {
    Settings settings;
    settings.host = "router.lan";
    settings.logLevel = LogLevel::EveryRequest;
    settings.logAppend = true;
    settings.logFileName = path;
    SilentMessages messages;
    EventLog log(settings, messages);
    log.openLogFile();
    const std::string text = "Reply from 127.0.0.1: bytes=32 time<1ms TTL=255";
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRecords; ++i)
        log.writeRecord(HostStatus::Good, text);
    const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / kRecords;
}

} // namespace

int main() {
    char dir[] = "/tmp/ostrevo-log-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::string empty = std::string(dir) + "/empty.log";
    const std::string big = std::string(dir) + "/big.log";

    // Sparse, so the 1 GB costs no disk space; appending still starts at the 1 GB offset.
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, kBigSize) != 0)
        return 1;
    ::close(fd);

    // Warm-up, then alternate so that neither side gets the quieter machine.
    (void)microsecondsPerRecord(empty);
    double emptyTime = 0;
    double bigTime = 0;
    for (int round = 0; round < 3; ++round) {
        ::unlink(empty.c_str());
        emptyTime += microsecondsPerRecord(empty);
        if (::truncate(big.c_str(), kBigSize) != 0)
            return 1;
        bigTime += microsecondsPerRecord(big);
    }
    emptyTime /= 3;
    bigTime /= 3;
    ::unlink(empty.c_str());
    ::unlink(big.c_str());
    ::rmdir(dir);

    std::printf("log_us_per_record_empty: %.3f\n", emptyTime);
    std::printf("log_us_per_record_1gb: %.3f\n", bigTime);
    std::printf("log_per_record_ratio_1gb_vs_empty: %.3f\n", bigTime / emptyTime);
    return 0;
}
