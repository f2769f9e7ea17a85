/* A client of ktzmond on a plain poll() loop. It follows what the module
 * sends (fans, temperatures, power supplies, chassis log events), rides out
 * daemon restarts, waits for a daemon that is not there yet, and stops at
 * once on SIGINT or SIGTERM, connected or not. Nothing in it waits except
 * poll(), and it keeps no timer of its own: the library says when it needs
 * to be called again.
 *
 * usage: poll_client SOCKET_PATH
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <ktzclient/ktzclient.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/signalfd.h>
#include <unistd.h>

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

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: %s SOCKET_PATH\n", argv[0]);
        return 2;
    }

    /* SIGINT and SIGTERM arrive on a descriptor that the loop waits on too. */
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, NULL);
    const int sfd = signalfd(-1, &stop, SFD_CLOEXEC);

    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.caps = KTZC_CAP_BASE | KTZC_CAP_LOG_EVENTS;
    o.name = "poll-example";
    o.reconnect = 1;     /* ride out daemon restarts */
    o.retry_connect = 1; /* and wait for a daemon that is not there yet */
    ktzc_client* c = ktzc_new(&o);
    if (sfd < 0 || c == NULL || ktzc_start_unix(c, argv[1]) != KTZC_OK)
    {
        fprintf(stderr, "poll-example: cannot start: %s\n", c != NULL ? ktzc_error_text(c) : "no memory");
        ktzc_free(c);
        return 1;
    }

    int status = 0;
    int waiting_said = 0;
    for (;;)
    {
        /* What the library waits for, asked again after every call into it. */
        struct pollfd p[2] = {{.fd = sfd, .events = POLLIN},
                              {.fd = ktzc_fd(c), .events = (short)ktzc_fd_events(c)}};
        if (poll(p, 2, ktzc_timeout_ms(c)) < 0 && errno != EINTR)
        {
            perror("poll-example: poll");
            status = 1;
            break;
        }
        if (p[0].revents != 0)
        {
            printf("stopping\n");
            break;
        }
        const ktzc_event* ev;
        ktzc_error e;
        while ((e = ktzc_receive(c, 0, &ev)) == KTZC_OK)
        {
            show(ev);
            if (ev->kind == KTZC_EVENT_CONNECTED || ev->kind == KTZC_EVENT_RECONNECTED)
            {
                waiting_said = 0;
            }
        }
        if (e != KTZC_ERR_TIMEOUT)
        {
            /* No connection and none under way: retries ended (a refusal, an unsafe socket folder). */
            fprintf(stderr, "poll-example: %s\n", ktzc_error_text(c));
            status = 1;
            break;
        }
        if (ktzc_get_state(c) == KTZC_STATE_WAITING && !waiting_said)
        {
            printf("waiting for the daemon: %s\n", ktzc_error_text(c));
            waiting_said = 1;
        }
        fflush(stdout);
    }
    ktzc_free(c);
    close(sfd);
    return status;
}
