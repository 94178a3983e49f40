/*
 * A 32-bit Windows host of our own for Tessaly.dll, run under 32-bit Wine.
 *
 * It binds the three exports by ordinal (1, 2, 3), as hosts that import by
 * number do, and calls them through a thunk that records how many bytes of
 * arguments the callee left on the stack: ImageProc (stdcall) must remove its
 * 12, BaseProc and ParamProc (cdecl) none. Every call is made with the stack
 * at each 4-byte alignment, since hosts built with other compilers keep only 4.
 * Records and buffers are filled with a sentinel before each command; after it,
 * the whole record must equal the sentinel with only the documented bytes set
 * to the documented values, and the request must be unchanged.
 *
 * usage: abi_host.exe PATH\Tessaly.dll   (files are written in the current folder)
 * Prints each failed check and a count; exit 0 when every check passed.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "tessaly/plugin.h"

/* Calls fn with `count` 32-bit arguments (args[0] first) after aligning the
 * stack to 16 and lowering it by `misalign` bytes. Stores in *left the bytes
 * of arguments still on the stack after the return (-1 when the callee did not
 * keep esi, which it must preserve) and returns what fn returned in eax. */
int32_t CallMeasured(FARPROC fn, const uint32_t* args, int32_t count, int32_t misalign, int32_t* left);
__asm__(
    ".text\n"
    ".globl _CallMeasured\n"
    "_CallMeasured:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl 12(%ebp), %esi\n"
    "    movl 16(%ebp), %ecx\n"
    "    andl $-16, %esp\n"
    "    subl 20(%ebp), %esp\n"
    "    movl %esp, %edi\n" /* the stack pointer before the arguments */
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%esi,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  call *8(%ebp)\n"
    "    movl %edi, %ecx\n"
    "    subl %esp, %ecx\n"
    "    cmpl 12(%ebp), %esi\n"
    "    je 3f\n"
    "    movl $-1, %ecx\n"
    "3:  movl 24(%ebp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    leal -8(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebp\n"
    "    ret\n");

enum { kSentinel = 0xA5, kGuard = 64 };

static FARPROC baseProc;
static FARPROC paramProc;
static FARPROC imageProc;
static int32_t misalign;
static int checks, failures;

static void Check(int ok, const char* format, ...) {
    ++checks;
    if (ok) return;
    ++failures;
    va_list args;
    va_start(args, format);
    printf("FAIL (stack %d below a 16-byte boundary): ", (int)misalign);
    vprintf(format, args);
    printf("\n");
    va_end(args);
}

static int32_t CallBaseProc(int32_t selector, int32_t unused, PluginDescriptor* d) {
    const uint32_t args[3] = {(uint32_t)selector, (uint32_t)unused, (uint32_t)(uintptr_t)d};
    int32_t left;
    const int32_t result = CallMeasured(baseProc, args, 3, misalign, &left);
    Check(left == 12, "BaseProc(%d) left %d bytes of its 12 on the stack (cdecl leaves all)", (int)selector, (int)left);
    return result;
}

/* Called with three arguments, which a cdecl function without parameters leaves alone. */
static int32_t CallParamProc(void) {
    const uint32_t args[3] = {1, 2, 3};
    int32_t left;
    const int32_t result = CallMeasured(paramProc, args, 3, misalign, &left);
    Check(left == 12, "ParamProc left %d of the caller's 12 bytes on the stack (cdecl leaves all)", (int)left);
    return result;
}

/* Runs one command; the request must come back unchanged. */
static int32_t CallImageProc(int32_t command, ImageRequest* request, ImageRecord* record) {
    const ImageRequest before = *request;
    const uint32_t args[3] = {(uint32_t)command, (uint32_t)(uintptr_t)request, (uint32_t)(uintptr_t)record};
    int32_t left;
    const int32_t result = CallMeasured(imageProc, args, 3, misalign, &left);
    Check(left == 0, "ImageProc(%d) left %d bytes on the stack (stdcall removes its 12)", (int)command, (int)left);
    Check(memcmp(&before, request, sizeof before) == 0, "ImageProc(%d) changed the request", (int)command);
    return result;
}

