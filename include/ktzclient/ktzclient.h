/* libktzclient: a client of ktzmond, the live host of the KTZ Monitor.
 *
 * It connects to the daemon over a Unix socket or TCP, performs the hello
 * exchange, answers the module's capability query with the mask the caller
 * chose, and hands over every module message already decoded, together with
 * its wire bytes. It can ask the module for its own capabilities, ping the
 * daemon, and reconnect with back-off when the connection is lost. The guide
 * for client writers is docs/client.md.
 *
 * A minimal client that blocks in ktzc_receive:
 *
 *     ktzc_options o;
 *     ktzc_options_init(&o, sizeof o);
 *     o.caps = KTZC_CAP_BASE | KTZC_CAP_LOG_EVENTS;
 *     ktzc_client* c = ktzc_new(&o);
 *     if (c == NULL || ktzc_connect_unix(c, "/run/ktzmon/ktzmond.sock") != KTZC_OK)
 *         return 1;
 *     const ktzc_event* ev;
 *     while (ktzc_receive(c, 1000, &ev) == KTZC_OK)
 *         if (ev->kind == KTZC_EVENT_MESSAGE)
 *             puts(ev->message->text);
 *     ktzc_free(c);
 *
 * In an event loop nothing blocks: start the connection with ktzc_start_unix
 * or ktzc_start_tcp, wait for ktzc_fd with the events ktzc_fd_events names,
 * at most ktzc_timeout_ms, then call ktzc_receive with a timeout of 0 until it
 * returns KTZC_ERR_TIMEOUT (no more events now):
 *
 *     for (;;) {
 *         struct pollfd p = { ktzc_fd(c), (short)ktzc_fd_events(c), 0 };
 *         poll(&p, 1, ktzc_timeout_ms(c));
 *         ktzc_error e;
 *         while ((e = ktzc_receive(c, 0, &ev)) == KTZC_OK)
 *             handle(ev);
 *         if (e != KTZC_ERR_TIMEOUT)
 *             break;   (the connection is gone for good: ktzc_error_text says why)
 *     }
 *
 * Descriptors: ktzc_fd is the socket while there is one, and while the
 * handle waits for its next connection attempt it is a timer descriptor of
 * the handle that becomes readable when the attempt is due; it is -1 only
 * when there is nothing to wait for (state KTZC_STATE_IDLE). It can change in
 * any call on the handle, so ask for it, its events and the timeout again
 * after every call. A new socket never takes the number of the one before it
 * (the old one is shut down at once but its number stays taken until the new
 * one exists), and the timer's number is never a socket's: a loop that
 * registers the descriptor anew whenever its number changes (epoll, sd-event,
 * GLib) always watches the right one.
 *
 * Errors: every function that can fail returns a ktzc_error; the handle
 * keeps the last error's code and a text that says what happened (including
 * the daemon's goodbye reason and text), readable with ktzc_last_error and
 * ktzc_error_text.
 *
 * Threads: a handle is not locked internally. Use each handle from one thread
 * at a time (calls on one handle must not overlap); different handles are
 * independent and may be used from different threads at once.
 *
 * Ownership: the events, messages and everything they point to belong to the
 * handle and stay valid until the next ktzc_receive, ktzc_close or ktzc_free
 * on that handle; copy what must live longer. Texts returned by
 * ktzc_error_text and ktzc_daemon_name stay valid until the next call on the
 * handle. The library keeps no pointer the caller passed in.
 *
 * Growing: every structure the library fills starts with its struct_size, the
 * size of the structure this library built; a field the caller's header knows
 * but the library does not lies past struct_size (KTZC_HAS_FIELD tells).
 * ktzc_options carries the size the caller's header gave it. New fields are
 * only ever added at the end, so a program built against an older header
 * keeps working with a newer library.
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

/* The version of this header: major (incompatible changes, with the soname
 * libktzclient.so.MAJOR), minor (additions), patch. KTZC_VERSION compares as
 * one number; ktzc_version() gives the library's at run time. */
