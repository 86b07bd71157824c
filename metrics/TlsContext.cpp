#include "metrics/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <climits>

namespace {

std::string lastError(const std::string& what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return what;
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return what + ": " + text;
}

// OpenSSL opens its files blocking: a FIFO named by mistake would wait for a writer for ever, and the service
// loads these before it takes its signals. What cannot be opened at all is left for OpenSSL to say.
std::string notAFile(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)))
        return "a pipe or a socket, not a file";
    return {};
}

// The modes that ask for a certificate without checking it accept whatever comes.
int acceptAny(int, X509_STORE_CTX*) {
    return 1;
}

} // namespace

TlsSession::~TlsSession() {
    SSL_free(ssl_);
}

TlsSession::Io TlsSession::outcome(int result) {
    switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
        return Io::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Io::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return Io::Closed;
    default:
        // A client's bad handshake must not leave its error for the next connection to find.
        ERR_clear_error();
        return Io::Failed;
    }
}

TlsSession::Io TlsSession::handshake() {
    const int result = SSL_accept(ssl_);
    return result == 1 ? Io::Done : outcome(result);
}

TlsSession::Io TlsSession::read(char* buffer, std::size_t size, std::size_t& done) {
    done = 0;
    const int result = SSL_read_ex(ssl_, buffer, size, &done);
    return result == 1 ? Io::Done : outcome(result);
}

TlsSession::Io TlsSession::write(const char* buffer, std::size_t size, std::size_t& done) {
    done = 0;
    const int result = SSL_write_ex(ssl_, buffer, size, &done);
    return result == 1 ? Io::Done : outcome(result);
}

void TlsSession::close() {
    (void)SSL_shutdown(ssl_);
    ERR_clear_error();
}

std::unique_ptr<TlsContext> TlsContext::create(const TlsSettings& settings, std::string& error) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        error = lastError("cannot set up TLS");
        return nullptr;
    }
    std::unique_ptr<TlsContext> context(new TlsContext(ctx));
    constexpr int kVersions[] = {TLS1_VERSION, TLS1_1_VERSION, TLS1_2_VERSION, TLS1_3_VERSION};
    SSL_CTX_set_min_proto_version(ctx, kVersions[static_cast<int>(settings.minVersion)]);
    // A failed scrape is retried by Prometheus anyway; session tickets would only be state to keep.
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    for (const auto& [path, what] :
         {std::pair{settings.certFile, "the certificate "}, std::pair{settings.keyFile, "the key "},
          std::pair{settings.clientCaFile, "the client CA "}}) {
        if (const std::string why = path.empty() ? std::string() : notAFile(path); !why.empty()) {
            error = "cannot load " + std::string(what) + path + ": " + why;
            return nullptr;
        }
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, settings.certFile.c_str()) != 1) {
        error = lastError("cannot load the certificate " + settings.certFile);
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = lastError("cannot load the key " + settings.keyFile);
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        error = lastError("the key " + settings.keyFile + " does not belong to the certificate " + settings.certFile);
        return nullptr;
    }
    if (!settings.clientCaFile.empty()) {
        if (SSL_CTX_load_verify_locations(ctx, settings.clientCaFile.c_str(), nullptr) != 1) {
            error = lastError("cannot load the client CA " + settings.clientCaFile);
            return nullptr;
        }
        if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(settings.clientCaFile.c_str()))
            SSL_CTX_set_client_CA_list(ctx, names);
    }
    switch (settings.clientAuth) {
    case ClientAuth::NoClientCert:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        break;
    case ClientAuth::RequestClientCert:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, acceptAny);
        break;
    case ClientAuth::RequireAnyClientCert:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, acceptAny);
        break;
    case ClientAuth::VerifyClientCertIfGiven:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        break;
    case ClientAuth::RequireAndVerifyClientCert:
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        break;
    }
    ERR_clear_error();
    return context;
}

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

std::unique_ptr<TlsSession> TlsContext::accept(int fd) const {
    SSL* ssl = SSL_new(ctx_);
    if (ssl == nullptr)
        return nullptr;
    if (SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    return std::make_unique<TlsSession>(ssl);
}
