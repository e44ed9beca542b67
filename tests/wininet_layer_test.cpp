// The Linux stand-in for WinINet, called directly, with the contract the
// library relies on: how it reads, what it makes of server names and paths,
// and how it keeps the trust store. The calls go to the test network's
// servers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "exchange.h"
#include "kesta_internal.h"
#include "scenarios.h"
#include "layer.h"

// The build whose libcurl loads the trust store itself for every login.
#ifndef KESTA_TEST_OTHER_TLS
#define KESTA_TEST_OTHER_TLS 0
#endif

namespace {

// The machine's files these tests rewrite, and the test network's own
// copies (in its folder) that it mounts over them: the tests run only where
// each is one file with its copy, that is, inside the test network, and so
// cannot write the machine's trust store or hosts file.
struct NetworkFile {
    const char *path;
    const char *copy;
};
const NetworkFile NETWORK_FILES[] = {
    {"/etc/hosts", "hosts"},
    {"/etc/ssl/certs/ca-certificates.crt", "certs/ca.pem"},
    {"/etc/ssl/certs", "certs/ca-directory"},
};

std::string outside_the_test_network()
{
    const char *work = getenv("KESTA_TESTNET");
    if (work == nullptr) {
        return "KESTA_TESTNET is not set";
    }
    for (const NetworkFile &f : NETWORK_FILES) {
        std::string copy = std::string(work) + "/" + f.copy;
        struct stat a, b;
        if (stat(f.path, &a) != 0 || stat(copy.c_str(), &b) != 0 || a.st_dev != b.st_dev ||
            a.st_ino != b.st_ino) {
            return std::string(f.path) + " is not the test network's " + copy;
        }
    }
    return "";
}

class TestNetworkOnly : public ::testing::Environment {
    void SetUp() override
    {
        std::string why = outside_the_test_network();
        if (!why.empty()) {
            fprintf(stderr,
                    "wininet_layer_test rewrites the trust bundle, the CA directory and the "
                    "hosts file, so it runs only inside the test network (scripts/testnet run "
                    "-- ...): %s\n",
                    why.c_str());
            exit(2);
        }
    }
};
::testing::Environment *const test_network_only =
    ::testing::AddGlobalTestEnvironment(new TestNetworkOnly);

using kesta::BUFFER_SIZE;
using kesta::REQUEST_FLAGS;
using kesta::SERVER_PORT;

// A session, connection and request, closed when it goes.
struct Chain {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    ~Chain()
    {
        for (HINTERNET h : {request, connection, session}) {
            if (h != nullptr) {
                InternetCloseHandle(h);
            }
        }
    }
};

void open(Chain &c, const char *path, const char *server = "login.test")
{
    c.session = InternetOpenA("KESTA/1.00", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    ASSERT_NE(c.session, nullptr) << GetLastError();
    c.connection = InternetConnectA(c.session, server, SERVER_PORT, nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, INTERNET_FLAG_SECURE, 0);
    ASSERT_NE(c.connection, nullptr) << GetLastError();
    c.request =
        HttpOpenRequestA(c.connection, "POST", path, nullptr, nullptr, nullptr, REQUEST_FLAGS, 0);
    ASSERT_NE(c.request, nullptr) << GetLastError();
}

BOOL send(HINTERNET request, char *body = nullptr)
{
    static char plain[] = "ID=user&PW=secret";
    char *b = body != nullptr ? body : plain;
    return HttpSendRequestA(request, kesta::HEADER_LINE, DWORD(-1), b, DWORD(strlen(b)));
}

// Every byte of the body, in reads of the given size.
std::string read_all(HINTERNET request, DWORD size, DWORD *error)
{
    std::string out;
    std::vector<char> buffer(size);
    *error = 0;
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, buffer.data(), size, &got)) {
            *error = GetLastError();
            return out;
        }
        if (got == 0) {
            return out;
        }
        out.append(buffer.data(), got);
    }
}

struct ReadRow {
    const char *scenario;
    DWORD read_size;
    std::string body;
    DWORD error;
};

