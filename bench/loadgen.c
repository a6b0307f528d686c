/* Load generator for the receiving benchmark: sends COUNT copies of a full 18-record report
 * to 127.0.0.1:PORT with sendmmsg, flat out or paced at RATE reports a second, and prints
 * the reports sent and the seconds it took. usage: loadgen PORT COUNT [RATE] */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum { BATCH = 32, RECORDS = 18, SIZE = 12 + RECORDS * 56 };

static const unsigned char HEADER[12] = {0x7C, 0x83, 0x00, 0x01, 0xD8, 0x00,
                                         0x03, 0xF4, 0x00, 0x12, 0x00, 0x00};
static const unsigned char RECORD[56] = {
    0x7C, 0x83, 0x00, 0x01, 0xD6, 0x00, 0x00, 0x30, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5,
    0x00, 0x00, 0x00, 0x00, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x00, 0x06, 0x01, 0x00,
    0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x02, 0x00, 0xC4, 0x00, 0x80, 0x00, 0x00, 0x00,
    0x0B, 0x00, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: loadgen PORT COUNT [RATE]\n");
        return 2;
    }
    long count = atol(argv[2]);
    double rate = argc > 3 ? atof(argv[3]) : 0;
    unsigned char report[SIZE];
    memcpy(report, HEADER, sizeof HEADER);
    for (int i = 0; i < RECORDS; ++i) {
        memcpy(report + 12 + i * 56, RECORD, sizeof RECORD);
    }
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
    struct iovec vector = {report, SIZE};
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
