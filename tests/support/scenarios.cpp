#include "scenarios.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <sstream>

namespace scenarios {
namespace {

// Wine sees the Linux file system as drive Z:.
std::string host_path(const std::string &path)
{
    return WINE && !path.empty() && path[0] == '/' ? "Z:" + path : path;
}

// What the test network's servers and proxies saw, in its folder.
std::string records_dir()
{
    const char *testnet = getenv("KESTA_TESTNET");
    return host_path(testnet != nullptr ? std::string(testnet) + "/records" : "");
}

int hex_digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c - 'A' + 10;
}

} // namespace

void PrintTo(const Row &row, std::ostream *out)
{
    *out << "line " << row.line << ": " << row.name;
}

std::string mismatch(const Record &want, uint32_t code, const char *text, const char *session,
                     const char *agent)
{
    std::string out;
    if (code != want.code && (want.race == 0 || code != want.race)) {
        out += "code " + std::to_string(code) + ", want " + std::to_string(want.code) + "; ";
    }
    bool text_wanted = code == want.code ? want.text : code != 0;
    if ((text != nullptr) != text_wanted) {
        out += std::string("text ") + (text != nullptr ? text : "(null)") + "; ";
    }
    auto compare = [&out](const char *what, const std::optional<std::string> &wanted,
                          const char *got) {
        if (wanted.has_value() != (got != nullptr) || (got != nullptr && *wanted != got)) {
            out += std::string(what) + " " + (got != nullptr ? got : "(null)") + ", want " +
                   (wanted ? *wanted : "(null)") + "; ";
        }
    };
    compare("session", want.session, session);
    compare("agent", want.agent, agent);
    return out;
}

std::string unique_token(const std::string &name)
{
    // Runs of a program share the servers' records: each run's names start
    // with the time it started.
    static const long long run = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    static std::atomic<int> counter{0};
    std::string token =
        std::string(WINE ? "w" : "n") + std::to_string(run) + "-" + std::to_string(counter++) + "-";
    for (char c : name) {
        token +=
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ? c : '-';
    }
    return token.substr(0, 120);
}

bool Request::has_header(const std::string &name) const
{
    for (const std::string &h : headers) {
        if (h.size() > name.size() && h.compare(0, name.size(), name) == 0 &&
            h[name.size()] == ':') {
            return true;
        }
    }
    return false;
}

std::vector<Request> requests_for(const std::string &token)
{
    std::vector<Request> out;
    FILE *f = fopen((records_dir() + "/" + token).c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    char line[16384];
    while (fgets(line, sizeof line, f) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        size_t space = text.find(' ');
        std::string key = text.substr(0, space);
        std::string value = space == std::string::npos ? "" : text.substr(space + 1);
        if (key == "method") {
            out.push_back(Request());
            out.back().method = value;
        } else if (out.empty()) {
            continue;
        } else if (key == "path") {
            out.back().path = value;
        } else if (key == "version") {
            out.back().version = value;
        } else if (key == "header") {
            out.back().headers.push_back(value);
        } else if (key == "connection") {
            out.back().client_port = atoi(value.c_str());
            out.back().resumed = value.find(" True") != std::string::npos;
        } else if (key == "body") {
            for (size_t i = 0; i + 1 < value.size(); i += 2) {
                out.back().body += char(hex_digit(value[i]) * 16 + hex_digit(value[i + 1]));
            }
        }
    }
    fclose(f);
    return out;
}

std::vector<std::vector<std::string>> proxy_heads(const std::string &address)
{
    std::vector<std::vector<std::string>> heads;
    FILE *f = fopen((records_dir() + "/proxy-" + address).c_str(), "rb");
    if (f == nullptr) {
        return heads;
    }
    char line[8192];
    bool blank = true;
    while (fgets(line, sizeof line, f) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text.empty()) {
            blank = true;
            continue;
        }
        if (blank) {
            heads.emplace_back();
            blank = false;
        }
        heads.back().push_back(text);
    }
    fclose(f);
    return heads;
}

long active_opens()
{
    FILE *f = fopen(host_path("/proc/net/snmp").c_str(), "r");
    if (f == nullptr) {
        return -1;
    }
    std::vector<std::string> tcp; // the names line, then the values line
    char line[1024];
    while (tcp.size() < 2 && fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "Tcp:", 4) == 0) {
            tcp.push_back(line);
        }
    }
    fclose(f);
    if (tcp.size() < 2) {
        return -1;
    }
    std::istringstream names(tcp[0]);
    std::istringstream values(tcp[1]);
    std::string name;
    std::string value;
    while (names >> name && values >> value) {
        if (name == "ActiveOpens") {
            return atol(value.c_str());
        }
    }
    return -1;
}

} // namespace scenarios
