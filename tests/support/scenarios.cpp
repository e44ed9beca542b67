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

std::string records_dir()
{
    const char *dir = getenv("KESTA_RECORDS");
    return host_path(dir != nullptr ? dir : "");
}

int hex_digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c - 'A' + 10;
}

// C's escapes and {c*N}, as the file's head describes.
std::string unescape(const std::string &value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); i++) {
        char c = value[i];
        size_t star = value.find('*', i);
        size_t close = value.find('}', i);
        if (c == '{' && star == i + 2 && close != std::string::npos && close > star + 1) {
            out.append(size_t(atol(value.substr(star + 1, close - star - 1).c_str())),
                       value[i + 1]);
            i = close;
        } else if (c == '\\' && i + 1 < value.size()) {
            char e = value[++i];
            if (e == 'x' && i + 2 < value.size()) {
                out += char(hex_digit(value[i + 1]) * 16 + hex_digit(value[i + 2]));
                i += 2;
            } else {
                out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
            }
        } else {
            out += c;
        }
    }
    return out;
}

bool yes(const std::string &value)
{
    return value == "yes";
}

// The keys of one block, applied to its row once the block is complete, so
// that the Wine record can start from the finished Linux one.
bool finish(Row &row, const std::vector<std::pair<std::string, std::string>> &keys,
            std::string *problem)
{
    bool text_given = false;
    bool wine_code_given = false;
    bool wine_text_given = false;
    for (const auto &[key, raw] : keys) {
        std::string value = unescape(raw);
        std::optional<std::string> text =
            value == "(none)" ? std::nullopt : std::optional<std::string>(value);
        if (key == "row") {
            row.name = value;
        } else if (key == "server") {
            row.server = value;
        } else if (key == "path") {
            row.path = value;
        } else if (key == "tail") {
            row.tail = value;
        } else if (key == "id") {
            row.id = text;
        } else if (key == "password") {
            row.password = text;
        } else if (key == "proxy") {
            size_t colon = value.rfind(':');
            row.proxy_host = value.substr(0, colon);
            row.proxy_port = int32_t(atol(value.substr(colon + 1).c_str()));
        } else if (key == "code") {
            row.native_record.code = uint32_t(atol(value.c_str()));
        } else if (key == "text") {
            row.native_record.text = yes(value);
            text_given = true;
        } else if (key == "session") {
            row.native_record.session = value;
        } else if (key == "agent") {
            row.native_record.agent = value;
        } else if (key == "seen") {
            row.seen = yes(value);
        } else if (key == "host") {
            row.host = value;
        } else if (key == "body") {
            row.body = value;
        } else if (key == "connects") {
            row.connects = yes(value);
        } else if (key == "proxy-seen") {
            row.proxy_seen = value;
        } else if (key == "waits") {
            row.waits = value;
        } else if (key == "timeouts") {
            row.short_timeouts = value == "short";
        } else if (key == "soak") {
            row.soak = yes(value);
        } else if (key == "why") {
            row.why = value;
        } else if (key == "wine") {
            row.wine_skip = value == "skip";
        } else if (key.rfind("wine-", 0) == 0 || key == "reply" || key == "status" ||
                   key == "send" || key == "location") {
            continue; // the Wine record comes next; the reply is the server's
        } else {
            *problem = "row \"" + row.name + "\": unknown key " + key;
            return false;
        }
    }
    if (!text_given) {
        row.native_record.text = row.native_record.code != 0;
    }
    row.wine_record = row.native_record;
    row.wine_seen = row.seen;
    for (const auto &[key, raw] : keys) {
        std::string value = unescape(raw);
        std::optional<std::string> text =
            value == "(none)" ? std::nullopt : std::optional<std::string>(value);
        if (key == "wine-code") {
            row.wine_record.code = uint32_t(atol(value.c_str()));
            wine_code_given = true;
        } else if (key == "wine-text") {
            row.wine_record.text = yes(value);
            wine_text_given = true;
        } else if (key == "wine-session") {
            row.wine_record.session = text;
        } else if (key == "wine-agent") {
            row.wine_record.agent = text;
        } else if (key == "wine-race") {
            row.wine_record.race = uint32_t(atol(value.c_str()));
        } else if (key == "wine-seen") {
            row.wine_seen = yes(value);
        }
    }
    if (wine_code_given && !wine_text_given) {
        row.wine_record.text = row.wine_record.code != 0;
    }
    return true;
}

std::vector<Row> load(std::string *problem)
{
    std::vector<Row> out;
    FILE *f = fopen(host_path(KESTA_ROWS_FILE).c_str(), "rb");
    if (f == nullptr) {
        *problem = std::string("cannot open ") + KESTA_ROWS_FILE;
        return out;
    }
    std::vector<std::pair<std::string, std::string>> keys;
    char line[8192];
    bool more = true;
    while (more) {
        more = fgets(line, sizeof line, f) != nullptr;
        std::string text = more ? line : "";
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (more && !text.empty() && text[0] == '#') {
            continue;
        }
        if (!text.empty()) {
            size_t colon = text.find(':');
            if (colon == std::string::npos) {
                *problem = "not a key: " + text;
                break;
            }
            size_t start = text.find_first_not_of(' ', colon + 1);
            keys.emplace_back(text.substr(0, colon),
                              start == std::string::npos ? "" : text.substr(start));
            continue;
        }
        if (!keys.empty()) {
            Row row;
            if (!finish(row, keys, problem)) {
                break;
            }
            out.push_back(row);
            keys.clear();
        }
    }
    fclose(f);
    if (!problem->empty()) {
        out.clear();
    }
    return out;
}

} // namespace

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

const std::vector<Row> &rows(std::string *problem)
{
    static std::string load_problem;
    static const std::vector<Row> all = load(&load_problem);
    if (problem != nullptr) {
        *problem = load_problem;
    }
    return all;
}

const Row *row_named(const std::string &name)
{
    for (const Row &row : rows()) {
        if (row.name == name) {
            return &row;
        }
    }
    return nullptr;
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

std::vector<std::string> last_proxy_head(const std::string &address)
{
    std::vector<std::string> head;
    FILE *f = fopen((records_dir() + "/proxy-" + address).c_str(), "rb");
    if (f == nullptr) {
        return head;
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
            head.clear();
            blank = false;
        }
        head.push_back(text);
    }
    fclose(f);
    return head;
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

long receive_timeout_ms()
{
    const char *value = getenv("KESTA_TEST_RECEIVE_TIMEOUT_MS");
    return value != nullptr ? atol(value) : 30000;
}

long connect_timeout_ms()
{
    const char *value = getenv("KESTA_TEST_CONNECT_TIMEOUT_MS");
    return value != nullptr ? atol(value) : 60000;
}

long exchange_timeout_ms()
{
    const char *value = getenv("KESTA_TEST_EXCHANGE_TIMEOUT_MS");
    return value != nullptr ? atol(value) : 180000;
}

} // namespace scenarios
