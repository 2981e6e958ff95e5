/* A host written in C against the public header: initialises the library, plays
 * with a port and shuts down. Also proves that the header is valid C. */
#include <stdio.h>

#include "qxplaylib.h"

int main(void) {
    int32_t port = -1;
    if (QxPlay_Init() != 1)
        return 1;
    if (QxPlay_GetPort(&port) != 1)
        return 2;
    if (QxPlay_SetStreamOpenMode(port, QXPLAY_STREAM_REALTIME) != 1)
        return 3;
    if (QxPlay_OpenStream(port, NULL, 0, 0) != 1)
        return 4;
    if (QxPlay_GetLastError(port) != 0)
        return 5;
    if (QxPlay_FreePort(port) != 1)
        return 6;
    QxPlay_Destory();
    printf("c_host ok, version %d\n", QxPlay_GetSdkVersion());
    return 0;
}