#define KTZC_VERSION_MAJOR 2
#define KTZC_VERSION_MINOR 0
#define KTZC_VERSION_PATCH 0
#define KTZC_VERSION ((KTZC_VERSION_MAJOR << 16) | (KTZC_VERSION_MINOR << 8) | KTZC_VERSION_PATCH)

/* Non-zero when the structure `p` points to (filled by this library) holds
 * `field`: struct_size reaches past it. */
#define KTZC_HAS_FIELD(p, type, field)                                                                       \
    ((p) != NULL && (p)->struct_size >= offsetof(type, field) + sizeof(((type*)0)->field))

/* Capability bits: the mask answered to the module's capability query
 * (ktzc_options.caps), and the module's own (ktzc_request_caps). */
#define KTZC_CAP_BASE 0x1u       /* always set */
#define KTZC_CAP_LOG_EVENTS 0x2u /* the client takes chassis log events */

/* The module's messages: request class 3 and these types. */
#define KTZC_REQUEST_CLASS 3u
#define KTZC_MSG_KTZ_SETTING 0x100u
#define KTZC_MSG_SENSOR_DATA 0x101u
#define KTZC_MSG_FRU 0x102u
#define KTZC_MSG_DATA_SYNC_COMPLETE 0x103u
#define KTZC_MSG_LOG_EVENT 0x104u
#define KTZC_MSG_CAPS_QUERY 0x200u /* also the request for the module's capabilities */

/* What ktzc_fd_events asks to wait for: the values of POLLIN and POLLOUT
 * (and of EPOLLIN and EPOLLOUT) on Linux. */
