/* The client of poll_client.c inside an sd-event loop (libsystemd), the way a
 * service that already runs such a loop adds it: one I/O source on the
 * library's descriptor and one timer source for its deadline, both brought
 * up to date after every call into the library. SIGINT and SIGTERM end the
 * loop at once, connected or not.
 *
 * usage: sdevent_client SOCKET_PATH
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <ktzclient/ktzclient.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <systemd/sd-event.h>

struct app
{
    sd_event* loop;
    ktzc_client* client;
    sd_event_source* io; /* on ktzc_fd; NULL while it is -1 */
    int io_fd;
    sd_event_source* timer; /* at ktzc_timeout_ms; off while it is -1 */
    int waiting_said;
};

static int on_io(sd_event_source* s, int fd, uint32_t revents, void* userdata);

/* Watches the library's descriptor for what it wants and wakes it at its
 * deadline. A new descriptor gets a new source: the old one may be closed. */
static int rearm(struct app* a)
{
    const int fd = ktzc_fd(a->client);
    const uint32_t events = (uint32_t)ktzc_fd_events(a->client); /* the bits of EPOLLIN and EPOLLOUT */
    int r = 0;
    if (fd != a->io_fd)
    {
        a->io = sd_event_source_disable_unref(a->io);
        a->io_fd = fd;
        if (fd >= 0)
        {
            r = sd_event_add_io(a->loop, &a->io, fd, events, on_io, a);
        }
    }
    else if (a->io != NULL)
    {
        r = sd_event_source_set_io_events(a->io, events);
    }
    if (r < 0)
    {
        return r;
    }
    const int ms = ktzc_timeout_ms(a->client);
    if (ms < 0)
    {
        return sd_event_source_set_enabled(a->timer, SD_EVENT_OFF);
    }
    r = sd_event_source_set_time_relative(a->timer, (uint64_t)ms * 1000u);
    return r < 0 ? r : sd_event_source_set_enabled(a->timer, SD_EVENT_ONESHOT);
}

static void show(const ktzc_event* ev)
{
    switch (ev->kind)
    {
    case KTZC_EVENT_CONNECTED: printf("connected as client %u\n", (unsigned)ev->client_id); break;
    case KTZC_EVENT_RECONNECTED: printf("reconnected as client %u\n", (unsigned)ev->client_id); break;
    case KTZC_EVENT_DISCONNECTED: printf("disconnected: %s\n", ev->text); break;
    case KTZC_EVENT_MESSAGE: printf("%s\n", ev->message->text); break;
    case KTZC_EVENT_REPLY: break;
    }
}

/* Everything the library has now, then what to wait for next. */
static int step(struct app* a)
{
    const ktzc_event* ev;
    ktzc_error e;
    while ((e = ktzc_receive(a->client, 0, &ev)) == KTZC_OK)
    {
        show(ev);
        if (ev->kind == KTZC_EVENT_CONNECTED || ev->kind == KTZC_EVENT_RECONNECTED)
        {
            a->waiting_said = 0;
        }
    }
    if (e != KTZC_ERR_TIMEOUT)
    {
        fprintf(stderr, "sdevent-example: %s\n", ktzc_error_text(a->client));
        return sd_event_exit(a->loop, 1);
    }
    if (ktzc_get_state(a->client) == KTZC_STATE_WAITING && !a->waiting_said)
    {
        printf("waiting for the daemon: %s\n", ktzc_error_text(a->client));
        a->waiting_said = 1;
    }
    fflush(stdout);
    const int r = rearm(a);
    if (r < 0)
    {
        fprintf(stderr, "sdevent-example: %s\n", strerror(-r));
        return sd_event_exit(a->loop, 1);
    }
    return 0;
}

static int on_io(sd_event_source* s, int fd, uint32_t revents, void* userdata)
{
    (void)s;
    (void)fd;
    (void)revents;
    return step(userdata);
}

static int on_timer(sd_event_source* s, uint64_t usec, void* userdata)
{
    (void)s;
    (void)usec;
    return step(userdata);
}

static int on_signal(sd_event_source* s, const struct signalfd_siginfo* si, void* userdata)
{
    (void)si;
    (void)userdata;
    printf("stopping\n");
    fflush(stdout);
    return sd_event_exit(sd_event_source_get_event(s), 0);
}

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: %s SOCKET_PATH\n", argv[0]);
        return 2;
    }
    struct app a = {.io_fd = -1};

    /* sd-event takes signals from a descriptor: they must be blocked first. */
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, NULL);

    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.caps = KTZC_CAP_BASE | KTZC_CAP_LOG_EVENTS;
    o.name = "sdevent-example";
    o.reconnect = 1;
    o.retry_connect = 1;
    a.client = ktzc_new(&o);
    int r = a.client == NULL ? -ENOMEM : sd_event_default(&a.loop);
    if (r >= 0)
    {
        r = sd_event_add_signal(a.loop, NULL, SIGINT, on_signal, NULL);
    }
    if (r >= 0)
    {
        r = sd_event_add_signal(a.loop, NULL, SIGTERM, on_signal, NULL);
    }
    if (r >= 0)
    {
        /* Created off; rearm sets its time. An accuracy of 1 ms instead of
         * the default 250 ms keeps the library's deadlines. */
        r = sd_event_add_time_relative(a.loop, &a.timer, CLOCK_MONOTONIC, 0, 1000, on_timer, &a);
    }
    if (r >= 0)
    {
        r = sd_event_source_set_enabled(a.timer, SD_EVENT_OFF);
    }
    if (r < 0 || ktzc_start_unix(a.client, argv[1]) != KTZC_OK)
    {
        fprintf(stderr, "sdevent-example: cannot start: %s\n",
                r < 0 ? strerror(-r) : ktzc_error_text(a.client));
        ktzc_free(a.client);
        sd_event_unref(a.loop);
        return 1;
    }
    r = rearm(&a);
    const int status = r < 0 ? 1 : sd_event_loop(a.loop);

    sd_event_source_disable_unref(a.io);
    sd_event_source_disable_unref(a.timer);
    sd_event_unref(a.loop);
    ktzc_free(a.client);
    return status;
}
