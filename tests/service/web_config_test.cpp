// The exporter toolkit's web config as the service reads it.

#include <gtest/gtest.h>

#include "service/WebConfigReader.h"
#include "support/TempDir.h"

namespace {

constexpr const char* kHash = "$2b$04$kBqiu1LK0c0xZ7sM85JY7Oa/8oi0gUQikA.hCUgogUkr4VDYd8lX.";

TEST(WebConfig, TlsAndUsersWithPathsFromTheFilesFolder) {
    const auto result = WebConfigReader::parse(std::string("tls_server_config:\n"
                                                           "  cert_file: tls/cert.pem\n"
                                                           "  key_file: /keys/key.pem\n"
                                                           "  client_ca_file: ca.pem\n"
                                                           "  client_auth_type: RequireAndVerifyClientCert\n"
                                                           "  min_version: TLS13\n"
                                                           "basic_auth_users:\n"
                                                           "  prom: ") +
                                                   kHash + "\n",
                                               "/etc/ostrevo");
    ASSERT_TRUE(result.ok()) << result.problems.front().message;
    ASSERT_TRUE(result.security.tls);
    EXPECT_EQ(*result.security.tls, (TlsSettings{"/etc/ostrevo/tls/cert.pem", "/keys/key.pem", "/etc/ostrevo/ca.pem",
                                                 ClientAuth::RequireAndVerifyClientCert, TlsVersion::Tls13}));
    EXPECT_EQ(result.security.basicAuthUsers, (std::map<std::string, std::string>{{"prom", kHash}}));

    const auto empty = WebConfigReader::parse("", "/etc");
    EXPECT_TRUE(empty.ok());
    EXPECT_EQ(empty.security, WebSecurity{}); // plain HTTP, open
}

TEST(WebConfig, MistakesAreProblemsWithTheirPlace) {
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"tls_server_config: {cert_file: c.pem}\n", 1, "needs cert_file and key_file"},
        {"tls_server_config: {cert_file: c, key_file: k, client_auth_type: VerifyClientCertIfGiven}\n", 1,
         "needs client_ca_file"},
        {"tls_server_config: {cert_file: c, key_file: k, client_auth_type: Always}\n", 1, "client_auth_type must be"},
        {"tls_server_config: {cert_file: c, key_file: k, min_version: TLS14}\n", 1, "min_version must be"},
        {"tls_server_config: {cert_file: c, key_file: k, cipher_suites: [x]}\n", 1, "unknown key \"cipher_suites\""},
        {"http_server_config: {http2: false}\n", 1, "unknown key \"http_server_config\""},
        {"basic_auth_users:\n  prom: s3cret\n", 2, "must be a bcrypt hash"},
        {"basic_auth_users:\n  \"a:b\": x\n", 2, "cannot hold a colon"},
        {"basic_auth_users: [prom]\n", 1, "must be a map"},
        {"tls_server_config: {cert_file: [c], key_file: k}\n", 1, "cert_file needs a single value"},
    };
    for (const auto& [text, line, says] : cases) {
        const auto result = WebConfigReader::parse(text, "/etc");
        ASSERT_FALSE(result.ok()) << text;
        EXPECT_EQ(result.security, WebSecurity{});
        EXPECT_EQ(result.problems.front().line, line) << text;
        EXPECT_NE(result.problems.front().message.find(says), std::string::npos) << result.problems.front().message;
    }
}

// Each of these once started the service with plain HTTP open to all, or read without end.
TEST(WebConfig, WhatIsNoFileOfTextIsRefused) {
    const TempDir dir;
    for (const std::string& path : {dir.path(), std::string("/dev/zero")}) {
        const auto result = WebConfigReader::readFile(path);
        ASSERT_EQ(result.problems.size(), 1u) << path;
        EXPECT_EQ(result.problems[0].line, 0);
        EXPECT_EQ(result.security, WebSecurity{});
    }
    EXPECT_EQ(WebConfigReader::readFile(dir.path()).problems[0].message, "cannot read: Is a directory");
    EXPECT_EQ(WebConfigReader::readFile("/dev/zero").problems[0].message, "larger than 1 MiB; is this the web config?");
}

} // namespace
