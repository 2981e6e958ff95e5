/* Records a live port (open mode 0), then plays the record file back (open mode 2) on the
 * same port.   recording STREAM SECONDS RECORD_FILE   (SECONDS: the stream's length) */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include "qxplaylib.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static long failures, ends; /* guarded by lock */

static long Count(long* counter, int add) {
    pthread_mutex_lock(&lock);
    const long value = *counter += add;
    pthread_mutex_unlock(&lock);
    return value;
}

static int64_t Shown(int32_t port) {
    QxPortStats stats = {0};
    stats.size = sizeof stats;
    return QxPlay_GetPortStats(port, &stats) == 1 ? stats.picturesShown : -1;
}

/* user names the counter: failures for exception 1 on the record thread (the file cannot be
 * written, recording has ended), ends for decode message 0 on the play-video thread. */
static void OnMessage(int32_t port, int32_t message, void* user) {
    (void)port, (void)message;
    Count(user, 1);
}

static void SleepMs(long ms) {
    nanosleep(&(struct timespec){ms / 1000, (ms % 1000) * 1000000L}, NULL);
}

static int Fail(const char* what) {
    fprintf(stderr, "recording: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    static uint8_t stream[8 << 20];
    FILE* file = argc == 4 ? fopen(argv[1], "rb") : NULL;
    const long size = file ? (long)fread(stream, 1, sizeof stream, file) : 0;
    if (size == 0 || size == (long)sizeof stream || fclose(file) != 0)
        return Fail("usage: recording STREAM SECONDS RECORD_FILE (STREAM: at most 8 MiB)");
    const long ms = (long)(atof(argv[2]) * 1000);
    int32_t port = -1;
    if (QxPlay_Init() != 1 || QxPlay_GetPort(&port) != 1 ||
        QxPlay_SetExceptionFilter(port, OnMessage, &failures) != 1 || QxPlay_Play(port, 0) != 1)
        return Fail("the live port does not play");
    if (QxPlay_StartRecord(port, "/nonexistent-directory/record.qx") != 0 ||
        QxPlay_StartRecord(port, argv[3]) != 1)
        return Fail("the record file is not created as it should");
    for (long at = 0, n; at < size; at += n) { /* fed as in live_port */
        n = 200 + (at * 7 + 13) % 1500;
        n = n < size - at ? n : size - at;
        while (QxPlay_InputData(port, stream + at, (uint32_t)n) != 1)
            SleepMs(5); /* refused: offer the same bytes again */
        SleepMs(ms * n / size);
    }
    QxPlay_SetFileEndMsg(port, 0, 0);
    int64_t live = -1; /* the pictures shown live, once no more come */
    for (; live != Shown(port); SleepMs(1000))
        live = Shown(port);
    struct stat record = {0};
    if (QxPlay_StopRecord(port) != 1 || QxPlay_Stop(port) != 1 || stat(argv[3], &record) != 0 ||
        record.st_size != size || QxPlay_GetRecordSize(port) != (uint32_t)size ||
        Count(&failures, 0) != 0)
        return Fail("recording did not end in a file of what the port took");
    if (QxPlay_SetStreamOpenMode(port, QXPLAY_FILE) != 1 || QxPlay_OpenFile(port, argv[3]) != 1 ||
        QxPlay_SetDecMsgCallBack(port, OnMessage, &ends) != 1 || QxPlay_Play(port, 0) != 1 ||
        QxPlay_FastEx(port, 4) != 1)
        return Fail("the record file does not play");
    for (int i = 0; i < 300 && Count(&ends, 0) == 0; ++i)
        SleepMs(100);
    const int64_t played = Shown(port);
    printf("recording: %lld pictures live, %lld bytes recorded into %s, %lld played back\n",
           (long long)live, (long long)record.st_size, argv[3], (long long)played);
    if (Count(&ends, 0) == 0 || played != live)
        return Fail("the record file does not play back what the live port showed");
    if (QxPlay_Stop(port) != 1 || QxPlay_FreePort(port) != 1)
        return Fail("stop or free failed");
    QxPlay_Destory();
    printf("recording: ok\n");
    return 0;
}
