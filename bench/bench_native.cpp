// The Linux library's login against what a login cannot avoid: the same
// request made with bare libcurl, and a minimal OpenSSL client (one TCP
// connection, one TLS handshake, the POST, one read, close) as the floor.
// The library is libkesta.so, loaded from beside this program.
//
//   bench_native SERVER ROUNDS LOGINS_PER_ROUND [STORE]
//   bench_native SERVER --threads ROUNDS LOGINS_PER_ROUND [STORE]
//   bench_native SERVER --only library|curl|openssl COUNT
//
// STORE names the trust store in the rows' names. The second form gives
// the library's rates from 1, 2 and 4 threads. The third form makes
// COUNT logins with one client and nothing else, for counting its
// instructions under callgrind (collect `*counted_logins*`).
#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <limits.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"
#include "kesta.h"

namespace {

const char *server = "bench.test";
const char PATH[] = "/bench";
const char BODY[] = "ID=user&PW=secret";

// The library, loaded by name from beside this program.
struct Library {
    decltype(&_KESTA_LOGIN) login = nullptr;
    decltype(&_KESTA_GETERRORCODE) error_code = nullptr;
    decltype(&_KESTA_RELEASE) release = nullptr;
};

Library load(const char *file)
{
    char self[PATH_MAX] = "";
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    char *slash = n > 0 ? strrchr(self, '/') : nullptr;
    if (slash == nullptr) {
        fprintf(stderr, "bench_native: cannot find its own folder\n");
        exit(2);
    }
    char path[PATH_MAX + 64];
    snprintf(path, sizeof path, "%.*s/%s", int(slash - self), self, file);
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    Library lib;
    if (handle != nullptr) {
        lib.login = reinterpret_cast<decltype(lib.login)>(dlsym(handle, "_KESTA_LOGIN"));
        lib.error_code =
            reinterpret_cast<decltype(lib.error_code)>(dlsym(handle, "_KESTA_GETERRORCODE"));
        lib.release = reinterpret_cast<decltype(lib.release)>(dlsym(handle, "_KESTA_RELEASE"));
    }
    if (lib.login == nullptr || lib.error_code == nullptr || lib.release == nullptr) {
        fprintf(stderr, "bench_native: %s: %s\n", path, dlerror());
        exit(2);
    }
    return lib;
}

const Library &shared_store()
{
    static const Library lib = load("libkesta.so");
    return lib;
}

bool login_with(const Library &lib)
{
    LOGIN_RESULT *r = lib.login(nullptr, 0, "user", "secret", server, PATH);
    bool ok = r != nullptr && lib.error_code(r) == 0;
    lib.release(r);
    return ok;
}

bool library_login()
{
    return login_with(shared_store());
}

struct Reply {
    char bytes[4096];
    size_t length = 0;
};

size_t keep(char *data, size_t size, size_t count, void *user)
{
    Reply *reply = static_cast<Reply *>(user);
    size_t n = size * count;
    size_t take = std::min(n, sizeof reply->bytes - reply->length);
    memcpy(reply->bytes + reply->length, data, take);
    reply->length += take;
    return n;
}

// What a program would write with libcurl for the same request: a handle
// per login, the same headers and checks, one blocking perform.
bool curl_login()
{
    static const std::string url = std::string("https://") + server + ":443/";
    CURL *e = curl_easy_init();
    curl_slist *headers = curl_slist_append(nullptr, "X-Orv-UA: Kelpin/2.00");
    headers = curl_slist_append(headers, "Accept:");
    headers = curl_slist_append(headers, "Expect:");
    headers = curl_slist_append(headers, "Content-Type:");
    Reply reply;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, PATH);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "KESTA/1.00");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, BODY);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, long(sizeof BODY - 1));
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, keep);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &reply);
    bool ok = curl_easy_perform(e) == CURLE_OK && reply.length > 11 &&
              memcmp(reply.bytes, "SESSION-ID=", 11) == 0;
    curl_slist_free_all(headers);
    curl_easy_cleanup(e);
    return ok;
}

