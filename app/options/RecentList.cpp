#include "app/options/RecentList.h"

#include <algorithm>

namespace RecentList {
namespace {

char foldAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.emplace_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}

std::string join(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& entry : entries) {
        if (entry.empty())
            continue; // an empty line would come back as an entry that names no host
        text += entry;
        text += "\r\n";
    }
    return text;
}

bool sameEntry(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return foldAscii(x) == foldAscii(y); });
}

bool remember(std::vector<std::string>& entries, const std::string& host) {
    if (host.empty())
        return false;
    bool known = std::any_of(entries.begin(), entries.end(),
                             [&host](const std::string& entry) { return sameEntry(entry, host); });
    if (!known)
        entries.push_back(host);
    return !known;
}

} // namespace RecentList
