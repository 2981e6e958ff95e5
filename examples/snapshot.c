/* Snapshots of a playing file (open mode 2, no window): the next picture into a BMP
 * and a JPEG file, then, paused, the picture on display into memory.
 *   snapshot FILE OUT.bmp OUT.jpg */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "qxplaylib.h"

static int64_t Shown(int32_t port) {
    QxPortStats stats = {0};
    stats.size = sizeof stats;
    return QxPlay_GetPortStats(port, &stats) == 1 ? stats.picturesShown : -1;
}

/* Waits up to 10 s until `more` further pictures have been delivered. */
static int WaitPictures(int32_t port, int more) {
    const int64_t until = Shown(port) + more;
    for (int i = 0; i < 500 && Shown(port) < until; ++i)
        nanosleep(&(struct timespec){0, 20 * 1000000L}, NULL);
    return Shown(port) >= until;
}

static unsigned long Le32(const uint8_t* p) {
    return p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 | (unsigned long)p[3] << 24;
}

/* A 24-bit BMP of width x height that is size bytes long, as its header says. */
static int IsBmp(const uint8_t* b, unsigned long size, int width, int height) {
    return size > 54 && b[0] == 'B' && b[1] == 'M' && Le32(b + 2) == size &&
           Le32(b + 18) == (unsigned long)width && Le32(b + 22) == (unsigned long)height &&
           b[28] == 24;
}

static int IsJpeg(const uint8_t* b, unsigned long size) {
    return size > 4 && b[0] == 0xFF && b[1] == 0xD8 && b[size - 2] == 0xFF && b[size - 1] == 0xD9;
}

static unsigned long ReadFile(const char* path, uint8_t* buffer, unsigned long capacity) {
    FILE* file = fopen(path, "rb");
    const unsigned long size = file ? fread(buffer, 1, capacity, file) : 0;
    return file && fclose(file) == 0 ? size : 0;
}

static int Fail(const char* what) {
    fprintf(stderr, "snapshot: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    int32_t port = -1;
    if (argc != 4)
        return Fail("usage: snapshot FILE OUT.bmp OUT.jpg");
    if (QxPlay_Init() != 1 || QxPlay_GetPort(&port) != 1 ||
        QxPlay_SetStreamOpenMode(port, QXPLAY_FILE) != 1 || QxPlay_OpenFile(port, argv[1]) != 1 ||
        QxPlay_Play(port, 0) != 1)
        return Fail("the file does not play");
    /* A capture is written as the next picture is delivered: whole a few pictures on. */
    if (!WaitPictures(port, 1) || QxPlay_CaptureBmpPicture(port, argv[2]) != 1 ||
        !WaitPictures(port, 3) || QxPlay_CaptureJpegPicture(port, argv[3]) != 1 ||
        !WaitPictures(port, 3))
        return Fail("no pictures to capture");
    QxPlay_Pause(port, 1); /* the picture on display stays */

    int width = 0, height = 0;
    QxPlay_GetPictureSize(port, &width, &height);
    const uint32_t need = 54 + (uint32_t)height * (((uint32_t)width * 3 + 3) & ~3u);
    uint8_t* image = malloc(need);
    uint32_t bmp = 0, jpeg = 0;
    if (image == NULL || QxPlay_GetBMP(port, image, need - 1, &bmp) != 0 ||
        QxPlay_GetBMP(port, image, need, &bmp) != 1 || !IsBmp(image, bmp, width, height))
        return Fail("no BMP of the picture in memory, or one in too small a buffer");
    if (QxPlay_GetJPEG(port, image, need, &jpeg) != 1 || !IsJpeg(image, jpeg))
        return Fail("no JPEG of the picture in memory");
    if (!IsBmp(image, ReadFile(argv[2], image, need), width, height) ||
        !IsJpeg(image, ReadFile(argv[3], image, need)))
        return Fail("the files are not a BMP and a JPEG of the picture");
    printf("snapshot: %dx%d: BMP of %lu and JPEG of %lu bytes in memory; %s, %s written\n", width,
           height, (unsigned long)bmp, (unsigned long)jpeg, argv[2], argv[3]);
    free(image);
    if (QxPlay_Stop(port) != 1 || QxPlay_FreePort(port) != 1)
        return Fail("stop or free failed");
    QxPlay_Destory();
    printf("snapshot: ok\n");
    return 0;
}