#define KTZC_WANT_READ 0x001
#define KTZC_WANT_WRITE 0x004

    /* Error codes (results of the functions below). */
    typedef enum ktzc_error
    {
        KTZC_OK = 0,
        KTZC_ERR_INVALID_ARGUMENT = 1, /* a null handle or pointer, a bad address, size or option */
        KTZC_ERR_CONNECT = 2,          /* the socket could not be connected, or no welcome came in time */
        KTZC_ERR_TIMEOUT = 3,          /* nothing arrived within the timeout (with 0: nothing now);
                                          the connection is intact */
        KTZC_ERR_GOODBYE = 4,          /* the daemon said goodbye (ktzc_goodbye tells why) and closed */
        KTZC_ERR_CLOSED = 5,           /* the connection was lost without a goodbye */
        KTZC_ERR_PROTOCOL = 6,         /* the daemon sent a frame that breaks the protocol; the
                                          connection was closed */
        KTZC_ERR_NOT_CONNECTED = 7,    /* no connection and none under way (never connected, or closed) */
        KTZC_ERR_NO_MEMORY = 8,
        KTZC_ERR_IO = 9,           /* a socket call failed (the text names it) */
        KTZC_ERR_BUSY = 10,        /* connecting a handle that is already connected or connecting;
                                      a request while the output queue is full */
        KTZC_ERR_INTERRUPTED = 11, /* a signal handler ran while a blocking call waited */
        KTZC_ERR_UNSAFE_PATH = 12  /* the socket's folder could be changed by another user (not
                                      owned by this user or root, or writable by others): refused */
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

    /* The library's version at run time, as KTZC_VERSION. */
    KTZC_API uint32_t ktzc_version(void);

    typedef struct ktzc_options
    {
        /* sizeof(ktzc_options) as the caller's header has it: set by
         * ktzc_options_init. Fields past it take their defaults. */
        size_t struct_size;
        /* Capability mask answered to the module's capability query. Default
         * KTZC_CAP_BASE. */
        uint32_t caps;
        /* Client ID asked for in the hello; 0 (default) lets the daemon choose.
         * The daemon refuses a given ID unless it is configured to allow it. */
        uint32_t client_id;
        /* Name sent in the hello (at most 63 bytes are sent); may be NULL. */
        const char* name;
        /* Longest time one connection attempt may take, from its start to the
         * welcome, in milliseconds. Default 5000. */
        int connect_timeout_ms;
        /* Non-zero: when an established connection is lost (goodbye, close,
         * protocol error), the handle reports KTZC_EVENT_DISCONNECTED, then
         * connects to the same address again with back-off and reports
         * KTZC_EVENT_RECONNECTED. The module then sends the whole picture again.
         * Default 0. */
        int reconnect;
        /* First delay before a reconnect attempt, in milliseconds (default
         * 100); doubled after every failed attempt, up to
         * reconnect_max_delay_ms (default 5000). Each delay is shortened by a
         * random part of at most a quarter, so that many clients of a restarted
         * daemon spread out. */
        int reconnect_initial_delay_ms;
        int reconnect_max_delay_ms;
        /* Failed attempts in a row after which the retries give up with the
         * last attempt's error; 0 (default): no limit. A daemon that refuses
         * the client for its version or its credentials, and a socket folder
         * refused as unsafe, end the retries at once. */
        int reconnect_max_attempts;
        /* Non-zero: a first connection that fails is retried with the same
         * back-off as reconnects (the first retry after
         * reconnect_initial_delay_ms), until it succeeds or the retries give
         * up as above. Default 0: the first failure is final. */
        int retry_connect;
    } ktzc_options;

    /* Fills `o` with the defaults above and sets o->struct_size to
     * `struct_size`; call it as ktzc_options_init(&o, sizeof o). */
    KTZC_API void ktzc_options_init(ktzc_options* o, size_t struct_size);

    typedef struct ktzc_client ktzc_client;

    /* A new, unconnected handle with a copy of the options (NULL: defaults).
     * NULL when out of memory or descriptors, or when an option is out of
     * range (a struct_size smaller than the first version of the structure,
     * a timeout or delay below 1, a maximum delay below the first one, a
     * negative attempt limit). */
    KTZC_API ktzc_client* ktzc_new(const ktzc_options* o);
    /* Closes the connection (with a goodbye) if there is one and frees the handle. */
    KTZC_API void ktzc_free(ktzc_client* c);

    /* Connects and performs the hello exchange, waiting at most the connect
     * timeout (with retry_connect: until connected or the retries give up).
     * On KTZC_OK the handle holds the client ID the daemon assigned. A signal
     * handler that runs meanwhile ends the wait with KTZC_ERR_INTERRUPTED; the
     * connection then goes on in the background (ktzc_close stops it).
     * Before connecting to a Unix socket the socket's folder is checked: one
     * that another user could have made or could change (writable by its
     * group or by others; owned by neither this user nor root, unless only
     * root could have made it) is refused with KTZC_ERR_UNSAFE_PATH. */
    KTZC_API ktzc_error ktzc_connect_unix(ktzc_client* c, const char* path);
    /* `host` is a name or a numeric IPv4 or IPv6 address (without brackets). */
    KTZC_API ktzc_error ktzc_connect_tcp(ktzc_client* c, const char* host, uint16_t port);

    /* Starts connecting and returns at once; the event loop carries the
     * connection on (ktzc_fd, ktzc_fd_events, ktzc_timeout_ms, ktzc_receive).
     * KTZC_EVENT_CONNECTED reports the welcome; a connection that cannot be
     * made (after the retries, with retry_connect) ends with its error from
     * ktzc_receive. KTZC_OK when the start was accepted. A host name (not a
     * numeric address) is resolved right here, once for this and every later
     * attempt, which may wait for the name service: a loop that must never
     * wait passes a numeric address. A name that does not resolve is refused
     * at once with KTZC_ERR_CONNECT. */
    KTZC_API ktzc_error ktzc_start_unix(ktzc_client* c, const char* path);
    KTZC_API ktzc_error ktzc_start_tcp(ktzc_client* c, const char* host, uint16_t port);

    /* Says goodbye (reason 0, normal close) if connected and closes, without
     * waiting; stops retries; drops events not yet received. The handle can
     * connect again. */
    KTZC_API void ktzc_close(ktzc_client* c);

    typedef enum ktzc_state
    {
        KTZC_STATE_IDLE = 0,       /* no connection and none under way */
        KTZC_STATE_CONNECTING = 1, /* connecting, or waiting for the welcome */
        KTZC_STATE_CONNECTED = 2,
        KTZC_STATE_WAITING = 3 /* waiting for the next attempt (back-off) */
    } ktzc_state;
    KTZC_API ktzc_state ktzc_get_state(const ktzc_client* c);

    /* The descriptor to wait on: the socket, the handle's timer while it waits
     * for its next attempt, -1 only in KTZC_STATE_IDLE. */
    KTZC_API int ktzc_fd(const ktzc_client* c);
    /* What to wait for on ktzc_fd: KTZC_WANT_READ, plus KTZC_WANT_WRITE while
     * output is queued or a connect is under way; 0 when ktzc_fd is -1. */
    KTZC_API int ktzc_fd_events(const ktzc_client* c);
    /* Milliseconds until ktzc_receive must be called even if the descriptor
     * stays quiet (a connect timeout, the next attempt, a request's time
     * limit): 0 when an event or an error is ready now, -1 when nothing is due. */
    KTZC_API int ktzc_timeout_ms(const ktzc_client* c);
    /* Non-zero when ktzc_receive with a timeout of 0 returns something other
     * than KTZC_ERR_TIMEOUT without anything new arriving: an event, or the
     * loss of the connection, is ready. A frame only partly received does not
     * count: wait on the descriptor for the rest. */
    KTZC_API int ktzc_pending(const ktzc_client* c);
    KTZC_API uint32_t ktzc_client_id(const ktzc_client* c); /* 0 while not connected */
    KTZC_API const char* ktzc_daemon_name(const ktzc_client* c);

    /* The KTZ setting (type 0x100). */
    typedef struct ktzc_ktz_setting
    {
        size_t struct_size;
        uint32_t value; /* 0 monitoring off, 1 or 2 on */
        int changed;    /* 1: sent to every client because it changed; 0: at this client's connect */
    } ktzc_ktz_setting;

    /* A sensor data message (type 0x101). */
    typedef struct ktzc_sensor_data
    {
        size_t struct_size;
        uint8_t type; /* 1 fan, 2 temperature, 3 power supply, 4 power redundancy */
        uint8_t presence;
        uint8_t status; /* 0 unknown, 1 normal, 2 non-critical, 3 critical */
        uint8_t number; /* within its type, from 1; fans count sensors, not fans */
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
        size_t struct_size;
        uint8_t kind;
        uint8_t bay;
        uint16_t data_length; /* bytes of `data` that are valid (256 from the module) */
        uint32_t data_offset;
        uint8_t data[256];
    } ktzc_fru;

    /* A chassis log event message (type 0x104). */
    typedef struct ktzc_log_event
    {
        size_t struct_size;
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
        size_t struct_size;
        uint32_t seq;           /* per connection, from 1 */
        uint32_t request_class; /* 3 */
        uint32_t request_type;  /* KTZC_MSG_... */
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
        /* The decoded fields of the message's type; NULL for other types and
         * when the payload did not decode. 0x103 and 0x200 carry nothing. */
        const ktzc_ktz_setting* ktz_setting;
        const ktzc_sensor_data* sensor;
        const ktzc_fru* fru;
        const ktzc_log_event* log_event;
    } ktzc_message;

    /* The module's answer to a request started with ktzc_send_request. */
    typedef struct ktzc_reply
    {
        size_t struct_size;
        uint32_t seq;     /* what ktzc_send_request returned */
        ktzc_error error; /* KTZC_OK: the reply came; KTZC_ERR_TIMEOUT: not within its time
                             limit; another code: the connection was lost or closed first */
        uint32_t status;  /* the module's status (when error is KTZC_OK) */
        const uint8_t* data;
        size_t size;
    } ktzc_reply;

    typedef enum ktzc_event_kind
    {
        KTZC_EVENT_MESSAGE = 1,      /* `message` is filled */
        KTZC_EVENT_DISCONNECTED = 2, /* the connection was lost; reconnecting follows (reconnect option) */
        KTZC_EVENT_RECONNECTED = 3,  /* connected again as `client_id`; the module sends the picture again */
        KTZC_EVENT_CONNECTED = 4,    /* a connection started with ktzc_start_* was welcomed as `client_id` */
        KTZC_EVENT_REPLY = 5         /* `reply` is filled */
    } ktzc_event_kind;

    typedef struct ktzc_event
    {
        size_t struct_size;
        ktzc_event_kind kind;
        uint32_t client_id;          /* CONNECTED, RECONNECTED: the new client ID; else the current one */
        ktzc_error error;            /* DISCONNECTED: why (KTZC_ERR_GOODBYE, KTZC_ERR_CLOSED, ...) */
        uint32_t goodbye_reason;     /* DISCONNECTED with KTZC_ERR_GOODBYE: the daemon's reason */
        const char* text;            /* DISCONNECTED: the error text; else "" */
        const ktzc_message* message; /* MESSAGE; else NULL */
        const ktzc_reply* reply;     /* REPLY; else NULL */
    } ktzc_event;

    /* Carries the connection on (connects, reads, writes, reconnects, answers
     * the capability query and the daemon's pings) and hands out the next
     * event, waiting at most `timeout_ms` for one (0: do not wait, negative:
     * no limit). KTZC_ERR_TIMEOUT when none came (it leaves the handle's last
     * error and its text as they were: they keep saying why the handle waits,
     * the last failed attempt say). Another error means there
     * is no connection and none under way any more: it is the loss (or the
     * failed connect) itself, reported once after every event before it, then
     * KTZC_ERR_NOT_CONNECTED. With the reconnect option a loss is an event
     * instead, and only the end of the retries is an error. With a timeout of
     * 0 it never waits, whatever the state; a waiting call ends early with
     * KTZC_ERR_INTERRUPTED when a signal handler ran. */
    KTZC_API ktzc_error ktzc_receive(ktzc_client* c, int timeout_ms, const ktzc_event** ev);

    /* Sends a request for the module (class, type, data) with a reply buffer
     * of `reply_size` bytes (at most 4096) and returns at once; *seq (may be
     * NULL) receives its sequence number. Its end is one KTZC_EVENT_REPLY:
     * the reply, or the time limit (`timeout_ms`, at least 1) passing, or the
     * connection ending first. KTZC_ERR_BUSY when too much output is queued
     * already (the daemon is not reading). */
    KTZC_API ktzc_error ktzc_send_request(ktzc_client* c, uint32_t request_class, uint32_t request_type,
                                          const void* data, size_t size, uint32_t reply_size, int timeout_ms,
                                          uint32_t* seq);

    /* The same, waiting at most `timeout_ms` for the reply: the module's
     * status goes to *status, its bytes to `reply` (at most `reply_size`),
     * their number to *reply_len. Events that arrive meanwhile are kept for
     * ktzc_receive (a capability query is answered at once). Blocks: not for
     * event loops. */
    KTZC_API ktzc_error ktzc_request(ktzc_client* c, uint32_t request_class, uint32_t request_type,
                                     const void* data, size_t size, uint32_t reply_size, int timeout_ms,
                                     uint32_t* status, void* reply, size_t* reply_len);
    /* Asks the module for its own capability mask (class 3, type 0x200) and
     * waits. KTZC_OK when the reply came, whatever the module's status (in
     * *status); *caps is written only when that status is 0 and the reply
     * holds at least 4 bytes. Blocks. */
    KTZC_API ktzc_error ktzc_request_caps(ktzc_client* c, int timeout_ms, uint32_t* status, uint32_t* caps);

    /* Sends a ping and waits at most `timeout_ms` for its pong; *rtt_us (may be
     * NULL) receives the round trip in microseconds. Blocks. */
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
