/* libktzclient: a client of ktzmond, the live host of the KTZ Monitor.
 *
 * It connects to the daemon over a Unix socket or TCP, performs the hello
 * exchange, answers the module's capability query with the mask the caller
 * chose, and hands over every module message already decoded, together with
 * its wire bytes. It can also ask the module for its own capabilities, ping
 * the daemon, and reconnect with back-off when the connection is lost.
 *
 * A minimal client:
 *
 *     ktzc_options o;
 *     ktzc_options_init(&o);
 *     o.caps = KTZMON_CAP_BASE | KTZMON_CAP_VQ_LOG_EVT;
 *     ktzc_client* c = ktzc_new(&o);
 *     if (c == NULL || ktzc_connect_unix(c, "/run/ktzmon/ktzmond.sock") != KTZC_OK) ...
 *     ktzc_event ev;
 *     while (ktzc_receive(c, 1000, &ev) == KTZC_OK)
 *         if (ev.kind == KTZC_EVENT_MESSAGE) puts(ev.message.text);
 *     ktzc_free(c);
 *
 * Errors: every function that can fail returns a ktzc_error; the handle
 * keeps the last error's code and a text that says what happened (including
 * the daemon's goodbye reason and text), readable with ktzc_last_error and
 * ktzc_error_text.
 *
 * Threads: a handle is not locked internally. Use each handle from one thread
 * at a time (calls on one handle must not overlap); different handles are
 * independent and may be used from different threads at once. Pointers that
 * an event holds (texts, wire bytes, arguments) belong to the handle and stay
 * valid until the next ktzc_receive, ktzc_request, ktzc_request_caps,
 * ktzc_ping, ktzc_close or ktzc_free on that handle; copy what must live
 * longer.
 *
 * Polling: ktzc_fd gives the socket to wait on for reading (it changes after
 * a reconnect and is -1 while disconnected). An event may already be
 * buffered inside the handle, so after poll() reports nothing, still call
 * ktzc_receive with a timeout of 0 when ktzc_pending says there is one.
 */
#ifndef KTZCLIENT_KTZCLIENT_H
#define KTZCLIENT_KTZCLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#if defined(__GNUC__)
#define KTZC_API __attribute__((visibility("default")))
#else
#define KTZC_API
#endif

    /* Error codes (results of the functions below). */
    typedef enum ktzc_error
    {
        KTZC_OK = 0,
        KTZC_ERR_INVALID_ARGUMENT = 1, /* a null handle or pointer, a bad address or size */
        KTZC_ERR_CONNECT = 2,          /* the socket could not be connected, or no welcome came in time */
        KTZC_ERR_TIMEOUT = 3,          /* nothing arrived within the timeout; the connection is intact */
        KTZC_ERR_GOODBYE = 4,          /* the daemon said goodbye (ktzc_goodbye tells why) and closed */
        KTZC_ERR_CLOSED = 5,           /* the connection was lost without a goodbye */
        KTZC_ERR_PROTOCOL = 6,         /* the daemon sent a frame that breaks the protocol; the
                                          connection was closed */
        KTZC_ERR_NOT_CONNECTED = 7,    /* no connection (never connected, or closed) */
        KTZC_ERR_NO_MEMORY = 8,
        KTZC_ERR_IO = 9,   /* a socket call failed (the text names it) */
        KTZC_ERR_BUSY = 10 /* ktzc_connect_* on a handle that is already connected */
    } ktzc_error;

