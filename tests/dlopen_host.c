/* A host that loads the library at run time, plays a port, and unloads it again,
 * three times: nothing may leak (LeakSanitizer judges at exit in the sanitizer
 * build), and nothing the library left in libavutil may point into its unloaded
 * code. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <libavutil/log.h>

typedef int (*IntFn)(void);
typedef void (*VoidFn)(void);
typedef int (*PortFn)(int32_t*);
typedef int (*PortIntFn)(int32_t, int);
typedef int (*PlayFn)(int32_t, unsigned long);
typedef int (*PortOnlyFn)(int32_t);
typedef int (*InputFn)(int32_t, uint8_t*, uint32_t);

static void* Symbol(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == NULL)
        fprintf(stderr, "dlopen_host: %s is missing\n", name);
    return symbol;
}

static uint8_t* ReadFile(const char* path, long* size) {
    FILE* file = fopen(path, "rb");
    if (file == NULL)
        return NULL;
    fseek(file, 0, SEEK_END);
    *size = ftell(file);
    fseek(file, 0, SEEK_SET);
    uint8_t* bytes = malloc((size_t)*size);
    if (bytes != NULL && fread(bytes, 1, (size_t)*size, file) != (size_t)*size) {
        free(bytes);
        bytes = NULL;
    }
    fclose(file);
    return bytes;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: dlopen_host LIBRARY STREAM\n");
        return 2;
    }
    long size = 0;
    uint8_t* stream = ReadFile(argv[2], &size);
    if (stream == NULL) {
        fprintf(stderr, "dlopen_host: cannot read %s\n", argv[2]);
        return 1;
    }
    for (int round = 0; round < 3; ++round) {
        void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        if (library == NULL) {
            fprintf(stderr, "dlopen_host: %s\n", dlerror());
            return 1;
        }
        IntFn init = (IntFn)Symbol(library, "QxPlay_Init");
        VoidFn destory = (VoidFn)Symbol(library, "QxPlay_Destory");
        PortFn getPort = (PortFn)Symbol(library, "QxPlay_GetPort");
        PortIntFn setMode = (PortIntFn)Symbol(library, "QxPlay_SetStreamOpenMode");
        PlayFn play = (PlayFn)Symbol(library, "QxPlay_Play");
        PortOnlyFn stop = (PortOnlyFn)Symbol(library, "QxPlay_Stop");
        PortOnlyFn freePort = (PortOnlyFn)Symbol(library, "QxPlay_FreePort");
        InputFn input = (InputFn)Symbol(library, "QxPlay_InputData");
        if (!init || !destory || !getPort || !setMode || !play || !stop || !freePort || !input)
            return 1;
        init();
        int32_t port = -1;
        if (getPort(&port) != 1 || setMode(port, 1) != 1 || play(port, 0) != 1) {
            fprintf(stderr, "dlopen_host: no port played in round %d\n", round);
            return 1;
        }
        /* Decoders are made, and with them the library's hold on libavutil's log. */
        if (input(port, stream, (uint32_t)size) != 1) {
            fprintf(stderr, "dlopen_host: the stream was refused\n");
            return 1;
        }
        const struct timespec pause = {0, 300 * 1000 * 1000};
        nanosleep(&pause, NULL);
        if (stop(port) != 1 || freePort(port) != 1)
            return 1;
        destory();
        if (dlclose(library) != 0) {
            fprintf(stderr, "dlopen_host: %s\n", dlerror());
            return 1;
        }
        /* The host's own use of libavutil after the library has gone. */
        av_log(NULL, AV_LOG_ERROR, "dlopen_host: round %d unloaded\n", round);
    }
    free(stream);
    printf("dlopen_host: loaded, played and unloaded three times\n");
    return 0;
}
