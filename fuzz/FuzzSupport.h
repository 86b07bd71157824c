#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// A broken rule aborts with its text, so libFuzzer reports the input that broke it and keeps it.
inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "rule broken: %s\n", what);
        std::abort();
    }
}

// The first `count` NUL-separated fields of `text`; missing ones are empty, the last takes the rest.
inline std::vector<std::string> nulFields(std::string_view text, std::size_t count) {
    std::vector<std::string> fields(count);
    for (std::size_t i = 0; i < count && !text.empty(); ++i) {
        const auto nul = i + 1 == count ? std::string_view::npos : text.find('\0');
        fields[i] = text.substr(0, nul);
        text = nul == std::string_view::npos ? std::string_view{} : text.substr(nul + 1);
    }
    return fields;
}

inline std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}
