// A login server fast enough not to be what a benchmark measures: OpenSSL,
// a few threads blocking in accept, one fixed reply per connection; with
// STAPLE, a DER OCSP answer it staples to every handshake that asks.
//
//   bench_server ADDRESS CERT KEY THREADS [STAPLE]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

const char REPLY[] = "HTTP/1.1 200 OK\r\nContent-Length: 26\r\nConnection: close\r\n\r\n"
                     "SESSION-ID=BenchUA:abc123\n";

// Reads the request head and as much body as its Content-Length says.
bool read_request(SSL *ssl)
{
    char buffer[8192];
    size_t have = 0;
    while (have < sizeof buffer - 1) {
        int n = SSL_read(ssl, buffer + have, int(sizeof buffer - 1 - have));
        if (n <= 0) {
            return false;
        }
        have += size_t(n);
        buffer[have] = '\0';
        char *end = strstr(buffer, "\r\n\r\n");
        if (end == nullptr) {
            continue;
        }
        const char *length = strcasestr(buffer, "\r\nContent-Length:");
        size_t body = length != nullptr ? size_t(atol(length + 17)) : 0;
        if (have >= size_t(end + 4 - buffer) + body) {
            return true;
        }
    }
    return false;
}

void serve(int listener, SSL_CTX *ctx)
{
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1 && read_request(ssl)) {
            SSL_write(ssl, REPLY, int(sizeof REPLY - 1));
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        close(fd);
    }
}

// Hands the client a copy of the answer, which OpenSSL frees.
int staple(SSL *ssl, void *answer)
{
    const std::string &der = *static_cast<const std::string *>(answer);
    void *copy = OPENSSL_memdup(der.data(), der.size());
    return copy != nullptr && SSL_set_tlsext_status_ocsp_resp(ssl, copy, long(der.size())) == 1
               ? SSL_TLSEXT_ERR_OK
               : SSL_TLSEXT_ERR_NOACK;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: bench_server ADDRESS CERT KEY THREADS [STAPLE]\n");
        return 2;
    }
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_chain_file(ctx, argv[2]) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, argv[3], SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
    }
    std::string answer;
    if (argc == 6) {
        std::ifstream file(argv[5], std::ios::binary);
        answer.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        SSL_CTX_set_tlsext_status_cb(ctx, staple);
        SSL_CTX_set_tlsext_status_arg(ctx, &answer);
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(443);
    inet_pton(AF_INET, argv[1], &address.sin_addr);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 256) != 0) {
        perror("bench_server");
        return 1;
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < atoi(argv[4]); i++) {
        threads.emplace_back(serve, listener, ctx);
    }
    for (std::thread &t : threads) {
        t.join();
    }
    return 0;
}
