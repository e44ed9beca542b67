// Fuzzes the request composition and the input checks: ID, password and
// proxy host from the input (NUL-separated), the port from its last four
// bytes; the first two serve as server name and path too. Nothing may be
// read or written past the buffers, the cuts must hold, and no input that
// passes a check may hold a byte that would move the login.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kesta_internal.h"

using namespace kesta;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    int32_t port = 0;
    if (input.size() >= 4) {
        memcpy(&port, input.data() + input.size() - 4, 4);
        input.resize(input.size() - 4);
    }
    std::string fields[3];
    size_t at = 0;
    for (std::string &field : fields) {
        size_t end = input.find('\0', at);
        field = input.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? input.size() : end + 1;
    }
    // Null when a field is absent, to reach the "(null)" texts too.
    const char *id = size % 3 == 0 ? nullptr : fields[0].c_str();
    const char *password = size % 5 == 0 ? nullptr : fields[1].c_str();

    char body[4096];
    DWORD n = compose_body(body, sizeof body, id, password);
    size_t id_length = id != nullptr ? strlen(id) : 6;
    size_t password_length = password != nullptr ? strlen(password) : 6;
    size_t expected = 3 + (id_length < 240 ? id_length : 240) + 4 +
                      (password_length < 240 ? password_length : 240);
    if (n != expected || n > 487 || body[n] != '\0' || memcmp(body, "ID=", 3) != 0) {
        abort();
    }

    char proxy[256];
    compose_proxy(proxy, sizeof proxy, fields[2].c_str(), port);
    size_t host_length = strlen(fields[2].c_str());
    std::string tail = ":" + std::to_string(port);
    size_t cut = host_length < 240 ? host_length : 240;
    if (strlen(proxy) != cut + tail.size() || memcmp(proxy, fields[2].data(), cut) != 0 ||
        tail != proxy + cut) {
        abort();
    }

    // Whatever passes is free of what the platform would read as more.
    auto holds = [](const char *text, size_t n, bool space, const char *bytes) {
        for (size_t i = 0; i < n; i++) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c == 0x7F || (space && c == ' ') || strchr(bytes, c) != nullptr) {
                return true;
            }
        }
        return false;
    };
    const char *server = fields[0].c_str();
    if (server_is_safe(server) &&
        (server[0] == '\0' || holds(server, strlen(server), true, "@/\\?#%:[]"))) {
        abort();
    }
    const char *path = fields[1].c_str();
    if (path_is_safe(path) && holds(path, strlen(path), false, "")) {
        abort();
    }
    if (proxy_is_safe(fields[2].c_str(), port) &&
        (port < 1 || port > 65535 || cut == 0 || holds(proxy, cut, true, "@/\\=;,%?#"))) {
        abort();
    }
    return 0;
}