static ImageRequest Request(const char* path, int32_t width, int32_t height, uint8_t bitCount, uint32_t compression) {
    ImageRequest r;
    memset(&r, kSentinel, sizeof r);
    strcpy(r.filePath, path);
    r.width = width;
    r.height = height;
    r.bitCount = bitCount;
    r.compression = compression;
    return r;
}

static ImageRecord Record(void* pixels) {
    ImageRecord r;
    memset(&r, kSentinel, sizeof r);
    r.pixels = pixels;
    return r;
}

/* Room for 64 host pixels with sentinel guards around it; Poison fills it all
 * with the sentinel and returns where the host's pixels start. */
typedef struct {
    uint8_t all[kGuard + 4 * 64 + kGuard];
} Buffer;
static uint8_t* Poison(Buffer* b) {
    memset(b->all, kSentinel, sizeof b->all);
    return b->all + kGuard;
}

static void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = (uint8_t)(value >> (8 * i));
}

static void WriteBytes(const char* path, const void* bytes, size_t n) {
    FILE* f = fopen(path, "wb");
    if (!f || fwrite(bytes, 1, n, f) != n) Check(0, "cannot write %s", path);
    if (f) fclose(f);
}

/* Identity, and the commands that take no file. */
static void CheckIdentity(void) {
    PluginDescriptor d, want;
    memset(&d, kSentinel, sizeof d);
    want = d;
    static const uint8_t id[16] = {0x7E, 0x18, 0xF4, 0xE3, 0xDC, 0xDA, 0x77, 0x44,
                                   0x86, 0x6F, 0x97, 0x0D, 0xE5, 0x4F, 0x09, 0x80};
    memcpy(want.pluginId, id, sizeof id);
    memcpy(want.pluginName, "Bitmap Plugin", 14);
    memcpy(want.pluginDescription, "This Plug In is Use to operate bmp file", 40);
    memset(want.trailing, 0, sizeof want.trailing);
    Check(CallBaseProc(0, 12345, &d) == 0, "BaseProc(0) returns 0");
    Check(memcmp(&d, &want, sizeof d) == 0, "BaseProc(0) writes the identity and nothing else");
    for (int32_t selector = -1; selector <= 2; selector += 2) {
        memset(&d, kSentinel, sizeof d);
        Check(CallBaseProc(selector, 0, &d) == 0, "BaseProc(%d) returns 0", (int)selector);
        memset(&want, kSentinel, sizeof want);
        Check(memcmp(&d, &want, sizeof d) == 0, "BaseProc(%d) touches nothing", (int)selector);
    }
    Check(CallParamProc() == 0, "ParamProc returns 0");

    static const int32_t unknown[] = {0, 1, 5, 10, -1, 0x7FFFFFFF};
    for (size_t i = 0; i < sizeof unknown / sizeof unknown[0]; ++i) {
        ImageRequest request = Request("abi-none.bmp", 1, 1, 24, 0);
        ImageRecord record = Record(NULL), untouched = Record(NULL);
        Check(CallImageProc(unknown[i], &request, &record) == 0, "command %d returns 0", (int)unknown[i]);
        Check(memcmp(&record, &untouched, sizeof record) == 0, "command %d touches the record", (int)unknown[i]);
    }
    ImageRequest request = Request("abi-none.bmp", 1, 1, 24, 0);
    ImageRecord record = Record(NULL), want2 = Record(NULL);
    memcpy(want2.typeText, "BMP", 4);
    Check(CallImageProc(ImageCmdGetType, &request, &record) == 0, "GetType returns 0");
    Check(memcmp(&record, &want2, sizeof record) == 0, "GetType writes \"BMP\\0\" and nothing else");
}

