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

// The keys a row may have (the file's head says what each means), and those
// of them that make up the reply of the scenario the row defines: the test
// server's part, which this reader only checks.
const char *const ROW_KEYS[] = {
    "row",      "server", "path",      "uses",      "tail",         "id",         "password",
    "proxy",    "reply",  "status",    "location",  "send",         "code",       "text",
    "session",  "agent",  "wine-code", "wine-text", "wine-session", "wine-agent", "wine-race",
    "wine",     "why",    "seen",      "body",      "connects",     "proxy-seen", "waits",
    "timeouts", "soak",   "host",      "wine-seen"};
const char *const REPLY_KEYS[] = {"reply", "status", "location", "send"};

struct Key {
    std::string name, value; // the value as written
    int line;
};

bool known(const std::string &key)
{
    for (const char *k : ROW_KEYS) {
        if (key == k) {
            return true;
        }
    }
    return false;
}

const Key *find(const std::vector<Key> &keys, const char *name)
{
    for (const Key &k : keys) {
        if (k.name == name) {
            return &k;
        }
    }
    return nullptr;
}

// The scenario a Location leads to: its path's first segment.
std::string location_scenario(const std::string &url)
{
    size_t scheme = url.find("://");
    size_t slash = scheme == std::string::npos ? std::string::npos : url.find('/', scheme + 3);
    if (slash == std::string::npos) {
        return "";
    }
    size_t end = url.find('/', slash + 1);
    return url.substr(slash + 1, end == std::string::npos ? std::string::npos : end - slash - 1);
}

// The keys of one block, applied to its row once the block is complete, so
// that the Wine record can start from the finished Linux one.
void finish(Row &row, const std::vector<Key> &keys)
{
    bool text_given = false;
    bool wine_code_given = false;
    bool wine_text_given = false;
    for (const Key &k : keys) {
        const std::string &key = k.name;
        std::string value = unescape(k.value);
        std::optional<std::string> text =
            value == "(none)" ? std::nullopt : std::optional<std::string>(value);
        if (key == "row") {
            row.name = value;
        } else if (key == "server") {
            row.server = value;
        } else if (key == "path" || key == "uses") {
            row.path = value;
            row.defines = key == "path";
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
        }
        // The wine- keys come next; the reply is the server's.
    }
    if (!text_given) {
        row.native_record.text = row.native_record.code != 0;
    }
    row.wine_record = row.native_record;
    row.wine_seen = row.seen;
    for (const Key &k : keys) {
        std::string value = unescape(k.value);
        std::optional<std::string> text =
            value == "(none)" ? std::nullopt : std::optional<std::string>(value);
        if (k.name == "wine-code") {
            row.wine_record.code = uint32_t(atol(value.c_str()));
            wine_code_given = true;
        } else if (k.name == "wine-text") {
            row.wine_record.text = yes(value);
            wine_text_given = true;
        } else if (k.name == "wine-session") {
            row.wine_record.session = text;
        } else if (k.name == "wine-agent") {
            row.wine_record.agent = text;
        } else if (k.name == "wine-race") {
            row.wine_record.race = uint32_t(atol(value.c_str()));
        } else if (k.name == "wine-seen") {
            row.wine_seen = yes(value);
        }
    }
    if (wine_code_given && !wine_text_given) {
        row.wine_record.text = row.wine_record.code != 0;
    }
}

// Reads the file's rows, refusing the first break of its rules with
// FILE:LINE: what. The checks and their words are those of the test
// server's reader (tests/login_server.py), and come in the same order.
class Reader {
  public:
    Reader(const std::string &file, std::string *problem) : file_(file), problem_(problem) {}

    bool refuse(int line, const std::string &what)
    {
        if (problem_->empty()) {
            *problem_ = file_ + ":" + std::to_string(line) + ": " + what;
        }
        return false;
    }

    // One line of a block; false once the file is refused.
    bool key(const std::string &text, int line)
    {
        size_t colon = text.find(':');
        if (colon == std::string::npos) {
            return refuse(line, "not a key: " + text);
        }
        std::string name = text.substr(0, colon);
        if (!known(name)) {
            return refuse(line, "unknown key " + name);
        }
        if (const Key *first = find(keys_, name.c_str())) {
            return refuse(line, "key " + name + " given twice (first at line " +
                                    std::to_string(first->line) + ")");
        }
        size_t start = text.find_first_not_of(' ', colon + 1);
        keys_.push_back({name, start == std::string::npos ? "" : text.substr(start), line});
        return true;
    }

