/* Sends COUNT datagrams to 127.0.0.1:PORT with at most WINDOW unanswered, from
 * a socket bound to ACK_PORT (where Corvane's acknowledgements arrive, and where
 * an echo server's replies arrive too), and reports answers per second and
 * losses. A request unanswered for 500 ms counts as lost; after 5 s without
 * any answer the run stops and everything not yet answered counts as lost.
 * Usage: intake_loadgen PORT ACK_PORT COUNT WINDOW MODE LABEL
 *   MODE cmd0: command 0 datagrams; send: command 1 to list 1 with a subject
 *   and a text. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: intake_loadgen PORT ACK_PORT COUNT WINDOW cmd0|send LABEL\n");
        return 2;
    }
    const int port = atoi(argv[1]), ackPort = atoi(argv[2]);
    const long count = atol(argv[3]);
    const int window = atoi(argv[4]);
    const int sendMode = strcmp(argv[5], "send") == 0;
    const char *label = argv[6];

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in local = {0}, target = {0};
    local.sin_family = target.sin_family = AF_INET;
    local.sin_addr.s_addr = target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons((unsigned short)ackPort);
    target.sin_port = htons((unsigned short)port);
    if (fd < 0 || bind(fd, (struct sockaddr *)&local, sizeof local) != 0) {
        perror("intake_loadgen: bind");
        return 1;
    }

    unsigned char *answered = calloc((size_t)count, 1);
    long sent = 0, acked = 0, lost = 0, late = 0, outstanding = 0, oldest = 0;
    unsigned char datagram[128], reply[65536];
    const double start = now();
    double lastProgress = start, lastAnswer = start;
    while (acked + lost < count) {
        while (outstanding < window && sent < count) {
            /* Ids are the sequence number in four bytes, so consecutive ids
             * always differ and none is taken for a repeat. */
            unsigned long seq = (unsigned long)sent;
            datagram[0] = (unsigned char)(seq >> 24);
            datagram[1] = (unsigned char)(seq >> 16);
            datagram[2] = (unsigned char)(seq >> 8);
            datagram[3] = (unsigned char)seq;
            size_t length = 6;
            datagram[4] = sendMode ? 1 : 0;
            datagram[5] = 1;
            if (sendMode)
                length += (size_t)snprintf((char *)datagram + 6, sizeof datagram - 6, "Alarm~Pump %lu stopped", seq);
            sendto(fd, datagram, length, 0, (struct sockaddr *)&target, sizeof target);
            ++sent;
            ++outstanding;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            if (now() - lastAnswer > 5.0) {
                fprintf(stderr, "%s: no answer for 5 s, giving up\n", label);
                lost = count - acked;
                break;
            }
            if (now() - lastProgress > 0.5) {
                /* Everything still unanswered is lost. */
                for (long i = oldest; i < sent; ++i) {
                    if (!answered[i]) {
                        answered[i] = 2;
                        ++lost;
                    }
                }
                outstanding = 0;
                oldest = sent;
                lastProgress = now();
            }
            continue;
        }
        ssize_t n;
        while ((n = recv(fd, reply, sizeof reply, MSG_DONTWAIT)) >= 4) {
            unsigned long seq = ((unsigned long)reply[0] << 24) | ((unsigned long)reply[1] << 16)
                | ((unsigned long)reply[2] << 8) | reply[3];
            if ((long)seq >= sent)
                continue;
            if (answered[seq] == 2) {
                ++late;
                continue;
            }
            if (answered[seq])
                continue;
            answered[seq] = 1;
            ++acked;
            --outstanding;
            lastProgress = lastAnswer = now();
        }
        while (oldest < sent && answered[oldest])
            ++oldest;
    }
    const double elapsed = now() - start;
    /* The generator's own share of one core: near 100% would mean the
     * generator, not the server, sets the pace. */
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6
        + (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
    printf("%s: %ld sent, %ld answered, %ld lost (%ld answered late), %.3f s, %.0f answers/s,"
           " generator CPU %.0f%% of one core\n",
           label, sent, acked, lost, late, elapsed, (double)acked / elapsed, 100.0 * cpu / elapsed);
    free(answered);
    return lost == 0 ? 0 : 3;
}
