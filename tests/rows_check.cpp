// The C++ reader of the scenario rows (tests/support/scenarios.cpp) on the
// files given, for tests/rows_test.py: for each file a line "file NAME",
// then either "refused WHAT" or one line per row with everything the tests
// take from it. Bytes outside printable ASCII come out as \xHH, so that
// each row stays on one line.
#include <stdio.h>

#include <string>

#include "scenarios.h"

namespace {

std::string shown(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string shown(const std::optional<std::string> &text)
{
    return text ? "\"" + shown(*text) + "\"" : "null";
}

std::string shown(const scenarios::Record &r)
{
    return std::to_string(r.code) + (r.text ? " text " : " no-text ") + shown(r.session) + " " +
           shown(r.agent) + " race " + std::to_string(r.race);
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        std::string problem;
        std::vector<scenarios::Row> rows = scenarios::read_rows(argv[i], &problem);
        printf("file %s\n", argv[i]);
        if (!problem.empty()) {
            printf("refused %s\n", shown(problem).c_str());
            continue;
        }
        for (const scenarios::Row &r : rows) {
            std::string line = "row \"" + shown(r.name) + "\" server \"" + shown(r.server) + "\" " +
                               (r.defines ? "defines" : "uses") + " \"" + shown(r.path) +
                               "\" tail \"" + shown(r.tail) + "\" id " + shown(r.id) +
                               " password " + shown(r.password) + " proxy " + shown(r.proxy_host) +
                               " " + std::to_string(r.proxy_port) + " | " + shown(r.native_record) +
                               " | wine " + shown(r.wine_record) + (r.wine_skip ? " skip" : "") +
                               " why \"" + shown(r.why) + "\" | seen " + std::to_string(r.seen) +
                               " body \"" + shown(r.body) + "\" connects " +
                               std::to_string(r.connects) + " proxy-seen \"" + shown(r.proxy_seen) +
                               "\" waits \"" + r.waits + "\" short " +
                               std::to_string(r.short_timeouts) + " soak " + std::to_string(r.soak);
            printf("%s\n", line.c_str());
        }
    }
    return 0;
}
