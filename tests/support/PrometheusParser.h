#pragma once

#include <map>
#include <string>

// A scrape as the Prometheus client's own text parser reads it (Debian's python3-prometheus-client, through
// tests/metrics/parse_exposition.py): samples as "name{sorted labels}" -> value, families as
// "family:name:type" -> 1.
struct ParsedExposition {
    int exitCode = -1; // 0 parsed, 1 the text does not parse, 3 the client is not installed
    std::map<std::string, double> values;

    // -1 when the sample is missing.
    [[nodiscard]] double value(const std::string& key) const;
};

[[nodiscard]] bool prometheusClientInstalled();
// `body` is the answer's body, without the status line and headers.
[[nodiscard]] ParsedExposition parseExposition(const std::string& body);
