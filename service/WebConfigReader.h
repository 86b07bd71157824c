#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "metrics/WebSecurity.h"
#include "service/ConfigReader.h"

struct WebConfigReadResult {
    WebSecurity security; // meaningful only when there are no problems
    std::vector<ConfigProblem> problems;

    [[nodiscard]] bool ok() const { return problems.empty(); }
};

// The exporter toolkit's web config: tls_server_config {cert_file, key_file, client_ca_file, client_auth_type,
// min_version} and basic_auth_users {name: bcrypt hash}. Relative paths are taken from the file's own folder, as
// the toolkit takes them. Strict like the service's config: unknown keys and hashes that are no bcrypt are problems.
namespace WebConfigReader {

[[nodiscard]] WebConfigReadResult parse(std::string_view text, const std::string& folder);
[[nodiscard]] WebConfigReadResult readFile(const std::string& path);

} // namespace WebConfigReader
