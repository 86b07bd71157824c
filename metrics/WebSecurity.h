#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// Which client certificates a TLS server asks for, named as the exporter toolkit's web config names them.
enum class ClientAuth : std::uint8_t {
    NoClientCert,
    RequestClientCert,          // asked for, not checked
    RequireAnyClientCert,       // required, not checked
    VerifyClientCertIfGiven,    // checked against the client CA when one comes
    RequireAndVerifyClientCert, // required and checked
};

enum class TlsVersion : std::uint8_t { Tls10, Tls11, Tls12, Tls13 };

struct TlsSettings {
    std::string certFile; // PEM, the server's certificate chain
    std::string keyFile;  // PEM
    std::string clientCaFile;
    ClientAuth clientAuth = ClientAuth::NoClientCert;
    TlsVersion minVersion = TlsVersion::Tls12;

    bool operator==(const TlsSettings&) const = default;
};

// How the scrape server is reached: over TLS when `tls` is set, and only with a user's password when any are
// given (bcrypt hashes, as htpasswd -B writes them). Neither: plain HTTP, open to all, as the desktop serves it.
struct WebSecurity {
    std::optional<TlsSettings> tls;
    std::map<std::string, std::string> basicAuthUsers; // name -> bcrypt hash

    bool operator==(const WebSecurity&) const = default;
};
