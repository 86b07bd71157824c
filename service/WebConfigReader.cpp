#include "service/WebConfigReader.h"

#include "metrics/BasicAuth.h"
#include "service/BoundedFile.h"

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <set>

namespace {

constexpr std::size_t kMaxFileBytes = 1024 * 1024;

class WebReader {
public:
    WebReader(std::vector<ConfigProblem>& problems, std::string folder)
        : problems_(problems), folder_(std::move(folder)) {}

    void read(const YAML::Node& root, WebSecurity& security) {
        if (root.IsNull())
            return;
        eachKey(root, "the web config", {"tls_server_config", "basic_auth_users"},
                [&](const std::string& key, const YAML::Node& value) {
                    if (key == "tls_server_config")
                        readTls(value, security);
                    else
                        readUsers(value, security.basicAuthUsers);
                });
    }

private:
    void fail(const YAML::Node& at, std::string message) {
        const YAML::Mark mark = at.Mark();
        problems_.push_back(
            {mark.is_null() ? 0 : mark.line + 1, mark.is_null() ? 0 : mark.column + 1, std::move(message)});
    }

    template <class Handler>
    bool eachKey(const YAML::Node& map, const std::string& what, std::initializer_list<std::string_view> allowed,
                 const Handler& handle) {
        if (!map.IsMap()) {
            fail(map, what + " must be a map");
            return false;
        }
        std::set<std::string> seen;
        for (const auto& entry : map) {
            const YAML::Node& keyNode = entry.first;
            const std::string key = keyNode.IsScalar() ? keyNode.Scalar() : std::string();
            bool known = false;
            for (const std::string_view name : allowed)
                known = known || name == key;
            if (!known)
                fail(keyNode, "unknown key \"" + key.substr(0, 60) + "\" in " + what);
            else if (!seen.insert(key).second)
                fail(keyNode, "\"" + key + "\" is given twice in " + what);
            else
                handle(key, entry.second);
        }
        return true;
    }

    std::string text(const YAML::Node& node, const std::string& key) {
        if (!node.IsScalar() || node.Scalar().empty()) {
            fail(node, key + " needs a single value");
            return {};
        }
        return node.Scalar();
    }

    std::string path(const YAML::Node& node, const std::string& key) {
        std::string value = text(node, key);
        if (!value.empty() && value.front() != '/' && !folder_.empty())
            value = folder_ + "/" + value;
        return value;
    }

    void readTls(const YAML::Node& map, WebSecurity& security) {
        TlsSettings tls;
        const bool isMap = eachKey(
            map, "tls_server_config", {"cert_file", "key_file", "client_ca_file", "client_auth_type", "min_version"},
            [&](const std::string& key, const YAML::Node& value) {
                if (key == "cert_file") {
                    tls.certFile = path(value, key);
                } else if (key == "key_file") {
                    tls.keyFile = path(value, key);
                } else if (key == "client_ca_file") {
                    tls.clientCaFile = path(value, key);
                } else if (key == "client_auth_type") {
                    static constexpr std::array<std::pair<std::string_view, ClientAuth>, 5> kTypes = {{
                        {"NoClientCert", ClientAuth::NoClientCert},
                        {"RequestClientCert", ClientAuth::RequestClientCert},
                        {"RequireAnyClientCert", ClientAuth::RequireAnyClientCert},
                        {"VerifyClientCertIfGiven", ClientAuth::VerifyClientCertIfGiven},
                        {"RequireAndVerifyClientCert", ClientAuth::RequireAndVerifyClientCert},
                    }};
                    const std::string given = text(value, key);
                    bool found = false;
                    for (const auto& [name, type] : kTypes) {
                        if (name == given) {
                            tls.clientAuth = type;
                            found = true;
                        }
                    }
                    if (!found && !given.empty())
                        fail(value, "client_auth_type must be NoClientCert, RequestClientCert, RequireAnyClientCert, "
                                    "VerifyClientCertIfGiven or RequireAndVerifyClientCert");
                } else {
                    static constexpr std::array<std::pair<std::string_view, TlsVersion>, 4> kVersions = {{
                        {"TLS10", TlsVersion::Tls10},
                        {"TLS11", TlsVersion::Tls11},
                        {"TLS12", TlsVersion::Tls12},
                        {"TLS13", TlsVersion::Tls13},
                    }};
                    const std::string given = text(value, key);
                    bool found = false;
                    for (const auto& [name, version] : kVersions) {
                        if (name == given) {
                            tls.minVersion = version;
                            found = true;
                        }
                    }
                    if (!found && !given.empty())
                        fail(value, "min_version must be TLS10, TLS11, TLS12 or TLS13");
                }
            });
        if (!isMap)
            return;
        if (tls.certFile.empty() || tls.keyFile.empty()) {
            fail(map, "tls_server_config needs cert_file and key_file");
            return;
        }
        const bool verifies = tls.clientAuth == ClientAuth::VerifyClientCertIfGiven ||
                              tls.clientAuth == ClientAuth::RequireAndVerifyClientCert;
        if (verifies && tls.clientCaFile.empty()) {
            fail(map, "a client_auth_type that verifies certificates needs client_ca_file");
            return;
        }
        security.tls = tls;
    }

    void readUsers(const YAML::Node& map, std::map<std::string, std::string>& users) {
        if (!map.IsMap()) {
            fail(map, "basic_auth_users must be a map of user names to bcrypt hashes");
            return;
        }
        for (const auto& entry : map) {
            const YAML::Node& nameNode = entry.first;
            const YAML::Node& hashNode = entry.second;
            const std::string name = text(nameNode, "a user name");
            const std::string hash = text(hashNode, "a password hash");
            if (name.empty() || hash.empty())
                continue;
            if (name.find(':') != std::string::npos)
                fail(nameNode, "a user name cannot hold a colon");
            else if (!BasicAuth::isBcryptHash(hash))
                fail(hashNode, "the password of " + name + " must be a bcrypt hash ($2b$...), as htpasswd -nbB makes");
            else if (!users.emplace(name, hash).second)
                fail(nameNode, "user " + name + " is given twice");
        }
    }

    std::vector<ConfigProblem>& problems_;
    const std::string folder_;
};

} // namespace

namespace WebConfigReader {

WebConfigReadResult parse(std::string_view text, const std::string& folder) {
    WebConfigReadResult result;
    try {
        WebReader(result.problems, folder).read(YAML::Load(std::string(text)), result.security);
    } catch (const YAML::DeepRecursion& e) {
        result.problems.push_back(
            {e.mark.is_null() ? 0 : e.mark.line + 1, e.mark.is_null() ? 0 : e.mark.column + 1, ConfigReader::kTooDeep});
    } catch (const YAML::Exception& e) {
        result.problems.push_back({e.mark.is_null() ? 0 : e.mark.line + 1, e.mark.is_null() ? 0 : e.mark.column + 1,
                                   e.msg.empty() ? std::string("unreadable YAML") : e.msg});
    }
    if (!result.ok())
        result.security = {};
    return result;
}

WebConfigReadResult readFile(const std::string& path) {
    WebConfigReadResult result;
    const BoundedFile file = BoundedFile::read(path, kMaxFileBytes);
    if (file.outcome == BoundedFile::Outcome::Failed) {
        result.problems.push_back({0, 0, file.error});
        return result;
    }
    if (file.outcome == BoundedFile::Outcome::TooLarge) {
        result.problems.push_back({0, 0, "larger than 1 MiB; is this the web config?"});
        return result;
    }
    const auto slash = path.rfind('/');
    return parse(file.text, slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1)));
}

} // namespace WebConfigReader