// The exchange keeps what the library can read, the body's first 4096
// bytes, and takes nothing more from the server; a read past them fails
// rather than end a body that went on.
TEST(Layer, ReadsHandOverTheKeptBytesThenTheFailureThatFollowedThem)
{
    const std::string first = "SESSION-ID=ExactUA:" + std::string(BUFFER_SIZE - 19, 'z');
    const std::string flood = "SESSION-ID=FloodUA:" + std::string(BUFFER_SIZE - 19, 'f');
    const ReadRow rows[] = {
        {"exact-4096", BUFFER_SIZE, first, 0},
        {"exact-4096", 1000, first, 0},
        {"exact-4097", BUFFER_SIZE, first, ERROR_INTERNET_INTERNAL_ERROR},
        {"exact-4097", 1, first, ERROR_INTERNET_INTERNAL_ERROR},
        {"flood", BUFFER_SIZE, flood, ERROR_INTERNET_INTERNAL_ERROR},
        {"trickle-chunked", 7, "SESSION-ID=TrickleUA:" + std::string(40, 't') + "\n", 0},
        // Bytes, then a reset: the bytes come first, the failure with the
        // next read, and with every read after it.
        {"part-reset", BUFFER_SIZE, "SESSION-ID=PartUA:abc", 12030},
        {"empty", BUFFER_SIZE, "", 0},
    };
    for (const ReadRow &row : rows) {
        SCOPED_TRACE(std::string(row.scenario) + " in reads of " + std::to_string(row.read_size));
        Chain c;
        open(c, ("/" + std::string(row.scenario) + "/" + scenarios::unique_token("read")).c_str());
        ASSERT_TRUE(send(c.request)) << GetLastError();
        DWORD error = 0;
        EXPECT_EQ(read_all(c.request, row.read_size, &error), row.body);
        EXPECT_EQ(error, row.error);
        if (row.error != 0) {
            char b[16];
            DWORD got = 1;
            EXPECT_FALSE(InternetReadFile(c.request, b, sizeof b, &got));
            EXPECT_EQ(GetLastError(), row.error);
            EXPECT_EQ(got, 0u);
        }
    }
}

TEST(Layer, TheBodyIsTheCallersAgainOnceTheSendReturns)
{
    Chain c;
    std::string token = scenarios::unique_token("body");
    open(c, ("/echo/" + token).c_str());
    char body[] = "ID=owner&PW=secret";
    ASSERT_TRUE(send(c.request, body));
    // The library writes the reply over its body at once.
    memset(body, 'X', sizeof body - 1);
    DWORD error = 0;
    EXPECT_EQ(read_all(c.request, 4096, &error), "SESSION-ID=UA-owner:session-owner\n");
    std::vector<scenarios::Request> seen = scenarios::requests_for(token);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, "ID=owner&PW=secret");
}

struct PathRow {
    const char *before; // the path up to the record's name
    const char *sent;   // what the request line carries
};

TEST(Layer, PathsGoOnTheRequestLineAsWinInetWritesThemAndNeverSplitIt)
{
    const PathRow rows[] = {
        {"/ok/", "/ok/"},
        {"ok/", "/ok/"},
        {"\\ok\\", "/ok/"},
        {"/ok/a b/", "/ok/a%20b/"},
        {"/ok/a\r\nX-Injected: 1/", "/ok/a%0D%0AX-Injected:%201/"},
        {"/ok/a\tb\x7f/", "/ok/a%09b%7F/"},
        {"/ok/\x83\x65/", "/ok/\x83\x65/"},
    };
    for (const PathRow &row : rows) {
        SCOPED_TRACE(row.before);
        std::string token = scenarios::unique_token("path");
        Chain c;
        open(c, (row.before + token).c_str());
        ASSERT_TRUE(send(c.request)) << GetLastError();
        std::vector<scenarios::Request> seen = scenarios::requests_for(token);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].path, row.sent + token);
        for (const std::string &h : seen[0].headers) {
            EXPECT_NE(h.rfind("X-Injected", 0), 0u) << "a header line from the path";
        }
    }
}

