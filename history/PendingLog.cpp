#include "history/PendingLog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/mman.h>
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

// The last millisecond of the year 9999: a time past it, or before 1970, is no probe's but damage.
constexpr std::int64_t kLatestMs = 253'402'300'799'999;

// The log's file grows in steps of this much; at a probe a second one step lasts about forty minutes.
constexpr std::size_t kStep = 65'536;

std::string prefixOf(const std::string& ledgerPath) {
    return std::filesystem::path(ledgerPath).filename().string() + "-pending-";
}

} // namespace

PendingLog::PendingLog(std::string ledgerPath) : ledgerPath_(std::move(ledgerPath)) {}

PendingLog::~PendingLog() {
    if (fd_ < 0)
        return;
    unmap();
    if (!keep_)
        ::unlink(path_.c_str());
    else
        (void)::ftruncate(fd_, static_cast<off_t>(size_)); // without the unused zeros
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
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
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

void PendingLog::unmap() {
    if (map_ != nullptr)
        ::munmap(map_, capacity_);
    map_ = nullptr;
    capacity_ = 0;
}

bool PendingLog::grow(std::size_t needed) {
    const std::size_t capacity = (needed + kStep - 1) / kStep * kStep;
    // Blocks allocated up front: a full disk fails here, never as a fault on a copy into the mapping. What
    // the file holds stays where it is.
    if (::posix_fallocate(fd_, 0, static_cast<off_t>(capacity)) != 0)
        return false;
    void* map = map_ == nullptr ? ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0)
                                : ::mremap(map_, capacity_, capacity, MREMAP_MAYMOVE);
    if (map == MAP_FAILED)
        return false;
    map_ = static_cast<char*>(map);
    capacity_ = capacity;
    return true;
}

void PendingLog::add(const LedgerEntry& entry) {
    // A route trace is committed at once and is not worth a format of its own in the log.
    if (entry.route)
        return;
    encode(entry, hasLast_ ? &last_ : nullptr, buffer_);
    if (!entry.runEnd) {
        // Only the names are compared with the next entry; they rarely change, so they are rarely copied.
        if (last_.host != entry.sample.host)
            last_.host = entry.sample.host;
        if (last_.address != entry.sample.address)
            last_.address = entry.sample.address;
        hasLast_ = true;
    }
}

bool PendingLog::write() {
    if (buffer_.empty())
        return true;
    if (size_ + buffer_.size() > capacity_ && !grow(size_ + buffer_.size())) {
        hasLast_ = false; // the entry never reached the file: the next one names its host again
        return false;
    }
    // The kind byte goes last: a program that dies halfway leaves a zero there, where the reader stops,
    // never half an entry that reads as a whole one.
    std::memcpy(map_ + size_ + 1, buffer_.data() + 1, buffer_.size() - 1);
    std::atomic_signal_fence(std::memory_order_release);
    map_[size_] = buffer_[0];
    size_ += buffer_.size();
    return true;
}

bool PendingLog::append(const LedgerEntry& entry) {
    if (!open())
        return false;
    buffer_.clear();
    add(entry);
    return write();
}

void PendingLog::clear() {
    hasLast_ = false;
    if (map_ == nullptr || size_ == 0)
        return;
    // Zeros from the start, so that whatever is cut short the reader finds nothing.
    std::memset(map_, 0, size_);
    size_ = 0;
    if (capacity_ > kStep) {
        // A long backlog's room is given back; the next entry maps the file again.
        unmap();
        (void)::ftruncate(fd_, static_cast<off_t>(kStep));
    }
}

bool PendingLog::rewrite(const std::deque<LedgerEntry>& older, const std::deque<LedgerEntry>& newer) {
    clear();
    if (older.empty() && newer.empty())
        return true;
    if (!open())
        return false;
    buffer_.clear();
    for (const std::deque<LedgerEntry>* entries : {&older, &newer})
        for (const LedgerEntry& entry : *entries)
            add(entry);
    const bool written = write();
    if (buffer_.capacity() > kStep)
        std::string().swap(buffer_); // a long backlog's buffer is not kept for single entries
    return written;
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
        if (!in.get(kind) || !in.get(s.atMs) || s.atMs < 0 || s.atMs > kLatestMs)
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
