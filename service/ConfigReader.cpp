#include "service/ConfigReader.h"

#include "service/BoundedFile.h"
#include "service/ConfigNodeReader.h"

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>

namespace {

// Where each document of a stream starts; nothing else of it is kept.
class DocumentStarts final : public YAML::EventHandler {
public:
    std::vector<YAML::Mark> marks;
    void OnDocumentStart(const YAML::Mark& mark) override { marks.push_back(mark); }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
    void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
    void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t, const std::string&) override {}
    void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {}
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {}
    void OnMapEnd() override {}
};

// The library counts some broken bytes (NUL, stray UTF-8) twice or past the end; a place must be in the file.
void pointInside(std::string_view text, std::vector<ConfigProblem>& problems) {
    std::vector<std::size_t> lineLengths;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            lineLengths.push_back(i - start);
            start = i + 1;
        }
    }
    for (ConfigProblem& p : problems) {
        if (p.line <= 0) {
            continue;
        }
        p.line = std::min(p.line, static_cast<int>(lineLengths.size()));
        p.column = std::clamp(p.column, 1, static_cast<int>(lineLengths[static_cast<std::size_t>(p.line - 1)]) + 1);
    }
}

} // namespace

void PrintTo(const ConfigProblem& problem, std::ostream* os) {
    *os << problem.line << ':' << problem.column << ": " << problem.message;
}

namespace ConfigReader {

ConfigReadResult parse(std::string_view text) {
    ConfigReadResult result;
    try {
        const std::string copy(text);
        const YAML::Node root = YAML::Load(copy);
        // A second document would be silently ignored; say so instead. The library's LoadAll can loop for ever on
        // some broken input, so the documents are counted here, two at most.
        std::istringstream stream(copy);
        YAML::Parser parser(stream);
        DocumentStarts starts;
        for (int i = 0; i < 2 && parser.HandleNextDocument(starts); ++i) {
        }
        if (starts.marks.size() > 1) {
            result.problems.push_back({starts.marks[1].line + 1, 1, "the file holds more than one document"});
            return result;
        }
        ConfigNodeReader reader(result.problems);
        reader.read(root, result.config);
    } catch (const ConfigNodeReader::TooManyProblems&) {
        result.problems.push_back(
            {0, 0,
             "stopped after " + std::to_string(kMaxProblems) + " problems; the rest of the file was not checked"});
    } catch (const YAML::DeepRecursion& e) {
        result.problems.push_back(
            {e.mark.is_null() ? 0 : e.mark.line + 1, e.mark.is_null() ? 0 : e.mark.column + 1, kTooDeep});
    } catch (const YAML::Exception& e) {
        result.problems.push_back({e.mark.is_null() ? 0 : e.mark.line + 1, e.mark.is_null() ? 0 : e.mark.column + 1,
                                   e.msg.empty() ? std::string("unreadable YAML") : e.msg});
    }
    if (!result.ok()) {
        result.config = {};
        pointInside(text, result.problems);
    }
    return result;
}

ConfigReadResult readFile(const std::string& path) {
    const BoundedFile file = BoundedFile::read(path, kMaxFileBytes);
    if (file.outcome == BoundedFile::Outcome::Read) {
        return parse(file.text);
    }
    ConfigReadResult result;
    result.problems.push_back(
        {0, 0,
         file.outcome == BoundedFile::Outcome::TooLarge
             ? "larger than " + std::to_string(kMaxFileBytes / (1024 * 1024)) + " MiB; is this the config?"
             : file.error});
    return result;
}

std::string describe(const std::string& path, const ConfigProblem& problem) {
    std::ostringstream out;
    out << path;
    if (problem.line > 0) {
        out << ':' << problem.line << ':' << problem.column;
    }
    out << ": " << problem.message;
    // Keys and values are quoted from the file as they are: --config.check prints them to a terminal, which
    // would take their control characters as commands.
    std::string line;
    for (const char c : out.str()) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            constexpr std::string_view kHex = "0123456789abcdef";
            line += "\\x";
            line += kHex[u >> 4];
            line += kHex[u & 0xF];
        } else {
            line += c;
        }
    }
    return line;
}

} // namespace ConfigReader