class Rewritten {
  public:
    explicit Rewritten(const char *path) : path_(path), original_(read(path)) {}
    ~Rewritten()
    {
        // A file that could not be read is left alone rather than emptied.
        if (!original_.empty()) {
            write(original_);
        }
    }
    const std::string &original() const { return original_; }
    void write(const std::string &text)
    {
        FILE *f = fopen(path_, "wb");
        ASSERT_NE(f, nullptr) << path_;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    static std::string read(const char *path)
    {
        std::string out;
        FILE *f = fopen(path, "rb");
        char buffer[4096];
        for (size_t n; f != nullptr && (n = fread(buffer, 1, sizeof buffer, f)) > 0;) {
            out.append(buffer, n);
        }
        if (f != nullptr) {
            fclose(f);
        }
        return out;
    }

  private:
    const char *path_;
    std::string original_;
};

DWORD login_error(const char *server)
{
    Chain c;
    open(c, ("/ok/" + scenarios::unique_token("trust")).c_str(), server);
    return send(c.request) ? 0 : GetLastError();
}

// One of the test network's certificates (the program runs only inside it).
std::string test_cert(const char *name)
{
    return Rewritten::read((std::string(getenv("KESTA_TESTNET")) + "/certs/" + name).c_str());
}

TEST(Layer, EachLoginTrustsTheBundleAsItIsNow)
{
    Rewritten bundle("/etc/ssl/certs/ca-certificates.crt");
    ASSERT_FALSE(bundle.original().empty());
    std::string rogue = test_cert("rogue-ca.pem");
    ASSERT_FALSE(rogue.empty());
    struct Step {
        const char *what;
        std::string bundle;
        DWORD login, untrusted;
    } steps[] = {
        {"as it was", bundle.original(), 0, 12045},
        {"a root added", bundle.original() + rogue, 0, 0},
        {"the root removed again", bundle.original(), 0, 12045},
        {"only the other root", rogue, 12045, 0},
        {"a bundle that holds no certificate", "not a certificate\n", 12045, 12045},
        {"as it was, once more", bundle.original(), 0, 12045},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        bundle.write(step.bundle);
        EXPECT_EQ(login_error("login.test"), step.login);
        EXPECT_EQ(login_error("untrusted.test"), step.untrusted);
        EXPECT_EQ(login_error("expired.test"), step.login == 0 ? 12037u : 12045u);
    }
}

// Each login starts from nothing: its own connection (the server offers to
// keep it open), a full TLS handshake and a fresh look-up of the name.
struct NameRow {
    const char *server;
    DWORD code; // at the send
};

// The library judged the name; here it goes to libcurl as it is, which
// reads it in the process's locale (this test's: C) and looks up its IDN
// form, afresh for every login.
TEST(Layer, TheServerNameGoesToTheLookUpAsItIs)
{
    const std::string long_name(300, 'a');
    const NameRow rows[] = {
        {"login.test", 0},
        {"nowhere.test", 12007},
        {"caf\xC3\xA9.test", 12007}, // no name outside ASCII in the C locale
        {long_name.c_str(), 12007},
    };
    for (const NameRow &row : rows) {
        SCOPED_TRACE(row.server);
        long opens = scenarios::active_opens();
        EXPECT_EQ(login_error(row.server), row.code);
        if (row.code != 0) {
            EXPECT_EQ(scenarios::active_opens(), opens) << "no connection for a name not found";
        }
    }
    // login.test moved to the address where other.test's server answers
    // with its own certificate: a name looked up anew meets that one.
    Rewritten hosts("/etc/hosts");
    ASSERT_NE(hosts.original().find("login.test"), std::string::npos);
    hosts.write("127.0.1.2 login.test\n" + hosts.original());
    EXPECT_EQ(login_error("login.test"), 12038u)
        << "an earlier look-up was kept, or the certificate's name went unchecked";
    hosts.write(hosts.original());
    EXPECT_EQ(login_error("login.test"), 0u);
}

const char BUNDLE[] = "/etc/ssl/certs/ca-certificates.crt";

// How often a file is opened, by anyone, as inotify reports it.
class Opens {
  public:
    explicit Opens(const char *path) : fd_(inotify_init1(IN_NONBLOCK))
    {
        watch_ = fd_ >= 0 ? inotify_add_watch(fd_, path, IN_OPEN) : -1;
    }
    ~Opens()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool watching() const { return watch_ >= 0; }
    // The opens since the watch began. inotify merges an event into an
    // identical one not yet read, so count after each step.
    int count()
    {
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char *p = buffer; p < buffer + got;) {
                const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
                seen_ += (e->mask & IN_OPEN) != 0;
                p += sizeof(inotify_event) + e->len;
            }
        }
        return seen_;
    }

  private:
    int fd_;
    int watch_;
    int seen_ = 0;
};

// Two logins after the bundle changed read it once: the store is shared.
// Where libcurl keeps no store, each login reads it.
TEST(Layer, LoginsShareOneReadingOfTheBundle)
{
    Rewritten bundle(BUNDLE);
    ASSERT_FALSE(bundle.original().empty());
    bundle.write(bundle.original()); // the same roots, but a file changed since the last login
    Opens opens(BUNDLE);
    ASSERT_TRUE(opens.watching());
    EXPECT_EQ(login_error("login.test"), 0u);
    EXPECT_EQ(opens.count(), 1);
    EXPECT_EQ(login_error("login.test"), 0u);
    EXPECT_EQ(opens.count(), KESTA_TEST_OTHER_TLS ? 2 : 1);
}