/* Geometry and loads of a 3 x 2 top-down 24-bit file with six colours, and of a uniform one scaled. */
static void CheckLoads(void) {
    static const uint32_t colours[6] = {0xFF102030, 0xFF405060, 0xFF708090, 0xFFA0B0C0, 0xFFD0E0F0, 0xFF01FF7F};
    uint8_t file[54 + 2 * 12] = {'B', 'M'};
    PutLe32(file + 2, sizeof file);
    PutLe32(file + 10, 54);           /* the pixels follow the two headers */
    PutLe32(file + 14, 40);           /* BITMAPINFOHEADER */
    PutLe32(file + 18, 3);            /* width */
    PutLe32(file + 22, (uint32_t)-2); /* two rows, top-down */
    file[26] = 1;                     /* planes */
    file[28] = 24;                    /* bits per pixel; no compression */
    for (int i = 0; i < 6; ++i) memcpy(file + 54 + (i / 3) * 12 + (i % 3) * 3, &colours[i], 3);
    WriteBytes("abi-top-down.bmp", file, sizeof file);
    for (int i = 0; i < 6; ++i) memcpy(file + 54 + (i / 3) * 12 + (i % 3) * 3, &colours[0], 3);
    WriteBytes("abi-uniform.bmp", file, sizeof file);

    ImageRequest request = Request("abi-top-down.bmp", 0, 0, 0, 0);
    ImageRecord record = Record(NULL), want = Record(NULL);
    const ImageRecordInfo info = {0, 0, 3, -2, 24, 0};
    want.info = info;
    Check(CallImageProc(ImageCmdGetInfo, &request, &record) == 0, "GetInfo returns 0");
    Check(memcmp(&record, &want, sizeof record) == 0, "GetInfo writes {0, 0, 3, -2, 24, 0} and nothing else");
    request = Request("abi-missing.bmp", 0, 0, 0, 0);
    record = Record(NULL);
    want = Record(NULL);
    Check(CallImageProc(ImageCmdGetInfo, &request, &record) == 1, "GetInfo of a missing file returns 1");
    Check(memcmp(&record, &want, sizeof record) == 0, "a failed GetInfo touches nothing");

    /* Scaled, a uniform picture stays uniform; a failed load leaves the buffer. */
    static const struct {
        const char* path;
        int32_t width, height, result, uniform;
    } loads[] = {{"abi-top-down.bmp", 3, 2, 0, 0}, {"abi-uniform.bmp", 7, 5, 0, 1}, {"abi-missing.bmp", 3, 2, 1, 0}};
    for (size_t i = 0; i < sizeof loads / sizeof loads[0]; ++i) {
        Buffer got, expected;
        uint8_t* pixels = Poison(&got);
        uint8_t* wantPixels = Poison(&expected);
        for (int32_t p = 0; loads[i].result == 0 && p < loads[i].width * loads[i].height; ++p)
            memcpy(wantPixels + 4 * p, &colours[loads[i].uniform ? 0 : p], 4);
        request = Request(loads[i].path, loads[i].width, loads[i].height, 0, 0);
        record = Record(pixels);
        want = Record(pixels);
        Check(CallImageProc(ImageCmdLoad, &request, &record) == loads[i].result, "load %s at %dx%d returns %d",
              loads[i].path, (int)loads[i].width, (int)loads[i].height, (int)loads[i].result);
        Check(memcmp(&record, &want, sizeof record) == 0, "load %s touches the record", loads[i].path);
        Check(memcmp(&got, &expected, sizeof got) == 0, "load %s at %dx%d: the pixels, and nothing around them",
              loads[i].path, (int)loads[i].width, (int)loads[i].height);
    }
}

