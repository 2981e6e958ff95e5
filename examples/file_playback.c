/* A recorded file (open mode 2): the library reads and paces it. Plays the file at four
 * times its speed to the end, then seeks to the middle and plays the rest again.
 *   file_playback FILE   (a packet file of some seconds, a key picture every second) */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include "qxplaylib.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static long pictures; /* guarded by lock, as is ends */
static int ends;

/* Both come on the port's play-video thread. */
static void OnPicture(int32_t port, char* buffer, int32_t size, const QxFrameInfo* info,
                      int32_t reserved1, int32_t reserved2) {
    (void)port, (void)buffer, (void)size, (void)info, (void)reserved1, (void)reserved2;
    pthread_mutex_lock(&lock);
    ++pictures;
    pthread_mutex_unlock(&lock);
}

/* Decode message 0: playback has run out of data, here the end of the file. */
static void OnMessage(int32_t port, int32_t message, void* user) {
    (void)port, (void)user;
    pthread_mutex_lock(&lock);
    ends += message == 0;
    pthread_mutex_unlock(&lock);
}

/* Waits up to 30 s for the end-th end of data; the pictures seen since the last call. */
static long WaitForEnd(int end) {
    long seen = -1;
    for (int i = 0; i < 1500 && seen < 0; ++i) {
        const struct timespec pause = {0, 20 * 1000000L};
        nanosleep(&pause, NULL);
        pthread_mutex_lock(&lock);
        if (ends >= end)
            seen = pictures, pictures = 0;
        pthread_mutex_unlock(&lock);
    }
    return seen;
}

static int Fail(const char* what) {
    fprintf(stderr, "file_playback: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    int32_t port = -1;
    if (argc != 2)
        return Fail("usage: file_playback FILE");
    if (QxPlay_Init() != 1 || QxPlay_GetPort(&port) != 1 ||
        QxPlay_SetStreamOpenMode(port, QXPLAY_FILE) != 1 || QxPlay_OpenFile(port, argv[1]) != 1)
        return Fail("no library or no port");
    const unsigned seconds = QxPlay_GetFileTime(port);
    const int frames = QxPlay_GetFileTotalFrames(port);
    if (seconds == 0)
        return Fail("not a packet file the library can read");
    if (QxPlay_SetDecCallBack(port, OnPicture) != 1 ||
        QxPlay_SetDecMsgCallBack(port, OnMessage, NULL) != 1 || QxPlay_Play(port, 0) != 1)
        return Fail("the file does not play");
    if (QxPlay_FastEx(port, 4) != 1 || QxPlay_GetPlayStatus(port) != 4)
        return Fail("no four times speed");
    const long whole = WaitForEnd(1);
    printf("file_playback: %u s, %d frames estimated, %ld pictures at 4x to its end\n", seconds,
           frames, whole);
    if (whole <= 0)
        return Fail("no pictures, or no end of the file");

    if (QxPlay_SetPlayPos(port, 1.5f) != 0 || QxPlay_SetPlayPos(port, 0.5f) != 1)
        return Fail("positions are not taken as they should");
    const long rest = WaitForEnd(2);
    printf("file_playback: %ld pictures from the middle to the end\n", rest);
    if (rest <= 0 || rest >= whole)
        return Fail("the seek did not play the second part of the file");
    if (QxPlay_Stop(port) != 1 || QxPlay_FreePort(port) != 1)
        return Fail("stop or free failed");
    QxPlay_Destory();
    printf("file_playback: ok\n");
    return 0;
}