// A rewrite that keeps the size and the modification time is still a new
// bundle: only the change time tells.
TEST(Layer, ABundleRewrittenToTheSameSizeAndTimeIsReadAnew)
{
    Rewritten bundle(BUNDLE);
    std::string ours = bundle.original();
    std::string rogue = test_cert("rogue-ca.pem");
    ASSERT_FALSE(ours.empty());
    ASSERT_FALSE(rogue.empty());
    // Text outside the certificates' blocks is ignored: padding evens the sizes.
    size_t size = std::max(ours.size(), rogue.size()) + 1;
    ours.append(size - ours.size(), '\n');
    rogue.append(size - rogue.size(), '\n');

    bundle.write(ours);
    struct stat before;
    ASSERT_EQ(stat(BUNDLE, &before), 0);
    EXPECT_EQ(login_error("login.test"), 0u);
    EXPECT_EQ(login_error("untrusted.test"), 12045u);

    bundle.write(rogue);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, BUNDLE, times, 0), 0);
    struct stat after;
    ASSERT_EQ(stat(BUNDLE, &after), 0);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(login_error("login.test"), 12045u);
    EXPECT_EQ(login_error("untrusted.test"), 0u);
}

// The CA directory's file for a certificate: its subject's hash, as
// OpenSSL looks it up there.
std::string directory_name(const std::string &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (cert == nullptr) {
        return "";
    }
    char name[64];
    snprintf(name, sizeof name, "/etc/ssl/certs/%08lx.0", X509_subject_name_hash(cert));
    X509_free(cert);
    return name;
}

// A root in the CA directory is trusted as libcurl trusts it: read afresh
// for each connection, so that a root taken out, or rewritten in place
// with another of the same name, counts from the next login on.
TEST(Layer, RootsInTheCADirectoryCountAsTheyAreNow)
{
    std::string rogue = test_cert("rogue-ca.pem");
    std::string next = test_cert("rogue-ca-next.pem");
    ASSERT_FALSE(rogue.empty());
    ASSERT_FALSE(next.empty());
    std::string name = directory_name(rogue);
    ASSERT_EQ(name, directory_name(next)) << "two roots of one name";

    EXPECT_EQ(login_error("untrusted.test"), 12045u);
    {
        Rewritten root(name.c_str()); // a file the directory does not have yet: removed below
        root.write(rogue);
        EXPECT_EQ(login_error("untrusted.test"), 0u) << "a root only in the directory";
        EXPECT_EQ(login_error("login.test"), 0u) << "and the bundle's roots beside it";
        EXPECT_EQ(login_error("renewed.test"), 12045u);
        root.write(next); // the same file, its root replaced by one of the same name
        EXPECT_EQ(login_error("renewed.test"), 0u) << "the new root, read afresh";
        EXPECT_NE(login_error("untrusted.test"), 0u) << "the old one, still trusted";
    }
    ASSERT_EQ(unlink(name.c_str()), 0);
    EXPECT_EQ(login_error("untrusted.test"), 12045u) << "the root taken out of the directory";
    EXPECT_EQ(login_error("renewed.test"), 12045u);
    EXPECT_EQ(login_error("login.test"), 0u);
}

// As libcurl does, a certificate in the bundle ends a chain even when it is
// no root: here the intermediate alone vouches for chain.test.
TEST(Layer, AnIntermediateInTheBundleIsTrustedAlone)
{
    Rewritten bundle(BUNDLE);
    std::string intermediate = test_cert("intermediate.pem");
    ASSERT_FALSE(bundle.original().empty());
    ASSERT_FALSE(intermediate.empty());
    EXPECT_EQ(login_error("chain.test"), 0u) << "through the intermediate to the root";
    bundle.write(intermediate);
    EXPECT_EQ(login_error("chain.test"), 0u) << "the intermediate as the only anchor";
    EXPECT_EQ(login_error("login.test"), 12045u) << "and nothing else trusted";
}

