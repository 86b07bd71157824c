#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "history/LedgerStore.h"

// Probes recorded but not yet committed to history.sqlite, appended to a file of their own beside it
// ("history.sqlite-pending-XXXXXX", one per ledger, locked while its ledger lives). Appending a few dozen bytes
// costs far less than a commit, which rewrites whole pages: the ledger appends each probe as it is recorded
// and commits rarely. The file is mapped into memory, so an append is a copy and one fstat, with no write and
// no change of the file's times per probe; the kernel keeps what a dying program had copied, and writes it out
// in its own time (no sync: the log covers a program that dies, not a machine that loses power). The fstat
// checks that the file is still the one mapped (its size, still linked): one truncated, replaced or removed by
// someone else is let go, never copied into (a copy past a file's end ends the program with SIGBUS), and a new
// one started. The next ledger to open history.sqlite stores what such a log holds and removes it. Unused
// room in the file is zeros.
//
// Each entry has its place in the log (LedgerEntry::seq); the file says where its places start (a mark at its
// head, and again wherever they do not follow on), and each commit stores the last place it took in the
// table pending_logs under the log's id. A log left behind is then stored from the first place past that,
// whatever the probes in it look like: two timeouts of one host in one millisecond are two probes.
class PendingLog {
public:
    // `logId`: this log's id in pending_logs, unique to the ledger (newId()).
    PendingLog(std::string ledgerPath, std::uint64_t logId);
    // Removes the file: everything in it has been committed.
    ~PendingLog();
    PendingLog(const PendingLog&) = delete;
    PendingLog& operator=(const PendingLog&) = delete;

    [[nodiscard]] static std::uint64_t newId();
    [[nodiscard]] std::uint64_t id() const { return id_; }

    // False when the file cannot be made or written; the entry is then only in memory.
    bool append(const LedgerEntry& entry);
    // Everything appended so far was committed.
    void clear();
    // What is still waiting after a commit that took only part of it, `older` before `newer`.
    bool rewrite(const std::deque<LedgerEntry>& older, const std::deque<LedgerEntry>& newer);
    // Keeps the file for the next start instead of removing it: what it holds could not be committed.
    void keep() { keep_ = true; }
    [[nodiscard]] bool kept() const { return keep_; }
    // The file was found changed from outside (truncated, replaced, removed) since the last call, and a new one
    // taken: what it held must be written again. Says the old file's name, empty when nothing happened.
    [[nodiscard]] std::string takeReplaced();

    // Where decoding stands between pieces of a log.
    struct DecodeState {
        std::uint64_t logId = 0;   // from the log's mark; 0 for an older program's log
        std::uint64_t nextSeq = 0; // the place of the next entry, 0 when entries have none
        bool hasPrevious = false;  // `previous` holds the host and address of the last probe read
        ProbeSample previous;
        bool done = false; // damage found: nothing after it is read
    };
    // Reads whole entries from `bytes` into `out`, at most `limit`, and returns the bytes they took. An entry
    // cut short at the end is left for the next piece; damage ends reading (state.done).
    static std::size_t decodeSome(std::string_view bytes, DecodeState& state, std::vector<LedgerEntry>& out,
                                  std::size_t limit);

    // A log whose ledger is gone, locked by this process until removed or dropped. Read in pieces.
    class Abandoned {
    public:
        Abandoned() = default;
        Abandoned(Abandoned&& other) noexcept;
        Abandoned& operator=(Abandoned&&) = delete;
        Abandoned(const Abandoned&) = delete;
        ~Abandoned();
        // The next entries, at most `limit`; false once none are left.
        bool read(std::vector<LedgerEntry>& out, std::size_t limit);
        // The log's id, known once its first entries are read.
        [[nodiscard]] std::uint64_t logId() const { return state_.logId; }
        void remove();

        std::string path;
        int fd = -1;

    private:
        std::string buffer_; // read, not yet decoded
        off_t offset_ = 0;   // of the file, read up to here
        bool atEnd_ = false;
        DecodeState state_;
    };
    [[nodiscard]] static std::vector<Abandoned> abandoned(const std::string& ledgerPath);
    // Whether any log of the ledger is in the folder, left or in use: cheap, nothing opened.
    [[nodiscard]] static bool anyIn(const std::string& ledgerPath);

    // The bytes of one entry in the file, and back; a damaged or cut-off entry stops reading there. Host and
    // address are written only when they differ from those of `previous`, the probe before it in the file.
    static void encode(const LedgerEntry& entry, const ProbeSample* previous, std::string& out);
    // The mark that gives the entries after it their places, `firstSeq` onwards, in the log `logId`.
    static void encodeMark(std::uint64_t logId, std::uint64_t firstSeq, std::string& out);
    [[nodiscard]] static std::vector<LedgerEntry> decode(const std::string& bytes);

private:
    bool open();
    // Room for `needed` bytes in the file and its mapping.
    bool grow(std::size_t needed);
    void unmap();
    // The file is still the one mapped: same size, not removed or replaced.
    [[nodiscard]] bool intact() const;
    // The file's name still leads to it.
    [[nodiscard]] bool ownsPath() const;
    // Lets the changed file go and starts a new one on the next write.
    void restart();
    void add(const LedgerEntry& entry);
    // Copies buffer_ after the last entry, growing the file when it is full.
    bool write();
    void reset();

    std::string ledgerPath_;
    std::uint64_t id_;
    std::string path_;
    int fd_ = -1;
    ino_t inode_ = 0;
    bool failed_ = false;
    bool keep_ = false;
    std::string replaced_; // the name of a file found changed, until taken
    std::string buffer_;
    char* map_ = nullptr;
    std::size_t capacity_ = 0; // bytes mapped
    std::size_t fileSize_ = 0; // what this program made the file's size
    std::size_t size_ = 0;     // bytes of entries; all after them are zero
    ProbeSample last_;         // host and address of the last probe in the file, when hasLast_
    bool hasLast_ = false;
    bool marked_ = false;       // the file has its mark
    std::uint64_t nextSeq_ = 0; // the place the file expects next
};
