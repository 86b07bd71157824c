#include "history/PendingLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <unistd.h>

namespace {

constexpr char kProbe = 'P';
constexpr char kRunEnd = 'E';     // every host's run
constexpr char kHostRunEnd = 'H'; // one host's run

template <typename T> void put(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

void putText(std::string& out, const std::string& text) {
    put(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    [[nodiscard]] bool atEnd() const { return at_ >= bytes_.size(); }
    template <typename T> bool get(T& value) {
        if (bytes_.size() - at_ < sizeof(T))
            return false;
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    bool getText(std::string& text) {
        std::uint32_t size = 0;
        if (!get(size) || bytes_.size() - at_ < size)
            return false;
        text.assign(bytes_, at_, size);
        at_ += size;
        return true;
    }

private:
    const std::string& bytes_;
    std::size_t at_ = 0;
};

// A write lock on the whole file, held by this open file: the kernel drops it with the process.
bool lockFile(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string prefixOf(const std::string& ledgerPath) {
    return std::filesystem::path(ledgerPath).filename().string() + "-pending-";
}

} // namespace

PendingLog::PendingLog(std::string ledgerPath) : ledgerPath_(std::move(ledgerPath)) {}

PendingLog::~PendingLog() {
    if (fd_ < 0)
        return;
    if (!keep_)
        ::unlink(path_.c_str());
    ::close(fd_);
}

bool PendingLog::open() {
    if (fd_ >= 0)
        return true;
    if (failed_)
        return false;
    const std::filesystem::path ledger(ledgerPath_);
    const std::filesystem::path folder = ledger.has_parent_path() ? ledger.parent_path() : ".";
    // Made and locked under a name nobody looks for, so no other program takes it for a dead one's log.
    std::string name = (folder / ("." + ledger.filename().string() + "-new-XXXXXX")).string();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC | O_APPEND);
    if (fd < 0) {
        failed_ = true;
        return false;
    }
    const std::string suffix = name.substr(name.size() - 6);
    const std::string path = (folder / (prefixOf(ledgerPath_) + suffix)).string();
    if (!lockFile(fd) || std::rename(name.c_str(), path.c_str()) != 0) {
        ::unlink(name.c_str());
        ::close(fd);
        failed_ = true;
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

bool PendingLog::append(const std::vector<LedgerEntry>& entries) {
    if (entries.empty())
        return true;
    if (!open())
        return false;
    buffer_.clear();
    for (const LedgerEntry& entry : entries) {
        encode(entry, hasLast_ ? &last_ : nullptr, buffer_);
        if (!entry.runEnd) {
            last_ = entry.sample;
            hasLast_ = true;
        }
    }
    if (writeAll(fd_, buffer_))
        return true;
    // Whatever part made it in, the next entries must not lean on it.
    clear();
    return false;
}

void PendingLog::clear() {
    hasLast_ = false;
    if (fd_ >= 0)
        (void)::ftruncate(fd_, 0);
}

bool PendingLog::rewrite(const std::deque<LedgerEntry>& entries) {
    if (entries.empty()) {
        clear();
        return true;
    }
    if (!open())
        return false;
    clear();
    return append(std::vector<LedgerEntry>(entries.begin(), entries.end()));
}

void PendingLog::encode(const LedgerEntry& entry, const ProbeSample* previous, std::string& out) {
    const ProbeSample& s = entry.sample;
    if (entry.runEnd) {
        out += s.host.empty() ? kRunEnd : kHostRunEnd;
        put(out, s.atMs);
        if (!s.host.empty())
            putText(out, s.host);
        return;
    }
    const bool same = previous != nullptr && previous->host == s.host && previous->address == s.address;
    out += kProbe;
    put(out, s.atMs);
    put(out, static_cast<std::uint8_t>((s.rttUs ? 1 : 0) | (s.ttl ? 2 : 0) | (same ? 4 : 0)));
    if (s.rttUs)
        put(out, *s.rttUs);
    put(out, s.status);
    if (s.ttl)
        put(out, static_cast<std::int32_t>(*s.ttl));
    put(out, s.hostStatus);
    if (!same) {
        putText(out, s.host);
        putText(out, s.address);
    }
}

std::vector<LedgerEntry> PendingLog::decode(const std::string& bytes) {
    std::vector<LedgerEntry> out;
    Reader in(bytes);
    std::optional<std::size_t> previous; // the last probe read
    while (!in.atEnd()) {
        char kind = 0;
        LedgerEntry entry;
        ProbeSample& s = entry.sample;
        if (!in.get(kind) || !in.get(s.atMs))
            break;
        if (kind == kRunEnd || kind == kHostRunEnd) {
            if (kind == kHostRunEnd && (!in.getText(s.host) || s.host.empty()))
                break;
            entry.runEnd = true;
            out.push_back(std::move(entry));
            continue;
        }
        std::uint8_t flags = 0;
        std::int64_t rtt = 0;
        std::int32_t ttl = 0;
        if (kind != kProbe || !in.get(flags) || flags > 7 || ((flags & 1) && !in.get(rtt)) || !in.get(s.status) ||
            ((flags & 2) && !in.get(ttl)) || !in.get(s.hostStatus) || s.hostStatus > 3)
            break;
        if (flags & 4) {
            if (!previous)
                break;
            s.host = out[*previous].sample.host;
            s.address = out[*previous].sample.address;
        } else if (!in.getText(s.host) || !in.getText(s.address)) {
            break;
        }
        if (flags & 1)
            s.rttUs = rtt;
        if (flags & 2)
            s.ttl = ttl;
        out.push_back(std::move(entry));
        previous = out.size() - 1;
    }
    return out;
}

PendingLog::Abandoned::Abandoned(Abandoned&& other) noexcept
    : path(std::move(other.path)), fd(other.fd), entries(std::move(other.entries)) {
    other.fd = -1;
}

PendingLog::Abandoned::~Abandoned() {
    if (fd >= 0)
        ::close(fd);
}

void PendingLog::Abandoned::remove() {
    if (fd < 0)
        return;
    ::unlink(path.c_str());
    ::close(fd);
    fd = -1;
}

std::vector<PendingLog::Abandoned> PendingLog::abandoned(const std::string& ledgerPath) {
    std::vector<Abandoned> out;
    const std::filesystem::path ledger(ledgerPath);
    const std::filesystem::path folder = ledger.has_parent_path() ? ledger.parent_path() : ".";
    const std::string prefix = prefixOf(ledgerPath);
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = item.path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        Abandoned log;
        log.path = item.path().string();
        log.fd = ::open(log.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        // Locked: its ledger is alive, in this process or another.
        if (log.fd < 0 || !lockFile(log.fd))
            continue;
        std::string bytes;
        char buffer[65536];
        for (ssize_t n; (n = ::pread(log.fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()))) > 0;)
            bytes.append(buffer, static_cast<std::size_t>(n));
        log.entries = decode(bytes);
        out.push_back(std::move(log));
    }
    return out;
}
