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
#include "scenarios.h"

namespace {

// What a run gives when allocation n fails.
enum Outcome {
    NO_RECORD,          // the record itself: null, nothing else happens
    NO_SESSION,         // the session text: 8, the user agent still copied
    NO_AGENT,           // the user agent: 8, the session kept
    NO_TEXT,            // the error's message text: the code kept, no text
    NO_SESSION_THEN_13, // the session text of a reply without a colon: 13 replaces the 8
};

// What each allocation's failure gives, from the record the login gives
// when none fails: the record, then the texts it copies.
std::vector<Outcome> outcomes_of(const scenarios::Record &record)
{
    if (record.code == 0) {
        return {NO_RECORD, NO_SESSION, NO_AGENT};
    }
    if (record.code == ERROR_INVALID_DATA && record.session) {
        return {NO_RECORD, NO_SESSION_THEN_13, NO_TEXT};
    }
    return {NO_RECORD, NO_TEXT};
}

TEST(Torture, EveryFailedAllocationGivesTheDocumentedRecordAndLeaksNothing)
{
    ASSERT_FALSE(scenarios::rows().empty());
    for (const scenarios::Row &row : scenarios::rows()) {
        // The soak's mix, and the input refused before any connection.
        if (!row.soak && (row.connects || row.proxy_host)) {
            continue;
        }
        DWORD code = row.expected().code;
        std::vector<Outcome> outcomes = outcomes_of(row.expected());
        std::string path = "/" + row.scenario + "/torture" + row.tail;
        for (int n = 1;; n++) {
            SCOPED_TRACE(row.name + ", allocation " + std::to_string(n) + " fails");
            fault_heap::reset(n);
            LOGIN_RESULT *r =
                _KESTA_LOGIN(nullptr, 0, "user", "secret", row.server.c_str(), path.c_str());
            bool reached = fault_heap::allocations() >= n;
            if (!reached) {
                // The login needed fewer allocations: it is the plain one.
                ASSERT_NE(r, nullptr);
                EXPECT_EQ(r->error_code, code);
                EXPECT_EQ(size_t(n - 1), outcomes.size()) << "allocations of this login";
                _KESTA_RELEASE(r);
                EXPECT_EQ(fault_heap::live(), 0);
                break;
            }
            ASSERT_LE(size_t(n), outcomes.size()) << "more allocations than documented";
            switch (outcomes[n - 1]) {
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
                EXPECT_EQ(r->error_code, code);
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