/* Saves in every form, each loaded back; a failed save; gray save, test and load. */
static void CheckSaves(void) {
    static const uint32_t host[4] = {0xFF000000, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF};
    static const struct {
        const char* path;
        uint8_t bitCount;
        uint32_t compression;
        int32_t result;
    } saves[] = {{"abi-32.bmp", 32, 0, 0},
                 {"abi-24.bmp", 24, 0, 0},
                 {"abi-8.bmp", 8, 0, 0},
                 {"abi-rle.bmp", 8, 1, 0},
                 {"abi-no-folder/x.bmp", 24, 0, 1}};
    for (size_t i = 0; i < sizeof saves / sizeof saves[0]; ++i) {
        uint32_t pixels[4];
        memcpy(pixels, host, sizeof pixels);
        ImageRequest request = Request(saves[i].path, 2, 2, saves[i].bitCount, saves[i].compression);
        ImageRecord record = Record(pixels), want = Record(pixels);
        Check(CallImageProc(ImageCmdSave, &request, &record) == saves[i].result, "save %s returns %d", saves[i].path,
              (int)saves[i].result);
        Check(memcmp(&record, &want, sizeof record) == 0, "save %s touches the record", saves[i].path);
        Check(memcmp(pixels, host, sizeof pixels) == 0, "save %s changes the host's pixels", saves[i].path);
        if (saves[i].result != 0) continue;
        Buffer got, expected;
        memcpy(Poison(&expected), host, sizeof host);
        request = Request(saves[i].path, 2, 2, 0, 0);
        record = Record(Poison(&got));
        Check(CallImageProc(ImageCmdLoad, &request, &record) == 0, "load %s returns 0", saves[i].path);
        Check(memcmp(&got, &expected, sizeof got) == 0, "%s loads back as saved", saves[i].path);
    }

    static const uint8_t gray[6] = {0, 1, 127, 128, 254, 255};
    uint8_t source[6];
    memcpy(source, gray, sizeof source);
    ImageRequest request = Request("abi-gray.bmp", 3, 2, 0, 0);
    ImageRecord record = Record(source), want = Record(source);
    Check(CallImageProc(ImageCmdSaveGray, &request, &record) == 0, "SaveGray returns 0");
    Check(memcmp(&record, &want, sizeof record) == 0 && memcmp(source, gray, 6) == 0,
          "SaveGray touches the record or the host's bytes");
    static const struct {
        const char* path;
        int32_t isGray;
    } tests[] = {{"abi-gray.bmp", 1}, {"abi-24.bmp", 0}, {"abi-missing.bmp", 0}};
    for (size_t i = 0; i < sizeof tests / sizeof tests[0]; ++i) {
        request = Request(tests[i].path, 0, 0, 0, 0);
        record = Record(NULL);
        want = Record(NULL);
        want.isGray = tests[i].isGray;
        Check(CallImageProc(ImageCmdIsGray, &request, &record) == 0, "IsGray %s returns 0", tests[i].path);
        Check(memcmp(&record, &want, sizeof record) == 0, "IsGray %s writes isGray = %d and nothing else",
              tests[i].path, (int)tests[i].isGray);
    }
    Buffer got, expected;
    memcpy(Poison(&expected), gray, sizeof gray);
    request = Request("abi-gray.bmp", 0, 0, 0, 0);
    record = Record(Poison(&got));
    want = record;
    Check(CallImageProc(ImageCmdLoadGray, &request, &record) == 0, "LoadGray returns 0");
    Check(memcmp(&record, &want, sizeof record) == 0, "LoadGray touches the record");
    Check(memcmp(&got, &expected, sizeof got) == 0, "LoadGray writes the six levels and nothing around them");
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: abi_host.exe Tessaly.dll\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) {
        printf("FAIL: cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    baseProc = GetProcAddress(dll, MAKEINTRESOURCEA(1));
    paramProc = GetProcAddress(dll, MAKEINTRESOURCEA(2));
    imageProc = GetProcAddress(dll, MAKEINTRESOURCEA(3));
    if (!baseProc || !paramProc || !imageProc) {
        printf("FAIL: ordinals 1, 2 and 3 are not all exported\n");
        return 1;
    }
    for (misalign = 0; misalign < 16; misalign += 4) {
        CheckIdentity();
        CheckLoads();
        CheckSaves();
    }
    FreeLibrary(dll);
    printf("ABI host: %d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
