#pragma once
// What the TLS tests and the TLS benchmark share: certificates made with the TLS library in a
// temporary folder, the openssl program as a peer, and a blocking peer on the library itself.

#include "support/TestFiles.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace nettest {

// ---- certificates ----

// A root, a leaf for localhost and 127.0.0.1 that it signed, the same leaf expired, and an
// expired root with a leaf of its own; as PEM texts and as files in a temporary folder that goes
// away with the process.
class TestCertificates {
public:
    static const TestCertificates& shared() {
        static const TestCertificates certificates;
        return certificates;
    }

    std::string rootPem, leafPem, leafKeyPem, expiredLeafPem, expiredRootPem, leafOfExpiredRootPem, rootKeyPem;
    testsupport::TempDir folder;

    std::string file(const std::string& name) const { return folder / name; }
    // The socket's certificates setting: our certificate with its key, then its chain.
    std::vector<std::string> identity() const { return {leafPem + leafKeyPem, rootPem}; }

    // Diffie-Hellman parameters of a well-known group, DER-encoded.
    static std::vector<uint8_t> dhParameters() {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
        EVP_PKEY* params = nullptr;
        char group[] = "ffdhe2048";
        const OSSL_PARAM settings[] = {OSSL_PARAM_construct_utf8_string("group", group, 0), OSSL_PARAM_construct_end()};
        if (ctx && EVP_PKEY_paramgen_init(ctx) == 1 && EVP_PKEY_CTX_set_params(ctx, settings) == 1)
            EVP_PKEY_paramgen(ctx, &params);
        std::vector<uint8_t> der;
        unsigned char* out = nullptr;
        const int length = params ? i2d_KeyParams(params, &out) : 0;
        if (length > 0) der.assign(out, out + length);
        OPENSSL_free(out);
        EVP_PKEY_free(params);
        EVP_PKEY_CTX_free(ctx);
        return der;
    }

    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

private:
    TestCertificates() {
        // The leaf's key is RSA for the RSA suites; the roots sign with a key that is quick to make.
        EVP_PKEY* rootKey = EVP_EC_gen("P-256");
        EVP_PKEY* leafKey = EVP_RSA_gen(2048);
        X509* root = makeCert(rootKey, "Varnel Test Root", nullptr, nullptr, -1, 30, true);
        X509* leaf = makeCert(leafKey, "localhost", root, rootKey, -1, 30, false);
        X509* expiredLeaf = makeCert(leafKey, "localhost", root, rootKey, -30, -1, false);
        X509* expiredRoot = makeCert(rootKey, "Varnel Test Expired Root", nullptr, nullptr, -30, -1, true);
        X509* leafOfExpiredRoot = makeCert(leafKey, "localhost", expiredRoot, rootKey, -1, 30, false);
        rootPem = pem(root);
        leafPem = pem(leaf);
        expiredLeafPem = pem(expiredLeaf);
        expiredRootPem = pem(expiredRoot);
        leafOfExpiredRootPem = pem(leafOfExpiredRoot);
        leafKeyPem = pem(leafKey);
        rootKeyPem = pem(rootKey);
        for (X509* x : {root, leaf, expiredLeaf, expiredRoot, leafOfExpiredRoot}) X509_free(x);
        EVP_PKEY_free(rootKey);
        EVP_PKEY_free(leafKey);
        write("root.pem", rootPem);
        write("leaf.pem", leafPem);
        write("leaf.key", leafKeyPem);
        write("expired-leaf.pem", expiredLeafPem);
        write("expired-root.pem", expiredRootPem);
        write("leaf-of-expired-root.pem", leafOfExpiredRootPem);
    }

    static X509* makeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long fromDays,
                          long toDays, bool ca) {
        static long serial = 1;
        X509* x = X509_new();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
        X509_gmtime_adj(X509_getm_notBefore(x), fromDays * 86400);
        X509_gmtime_adj(X509_getm_notAfter(x), toDays * 86400);
        X509_set_pubkey(x, key);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1,
                                   -1, 0);
        X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, issuer ? issuer : x, x, nullptr, nullptr, 0);
        auto add = [&](int nid, const char* value) {
            if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value)) {
                X509_add_ext(x, ext, -1);
                X509_EXTENSION_free(ext);
            }
        };
        add(NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
        add(NID_key_usage, ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
        add(NID_subject_key_identifier, "hash");
        if (!ca) {
            add(NID_authority_key_identifier, "keyid:always");
            add(NID_ext_key_usage, "serverAuth,clientAuth");
            add(NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
        }
        X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256());
        return x;
    }
    static std::string pem(X509* x) {
        BIO* out = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(out, x);
        return drain(out);
    }
    static std::string pem(EVP_PKEY* key) {
        BIO* out = BIO_new(BIO_s_mem());
        PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
        return drain(out);
    }
    static std::string drain(BIO* out) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(out, &data);
        std::string text(data, static_cast<size_t>(length));
        BIO_free(out);
        return text;
    }
    void write(const std::string& name, const std::string& text) const {
        testsupport::writeFile(folder / name, std::vector<uint8_t>(text.begin(), text.end()));
    }
};

// ---- the openssl program ----

