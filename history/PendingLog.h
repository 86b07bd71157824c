#pragma once

#include <deque>
#include <string>
#include <vector>

#include "history/LedgerStore.h"

// Probes recorded but not yet committed to history.sqlite, appended to a file of their own beside it
// ("history.sqlite-pending-XXXXXX", one per ledger, locked while its ledger lives). Appending a few dozen bytes
// costs far less than a commit, which rewrites whole pages: the ledger appends each probe as it is recorded
// and commits rarely. The file is mapped into memory, so an append is a copy, with no system call and no
// change of the file's times per probe; the kernel keeps what a dying program had copied, and writes it out
// in its own time (no sync: the log covers a program that dies, not a machine that loses power). The next
// ledger to open the file stores what such a log holds and removes it. Unused room in the file is zeros.
class PendingLog {
public:
    explicit PendingLog(std::string ledgerPath);
    // Removes the file: everything in it has been committed.
    ~PendingLog();
    PendingLog(const PendingLog&) = delete;
    PendingLog& operator=(const PendingLog&) = delete;

    // False when the file cannot be made or written; the entry is then only in memory.
    bool append(const LedgerEntry& entry);
    // Everything appended so far was committed.
    void clear();
    // What is still waiting after a commit that took only part of it, `older` before `newer`.
    bool rewrite(const std::deque<LedgerEntry>& older, const std::deque<LedgerEntry>& newer);
    // Keeps the file for the next start instead of removing it: what it holds could not be committed.
    void keep() { keep_ = true; }

    // A log whose ledger is gone, locked by this process until removed or dropped.
    struct Abandoned {
        Abandoned() = default;
        Abandoned(Abandoned&& other) noexcept;
        Abandoned& operator=(Abandoned&&) = delete;
        Abandoned(const Abandoned&) = delete;
        ~Abandoned();
        void remove();

        std::string path;
        int fd = -1;
        std::vector<LedgerEntry> entries;
    };
    [[nodiscard]] static std::vector<Abandoned> abandoned(const std::string& ledgerPath);

    // The bytes of one entry in the file, and back; a damaged or cut-off entry stops reading there. Host and
    // address are written only when they differ from those of `previous`, the probe before it in the file.
    static void encode(const LedgerEntry& entry, const ProbeSample* previous, std::string& out);
    [[nodiscard]] static std::vector<LedgerEntry> decode(const std::string& bytes);

private:
    bool open();
    // Room for `needed` bytes in the file and its mapping.
    bool grow(std::size_t needed);
    void unmap();
    void add(const LedgerEntry& entry);
    // Copies buffer_ after the last entry, growing the file when it is full.
    bool write();

    std::string ledgerPath_;
    std::string path_;
    int fd_ = -1;
    bool failed_ = false;
    bool keep_ = false;
    std::string buffer_;
    char* map_ = nullptr;
    std::size_t capacity_ = 0; // bytes mapped, the file's size
    std::size_t size_ = 0;     // bytes of entries; all after them are zero
    ProbeSample last_;         // host and address of the last probe in the file, when hasLast_
    bool hasLast_ = false;
};
