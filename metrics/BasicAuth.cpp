#include "metrics/BasicAuth.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <array>
#include <memory>

namespace {

// Unknown users are checked against this, with the users' own cost put in.
constexpr std::string_view kDecoyHash = "$2b$10$P1LBy8r771A2crcKwjCAKurksVBjzbAAlwjbxszgTn9ks60N6DUVK";

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

BasicAuth::BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)), decoy_(decoyFor(users_)) {}

std::string BasicAuth::decoyFor(const std::map<std::string, std::string>& users) {
    std::string decoy(kDecoyHash);
    std::string_view cost = "04";
    for (const auto& [name, hash] : users)
        if (isBcryptHash(hash) && hash.substr(4, 2) > cost)
            cost = std::string_view(hash).substr(4, 2);
    return decoy.replace(4, 2, cost);
}

bool BasicAuth::isBcryptHash(std::string_view hash) {
    if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$')
        return false;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y')
        return false;
    const bool costDigits = hash[4] >= '0' && hash[4] <= '3' && hash[5] >= '0' && hash[5] <= '9';
    const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (!costDigits || cost < 4 || cost > 31)
        return false;
    constexpr std::string_view kAlphabet = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    return hash.substr(7).find_first_not_of(kAlphabet) == std::string_view::npos;
}

bool BasicAuth::decodeBase64(std::string_view text, std::string& out) {
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    std::uint32_t bits = 0;
    int count = 0;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int value = -1;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=' && i + 2 >= text.size()) {
            ++padding;
            value = 0;
        }
        if (value < 0 || (padding > 0 && c != '='))
            return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xFF);
            out += static_cast<char>((bits >> 8) & 0xFF);
            out += static_cast<char>(bits & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    out.resize(out.size() - padding);
    return true;
}

bool BasicAuth::matches(const std::string& password, const std::string& hash) {
    // crypt_data is tens of kilobytes: too much for the server thread's stack to take lightly.
    const auto data = std::make_unique<crypt_data>();
    const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
    return result != nullptr && result[0] != '*' && sameText(result, hash);
}

std::optional<std::pair<std::string, std::string>> BasicAuth::credentials(std::string_view authorization) {
    constexpr std::string_view kScheme = "Basic ";
    if (authorization.size() < kScheme.size())
        return std::nullopt;
    for (std::size_t i = 0; i < kScheme.size() - 1; ++i) {
        const char c = authorization[i];
        if ((c | 0x20) != (kScheme[i] | 0x20)) // the scheme's name is not case-sensitive
            return std::nullopt;
    }
    if (authorization[kScheme.size() - 1] != ' ')
        return std::nullopt;
    authorization.remove_prefix(kScheme.size());
    while (!authorization.empty() && authorization.front() == ' ')
        authorization.remove_prefix(1);
    std::string decoded;
    if (!decodeBase64(authorization, decoded))
        return std::nullopt;
    const auto colon = decoded.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    return std::pair{decoded.substr(0, colon), decoded.substr(colon + 1)};
}

bool BasicAuth::knownRight(const std::string& user, const std::string& password) {
    const std::lock_guard lock(mutex_);
    const auto known = accepted_.find(user);
    return users_.count(user) != 0 && known != accepted_.end() && sameText(known->second, password);
}

bool BasicAuth::answersAtOnce(std::string_view authorization) {
    const auto given = credentials(authorization);
    return !given || knownRight(given->first, given->second);
}

bool BasicAuth::allows(std::string_view authorization) {
    const auto given = credentials(authorization);
    if (!given)
        return false;
    const auto& [user, password] = *given;
    if (knownRight(user, password))
        return true;
    const auto found = users_.find(user);
    if (found == users_.end()) {
        (void)matches(password, decoy_);
        return false;
    }
    if (!matches(password, found->second))
        return false;
    const std::lock_guard lock(mutex_);
    accepted_[user] = password;
    return true;
}