// One run of the openssl program with its standard input and output on pipes and its errors in a
// file. Ended (SIGTERM) when the object goes.
class OpenSslProcess {
public:
    explicit OpenSslProcess(const std::vector<std::string>& args) {
        ::signal(SIGPIPE, SIG_IGN);  // a program that has ended must not end the test on a write
        static int serial = 0;
        errorsPath_ = TestCertificates::shared().file("openssl-" + std::to_string(::getpid()) + "-" +
                                                      std::to_string(serial++) + ".err");
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errorsPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> all{"openssl"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "openssl", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~OpenSslProcess() {
        closeStdin();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) ::close(stdout_);
    }
    OpenSslProcess(const OpenSslProcess&) = delete;
    OpenSslProcess& operator=(const OpenSslProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // Reads the program's output until it holds marker; everything read so far.
    std::string readUntil(const std::string& marker, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output_.find(marker) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{stdout_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
            char buf[4096];
            const ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0) break;
            output_.append(buf, static_cast<size_t>(n));
        }
        return output_;
    }
    // The port of the ACCEPT line that s_server prints once it listens; 0 when none came.
    uint16_t acceptPort() {
        std::string out = readUntil("ACCEPT");
        const size_t line = out.find("ACCEPT");
        if (line == std::string::npos) return 0;
        while (out.find('\n', line) == std::string::npos) {
            const size_t before = out.size();
            out = readUntil(out + "\n", std::chrono::milliseconds(100));
            if (out.size() == before) break;
        }
        const size_t end = out.find('\n', line);
        if (end == std::string::npos) return 0;
        const size_t colon = out.rfind(':', end);
        return static_cast<uint16_t>(std::atoi(out.c_str() + colon + 1));
    }
    void write(const std::string& text) {
        if (stdin_ >= 0) (void)!::write(stdin_, text.data(), text.size());
    }
    void closeStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }
    // What the program wrote to its standard error so far.
    std::string errors() const {
        std::ifstream in(errorsPath_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Waits for the program to end by itself; its exit status, or -1.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string output_;
    std::string errorsPath_;
};

// ---- a blocking peer on the library ----

// A TLS connection on a connected blocking descriptor, driven by the test thread that owns it.
class LibraryPeer {
public:
    // A server presenting the test leaf and its root.
    static LibraryPeer server(int fd) {
        LibraryPeer peer(fd, true);
        const TestCertificates& certs = TestCertificates::shared();
        BIO* in = BIO_new_mem_buf(certs.leafPem.data(), static_cast<int>(certs.leafPem.size()));
        X509* leaf = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
        BIO_free(in);
        in = BIO_new_mem_buf(certs.leafKeyPem.data(), static_cast<int>(certs.leafKeyPem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
        BIO_free(in);
        SSL_use_certificate(peer.ssl_, leaf);
        SSL_use_PrivateKey(peer.ssl_, key);
        X509_free(leaf);
        EVP_PKEY_free(key);
        return peer;
    }
    // A client that checks nothing.
    static LibraryPeer client(int fd) { return LibraryPeer(fd, false); }

    LibraryPeer(LibraryPeer&& other) noexcept
        : ctx_(std::exchange(other.ctx_, nullptr)), ssl_(std::exchange(other.ssl_, nullptr)), fd_(other.fd_) {}
    ~LibraryPeer() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }

    SSL* ssl() const { return ssl_; }
    // The client's first flight, made without touching the descriptor; handshake() goes on from it.
    std::string firstFlight() {
        BIO* rbio = BIO_new(BIO_s_mem());
        BIO* wbio = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl_, rbio, wbio);
        SSL_do_handshake(ssl_);  // wants the server's answer
        char* data = nullptr;
        const long length = BIO_get_mem_data(wbio, &data);
        std::string flight(data, static_cast<size_t>(length));
        BIO* socketBio = BIO_new_socket(fd_, BIO_NOCLOSE);
        SSL_set_bio(ssl_, socketBio, socketBio);
        return flight;
    }
    bool handshake() { return SSL_do_handshake(ssl_) == 1; }
    bool writeAll(const std::string& text) {
        size_t written = 0;
        return SSL_write_ex(ssl_, text.data(), text.size(), &written) == 1 && written == text.size();
    }
    // Reads until n bytes came or the stream ended.
    std::string read(size_t n) {
        std::string out;
        std::vector<char> buf(64 * 1024);
        while (out.size() < n) {
            size_t got = 0;
            if (SSL_read_ex(ssl_, buf.data(), std::min(buf.size(), n - out.size()), &got) != 1) break;
            out.append(buf.data(), got);
        }
        return out;
    }
    void closeNotify() { SSL_shutdown(ssl_); }

private:
    LibraryPeer(int fd, bool isServer) : fd_(fd) {
        ::signal(SIGPIPE, SIG_IGN);  // a peer that has gone must not end the test on a write
        // A socket that never answers ends the peer's wait, not the test run.
        const timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ctx_ = SSL_CTX_new(TLS_method());
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd);
        if (isServer)
            SSL_set_accept_state(ssl_);
        else
            SSL_set_connect_state(ssl_);
    }

    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
};

}  // namespace nettest
