// kesta-login: log in once through the library and show what came back.
//
//   kesta-login --server HOST --path PATH --id ID [--proxy HOST:PORT]
//               [--password-stdin]
//   kesta-login --version
//
// The password is asked for without echo, or read from the first line of
// standard input with --password-stdin; never taken from the command line,
// where other users of the machine could see it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "kesta.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace {

const char USAGE[] = "usage: kesta-login --server HOST --path PATH --id ID [--proxy HOST:PORT]\n"
                     "                   [--password-stdin]\n"
                     "       kesta-login --version\n"
                     "\n"
                     "Logs in once and prints the session ID and user agent the server granted,\n"
                     "or the error code and its message. The password is asked for without echo,\n"
                     "or read from the first line of standard input with --password-stdin.\n"
                     "Exit status: 0 logged in, 1 the login failed, 2 bad usage.\n";

int usage_error(const char *what)
{
    fprintf(stderr, "kesta-login: %s\n%s", what, USAGE);
    return 2;
}

// Turns terminal echo off for as long as it lives, when there is a terminal.
class NoEcho {
  public:
    NoEcho()
    {
#ifdef _WIN32
        input_ = GetStdHandle(STD_INPUT_HANDLE);
        active_ = GetConsoleMode(input_, &mode_) &&
                  SetConsoleMode(input_, mode_ & ~DWORD(ENABLE_ECHO_INPUT));
#else
        active_ = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &mode_) == 0;
        if (active_) {
            struct termios quiet = mode_;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
#endif
    }
    ~NoEcho()
    {
        if (!active_) {
            return;
        }
#ifdef _WIN32
        SetConsoleMode(input_, mode_);
#else
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode_);
#endif
        fputc('\n', stderr);
    }
    NoEcho(const NoEcho &) = delete;
    NoEcho &operator=(const NoEcho &) = delete;

  private:
    bool active_ = false;
#ifdef _WIN32
    HANDLE input_;
    DWORD mode_ = 0;
#else
    struct termios mode_;
#endif
};

void wipe(char *buffer, size_t size)
{
#ifdef _WIN32
    SecureZeroMemory(buffer, size);
#else
    explicit_bzero(buffer, size);
#endif
}

// Reads one line without its line end; false at end of input.
bool read_line(char *buffer, size_t size)
{
    if (fgets(buffer, int(size), stdin) == nullptr) {
        return false;
    }
    buffer[strcspn(buffer, "\r\n")] = '\0';
    return true;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    // Bytes as they are: the texts already end in CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const char *server = nullptr;
    const char *path = nullptr;
    const char *id = nullptr;
    const char *proxy = nullptr;
    bool password_stdin = false;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        const char **value = arg == "--server"  ? &server
                             : arg == "--path"  ? &path
                             : arg == "--id"    ? &id
                             : arg == "--proxy" ? &proxy
                                                : nullptr;
        if (arg == "--help" || arg == "-h") {
            fputs(USAGE, stdout);
            return 0;
        } else if (arg == "--version") {
            // The release's version, set by the build from the project's.
            printf("kesta-login %s\n", KESTA_VERSION_TEXT);
            return 0;
        } else if (arg == "--password-stdin") {
            password_stdin = true;
        } else if (value != nullptr && i + 1 < argc) {
            *value = argv[++i];
        } else if (value != nullptr) {
            return usage_error((arg + " needs a value").c_str());
        } else {
            return usage_error(("unknown argument: " + arg).c_str());
        }
    }
    if (server == nullptr || path == nullptr || id == nullptr) {
        return usage_error("--server, --path and --id are required");
    }

    std::string proxy_host;
    long proxy_port = 0;
    if (proxy != nullptr) {
        const char *colon = strrchr(proxy, ':');
        char *end = nullptr;
        proxy_port = colon != nullptr ? strtol(colon + 1, &end, 10) : 0;
        if (colon == nullptr || colon == proxy || end == colon + 1 || *end != '\0' ||
            proxy_port <= 0 || proxy_port > 65535) {
            return usage_error("--proxy takes HOST:PORT");
        }
        proxy_host.assign(proxy, size_t(colon - proxy));
    }

    char password[1024];
    bool have_password;
    if (password_stdin) {
        have_password = read_line(password, sizeof password);
    } else {
        fputs("Password: ", stderr);
        fflush(stderr);
        NoEcho no_echo;
        have_password = read_line(password, sizeof password);
    }
    if (!have_password) {
        wipe(password, sizeof password);
        return usage_error("no password given");
    }

    LOGIN_RESULT *result = _KESTA_LOGIN(proxy != nullptr ? proxy_host.c_str() : nullptr,
                                        int32_t(proxy_port), id, password, server, path);
    wipe(password, sizeof password);
    if (result == nullptr) {
        fputs("kesta-login: not enough memory for the login's result\n", stderr);
        return 1;
    }

    int status = 0;
    uint32_t code = _KESTA_GETERRORCODE(result);
    if (code == 0) {
        printf("session ID: %s\nuser agent: %s\n", _KESTA_GETSESSIONID(result),
               _KESTA_GETUSERAGENT(result));
    } else {
        // The message's bytes as they are: the platform's text in its code
        // page, or the library's own in Shift-JIS.
        const char *text = _KESTA_GETERRORSTRING(result);
        if (text == nullptr) {
            text = "(no message text for this code)";
        }
        size_t length = strlen(text);
        printf("login failed: error %lu: %s%s", static_cast<unsigned long>(code), text,
               length > 0 && text[length - 1] == '\n' ? "" : "\n");
        status = 1;
    }
    _KESTA_RELEASE(result);
    return status;
}
