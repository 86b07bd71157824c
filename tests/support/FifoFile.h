#pragma once

#include <string>

// A FIFO for code that must refuse one rather than wait for a writer. release() frees a reader that waits all the
// same (a writer comes and goes, so its open returns and its read ends), so that a failing test still ends.
class FifoFile {
public:
    explicit FifoFile(std::string path);
    ~FifoFile();
    FifoFile(const FifoFile&) = delete;
    FifoFile& operator=(const FifoFile&) = delete;

    [[nodiscard]] bool made() const { return made_; }
    [[nodiscard]] const std::string& path() const { return path_; }
    void release() const;

private:
    std::string path_;
    bool made_ = false;
};
