/* A host in C with plugin.h alone: loads a BMP through the plug-in's exports
 * and prints its size and top-left pixel. usage: host PLUGIN FILE.bmp */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tessaly/plugin.h"

int main(int argc, char** argv) {
    void* library = argc == 3 ? dlopen(argv[1], RTLD_NOW) : NULL;
    void* symbol = library ? dlsym(library, "ImageProc") : NULL;
    TessalyImageProc imageProc;
    ImageRequest request = {0};
    ImageRecord record = {0};
    if (!symbol || strlen(argv[2]) > ImageRequestPathMax) return 2;
    memcpy(&imageProc, &symbol, sizeof imageProc);   /* a data pointer to a function pointer, as POSIX allows */
    strcpy(request.filePath, argv[2]);
    if (imageProc(ImageCmdGetInfo, &request, &record) != 0) return 1;
    request.width = record.info.width;
    request.height = record.info.height < 0 ? -record.info.height : record.info.height; /* top-down: negative */
    record.pixels = calloc((size_t)request.width * (size_t)request.height, 4);
    if (!record.pixels || imageProc(ImageCmdLoad, &request, &record) != 0) return 1;
    printf("%d x %d, %s, top-left pixel 0x%08X (A R G B, straight alpha)\n", (int)request.width, (int)request.height,
           record.info.height < 0 ? "top-down" : "bottom-up", (unsigned)((uint32_t*)record.pixels)[0]);
    free(record.pixels);
    dlclose(library);
    return 0;
}
