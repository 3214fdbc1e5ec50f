/* The yardstick for the intake benchmark: the least a UDP server can do,
 * receive a datagram and send it straight back to where it came from.
 * Usage: echo_server PORT   (prints READY once bound, runs until killed) */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

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
    char buffer[65536];
    for (;;) {
        struct sockaddr_in from;
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, (struct sockaddr *)&from, &fromLength);
        if (n >= 0)
            sendto(fd, buffer, (size_t)n, 0, (struct sockaddr *)&from, fromLength);
    }
}
