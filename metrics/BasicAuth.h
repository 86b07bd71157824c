#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// Checks an HTTP "Authorization: Basic ..." value against users with bcrypt hashes, through the C library's
// crypt_r. A bcrypt check takes tens of milliseconds on purpose, so each user's last accepted password is kept
// and a scrape every few seconds costs one comparison; wrong passwords always pay the full price.
class BasicAuth {
public:
    explicit BasicAuth(std::map<std::string, std::string> users);

    [[nodiscard]] bool allows(std::string_view authorization);
    // Whether allows() answers this without a bcrypt check: no credentials to check, or a user's password that was
    // found right before.
    [[nodiscard]] bool answersAtOnce(std::string_view authorization);
    // Whether `hash` is one crypt_r checks as bcrypt ($2a$, $2b$ or $2y$ with a cost and 53 characters).
    [[nodiscard]] static bool isBcryptHash(std::string_view hash);
    // What a name that is no user's is checked against: a bcrypt hash of the costliest user's cost, so that it
    // takes as long as a wrong password, no longer (the server's one thread is not to be spent on strangers) and
    // no shorter (its time must not tell which names exist).
    [[nodiscard]] static std::string decoyFor(const std::map<std::string, std::string>& users);
    // Standard base64 with padding; nothing when the text is not that.
    [[nodiscard]] static bool decodeBase64(std::string_view text, std::string& out);

private:
    // The user and password of a "Basic ..." value; nothing when it is no such value.
    [[nodiscard]] static std::optional<std::pair<std::string, std::string>> credentials(std::string_view authorization);
    [[nodiscard]] bool knownRight(const std::string& user, const std::string& password);
    [[nodiscard]] static bool matches(const std::string& password, const std::string& hash);

    const std::map<std::string, std::string> users_;
    const std::string decoy_;
    std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> accepted_; // user -> the password last found right
};
