// Allocation torture: whole logins against the test network's servers, with
// the 1st, then the 2nd, ... local-heap allocation of the library failing,
// until a login needs no more. Every run must give the documented record,
// release cleanly and leave no block behind. The library's logic is linked
// here with the counting heap in place of the Linux layer's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_heap.h"
#include "kesta_internal.h"

namespace {

// What a run gives when allocation n fails.
enum Outcome {
    NO_RECORD,          // the record itself: null, nothing else happens
    NO_SESSION,         // the session text: 8, the user agent still copied
    NO_AGENT,           // the user agent: 8, the session kept
    NO_TEXT,            // the error's message text: the code kept, no text
    NO_SESSION_THEN_13, // the session text of a reply without a colon: 13 replaces the 8
};

struct Row {
    const char *name;
    const char *server;
    const char *path;
    DWORD code;                    // with every allocation succeeding
    std::vector<Outcome> outcomes; // for allocation 1, 2, ...
};

const Row ROWS[] = {
    {"success", "login.test", "/ok/torture", 0, {NO_RECORD, NO_SESSION, NO_AGENT}},
    {"reply without a colon",
     "login.test",
     "/no-colon/torture",
     13,
     {NO_RECORD, NO_SESSION_THEN_13, NO_TEXT}},
    {"reply of the wrong shape", "login.test", "/error-page/torture", 13, {NO_RECORD, NO_TEXT}},
    {"wrong certificate name", "wrongname.test", "/ok/torture", 12038, {NO_RECORD, NO_TEXT}},
    {"expired certificate", "expired.test", "/ok/torture", 12037, {NO_RECORD, NO_TEXT}},
    {"untrusted certificate", "untrusted.test", "/ok/torture", 12045, {NO_RECORD, NO_TEXT}},
    {"TLS alert", "alert.test", "/ok/torture", 12157, {NO_RECORD, NO_TEXT}},
    {"nothing listening", "unreachable.test", "/ok/torture", 12029, {NO_RECORD, NO_TEXT}},
    {"name not resolved", "nowhere.test", "/ok/torture", 12007, {NO_RECORD, NO_TEXT}},
    {"closed after the request",
     "login.test",
     "/close-after-request/torture",
     12152,
     {NO_RECORD, NO_TEXT}},
    {"reset after the headers", "login.test", "/reset/torture", 12030, {NO_RECORD, NO_TEXT}},
    {"a port in the server name", "login.test:8443", "/ok/torture", 87, {NO_RECORD, NO_TEXT}},
};

TEST(Torture, EveryFailedAllocationGivesTheDocumentedRecordAndLeaksNothing)
{
    for (const Row &row : ROWS) {
        for (int n = 1;; n++) {
            SCOPED_TRACE(std::string(row.name) + ", allocation " + std::to_string(n) + " fails");
            fault_heap::reset(n);
            LOGIN_RESULT *r = _KESTA_LOGIN(nullptr, 0, "user", "secret", row.server, row.path);
            bool reached = fault_heap::allocations() >= n;
            if (!reached) {
                // The login needed fewer allocations: it is the plain one.
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(r->error_code, row.code);
                EXPECT_EQ(size_t(n - 1), row.outcomes.size()) << "allocations of this login";
                _KESTA_RELEASE(r);
                EXPECT_EQ(fault_heap::live(), 0);
                break;
            }
            ASSERT_LE(size_t(n), row.outcomes.size()) << "more allocations than documented";
            switch (row.outcomes[n - 1]) {
            case NO_RECORD:
                EXPECT_EQ(r, nullptr);
                break;
            case NO_SESSION:
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(r->error_code, 8u);
                EXPECT_EQ(r->error_string, kesta::MEMORY_MESSAGE);
                EXPECT_EQ(r->session_id, nullptr);
                EXPECT_NE(r->user_agent, nullptr);
                break;
            case NO_AGENT:
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(r->error_code, 8u);
                EXPECT_EQ(r->error_string, kesta::MEMORY_MESSAGE);
                EXPECT_NE(r->session_id, nullptr);
                EXPECT_EQ(r->user_agent, nullptr);
                break;
            case NO_TEXT:
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(r->error_code, row.code);
                EXPECT_EQ(r->error_string, nullptr);
                break;
            case NO_SESSION_THEN_13:
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(r->error_code, 13u);
                EXPECT_NE(r->error_string, nullptr);
                EXPECT_EQ(r->session_id, nullptr);
                EXPECT_EQ(r->user_agent, nullptr);
                break;
            }
            _KESTA_RELEASE(r);
            EXPECT_EQ(fault_heap::live(), 0) << "a block outlived the release";
        }
    }
}

} // namespace
