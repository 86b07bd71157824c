#include "support/PrometheusParser.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace {

// Debian's python3-prometheus-client serves the system interpreter, which may not be the first on PATH.
std::string python() {
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

} // namespace

double ParsedExposition::value(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? -1.0 : it->second;
}

bool prometheusClientInstalled() {
    return std::system((python() + " -c 'import prometheus_client' 2>/dev/null").c_str()) == 0;
}

ParsedExposition parseExposition(const std::string& body) {
    TempDir dir;
    std::ofstream(dir.file("scrape.txt"), std::ios::binary) << body;
    const char* source = std::getenv("OSTREVO_SOURCE_DIR");
    const std::string command = python() + " " + std::string(source != nullptr ? source : ".") +
                                "/tests/metrics/parse_exposition.py " + dir.file("scrape.txt");
    ParsedExposition parsed;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return parsed;
    std::string output;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    const int status = ::pclose(pipe);
    parsed.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream lines(output);
    std::string key;
    for (double value = 0; lines >> key >> value;)
        parsed.values[key] = value;
    return parsed;
}