SSL_CTX *floor_context()
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return ctx;
}

// The floor: nothing but the connection, the handshake (checks on), the
// request's bytes and one read of the reply.
bool openssl_login()
{
    static SSL_CTX *ctx = floor_context();
    static sockaddr_in address = [] {
        sockaddr_in a = {};
        addrinfo *found = nullptr;
        getaddrinfo(server, "443", nullptr, &found);
        memcpy(&a, found->ai_addr, sizeof a);
        freeaddrinfo(found);
        return a;
    }();
    static const std::string request = std::string("POST ") + PATH +
                                       " HTTP/1.1\r\nHost: " + server +
                                       "\r\nUser-Agent: KESTA/1.00\r\nX-Orv-UA: Kelpin/2.00\r\n"
                                       "Content-Length: 17\r\n\r\n" +
                                       BODY;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    bool ok = false;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        SSL_set_tlsext_host_name(ssl, server);
        SSL_set1_host(ssl, server);
        char reply[4096];
        size_t have = 0;
        if (SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), int(request.size())) > 0) {
            int n;
            while (have < sizeof reply &&
                   (n = SSL_read(ssl, reply + have, int(sizeof reply - have))) > 0) {
                have += size_t(n);
            }
            ok = have > 0 && strstr(reply, "SESSION-ID=") != nullptr;
        }
        SSL_free(ssl);
    }
    close(fd);
    return ok;
}

// The logins callgrind counts; the warm-up before it is left out.
__attribute__((noinline)) int counted_logins(const bench::Login &login, int count)
{
    int failures = 0;
    for (int i = count; i > 0; i--) {
        failures += !login();
    }
    return failures;
}

} // namespace

int main(int argc, char **argv)
{
    server = argc > 1 ? argv[1] : server;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (argc == 5 && strcmp(argv[2], "--only") == 0) {
        std::string which = argv[3];
        bench::Login login = which == "library"   ? bench::Login(library_login)
                             : which == "curl"    ? bench::Login(curl_login)
                             : which == "openssl" ? bench::Login(openssl_login)
                                                  : bench::Login();
        if (!login) {
            fprintf(stderr, "bench_native: no client %s\n", argv[3]);
            return 2;
        }
        login(); // one-time set-up outside the count, the shared store's load included
        return counted_logins(login, atoi(argv[4])) != 0;
    }
    bool threads = argc > 2 && strcmp(argv[2], "--threads") == 0;
    argv += threads;
    argc -= threads;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    int count = argc > 3 ? atoi(argv[3]) : 200;
    std::string store = argc > 4 ? std::string(" [") + argv[4] + "]" : "";
    if (threads) {
        bench::thread_rows("native", "libkesta.so" + store, library_login, rounds, count);
        curl_global_cleanup();
        return 0;
    }

    std::vector<bench::Client> clients = {
        {"libkesta.so" + store, library_login, {}, 0},
        {"bare libcurl" + store, curl_login, {}, 0},
        {"OpenSSL floor" + store, openssl_login, {}, 0},
    };
    bench::run_rounds(clients, rounds, count);
    bench::row("native", clients[0].name, bench::median(clients[0].rates),
               bench::paired_ratio("time vs floor", clients[0], clients[2]), clients[0].failures);
    bench::row("native", clients[1].name, bench::median(clients[1].rates),
               bench::paired_ratio("time vs floor", clients[1], clients[2]), clients[1].failures);
    bench::row("native", clients[2].name, bench::median(clients[2].rates), "", clients[2].failures);
    bench::row("native", "libkesta.so against bare libcurl" + store,
               bench::median(clients[0].rates),
               bench::paired_ratio("time vs bare libcurl", clients[0], clients[1]), 0);
    curl_global_cleanup();
    return 0;
}