// A store of this layer is handed only to a TLS client context of this
// very OpenSSL. A libcurl over another copy of it cannot be had here: a
// context of another method stands in for one.
TEST(Layer, TheStoreGoesOnlyToThisOpenSSLsOwnClientContexts)
{
    if (KESTA_TEST_OTHER_TLS) {
        GTEST_SKIP() << "this build keeps no store";
    }
    CURL *easy = curl_easy_init();
    ASSERT_NE(easy, nullptr);
    kesta_posix::Tls tls;
    kesta_posix::attach_trust(easy, &tls);
    ASSERT_NE(tls.store, nullptr);
    struct {
        const char *what;
        const SSL_METHOD *method;
        CURLcode result;
    } rows[] = {
        {"libcurl's own", TLS_client_method(), CURLE_OK},
        {"a generic one", TLS_method(), CURLE_SSL_CERTPROBLEM},
        {"a server's", TLS_server_method(), CURLE_SSL_CERTPROBLEM},
        {"a datagram client's", DTLS_client_method(), CURLE_SSL_CERTPROBLEM},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        SSL_CTX *context = SSL_CTX_new(row.method);
        ASSERT_NE(context, nullptr);
        EXPECT_EQ(kesta_posix::set_up_context(easy, context, &tls), row.result);
        X509_STORE *verify = nullptr;
        SSL_CTX_get0_verify_cert_store(context, &verify);
        EXPECT_EQ(verify != nullptr, row.result == CURLE_OK) << "a verify store of ours";
        SSL_CTX_free(context);
    }
    kesta_posix::release_trust(&tls);
    curl_easy_cleanup(easy);
}

// While one login loads a changed bundle, another goes on with the store as
// it was instead of waiting for the load: here the old store trusts
// login.test and the new one only untrusted.test's root.
TEST(Layer, ALoginGoesOnWhileAnotherLoadsTheBundle)
{
    if (KESTA_TEST_OTHER_TLS) {
        GTEST_SKIP() << "this build keeps no store: every login loads the bundle itself";
    }
    Rewritten bundle(BUNDLE);
    std::string rogue = test_cert("rogue-ca.pem");
    ASSERT_FALSE(bundle.original().empty());
    ASSERT_FALSE(rogue.empty());
    bundle.write(bundle.original());
    ASSERT_EQ(login_error("login.test"), 0u) << "the store as it was, loaded";

    // The same root many times over: a load long enough to log in beside it.
    std::string slow;
    for (int i = 0; i < 3000; i++) {
        slow += rogue;
    }
    bundle.write(slow);
    Opens opens(BUNDLE);
    ASSERT_TRUE(opens.watching());
    DWORD loader = 1;
    std::thread first([&loader] { loader = login_error("untrusted.test"); });
    for (int i = 0; i < 10000 && opens.count() == 0; i++) {
        usleep(1000);
    }
    EXPECT_EQ(opens.count(), 1) << "the first login has begun to read the bundle";
    EXPECT_EQ(login_error("login.test"), 0u) << "waited for the other login's load";
    first.join();
    EXPECT_EQ(loader, 0u) << "the login that loaded it uses the new store";
    EXPECT_EQ(opens.count(), 1) << "read by one login only";
    EXPECT_EQ(login_error("login.test"), 12045u) << "the new store, once loaded, for everyone";
}

// A bundle that does not load is read once, not once per login, until it
// changes; what OpenSSL recorded of the failure is not left on the
// caller's thread.
TEST(Layer, ABundleThatFailsIsReadOnceAndLeavesNoErrorsBehind)
{
    if (KESTA_TEST_OTHER_TLS) {
        GTEST_SKIP() << "this build keeps no store: libcurl reads the bundle itself";
    }
    Rewritten bundle(BUNDLE);
    ASSERT_FALSE(bundle.original().empty());
    CURL *easy = curl_easy_init();
    ASSERT_NE(easy, nullptr);
    bundle.write("not a certificate\n");
    ERR_clear_error();
    Opens opens(BUNDLE);
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        kesta_posix::Tls tls;
        kesta_posix::attach_trust(easy, &tls);
        EXPECT_EQ(tls.store, nullptr);
        EXPECT_EQ(ERR_peek_error(), 0ul) << "errors left on the caller's thread";
        EXPECT_EQ(opens.count(), 1);
    }

    bundle.write(bundle.original());
    kesta_posix::Tls tls;
    kesta_posix::attach_trust(easy, &tls);
    EXPECT_NE(tls.store, nullptr) << "a bundle that loads again is used again";
    EXPECT_EQ(ERR_peek_error(), 0ul);
    kesta_posix::release_trust(&tls);
    curl_easy_cleanup(easy);
}

} // namespace
