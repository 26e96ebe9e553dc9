// TlsStream on OpenSSL 3: an SSL object over a BIO of our own whose read and write are the
// caller's two I/O functions, the settings, and the library's results turned into status codes.
// Client streams share one library context and, when they validate, one trust store read once.

#include "platform/TlsStream.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>

namespace platform {

namespace detail {

struct TlsStreamImpl {
    using ReadFunction = TlsStream::ReadFunction;
    using WriteFunction = TlsStream::WriteFunction;

    ~TlsStreamImpl() {
        SSL_free(ssl);  // frees the BIO too
        SSL_CTX_free(ctx);  // this stream's reference
    }

    // Before each call into the library: its error queue belongs to the thread, and the threads
    // that drive one stream serve many others in between.
    void begin() {
        ERR_clear_error();
        ioEnded = false;
    }
    int32_t statusOf(int result);
    int32_t failureStatus() const;
    void applyVerifyMode();
    void chooseTrust();

    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    bool isServer = false;
    ReadFunction readFunction = nullptr;
    WriteFunction writeFunction = nullptr;
    void* connection = nullptr;
    bool verify = true;
    bool anyRoot = false;
    bool expiredRoots = false;
    bool expiredCerts = false;
    // The trust for validation is chosen once, when the handshake starts and the settings are final.
    bool trustChosen = false;
    // An I/O function reported the end or failure of the connection during the current call.
    bool ioEnded = false;
};

}  // namespace detail

using detail::TlsStreamImpl;

namespace {

// The library is set up before main() and never torn down at exit: a socket queue may still be
// closing a stream on a worker thread while the process exits, and the library's exit handler
// would free the locks that close takes. The first set-up decides this, so it runs here, before
// anything else in the process can use the library.
const bool libraryReady = OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

// The context every client stream is made from, made once by whichever thread comes first. It
// holds no trust of its own: a stream that validates is given the system's trust store when its
// handshake starts, so a stream that does not validate never reads it. Everything a stream sets
// (validation, names, suites, certificates) is set on the stream, never here.
SSL_CTX* sharedClientContext() {
    static SSL_CTX* const context = [] {
        SSL_CTX* ctx = libraryReady ? SSL_CTX_new(TLS_method()) : nullptr;
        ERR_clear_error();
        return ctx;
    }();
    return context;
}

// The system's trust store, read at the first handshake that validates and shared by every one
// after it: reading the system's bundle costs tens of milliseconds. A store that cannot be read
// trusts nothing.
X509_STORE* systemTrustStore() {
    static X509_STORE* const store = [] {
        X509_STORE* trust = X509_STORE_new();
        if (trust) X509_STORE_set_default_paths(trust);
        ERR_clear_error();
        return trust;
    }();
    return store;
}

// ---- the BIO: reads and writes go to the caller's functions ----

// The BIO's answer once the caller's function moved some bytes or none: none means "try again
// later" while the connection lasts, and the end of the stream once it has ended or failed.
int bioResult(BIO* bio, TlsStreamImpl* impl, int32_t status, size_t moved, bool reading) {
    if (moved > 0) return 1;
    if (status == errSSLWouldBlock || status == 0) {
        if (reading)
            BIO_set_retry_read(bio);
        else
            BIO_set_retry_write(bio);
    } else {
        impl->ioEnded = true;
    }
    return 0;
}

int bioRead(BIO* bio, char* data, size_t length, size_t* readBytes) {
    BIO_clear_retry_flags(bio);
    auto* impl = static_cast<TlsStreamImpl*>(BIO_get_data(bio));
    size_t moved = length;
    const int32_t status = impl->readFunction ? impl->readFunction(impl->connection, data, &moved) : errSSLClosedAbort;
    *readBytes = moved;
    return bioResult(bio, impl, status, moved, true);
}

int bioWrite(BIO* bio, const char* data, size_t length, size_t* written) {
    BIO_clear_retry_flags(bio);
    auto* impl = static_cast<TlsStreamImpl*>(BIO_get_data(bio));
    size_t moved = length;
    const int32_t status =
        impl->writeFunction ? impl->writeFunction(impl->connection, data, &moved) : errSSLClosedAbort;
    *written = moved;
    return bioResult(bio, impl, status, moved, false);
}

long bioCtrl(BIO* bio, int cmd, long, void*) {
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;  // every write goes out at once
    case BIO_CTRL_EOF: {
        // Asked after a read that gave nothing: tells the library that the stream has ended.
        auto* impl = static_cast<TlsStreamImpl*>(BIO_get_data(bio));
        return impl && impl->ioEnded ? 1 : 0;
    }
    default:
        return 0;
    }
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* streamBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "varnel tls stream");
        if (m) {
            BIO_meth_set_read_ex(m, bioRead);
            BIO_meth_set_write_ex(m, bioWrite);
            BIO_meth_set_ctrl(m, bioCtrl);
            BIO_meth_set_create(m, bioCreate);
        }
        return m;
    }();
    return method;
}

