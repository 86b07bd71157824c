#pragma once

#include <cstddef>
#include <string>

// The text of a file that the service reads at start and at each reload (its config, its web config): read without
// ever waiting on the file and never past a bound, so that a FIFO, a terminal, /dev/zero or a folder named by
// mistake costs one clear problem, not a hung reload or all the memory.
struct BoundedFile {
    enum class Outcome : unsigned char { Read, TooLarge, Failed };

    Outcome outcome = Outcome::Failed;
    std::string text;  // Read: the whole file
    std::string error; // Failed: why, as "cannot read: ..."

    [[nodiscard]] static BoundedFile read(const std::string& path, std::size_t maxBytes);
};
