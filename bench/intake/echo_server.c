/* The yardstick for the intake benchmark: the least a UDP server can do,
 * receive datagrams and send each straight back to where it came from. Like
 * the intake it reads up to 32 datagrams per call and answers them with one
 * call, so the comparison measures the intake's own work, not the batching.
 * Usage: echo_server PORT   (prints READY once bound, runs until killed) */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

enum { Batch = 32, MaxDatagram = 65536 };

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: echo_server PORT\n");
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 16 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    struct sockaddr_in addr = {0};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((unsigned short)atoi(argv[1]));
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        perror("echo_server: bind");
        return 1;
    }
    printf("READY\n");
    fflush(stdout);
    static char buffers[Batch][MaxDatagram];
    struct sockaddr_in from[Batch];
    struct iovec iov[Batch];
    struct mmsghdr msgs[Batch];
    for (;;) {
        memset(msgs, 0, sizeof msgs);
        for (int i = 0; i < Batch; ++i) {
            iov[i].iov_base = buffers[i];
            iov[i].iov_len = MaxDatagram;
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
        }
        int n = recvmmsg(fd, msgs, Batch, MSG_WAITFORONE, NULL);
        if (n <= 0)
            continue;
        for (int i = 0; i < n; ++i)
            iov[i].iov_len = msgs[i].msg_len;
        sendmmsg(fd, msgs, (unsigned)n, 0);
    }
}