/* Goodbye reasons (the daemon's, or this library's own when it closes). */
#define KTZC_BYE_NORMAL 0u
#define KTZC_BYE_SHUTDOWN 1u
#define KTZC_BYE_PROTOCOL_ERROR 2u
#define KTZC_BYE_HELLO_TIMEOUT 3u
#define KTZC_BYE_BAD_VERSION 4u
#define KTZC_BYE_TOO_MANY_CLIENTS 5u
#define KTZC_BYE_NOT_PERMITTED 6u
#define KTZC_BYE_TOO_SLOW 7u
#define KTZC_BYE_RESPONSE_TIMEOUT 8u
#define KTZC_BYE_REMOVED_BY_OPERATOR 9u
#define KTZC_BYE_CLIENT_ID_REFUSED 10u

    typedef struct ktzc_options
    {
        /* Capability mask answered to the module's capability query
         * (KTZMON_CAP_BASE 0x1, KTZMON_CAP_VQ_LOG_EVT 0x2). Default 0x1. */
        uint32_t caps;
        /* Client ID asked for in the hello; 0 (default) lets the daemon choose.
         * The daemon refuses a given ID unless it is configured to allow it. */
        uint32_t client_id;
        /* Name sent in the hello (at most 63 bytes are sent); may be NULL. */
        const char* name;
        /* Longest wait for the connection and the welcome, in milliseconds.
         * Default 5000. */
        int connect_timeout_ms;
        /* Non-zero: when an established connection is lost (goodbye, close,
         * protocol error), ktzc_receive reports KTZC_EVENT_DISCONNECTED, then
         * reconnects to the same address with exponential back-off and reports
         * KTZC_EVENT_RECONNECTED. The module then sends the whole picture again.
         * A daemon that refuses the client for its version or its credentials
         * ends the retries with that error. Default 0. */
        int reconnect;
        /* First delay before a reconnect attempt, in milliseconds (default 100);
         * doubled after every failed attempt, up to reconnect_max_delay_ms
         * (default 5000). Each delay is shortened by a random part of at most a
         * quarter, so that many clients of a restarted daemon spread out. */
        int reconnect_initial_delay_ms;
        int reconnect_max_delay_ms;
        /* Attempts before ktzc_receive gives up with the last attempt's error;
         * 0 (default): no limit. */
        int reconnect_max_attempts;
    } ktzc_options;

    /* Fills `o` with the defaults above. */
    KTZC_API void ktzc_options_init(ktzc_options* o);

    typedef struct ktzc_client ktzc_client;

    /* A new, unconnected handle with a copy of the options (NULL: defaults).
     * NULL when out of memory or when an option is out of range. */
    KTZC_API ktzc_client* ktzc_new(const ktzc_options* o);
    /* Closes the connection (with a goodbye) if there is one and frees the handle. */
    KTZC_API void ktzc_free(ktzc_client* c);

    /* Connects and performs the hello exchange. On KTZC_OK the handle holds the
     * client ID the daemon assigned (ktzc_client_id). */
    KTZC_API ktzc_error ktzc_connect_unix(ktzc_client* c, const char* path);
    /* `host` is a name or a numeric IPv4 or IPv6 address (without brackets). */
    KTZC_API ktzc_error ktzc_connect_tcp(ktzc_client* c, const char* host, uint16_t port);
    /* Says goodbye (reason 0, normal close) and closes; the handle can connect again. */
    KTZC_API void ktzc_close(ktzc_client* c);

    /* The socket to poll for reading, or -1 while not connected. */
    KTZC_API int ktzc_fd(const ktzc_client* c);
    /* Non-zero when the handle holds received data that poll() on the socket
     * will not announce again: call ktzc_receive with a timeout of 0. */
    KTZC_API int ktzc_pending(const ktzc_client* c);
    KTZC_API uint32_t ktzc_client_id(const ktzc_client* c); /* 0 while not connected */
    KTZC_API const char* ktzc_daemon_name(const ktzc_client* c);

    /* A sensor data message (type 0x101). */
    typedef struct ktzc_sensor_data
    {
        uint8_t type; /* 1 fan, 2 temperature, 3 power supply, 4 power redundancy */
        uint8_t presence;
        uint8_t status; /* 0 unknown, 1 normal, 2 non-critical, 3 critical */
        uint8_t number;
        uint8_t sensor_class;
        uint16_t threshold_flags;
        uint32_t raw_reading; /* the 32-bit reading word as sent */
        int64_t reading;      /* in its type's meaning: fans unsigned, temperatures signed */
        int has_thresholds;   /* threshold_flags == 3: lnc and lc are valid */
        uint32_t lnc;
        uint32_t lc;
        const char* name;
    } ktzc_sensor_data;

    /* A FRU-by-number message (type 0x102). */
    typedef struct ktzc_fru
    {
        uint8_t kind;
        uint8_t bay;
        uint16_t data_length; /* bytes of `data` that are valid (256 from the module) */
        uint32_t data_offset;
        uint8_t data[256];
    } ktzc_fru;

    /* A chassis log event message (type 0x104). */
    typedef struct ktzc_log_event
    {
        uint16_t values[3];
        const char* message_id;
        int has_args;
        size_t arg_count;
        const char* const* args; /* arg_count texts */
        const char* text;        /* NULL when the event has no text */
    } ktzc_log_event;

    /* One module message as it arrived. */
    typedef struct ktzc_message
    {
        uint32_t seq;           /* per connection, from 1 */
        uint32_t request_class; /* 3 */
        uint32_t request_type;  /* 0x100..0x104, 0x200 */
        uint32_t response_size; /* what the module offered; 16 for the capability query */
        uint32_t flags;         /* bit 0: the module passed no payload */
        const uint8_t* raw;     /* the payload exactly as the module built it (little-endian fields) */
        size_t raw_size;
        /* 1 when the payload decoded; 0 when it did not (decode_error says why,
         * the raw bytes are still here, the connection stays up). */
        int decoded;
        const char* decode_error;
        const char* type_name; /* "ktz-setting", "sensor-data", ..., "caps-query", or "unknown" */
        const char* text;      /* one line for people: the type name and every field */
        /* For the capability query: the mask this library answered with. */
        uint32_t answered_caps;
        union
        {
            struct
            {
                uint32_t value;
                int changed;
            } ktz_setting;            /* 0x100 */
            ktzc_sensor_data sensor;  /* 0x101 */
            ktzc_fru fru;             /* 0x102 */
            ktzc_log_event log_event; /* 0x104 */
        } u;                          /* 0x103 and 0x200 carry nothing */
    } ktzc_message;

    typedef enum ktzc_event_kind
    {
        KTZC_EVENT_MESSAGE = 1,      /* `message` is filled */
        KTZC_EVENT_DISCONNECTED = 2, /* the connection was lost; reconnecting follows (reconnect option) */
        KTZC_EVENT_RECONNECTED = 3   /* connected again as `client_id`; the module sends the picture again */
    } ktzc_event_kind;

    typedef struct ktzc_event
    {
        ktzc_event_kind kind;
        ktzc_message message;
        uint32_t client_id;      /* RECONNECTED: the new client ID */
        ktzc_error error;        /* DISCONNECTED: why (KTZC_ERR_GOODBYE, KTZC_ERR_CLOSED, ...) */
        uint32_t goodbye_reason; /* DISCONNECTED with KTZC_ERR_GOODBYE: the daemon's reason */
        const char* text;        /* DISCONNECTED: the error text */
    } ktzc_event;

    /* Waits at most `timeout_ms` (0: do not wait, negative: no limit) for the
     * next event. A capability query is answered before it is reported, and a
     * daemon's ping is answered without being reported. KTZC_ERR_TIMEOUT when
     * nothing came; any other error means the connection is gone (with the
     * reconnect option such losses are reported as events instead, and only a
     * final refusal or the attempt limit ends with an error). A reconnect
     * attempt that is due may take up to the connect timeout on its own. */
    KTZC_API ktzc_error ktzc_receive(ktzc_client* c, int timeout_ms, ktzc_event* ev);

    /* Sends a request for the module (class, type, data) with a reply buffer of
     * `reply_size` bytes (at most 4096) and waits at most `timeout_ms` for the
     * reply: the module's status goes to *status, its bytes to `reply` (at most
     * `reply_size`), their number to *reply_len. Module messages that arrive
     * meanwhile are kept for ktzc_receive (a capability query is answered at
     * once). */
    KTZC_API ktzc_error ktzc_request(ktzc_client* c, uint32_t request_class, uint32_t request_type,
                                     const void* data, size_t size, uint32_t reply_size, int timeout_ms,
                                     uint32_t* status, void* reply, size_t* reply_len);
    /* Asks the module for its own capability mask (class 3, type 0x200).
     * KTZC_OK when the reply came, whatever the module's status (in *status);
     * *caps is written only when that status is 0 and the reply holds at least
     * 4 bytes. */
    KTZC_API ktzc_error ktzc_request_caps(ktzc_client* c, int timeout_ms, uint32_t* status, uint32_t* caps);

    /* Sends a ping and waits at most `timeout_ms` for its pong; *rtt_us (may be
     * NULL) receives the round trip in microseconds. */
    KTZC_API ktzc_error ktzc_ping(ktzc_client* c, int timeout_ms, uint32_t* rtt_us);

    /* The last error of the handle and a text that says what happened. */
    KTZC_API ktzc_error ktzc_last_error(const ktzc_client* c);
    KTZC_API const char* ktzc_error_text(const ktzc_client* c);
    /* Non-zero when the daemon said goodbye on the last connection; its reason
     * and text (either pointer may be NULL). */
    KTZC_API int ktzc_goodbye(const ktzc_client* c, uint32_t* reason, const char** text);

    /* Static names: "timeout", "goodbye", ...; "daemon shutting down", ... */
    KTZC_API const char* ktzc_error_name(ktzc_error e);
    KTZC_API const char* ktzc_goodbye_reason_name(uint32_t reason);

#ifdef __cplusplus
}
#endif

#endif
