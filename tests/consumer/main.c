/* A host that knows the library only by its installed header and library. */
#include <qxplaylib.h>
#include <stdio.h>

int main(void) {
    if (QxPlay_Init() != 1)
        return 1;
    int32_t port = -1;
    if (QxPlay_GetPort(&port) != 1 || QxPlay_SetStreamOpenMode(port, 1) != 1)
        return 2;
    const int version = QxPlay_GetSdkVersion();
    QxPlay_FreePort(port);
    QxPlay_Destory();
    printf("qxplaylib consumer: port %d, version 0x%x\n", port, version);
    return version > 0 ? 0 : 3;
}
