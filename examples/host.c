/* A host in C with plugin.h alone: loads a BMP through the plug-in's ImageProc
 * and prints its size, row order and top-left pixel. Builds on POSIX systems
 * (dlopen) and on Windows (LoadLibraryA); every failure prints one line.
 *
 * usage: host PLUGIN FILE.bmp   (PLUGIN as a path: ./Tessaly.so, Tessaly.dll)
 * Exit status: 0 on success, 1 when something failed, 2 for a usage error. */
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tessaly/plugin.h"

/* The system's reason for the last failed LoadLibraryA/GetProcAddress or dlopen/dlsym. */
static const char* SystemError(void) {
#ifdef _WIN32
    static char text[256];
    DWORD code = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text,
                             sizeof text, NULL);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) text[--n] = '\0';
    if (n == 0) sprintf(text, "error %lu", (unsigned long)code);
    return text;
#else
    const char* text = dlerror();
    return text ? text : "unknown error";
#endif
}

/* ImageProc of the plug-in at `path`, or NULL after printing why. The library
 * stays loaded until the process ends. On 32-bit x86 ImageProc is stdcall:
 * TessalyImageProc carries that convention, so calls through it match. */
static TessalyImageProc FindImageProc(const char* path) {
    TessalyImageProc imageProc = NULL;
#ifdef _WIN32
    HMODULE library = LoadLibraryA(path);
    FARPROC symbol = library ? GetProcAddress(library, "ImageProc") : NULL;
#else
    void* library = dlopen(path, RTLD_NOW);
    void* symbol = library ? dlsym(library, "ImageProc") : NULL;
#endif
    if (!library) {
        fprintf(stderr, "host: cannot load the plug-in %s: %s\n", path, SystemError());
    } else if (!symbol) {
        fprintf(stderr, "host: %s exports no ImageProc: %s\n", path, SystemError());
    } else {
        memcpy(&imageProc, &symbol, sizeof imageProc); /* the pointer as the platform returns it, typed */
    }
    return imageProc;
}

int main(int argc, char** argv) {
    TessalyImageProc imageProc;
    ImageRequest request;
    ImageRecord record;
    if (argc != 3) {
        fprintf(stderr, "usage: host PLUGIN FILE.bmp\n");
        return 2;
    }
    if (strlen(argv[2]) > ImageRequestPathMax) {
        fprintf(stderr, "host: %s: the path is longer than %d bytes\n", argv[2], ImageRequestPathMax);
        return 1;
    }
    imageProc = FindImageProc(argv[1]);
    if (!imageProc) return 1;

    memset(&request, 0, sizeof request);
    memset(&record, 0, sizeof record);
    strcpy(request.filePath, argv[2]);
    if (imageProc(ImageCmdGetInfo, &request, &record) != 0) {
        fprintf(stderr, "host: %s: the plug-in cannot read it (ImageCmdGetInfo failed)\n", argv[2]);
        return 1;
    }
    /* The load takes the positive height; a top-down file reports a negative one.
     * Sizes come from the file: check that the buffer's size fits a size_t. */
    request.width = record.info.width;
    request.height = record.info.height == INT32_MIN ? 0 : record.info.height < 0 ? -record.info.height
                                                                                  : record.info.height;
    if (request.width <= 0 || request.height <= 0 ||
        (size_t)request.height > (size_t)-1 / 4 / (size_t)request.width ||
        !(record.pixels = calloc((size_t)request.width * (size_t)request.height, 4))) {
        fprintf(stderr, "host: %s: no memory for its %ld x %ld pixels\n", argv[2], (long)record.info.width,
                (long)record.info.height);
        return 1;
    }
    if (imageProc(ImageCmdLoad, &request, &record) != 0) {
        fprintf(stderr, "host: %s: the plug-in refused to load it (ImageCmdLoad failed)\n", argv[2]);
        free(record.pixels);
        return 1;
    }
    printf("%ld x %ld, %s, top-left pixel 0x%08lX (A R G B, straight alpha)\n", (long)request.width,
           (long)request.height, record.info.height < 0 ? "top-down" : "bottom-up",
           (unsigned long)((const uint32_t*)record.pixels)[0]);
    free(record.pixels);
    return 0;
}
