#include "fake_inet.h"

#include <stdio.h>
#include <string.h>

#include "replace.h"

namespace {

char session_tag, connection_tag, request_tag;

#ifdef _WIN32
// The real library is loaded wherever the login runs, since the login uses
// it; its message table is where the texts of its codes come from.
const HMODULE wininet = LoadLibraryA("wininet.dll");
#endif

struct State {
    fake_inet::Script script;
    std::vector<std::string> calls;
    std::string body;
    const char *body_address = nullptr;
    const char *proxy_address = nullptr;
    // Every run of bytes the library handed over or was handed (the proxy
    // text, the body, each piece of the reply), and at each close what was
    // still in them.
    std::vector<std::pair<const char *, size_t>> secrets;
    std::string left_at_close;
    size_t next_read = 0;
    size_t read_offset = 0;
    int reads = 0;
} state;

std::string quote(const char *text)
{
    if (text == nullptr) {
        return "null";
    }
    std::string out = "\"";
    for (const char *c = text; *c != '\0'; c++) {
        out += *c == '\r'   ? std::string("\\r")
               : *c == '\n' ? std::string("\\n")
                            : std::string(1, *c);
    }
    return out + "\"";
}

std::string name_of(HINTERNET h)
{
    return h == &session_tag      ? "session"
           : h == &connection_tag ? "connection"
           : h == &request_tag    ? "request"
                                  : "unknown";
}

std::string hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

// Logs the call; true when the script makes this one fail.
bool called(const char *name, const std::string &args)
{
    state.calls.push_back(std::string(name) + "(" + args + ")");
    if (state.script.fail != nullptr && strcmp(state.script.fail, name) == 0) {
        SetLastError(state.script.code);
        return true;
    }
    return false;
}

} // namespace

