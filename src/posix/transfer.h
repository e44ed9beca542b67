// One HTTPS POST as a libcurl transfer, driven a step at a time: what the
// WinINet stand-ins send and read with. Not seen by the library.
#ifndef KESTA_POSIX_TRANSFER_H
#define KESTA_POSIX_TRANSFER_H

#include <curl/curl.h>
#include <time.h>

#include "trust.h"
#include "win32.h"

namespace kesta_posix {

// WinINet's defaults on Windows: 60 s to connect, 30 s without data while
// sending or receiving. A ceiling on the whole exchange, far beyond what an
// honest login server needs, keeps a server that trickles a byte just inside
// the receive timeout from holding a login for days. A test build of the
// layer may set shorter ones.
#ifndef KESTA_CONNECT_TIMEOUT_MS
#define KESTA_CONNECT_TIMEOUT_MS 60000
#endif
#ifndef KESTA_RECEIVE_TIMEOUT_MS
#define KESTA_RECEIVE_TIMEOUT_MS 30000
#endif
#ifndef KESTA_EXCHANGE_TIMEOUT_MS
#define KESTA_EXCHANGE_TIMEOUT_MS 180000
#endif
constexpr long CONNECT_TIMEOUT_MS = KESTA_CONNECT_TIMEOUT_MS;
constexpr DWORD RECEIVE_TIMEOUT_MS = KESTA_RECEIVE_TIMEOUT_MS;
constexpr long EXCHANGE_TIMEOUT_MS = KESTA_EXCHANGE_TIMEOUT_MS;

// Where a request goes and how long it may wait. A session and a connection
// hand theirs on to the handles opened from them.
struct Target {
    char agent[256] = "";
    char proxy[300] = ""; // "http://host:port", or empty for a direct connection
    char server[256] = "";
    DWORD receive_timeout_ms = RECEIVE_TIMEOUT_MS;
    DWORD send_timeout_ms = RECEIVE_TIMEOUT_MS;
};

// A transfer's life. Only move_to changes it, and only forward.
enum class Phase {
    opened,  // not started
    waiting, // started; the response headers are not all in
    reading, // the body is coming: pending holds what the reader has not taken
    ended,   // it ended well: what is pending is all there is
    failed,  // it ended badly: what is pending is handed over first, then error
};

struct Transfer {
    Phase phase = Phase::opened;
    DWORD error = 0; // the failure, once failed
    char errors[CURL_ERROR_SIZE] = {};

    const Target *target = nullptr;
    TrustStore *trust = nullptr; // null: libcurl loads the system's bundle itself
    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    curl_slist *headers = nullptr;
    char url[300] = {};
    DWORD body_length = 0;
    size_t header_bytes = 0;
    bool paused = false; // held until pending is drained
    char *pending = nullptr;
    size_t pending_length = 0;
    size_t pending_start = 0;
    struct timespec started = {};
    struct timespec last_data = {};

    ~Transfer();
};

// Starts the POST of body to path at the target's server, with the extra
// header lines, over TLS with certificate and host-name checks on. The body
// is not copied: it must stay as it is until taken(t). False with the last
// error set when the transfer cannot start.
bool start(Transfer &t, const Target &target, const char *path, const char *headers,
           DWORD headers_length, const void *body, DWORD body_length);

// Runs the transfer until done(t) holds or it has ended; a timeout or a
// failure moves it to failed with the WinINet code for it.
void drive(Transfer &t, bool (*done)(const Transfer &));

// Whether the response headers are in, all the body handed to libcurl, or
// body bytes waiting for the reader.
bool response_in(const Transfer &t);
bool taken(const Transfer &t);
bool has_pending(const Transfer &t);

// Moves up to room pending bytes to out; once none are left, lets a paused
// transfer go on. Returns how many it moved.
DWORD take_pending(Transfer &t, char *out, DWORD room);

} // namespace kesta_posix

#endif