    // The end of a block; false once the file is refused.
    bool end_of_block()
    {
        if (keys_.empty()) {
            return true;
        }
        int start = keys_[0].line;
        for (const Key &k : keys_) {
            start = k.line < start ? k.line : start;
        }
        const Key *name = find(keys_, "row");
        if (name == nullptr) {
            return refuse(start, "a row without a row key");
        }
        std::string where = "row \"" + name->value + "\"";
        for (const Row &earlier : rows_) {
            if (earlier.name == unescape(name->value)) {
                return refuse(start, where + ": a second row of this name (the first at line " +
                                         std::to_string(earlier.line) + ")");
            }
        }
        const Key *path = find(keys_, "path");
        const Key *uses = find(keys_, "uses");
        if ((path != nullptr) == (uses != nullptr)) {
            return refuse(start, where + ": give path (the scenario it defines) or uses (one "
                                         "defined elsewhere), one of the two");
        }
        const Key *reply = nullptr;
        for (const char *k : REPLY_KEYS) {
            reply = reply != nullptr ? reply : find(keys_, k);
        }
        if (uses != nullptr && reply != nullptr) {
            return refuse(start, where + ": uses " + uses->value + " but gives a reply (" +
                                     reply->name +
                                     "): only the row that defines a scenario gives its reply");
        }
        if (path != nullptr) {
            if (reply == nullptr) {
                return refuse(start, where + ": defines " + path->value +
                                         " without a reply, status, location or send");
            }
            for (const auto &[scenario, line] : defined_) {
                if (scenario == path->value) {
                    return refuse(start, where + ": scenario " + scenario +
                                             " is defined twice (also at line " +
                                             std::to_string(line) + ")");
                }
            }
            defined_.emplace_back(path->value, start);
        }
        Row row;
        row.line = start;
        finish(row, keys_);
        rows_.push_back(row);
        const Key *location = find(keys_, "location");
        names_.push_back({where, uses != nullptr ? uses->value : "",
                          location != nullptr ? location_scenario(location->value) : ""});
        keys_.clear();
        return true;
    }

    // Once every block is in: what each row names is defined somewhere.
    std::vector<Row> finish_file()
    {
        for (size_t i = 0; i < rows_.size(); i++) {
            const Names &n = names_[i];
            if (!n.uses.empty() && !is_defined(n.uses)) {
                refuse(rows_[i].line,
                       n.where + ": uses scenario " + n.uses + ", which no row defines");
            }
            if (!n.leads_to.empty() && !is_defined(n.leads_to)) {
                refuse(rows_[i].line, n.where + ": its location leads to scenario " + n.leads_to +
                                          ", which no row defines");
            }
        }
        if (!problem_->empty()) {
            rows_.clear();
        }
        return rows_;
    }

  private:
    bool is_defined(const std::string &scenario) const
    {
        for (const auto &defined : defined_) {
            if (defined.first == scenario) {
                return true;
            }
        }
        return false;
    }

    std::string file_;
    std::string *problem_;
    std::vector<Key> keys_;
    std::vector<Row> rows_;
    // For each row: how messages name it, and the scenarios it takes from
    // other rows (none: "").
    struct Names {
        std::string where, uses, leads_to;
    };
    std::vector<Names> names_;
    std::vector<std::pair<std::string, int>> defined_; // scenario, its row's line
};

} // namespace

std::vector<Row> read_rows(const std::string &file, std::string *problem)
{
    problem->clear();
    FILE *f = fopen(host_path(file).c_str(), "rb");
    if (f == nullptr) {
        *problem = "cannot open " + file;
        return {};
    }
    Reader reader(file, problem);
    char line[8192];
    bool more = true;
    for (int number = 1; more && problem->empty(); number++) {
        more = fgets(line, sizeof line, f) != nullptr;
        std::string text = more ? line : "";
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (!text.empty() && text[0] == '#') {
            continue;
        }
        if (!text.empty()) {
            reader.key(text, number);
        } else {
            reader.end_of_block();
        }
    }
    fclose(f);
    std::vector<Row> out = reader.finish_file();
    if (!problem->empty()) {
        out.clear();
    }
    return out;
}

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

const std::vector<Row> &rows(std::string *problem)
{
    static std::string load_problem;
    static const std::vector<Row> all = read_rows(KESTA_ROWS_FILE, &load_problem);
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
