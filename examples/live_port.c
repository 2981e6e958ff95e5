/* A live camera port (open mode 0) without a window: the stream is fed as it would come
 * off the network, in chunks that ignore packet boundaries, and every picture the port
 * shows reaches the decode callback.   live_port STREAM SECONDS (the stream's length) */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "qxplaylib.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static long pictures; /* guarded by lock, as are width and height */
static int width, height;

/* On one of the port's threads; buffer and info are valid only during the call. */
static void OnPicture(int32_t port, char* buffer, int32_t size, const QxFrameInfo* info,
                      int32_t reserved1, int32_t reserved2) {
    (void)port, (void)buffer, (void)size, (void)reserved1, (void)reserved2;
    pthread_mutex_lock(&lock);
    ++pictures;
    width = info->width;
    height = info->height;
    pthread_mutex_unlock(&lock);
}

static long Pictures(void) {
    pthread_mutex_lock(&lock);
    const long count = pictures;
    pthread_mutex_unlock(&lock);
    return count;
}

static void SleepMs(long ms) {
    const struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

static int Fail(const char* what) {
    fprintf(stderr, "live_port: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    static uint8_t stream[8 << 20];
    FILE* file = argc == 3 ? fopen(argv[1], "rb") : NULL;
    const long size = file ? (long)fread(stream, 1, sizeof stream, file) : 0;
    if (size == 0 || size == (long)sizeof stream || fclose(file) != 0)
        return Fail("usage: live_port STREAM SECONDS (a packet file of at most 8 MiB)");
    const long ms = (long)(atof(argv[2]) * 1000);

    int32_t port = -1;
    if (QxPlay_Init() != 1 || QxPlay_GetPort(&port) != 1 ||
        QxPlay_SetStreamOpenMode(port, QXPLAY_STREAM_REALTIME) != 1 ||
        QxPlay_SetDecCallBack(port, OnPicture) != 1 || QxPlay_Play(port, 0) != 1)
        return Fail("the port does not play");
    /* Chunks of 200 to 1699 bytes spread over the stream's length, as a camera sends. */
    for (long at = 0, n; at < size; at += n) {
        n = 200 + (at * 7 + 13) % 1500;
        n = n < size - at ? n : size - at;
        for (int tries = 0; QxPlay_InputData(port, stream + at, (uint32_t)n) != 1; ++tries) {
            if (tries == 200)
                return Fail("input refused for a second");
            SleepMs(5); /* refused: offer the same bytes again */
        }
        SleepMs(ms * n / size);
    }
    QxPlay_SetFileEndMsg(port, 0, 0); /* no more input: the last packet plays too */
    for (long seen = -1; seen != Pictures(); SleepMs(1000))
        seen = Pictures();

    QxPortStats stats = {0};
    stats.size = sizeof stats;
    if (QxPlay_GetPortStats(port, &stats) != 1)
        return Fail("no statistics");
    const long count = Pictures();
    printf("live_port: %ld pictures %dx%d called back, %lld decoded, %lld shown, %lld/%ld bytes\n",
           count, width, height, (long long)stats.picturesDecoded, (long long)stats.picturesShown,
           (long long)stats.inputBytes, size);
    if (count == 0 || count != stats.picturesDecoded || count != stats.picturesShown ||
        width != stats.width || height != stats.height || stats.inputBytes != size)
        return Fail("the callback, the statistics and the input do not agree");
    if (QxPlay_Stop(port) != 1 || QxPlay_FreePort(port) != 1)
        return Fail("stop or free failed");
    QxPlay_Destory();
    printf("live_port: ok\n");
    return 0;
}
