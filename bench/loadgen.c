/* Load generator for the receiving benchmark: sends COUNT copies of the datagram given in hex
 * (the caller builds the report) to 127.0.0.1:PORT with sendmmsg, flat out or paced at RATE
 * reports a second, and prints the reports sent and the seconds it took.
 * usage: loadgen PORT COUNT HEX [RATE] */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum { BATCH = 32, MAX_SIZE = 2048 };

/* The bytes of hex into out; returns their number, or -1 when hex is not whole bytes. */
static int fromHex(const char *hex, unsigned char *out) {
    size_t digits = strlen(hex);
    if (digits % 2 != 0 || digits / 2 > MAX_SIZE) {
        return -1;
    }
    for (size_t i = 0; i < digits / 2; ++i) {
        if (sscanf(hex + 2 * i, "%2hhx", &out[i]) != 1) {
            return -1;
        }
    }
    return (int)(digits / 2);
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    static unsigned char report[MAX_SIZE];
    int size = argc < 4 ? -1 : fromHex(argv[3], report);
    if (size < 0) {
        fprintf(stderr, "usage: loadgen PORT COUNT HEX [RATE]\n");
        return 2;
    }
    long count = atol(argv[2]);
    double rate = argc > 4 ? atof(argv[4]) : 0;
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)atoi(argv[1]));
    inet_aton("127.0.0.1", &to.sin_addr);
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0 || connect(sock, (struct sockaddr *)&to, sizeof to) != 0) {
        perror("loadgen");
        return 1;
    }
    struct iovec vector = {report, (size_t)size};
    struct mmsghdr messages[BATCH];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < BATCH; ++i) {
        messages[i].msg_hdr.msg_iov = &vector;
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    double start = now();
    long sent = 0;
    while (sent < count) {
        if (rate > 0) {
            double due = start + (double)sent / rate;
            while (now() < due) {
                struct timespec pause = {0, 200000};
                nanosleep(&pause, NULL);
            }
        }
        unsigned int want = count - sent < BATCH ? (unsigned int)(count - sent) : BATCH;
        int got = sendmmsg(sock, messages, want, 0);
        if (got < 0) {
            perror("sendmmsg");
            return 1;
        }
        sent += got;
    }
    printf("%ld %.3f\n", sent, now() - start);
    return 0;
}