// Validation of the server's chain: the library's verdict, with only the errors that the
// settings forgive turned into a pass.
int verifyCallback(int preverifyOk, X509_STORE_CTX* store) {
    if (preverifyOk) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* impl = ssl ? static_cast<TlsStreamImpl*>(SSL_get_app_data(ssl)) : nullptr;
    if (!impl) return 0;
    switch (X509_STORE_CTX_get_error(store)) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return impl->anyRoot ? 1 : 0;
    case X509_V_ERR_CERT_HAS_EXPIRED: {
        // A self-signed certificate is a root; every other one is "a certificate".
        X509* cert = X509_STORE_CTX_get_current_cert(store);
        const bool isRoot = cert && (X509_get_extension_flags(cert) & EXFLAG_SS) != 0;
        return (isRoot ? impl->expiredRoots : impl->expiredCerts) ? 1 : 0;
    }
    default:
        return 0;
    }
}

// No text is ever asked for: a key protected by a passphrase is an unreadable key.
int noPassphrase(char*, int, int, void*) { return -1; }

bool isNumericAddress(const std::string& name) {
    in6_addr address;
    return inet_pton(AF_INET, name.c_str(), &address) == 1 || inet_pton(AF_INET6, name.c_str(), &address) == 1;
}

}  // namespace

void TlsStreamImpl::applyVerifyMode() {
    // A server asks for no client certificate.
    if (isServer || !verify) {
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
    } else {
        SSL_set_verify(ssl, SSL_VERIFY_PEER, verifyCallback);
    }
}

void TlsStreamImpl::chooseTrust() {
    if (trustChosen) return;
    trustChosen = true;
    // Without it the chain is checked against the client context's store, which is empty.
    if (!isServer && verify) {
        if (X509_STORE* trust = systemTrustStore()) SSL_set1_verify_cert_store(ssl, trust);
    }
}

int32_t TlsStreamImpl::failureStatus() const {
    // The first entry is the cause; the ones after it are its consequences.
    const unsigned long error = ERR_peek_error();
    if (ERR_GET_LIB(error) == ERR_LIB_SSL) {
        const int reason = ERR_GET_REASON(error);
        if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) return errSSLCertificateRejected;
        if (reason == SSL_R_UNEXPECTED_EOF_WHILE_READING) return errSSLClosedAbort;
        // The reasons of an alert received from the peer are the alert number plus this offset.
        if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) return errSSLPeerAlert;
    }
    return ioEnded ? errSSLClosedAbort : errSSLFailure;
}

int32_t TlsStreamImpl::statusOf(int result) {
    int32_t status;
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        status = errSSLWouldBlock;
        break;
    case SSL_ERROR_ZERO_RETURN:
        status = errSSLClosedGraceful;
        break;
    case SSL_ERROR_SYSCALL:
        status = ioEnded ? errSSLClosedAbort : errSSLFailure;
        break;
    case SSL_ERROR_SSL:
        status = failureStatus();
        break;
    default:
        status = errSSLFailure;
        break;
    }
    ERR_clear_error();
    return status;
}

TlsStream::TlsStream(std::unique_ptr<TlsStreamImpl> impl) : impl_(std::move(impl)) {}

TlsStream::~TlsStream() = default;

