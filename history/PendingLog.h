#pragma once

#include <deque>
#include <string>
#include <vector>

#include "history/LedgerStore.h"

// Probes recorded but not yet committed to history.sqlite, appended to a file of their own beside it
// ("history.sqlite-pending-XXXXXX", one per ledger, locked while its ledger lives). Appending a few dozen bytes
// costs far less than a commit, which rewrites whole pages: the ledger appends every second and commits
// rarely, and a program that dies loses only what it had not appended yet. The next ledger to open the file
// stores what such a log holds and removes it.
class PendingLog {
public:
    explicit PendingLog(std::string ledgerPath);
    // Removes the file: everything in it has been committed.
    ~PendingLog();
    PendingLog(const PendingLog&) = delete;
    PendingLog& operator=(const PendingLog&) = delete;

    // False when the file cannot be made or written; the entries are then only in memory.
    bool append(const std::vector<LedgerEntry>& entries);
    // Everything appended so far was committed.
    void clear();
    // What is still waiting after a commit that took only part of it.
    bool rewrite(const std::deque<LedgerEntry>& entries);
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

    std::string ledgerPath_;
    std::string path_;
    int fd_ = -1;
    bool failed_ = false;
    bool keep_ = false;
    std::string buffer_;
    ProbeSample last_; // the last probe in the file, when hasLast_
    bool hasLast_ = false;
};
