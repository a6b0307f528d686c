/* The least a receiver must do: take datagrams off a UDP socket on 127.0.0.1:PORT with
 * recvmmsg and discard them. Prints the datagrams received when SIGTERM or SIGINT ends it.
 * usage: floor_receiver PORT */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

enum { BATCH = 64, SIZE = 2048 };

static volatile sig_atomic_t stop;

static void onSignal(int sig) {
    (void)sig;
    stop = 1;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: floor_receiver PORT\n");
        return 2;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    struct sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_port = htons((unsigned short)atoi(argv[1]));
    inet_aton("127.0.0.1", &at.sin_addr);
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    int bytes = 4 << 20; /* the same receive buffer as station-decode asks for */
    if (sock >= 0) {
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    if (sock < 0 || bind(sock, (struct sockaddr *)&at, sizeof at) != 0) {
        perror("floor_receiver");
        return 1;
    }
    fprintf(stderr, "listening\n");
    static unsigned char buffers[BATCH][SIZE];
    struct iovec vectors[BATCH];
    struct mmsghdr messages[BATCH];
    long received = 0;
    while (!stop) {
        for (int i = 0; i < BATCH; ++i) {
            vectors[i].iov_base = buffers[i];
            vectors[i].iov_len = SIZE;
            memset(&messages[i].msg_hdr, 0, sizeof messages[i].msg_hdr);
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int got = recvmmsg(sock, messages, BATCH, MSG_WAITFORONE, NULL);
        if (got > 0) {
            received += got;
        }
    }
    printf("%ld\n", received);
    return 0;
}
