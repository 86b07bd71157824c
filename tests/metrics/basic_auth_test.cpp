// Basic authentication against bcrypt hashes: the header forms a client may send, and who gets in.

#include <gtest/gtest.h>

#include "metrics/BasicAuth.h"

namespace {

// "s3cret" at the lowest cost, so that the test spends no time hashing.
constexpr const char* kHash = "$2b$04$kBqiu1LK0c0xZ7sM85JY7Oa/8oi0gUQikA.hCUgogUkr4VDYd8lX.";

TEST(BasicAuth, OnlyTheRightUserAndPasswordGetIn) {
    BasicAuth auth({{"prom", kHash}, {"other", kHash}});
    // prom:s3cret, then the same again from the cache of accepted passwords, then the scheme in other case.
    EXPECT_TRUE(auth.allows("Basic cHJvbTpzM2NyZXQ="));
    EXPECT_TRUE(auth.allows("Basic cHJvbTpzM2NyZXQ="));
    EXPECT_TRUE(auth.allows("basic  cHJvbTpzM2NyZXQ="));
    const std::vector<std::string> refused = {
        "",
        "Basic",
        "Basic ",
        "Bearer cHJvbTpzM2NyZXQ=",
        "Basic cHJvbTpzM2NyZXQ",      // padding missing
        "Basic cHJvbTpzM2NyZXQ=x",    // a character past the padding
        "Basic cHJvbTpzM2NyZXR4",     // prom:s3cretx
        "Basic cHJvbTo=",             // prom: (no password)
        "Basic cHJvbXMzY3JldA==",     // proms3cret (no colon)
        "Basic bm9ib2R5OnMzY3JldA==", // nobody:s3cret
        "Basic UFJPTTpzM2NyZXQ=",     // PROM:s3cret: names are exact
    };
    for (const std::string& header : refused)
        EXPECT_FALSE(auth.allows(header)) << header;
    // A wrong password after a right one is still wrong: the cache holds the right one only.
    EXPECT_FALSE(auth.allows("Basic cHJvbTpzM2NyZXQh")); // prom:s3cret!
}

// A fixed cost of 10 for names that are nobody's made each stranger's request 64 times the work of a wrong
// password at cost 4, all of it on the server's one thread, and told by its time which names exist.
TEST(BasicAuth, NamesThatAreNobodysCostWhatTheUsersPasswordsCost) {
    const std::string cheap = BasicAuth::decoyFor({{"prom", kHash}});
    EXPECT_TRUE(BasicAuth::isBcryptHash(cheap));
    EXPECT_EQ(cheap.substr(0, 7), "$2b$04$");
    const std::string costly =
        BasicAuth::decoyFor({{"a", kHash}, {"b", "$2y$12$kBqiu1LK0c0xZ7sM85JY7Oa/8oi0gUQikA.hCUgogUkr4VDYd8lX."}});
    EXPECT_EQ(costly.substr(0, 7), "$2b$12$");
    EXPECT_EQ(costly.substr(7), cheap.substr(7));
}

TEST(BasicAuth, OnlyBcryptHashesAreTaken) {
    EXPECT_TRUE(BasicAuth::isBcryptHash(kHash));
    EXPECT_TRUE(BasicAuth::isBcryptHash("$2y$10$kBqiu1LK0c0xZ7sM85JY7Oa/8oi0gUQikA.hCUgogUkr4VDYd8lX."));
    for (const char* hash : {"s3cret", "$1$abc$defghijklmnopqrstuv", "$2b$04$short",
                             "$2x$04$kBqiu1LK0c0xZ7sM85JY7Oa/8oi0gUQikA.hCUgogUkr4VDYd8lX.",
                             "$2b$03$kBqiu1LK0c0xZ7sM85JY7Oa/8oi0gUQikA.hCUgogUkr4VDYd8lX.",
                             "$2b$04$kBqiu1LK0c0xZ7sM85JY7Oa/8oi0gUQikA.hCUgogUkr4VDYd8lX!"})
        EXPECT_FALSE(BasicAuth::isBcryptHash(hash)) << hash;
}

} // namespace
