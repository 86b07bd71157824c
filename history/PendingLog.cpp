#include "history/PendingLog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <optional>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kProbe = 'P';
constexpr char kRunEnd = 'E';     // every host's run
constexpr char kHostRunEnd = 'H'; // one host's run
constexpr char kMark = 'S';       // the log's id and the place of the entry after it

template <typename T> void put(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

void putText(std::string& out, const std::string& text) {
    put(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

// No host name or address comes near this: a longer text is damage, so a damaged length never makes the
// reader of a left log wait for (and hold) gigabytes of a piece that never ends.
constexpr std::uint32_t kLongestText = 65'536;

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    [[nodiscard]] bool atEnd() const { return at_ >= bytes_.size(); }
    [[nodiscard]] std::size_t at() const { return at_; }
    // The last failure was bytes running out, not damage.
    [[nodiscard]] bool ranOut() const { return ranOut_; }
    template <typename T> bool get(T& value) {
        if (bytes_.size() - at_ < sizeof(T))
            return ranOut_ = true, false;
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    bool getText(std::string& text) {
        std::uint32_t size = 0;
        if (!get(size))
            return false;
        if (size > kLongestText)
            return false;
        if (bytes_.size() - at_ < size)
            return ranOut_ = true, false;
        text.assign(bytes_.substr(at_, size));
        at_ += size;
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
    bool ranOut_ = false;
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

// What a left log is read in; a long backlog's buffer is not kept beyond it.
constexpr std::size_t kPiece = 65'536;
// The log's file grows in steps of this much; at a probe a second one step lasts about forty minutes.
constexpr std::size_t kStep = 65'536;

std::string prefixOf(const std::string& ledgerPath) {
    return std::filesystem::path(ledgerPath).filename().string() + "-pending-";
}

} // namespace

PendingLog::PendingLog(std::string ledgerPath, std::uint64_t logId) : ledgerPath_(std::move(ledgerPath)), id_(logId) {}

PendingLog::~PendingLog() {
    if (fd_ < 0)
        return;
    unmap();
    // A file put in its place by someone else is theirs.
    if (!keep_ && ownsPath())
        ::unlink(path_.c_str());
    else if (keep_ && intact())
        (void)::ftruncate(fd_, static_cast<off_t>(size_)); // without the unused zeros
    ::close(fd_);
}

std::uint64_t PendingLog::newId() {
    std::uint64_t id = 0;
    while (id == 0 || id > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        if (::getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id))
            id = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 (static_cast<std::uint64_t>(::getpid()) << 40);
        id &= 0x7fff'ffff'ffff'ffffULL; // stored as an SQLite integer, which is signed
    }
    return id;
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
    struct stat st {};
    if (!lockFile(fd) || ::fstat(fd, &st) != 0 || std::rename(name.c_str(), path.c_str()) != 0) {
        ::unlink(name.c_str());
        ::close(fd);
        failed_ = true;
        return false;
    }
    fd_ = fd;
    inode_ = st.st_ino;
    path_ = path;
    size_ = 0;
    fileSize_ = 0;
    marked_ = false;
    hasLast_ = false;
    return true;
}

bool PendingLog::intact() const {
    struct stat st {};
    // Removed, or another file renamed over it, leaves it without a link; cut short, a copy into the mapping
    // past its end would end the program with SIGBUS. One fstat: this runs for every probe.
    return ::fstat(fd_, &st) == 0 && st.st_nlink != 0 && static_cast<std::size_t>(st.st_size) == fileSize_;
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
    fileSize_ = std::max(fileSize_, capacity);
    void* map = map_ == nullptr ? ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0)
                                : ::mremap(map_, capacity_, capacity, MREMAP_MAYMOVE);
    if (map == MAP_FAILED)
        return false;
    map_ = static_cast<char*>(map);
    capacity_ = capacity;
    return true;
}

bool PendingLog::ownsPath() const {
    struct stat atPath {};
    return ::stat(path_.c_str(), &atPath) == 0 && atPath.st_ino == inode_;
}

void PendingLog::restart() {
    unmap();
    // Ours, only cut short or grown by someone else: its name goes with it, the new log takes another.
    if (ownsPath())
        ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
    replaced_ = path_;
    failed_ = false;
}

std::string PendingLog::takeReplaced() {
    std::string out;
    out.swap(replaced_);
    return out;
}

void PendingLog::add(const LedgerEntry& entry) {
    // A route trace or change is committed at once, and a path trace is a minute's figures that the next one
    // brings again: none is worth a format of its own in the log.
    if (entry.sideRecord())
        return;
    if (!marked_ || entry.seq != nextSeq_) {
        encodeMark(id_, entry.seq, buffer_);
        marked_ = true;
    }
    nextSeq_ = entry.seq == 0 ? 0 : entry.seq + 1;
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
        // The entry never reached the file: the next one names its host and place again.
        hasLast_ = false;
        marked_ = false;
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
    if (fd_ >= 0 && !intact())
        restart();
    if (!open())
        return false;
    buffer_.clear();
    add(entry);
    return write();
}

void PendingLog::reset() {
    hasLast_ = false;
    marked_ = false;
}

void PendingLog::clear() {
    reset();
    if (fd_ < 0 || size_ == 0)
        return;
    if (!intact()) {
        restart();
        return;
    }
    // Zeros from the start, so that whatever is cut short the reader finds nothing.
    std::memset(map_, 0, size_);
    size_ = 0;
    if (capacity_ > kStep) {
        // A long backlog's room is given back; the next entry maps the file again.
        unmap();
        if (::ftruncate(fd_, static_cast<off_t>(kStep)) == 0)
            fileSize_ = kStep;
    }
}

bool PendingLog::rewrite(const std::deque<LedgerEntry>& older, const std::deque<LedgerEntry>& newer) {
    clear();
    if (older.empty() && newer.empty())
        return true;
    if (fd_ >= 0 && !intact())
        restart();
    if (!open())
        return false;
    buffer_.clear();
    for (const std::deque<LedgerEntry>* entries : {&older, &newer})
        for (const LedgerEntry& entry : *entries)
            add(entry);
    const bool written = write();
    if (buffer_.capacity() > kPiece)
        std::string().swap(buffer_); // a long backlog's buffer is not kept for single entries
    return written;
}

void PendingLog::encodeMark(std::uint64_t logId, std::uint64_t firstSeq, std::string& out) {
    out += kMark;
    put(out, logId);
    put(out, firstSeq);
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

namespace {

enum class Read { Entry, Mark, Damage };

// One entry, or a mark that changes `state`.
Read decodeOne(Reader& in, PendingLog::DecodeState& state, LedgerEntry& entry) {
    char kind = 0;
    if (!in.get(kind))
        return Read::Damage;
    if (kind == kMark) {
        std::uint64_t logId = 0;
        std::uint64_t seq = 0;
        if (!in.get(logId) || !in.get(seq) || logId == 0 || (state.logId != 0 && logId != state.logId))
            return Read::Damage;
        state.logId = logId;
        state.nextSeq = seq;
        return Read::Mark;
    }
    ProbeSample& s = entry.sample;
    if (!in.get(s.atMs) || s.atMs < 0 || s.atMs > kLatestMs)
        return Read::Damage;
    if (kind == kRunEnd || kind == kHostRunEnd) {
        if (kind == kHostRunEnd && (!in.getText(s.host) || s.host.empty()))
            return Read::Damage;
        entry.runEnd = true;
        return Read::Entry;
    }
    std::uint8_t flags = 0;
    std::int64_t rtt = 0;
    std::int32_t ttl = 0;
    if (kind != kProbe || !in.get(flags) || flags > 7 || ((flags & 1) && !in.get(rtt)) || !in.get(s.status) ||
        ((flags & 2) && !in.get(ttl)) || !in.get(s.hostStatus) || s.hostStatus > 3)
        return Read::Damage;
    if (flags & 4) {
        if (!state.hasPrevious)
            return Read::Damage;
        s.host = state.previous.host;
        s.address = state.previous.address;
    } else if (!in.getText(s.host) || !in.getText(s.address)) {
        return Read::Damage;
    }
    if (flags & 1)
        s.rttUs = rtt;
    if (flags & 2)
        s.ttl = ttl;
    return Read::Entry;
}

} // namespace

std::size_t PendingLog::decodeSome(std::string_view bytes, DecodeState& state, std::vector<LedgerEntry>& out,
                                   std::size_t limit) {
    std::size_t used = 0;
    std::size_t taken = 0;
    while (!state.done && taken < limit && used < bytes.size()) {
        Reader in(bytes.substr(used));
        LedgerEntry entry;
        const Read read = decodeOne(in, state, entry);
        if (read == Read::Damage) {
            // Cut short at the end of this piece: the next one may finish it.
            if (!in.ranOut())
                state.done = true;
            break;
        }
        used += in.at();
        if (read == Read::Mark)
            continue;
        entry.seq = state.nextSeq;
        if (state.nextSeq != 0)
            ++state.nextSeq;
        if (!entry.runEnd) {
            state.previous.host = entry.sample.host;
            state.previous.address = entry.sample.address;
            state.hasPrevious = true;
        }
        out.push_back(std::move(entry));
        ++taken;
    }
    return used;
}

std::vector<LedgerEntry> PendingLog::decode(const std::string& bytes) {
    std::vector<LedgerEntry> out;
    DecodeState state;
    (void)decodeSome(bytes, state, out, std::numeric_limits<std::size_t>::max());
    return out;
}

PendingLog::Abandoned::Abandoned(Abandoned&& other) noexcept
    : path(std::move(other.path)), fd(other.fd), buffer_(std::move(other.buffer_)), offset_(other.offset_),
      atEnd_(other.atEnd_), state_(std::move(other.state_)) {
    other.fd = -1;
}

PendingLog::Abandoned::~Abandoned() {
    if (fd >= 0)
        ::close(fd);
}

bool PendingLog::Abandoned::read(std::vector<LedgerEntry>& out, std::size_t limit) {
    out.clear();
    if (fd < 0)
        return false;
    for (;;) {
        const std::size_t used = decodeSome(buffer_, state_, out, limit - out.size());
        buffer_.erase(0, used);
        if (out.size() >= limit || state_.done || atEnd_)
            break;
        char piece[kPiece];
        const ssize_t n = ::pread(fd, piece, sizeof piece, offset_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            atEnd_ = true; // what is left is a cut tail
        } else {
            buffer_.append(piece, static_cast<std::size_t>(n));
            offset_ += n;
        }
    }
    if (state_.done || atEnd_)
        std::string().swap(buffer_);
    return !out.empty();
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
        out.push_back(std::move(log));
    }
    return out;
}

bool PendingLog::anyIn(const std::string& ledgerPath) {
    const std::filesystem::path ledger(ledgerPath);
    const std::filesystem::path folder = ledger.has_parent_path() ? ledger.parent_path() : ".";
    const std::string prefix = prefixOf(ledgerPath);
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(folder, error))
        if (item.path().filename().string().starts_with(prefix))
            return true;
    return false;
}