extern "C" {

HINTERNET WINAPI KESTA_FAKE(InternetOpenA)(LPCSTR agent, DWORD access, LPCSTR proxy, LPCSTR bypass,
                                           DWORD flags)
{
    state.proxy_address = proxy;
    // A new login: the bytes of any earlier one are in a frame that is gone.
    state.secrets.clear();
    if (proxy != nullptr) {
        state.secrets.emplace_back(proxy, strlen(proxy) + 1);
    }
    bool fail =
        called("InternetOpenA", quote(agent) + ", " + std::to_string(access) + ", " + quote(proxy) +
                                    ", " + quote(bypass) + ", " + std::to_string(flags));
    return fail ? nullptr : &session_tag;
}

HINTERNET WINAPI KESTA_FAKE(InternetConnectA)(HINTERNET session, LPCSTR server, INTERNET_PORT port,
                                              LPCSTR user, LPCSTR password, DWORD service,
                                              DWORD flags, DWORD_PTR context)
{
    bool fail = called("InternetConnectA", name_of(session) + ", " + quote(server) + ", " +
                                               std::to_string(port) + ", " + quote(user) + ", " +
                                               quote(password) + ", " + std::to_string(service) +
                                               ", " + hex(flags) + ", " + std::to_string(context));
    return fail ? nullptr : &connection_tag;
}

HINTERNET WINAPI KESTA_FAKE(HttpOpenRequestA)(HINTERNET connection, LPCSTR verb, LPCSTR object,
                                              LPCSTR version, LPCSTR referrer, LPCSTR *accept,
                                              DWORD flags, DWORD_PTR context)
{
    bool fail =
        called("HttpOpenRequestA", name_of(connection) + ", " + quote(verb) + ", " + quote(object) +
                                       ", " + quote(version) + ", " + quote(referrer) + ", " +
                                       (accept == nullptr ? "null" : "types") + ", " + hex(flags) +
                                       ", " + std::to_string(context));
    return fail ? nullptr : &request_tag;
}

BOOL WINAPI KESTA_FAKE(HttpSendRequestA)(HINTERNET request, LPCSTR headers, DWORD length,
                                         LPVOID optional, DWORD optional_length)
{
    state.body.assign(static_cast<const char *>(optional), optional_length);
    state.body_address = static_cast<const char *>(optional);
    state.secrets.emplace_back(state.body_address, optional_length);
    bool fail =
        called("HttpSendRequestA", name_of(request) + ", " + quote(headers) + ", " + hex(length) +
                                       ", body, " + std::to_string(optional_length));
    return fail ? FALSE : TRUE;
}

BOOL WINAPI KESTA_FAKE(InternetReadFile)(HINTERNET file, LPVOID buffer, DWORD to_read, LPDWORD read)
{
    *read = 0;
    state.reads++;
    std::string args = name_of(file) + ", " + std::to_string(to_read);
    if (called("InternetReadFile", args) && state.reads >= state.script.fail_read) {
        return FALSE;
    }
    SetLastError(0);
    const std::vector<std::string> &pieces = state.script.reads;
    if (state.next_read < pieces.size()) {
        const std::string &piece = pieces[state.next_read];
        size_t n = piece.size() - state.read_offset;
        n = n < to_read ? n : to_read;
        memcpy(buffer, piece.data() + state.read_offset, n);
        state.secrets.emplace_back(static_cast<const char *>(buffer), n);
        *read = DWORD(n);
        state.read_offset += n;
        if (state.read_offset == piece.size()) {
            state.next_read++;
            state.read_offset = 0;
        }
    }
    return TRUE;
}

BOOL WINAPI KESTA_FAKE(InternetQueryOptionA)(HINTERNET handle, DWORD option, LPVOID buffer,
                                             LPDWORD length)
{
    called("InternetQueryOptionA", name_of(handle) + ", " + std::to_string(option));
    DWORD value = option == INTERNET_OPTION_SECURITY_FLAGS ? state.script.security_flags
                  : handle == &request_tag                 ? state.script.request_timeout
                                                           : state.script.connection_timeout;
    if (handle == &request_tag && option != INTERNET_OPTION_SECURITY_FLAGS &&
        state.script.request_refuses) {
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return FALSE;
    }
    memcpy(buffer, &value, sizeof value);
    *length = sizeof value;
    return TRUE;
}

BOOL WINAPI KESTA_FAKE(InternetSetOptionA)(HINTERNET handle, DWORD option, LPVOID buffer,
                                           DWORD length)
{
    DWORD value = 0;
    memcpy(&value, buffer, length < sizeof value ? length : sizeof value);
    called("InternetSetOptionA",
           name_of(handle) + ", " + std::to_string(option) + ", " + std::to_string(value));
    return TRUE;
}

BOOL WINAPI KESTA_FAKE(InternetCloseHandle)(HINTERNET handle)
{
    called("InternetCloseHandle", name_of(handle));
    // The login is still running: the bytes are in its live frame.
    state.left_at_close.clear();
    for (const auto &[address, size] : state.secrets) {
        for (size_t i = 0; i < size; i++) {
            if (address[i] != '\0') {
                state.left_at_close += address[i];
            }
        }
    }
    return TRUE;
}

} // extern "C"

KESTA_REPLACE(InternetOpenA, 20);
KESTA_REPLACE(InternetConnectA, 32);
KESTA_REPLACE(HttpOpenRequestA, 32);
KESTA_REPLACE(HttpSendRequestA, 20);
KESTA_REPLACE(InternetReadFile, 16);
KESTA_REPLACE(InternetQueryOptionA, 16);
KESTA_REPLACE(InternetSetOptionA, 16);
KESTA_REPLACE(InternetCloseHandle, 4);

namespace fake_inet {

void reset(const Script &script)
{
    state = State();
    state.script = script;
}

const std::vector<std::string> &calls()
{
    return state.calls;
}

const std::string &body()
{
    return state.body;
}

const char *body_address()
{
    return state.body_address;
}

const char *proxy_address()
{
    return state.proxy_address;
}

const std::string &left_at_last_close()
{
    return state.left_at_close;
}

} // namespace fake_inet