std::unique_ptr<TlsStream> TlsStream::newContext(bool isServer) {
    ERR_clear_error();
    BIO_METHOD* method = libraryReady ? streamBioMethod() : nullptr;
    auto impl = std::make_unique<TlsStreamImpl>();
    impl->isServer = isServer;
    if (method) {
        // A server's context is its own: it carries the connection's identity and sessions.
        if (isServer)
            impl->ctx = SSL_CTX_new(TLS_method());
        else if (SSL_CTX* shared = sharedClientContext(); shared && SSL_CTX_up_ref(shared) == 1)
            impl->ctx = shared;
    }
    if (!impl->ctx) {
        ERR_clear_error();
        return nullptr;
    }
    impl->ssl = SSL_new(impl->ctx);
    BIO* bio = impl->ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        ERR_clear_error();
        return nullptr;
    }
    BIO_set_data(bio, impl.get());
    SSL_set_bio(impl->ssl, bio, bio);
    // Read-ahead stays off (the library's default): the library then holds no encrypted bytes beyond
    // the record it works on. The part of a record it holds is counted nowhere, so the bytes that
    // complete the record may decrypt to more than they count: a caller reads on while
    // bufferedReadSize() is above 0.
    SSL_set_app_data(impl->ssl, impl.get());
    if (isServer)
        SSL_set_accept_state(impl->ssl);
    else
        SSL_set_connect_state(impl->ssl);
    impl->applyVerifyMode();
    ERR_clear_error();
    return std::unique_ptr<TlsStream>(new TlsStream(std::move(impl)));
}

int32_t TlsStream::setIOFuncs(ReadFunction read, WriteFunction write) {
    if (!read || !write) return errSSLFailure;
    impl_->readFunction = read;
    impl_->writeFunction = write;
    return 0;
}

int32_t TlsStream::setConnection(void* connection) {
    impl_->connection = connection;
    return 0;
}

int32_t TlsStream::setPeerDomainName(const std::string& peerName) {
    if (peerName.find('\0') != std::string::npos) return errSSLFailure;
    if (peerName.empty() || impl_->isServer) return 0;
    impl_->begin();
    bool ok;
    if (isNumericAddress(peerName)) {
        // A numeric address is matched against the certificate's IP entries and, by the
        // protocol's rule, is not sent as a server name.
        ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(impl_->ssl), peerName.c_str()) == 1;
    } else {
        ok = SSL_set_tlsext_host_name(impl_->ssl, peerName.c_str()) == 1 && SSL_set1_host(impl_->ssl, peerName.c_str()) == 1;
    }
    ERR_clear_error();
    return ok ? 0 : errSSLFailure;
}

int32_t TlsStream::setEnableCertVerify(bool enableVerify) {
    impl_->verify = enableVerify;
    impl_->applyVerifyMode();
    return 0;
}

int32_t TlsStream::setAllowsAnyRoot(bool anyRoot) {
    impl_->anyRoot = anyRoot;
    return 0;
}

int32_t TlsStream::setAllowsExpiredRoots(bool allowsExpired) {
    impl_->expiredRoots = allowsExpired;
    return 0;
}

int32_t TlsStream::setAllowsExpiredCerts(bool allowsExpired) {
    impl_->expiredCerts = allowsExpired;
    return 0;
}

int32_t TlsStream::setCertificate(const std::vector<std::string>& pemTexts) {
    if (pemTexts.empty()) return errSSLFailure;
    impl_->begin();
    // The reads pick their kind of PEM block and pass over the others.
    auto readFirst = [](const std::string& text, auto read) {
        BIO* in = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
        auto* result = in ? read(in) : nullptr;
        BIO_free(in);
        return result;
    };
    X509* cert = readFirst(pemTexts[0], [](BIO* in) { return PEM_read_bio_X509(in, nullptr, noPassphrase, nullptr); });
    EVP_PKEY* key =
        readFirst(pemTexts[0], [](BIO* in) { return PEM_read_bio_PrivateKey(in, nullptr, noPassphrase, nullptr); });
    bool ok = cert && key && SSL_use_certificate(impl_->ssl, cert) == 1 && SSL_use_PrivateKey(impl_->ssl, key) == 1 &&
              SSL_check_private_key(impl_->ssl) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    for (size_t i = 1; ok && i < pemTexts.size(); ++i) {
        BIO* in = BIO_new_mem_buf(pemTexts[i].data(), static_cast<int>(pemTexts[i].size()));
        int certificates = 0;
        while (X509* chainCert = in ? PEM_read_bio_X509(in, nullptr, noPassphrase, nullptr) : nullptr) {
            ok = ok && SSL_add0_chain_cert(impl_->ssl, chainCert) == 1;
            if (!ok) X509_free(chainCert);
            ++certificates;
        }
        BIO_free(in);
        ok = ok && certificates > 0;
    }
    ERR_clear_error();  // the end of each text leaves a "no start line" behind
    return ok ? 0 : errSSLFailure;
}

int32_t TlsStream::setProtocolLevel(TlsProtocolLevel level) {
    return level == TlsProtocolLevel::Negotiated ? 0 : errSSLFailure;
}

int32_t TlsStream::setEnabledCiphers(const std::vector<uint16_t>& suites) {
    if (suites.empty()) return errSSLFailure;
    impl_->begin();
    // TLS 1.3 suites are configured apart from the older ones.
    std::string tls13, older;
    for (const uint16_t code : suites) {
        const unsigned char id[2] = {static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code & 0xFF)};
        const SSL_CIPHER* cipher = SSL_CIPHER_find(impl_->ssl, id);
        if (!cipher) {
            ERR_clear_error();
            return errSSLFailure;
        }
        std::string& list = std::strcmp(SSL_CIPHER_get_version(cipher), "TLSv1.3") == 0 ? tls13 : older;
        if (!list.empty()) list += ':';
        list += SSL_CIPHER_get_name(cipher);
    }
    bool ok = SSL_set_ciphersuites(impl_->ssl, tls13.c_str()) == 1;
    if (ok && !older.empty()) ok = SSL_set_cipher_list(impl_->ssl, older.c_str()) == 1;
    // A protocol version left without any suite is switched off, so that it is not offered.
    if (ok && older.empty()) ok = SSL_set_min_proto_version(impl_->ssl, TLS1_3_VERSION) == 1;
    if (ok && tls13.empty()) ok = SSL_set_max_proto_version(impl_->ssl, TLS1_2_VERSION) == 1;
    ERR_clear_error();
    return ok ? 0 : errSSLFailure;
}

int32_t TlsStream::setDiffieHellmanParams(const uint8_t* der, size_t length) {
    impl_->begin();
    const unsigned char* p = der;
    EVP_PKEY* params = der ? d2i_KeyParams(EVP_PKEY_DH, nullptr, &p, static_cast<long>(length)) : nullptr;
    const bool ok = params && SSL_set0_tmp_dh_pkey(impl_->ssl, params) == 1;
    if (params && !ok) EVP_PKEY_free(params);
    ERR_clear_error();
    return ok ? 0 : errSSLFailure;
}

int32_t TlsStream::handshake() {
    impl_->begin();
    impl_->chooseTrust();
    const int result = SSL_do_handshake(impl_->ssl);
    return result == 1 ? 0 : impl_->statusOf(result);
}

int32_t TlsStream::read(void* data, size_t length, size_t* processed) {
    *processed = 0;
    if (length == 0) return 0;
    impl_->begin();
    const int result = SSL_read_ex(impl_->ssl, data, length, processed);
    return result == 1 ? 0 : impl_->statusOf(result);
}

int32_t TlsStream::write(const void* data, size_t length, size_t* processed) {
    *processed = 0;
    if (length == 0) return 0;
    impl_->begin();
    const int result = SSL_write_ex(impl_->ssl, data, length, processed);
    return result == 1 ? 0 : impl_->statusOf(result);
}

size_t TlsStream::bufferedReadSize() const {
    const int pending = SSL_pending(impl_->ssl);
    return pending > 0 ? static_cast<size_t>(pending) : 0;
}

int32_t TlsStream::close() {
    impl_->begin();
    // Only an established connection has a close_notify to send.
    if (SSL_is_init_finished(impl_->ssl)) SSL_shutdown(impl_->ssl);
    ERR_clear_error();
    return 0;
}

}  // namespace platform
