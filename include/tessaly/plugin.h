/*
 * Tessaly host interface: the records a host exchanges with the plug-in, the
 * command codes of ImageProc and the three exported entry points.
 *
 * Compiles as C89 and later and as C++98 and later, so any host can include
 * it. Every record is a fixed byte layout, little-endian, packed to 4 bytes.
 *
 * 32-bit hosts (the layout the plug-in was made for): every pointer is 4 bytes,
 *   PluginDescriptor is 0x230 bytes, ImageRequest 0x120, ImageRecord 0x128.
 * 64-bit hosts: the only difference is ImageRecord.pixels, which is pointer-wide
 *   (8 bytes) at the same offset 0x124, so ImageRecord becomes 0x12C bytes.
 *
 * The contract a host keeps:
 *
 * - Results. ImageProc returns 0 for success and 1 for failure of commands 2, 3
 *   and 4, and 0 for every other command (command 6 answers through isGray;
 *   commands 7 and 8 report nothing). A refused command leaves the host's
 *   records and buffers exactly as they were; only an I/O error while the
 *   pixels are read ends a load with its failure result after some rows.
 * - Null pointers. A command given a null request, record or pixels pointer
 *   that it needs returns its failure result (1 for commands 2 to 4, else 0)
 *   and touches nothing.
 * - Paths. filePath is a zero-terminated ANSI path of at most
 *   ImageRequestPathMax (259) bytes: a filePath with no zero byte in its 260
 *   bytes is refused, never read past.
 * - Height sign. ImageCmdGetInfo reports biHeight as stored: negative for a
 *   top-down file. The pixels a load delivers are always top row first, and a
 *   load's request takes the positive height: pass -info.height for a
 *   top-down file (a load asked for a height of 0 or less is refused).
 * - Load buffers. ImageCmdLoad writes request.width x request.height 32-bit
 *   pixels, top row first, each the bytes B, G, R, A with straight (not
 *   premultiplied) alpha; 0xFF is opaque. A size other than the file's scales
 *   the picture to it (cubic). The host allocates the buffer.
 * - Gray load buffers. ImageCmdLoadGray writes one byte per pixel, top row
 *   first. With request.width and request.height both positive, they are the
 *   buffer's size, and a file of another size is refused with the buffer
 *   untouched; a request with no size (0 x 0) gets the file's own width x
 *   height bytes, so the host must have read them with ImageCmdGetInfo first.
 *   A file that is not gray is refused with the buffer untouched: ask
 *   ImageCmdIsGray first, since a gray load reports nothing.
 * - Saves. ImageCmdSave reads request.width x request.height 32-bit pixels,
 *   top row first, and writes request.bitCount bits per pixel (8, 24 or 32).
 *   request.compression ImageCompressionRle8 makes an 8-bit file BI_RLE8;
 *   ImageCompressionNone (or any other value) stores the indices as they are,
 *   and 24- and 32-bit saves ignore it. An 8-bit save keeps at most 256 colours
 *   (grouped by the top two bits of each byte: 64 classes for opaque pixels);
 *   ImageCmdSaveGray keeps every level of a gray picture.
 * - Calls must not overlap (one thread at a time); the plug-in keeps no
 *   pointer after a call.
 */
#ifndef TESSALY_PLUGIN_H
#define TESSALY_PLUGIN_H

/* This header's version: MAJOR * 10000 + MINOR * 100 + PATCH of the Tessaly
 * release that ships it (1.0.0). Records, codes and entry points never change
 * within a major version; a later header only adds. */
#define TESSALY_PLUGIN_H_VERSION 10000

#include <stddef.h>
#include <stdint.h>

#if defined(_MSC_VER) && defined(_M_IX86)
#define TESSALY_STDCALL __stdcall
#define TESSALY_CDECL __cdecl
#elif defined(__i386__)
#define TESSALY_STDCALL __attribute__((stdcall))
#define TESSALY_CDECL __attribute__((cdecl))
#else
/* x86-64 and other targets have a single calling convention. */
#define TESSALY_STDCALL
#define TESSALY_CDECL
#endif

/* TESSALY_STATIC_ASSERT(condition, name): a compile-time check in every dialect
 * the header supports (C89 and C++98 on). Before C11 and C++11 a false
 * condition declares an array of -1 elements, an error that names `name`. */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))
#define TESSALY_STATIC_ASSERT(condition, name) static_assert(condition, #name)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TESSALY_STATIC_ASSERT(condition, name) _Static_assert(condition, #name)
#else
#define TESSALY_STATIC_ASSERT(condition, name) typedef char TessalyStaticAssert_##name[(condition) ? 1 : -1]
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes of ImageProc. 5 and every value outside 2..9 do nothing. */
enum {
    ImageCmdGetInfo = 2,  /* probe a file's geometry into ImageRecord.info */
    ImageCmdLoad = 3,     /* load a file into pixels at request width x height */
    ImageCmdSave = 4,     /* save 32-bit pixels as a 8-, 24- or 32-bit file */
    ImageCmdIsGray = 6,   /* isGray := 1 when the file is an 8-bit gray-ramp BMP */
    ImageCmdLoadGray = 7, /* load an 8-bit gray file as one byte per pixel */
    ImageCmdSaveGray = 8, /* save one byte per pixel as an 8-bit gray file */
    ImageCmdGetType = 9   /* typeText := "BMP" */
};

/* ImageRequest.compression of an ImageCmdSave. */
enum {
    ImageCompressionNone = 0, /* BI_RGB: pixels stored as they are */
    ImageCompressionRle8 = 1  /* BI_RLE8, for 8-bit saves; 24 and 32 bits ignore it */
};

/* The longest filePath in bytes; the field's 260th byte is kept for the terminator. */
enum { ImageRequestPathMax = 259 };

#pragma pack(push, 4)

/* Filled by BaseProc(0, ...). Nothing at or beyond 0x230 is touched. */
typedef struct PluginDescriptor {
    uint32_t hostWord;               /* 0x000, never touched */
    uint8_t pluginId[16];            /* 0x004, GUID {E3F4187E-DADC-4477-866F-970DE54F0980} */
    char pluginName[260];            /* 0x014, "Bitmap Plugin" */
    char pluginDescription[268];     /* 0x118 */
    uint32_t trailing[3];            /* 0x224, written as 0 */
} PluginDescriptor;

/* The file and geometry of one operation; the plug-in only reads it. */
typedef struct ImageRequest {
    uint32_t hostWord;               /* 0x000, never read */
    char filePath[260];              /* 0x004, zero-terminated ANSI path, at most 259 bytes */
    int32_t x;                       /* 0x108, passed to the writer, unused */
    int32_t y;                       /* 0x10C, passed to the writer, unused */
    int32_t width;                   /* 0x110, load target or save source width */
    int32_t height;                  /* 0x114, positive, also for a top-down file */
    uint8_t bitCount;                /* 0x118, bits per pixel of a saved file: 8, 24 or 32 */
    uint8_t unread[3];               /* 0x119, never read */
    uint32_t compression;            /* 0x11C, ImageCompressionNone or ImageCompressionRle8 */
} ImageRequest;

/* The probed geometry, as ImageCmdGetInfo writes it. */
typedef struct ImageRecordInfo {
    int32_t x;                       /* always 0 */
    int32_t y;                       /* always 0 */
    int32_t width;                   /* biWidth */
    int32_t height;                  /* biHeight as stored, negative when top-down */
    uint32_t bitCount;               /* low byte of biBitCount, widened (30000 reads as 48) */
    uint32_t compression;            /* biCompression */
} ImageRecordInfo;

/* The host's image. pixels is owned by the host and never replaced. */
typedef struct ImageRecord {
    uint32_t hostWord;               /* 0x000, never touched */
    ImageRecordInfo info;            /* 0x004, written by ImageCmdGetInfo on success */
    char typeText[260];              /* 0x01C, first 4 bytes written by ImageCmdGetType */
    int32_t isGray;                  /* 0x120, written by ImageCmdIsGray: 0 or 1 */
    void* pixels;                    /* 0x124, 32-bit pixels (B,G,R,A, straight alpha) or gray bytes */
} ImageRecord;

#pragma pack(pop)

TESSALY_STATIC_ASSERT(offsetof(PluginDescriptor, pluginId) == 0x004, PluginDescriptor_pluginId);
TESSALY_STATIC_ASSERT(offsetof(PluginDescriptor, pluginName) == 0x014, PluginDescriptor_pluginName);
TESSALY_STATIC_ASSERT(offsetof(PluginDescriptor, pluginDescription) == 0x118, PluginDescriptor_pluginDescription);
TESSALY_STATIC_ASSERT(offsetof(PluginDescriptor, trailing) == 0x224, PluginDescriptor_trailing);
TESSALY_STATIC_ASSERT(sizeof(PluginDescriptor) == 0x230, PluginDescriptor_size);

TESSALY_STATIC_ASSERT(offsetof(ImageRequest, filePath) == 0x004, ImageRequest_filePath);
TESSALY_STATIC_ASSERT(offsetof(ImageRequest, x) == 0x108, ImageRequest_x);
TESSALY_STATIC_ASSERT(offsetof(ImageRequest, y) == 0x10C, ImageRequest_y);
TESSALY_STATIC_ASSERT(offsetof(ImageRequest, width) == 0x110, ImageRequest_width);
TESSALY_STATIC_ASSERT(offsetof(ImageRequest, height) == 0x114, ImageRequest_height);
TESSALY_STATIC_ASSERT(offsetof(ImageRequest, bitCount) == 0x118, ImageRequest_bitCount);
TESSALY_STATIC_ASSERT(offsetof(ImageRequest, compression) == 0x11C, ImageRequest_compression);
TESSALY_STATIC_ASSERT(sizeof(ImageRequest) == 0x120, ImageRequest_size);

TESSALY_STATIC_ASSERT(offsetof(ImageRecord, info) == 0x004, ImageRecord_info);
TESSALY_STATIC_ASSERT(offsetof(ImageRecord, typeText) == 0x01C, ImageRecord_typeText);
TESSALY_STATIC_ASSERT(offsetof(ImageRecord, isGray) == 0x120, ImageRecord_isGray);
TESSALY_STATIC_ASSERT(offsetof(ImageRecord, pixels) == 0x124, ImageRecord_pixels);
TESSALY_STATIC_ASSERT(sizeof(ImageRecord) == 0x124 + sizeof(void*), ImageRecord_size);

/* BaseProc: selector 0 fills the descriptor; any other selector does nothing. Returns 0. */
typedef int32_t(TESSALY_CDECL* TessalyBaseProc)(int32_t selector, int32_t unused,
                                                PluginDescriptor* descriptor);
/* ParamProc: returns 0 and does nothing. */
typedef int32_t(TESSALY_CDECL* TessalyParamProc)(void);
/* ImageProc: runs one command; stdcall on 32-bit x86 (it removes its 12 bytes of arguments). */
typedef int32_t(TESSALY_STDCALL* TessalyImageProc)(int32_t command, ImageRequest* request,
                                                   ImageRecord* record);

#ifdef TESSALY_BUILDING_PLUGIN
int32_t TESSALY_CDECL BaseProc(int32_t selector, int32_t unused, PluginDescriptor* descriptor);
int32_t TESSALY_CDECL ParamProc(void);
int32_t TESSALY_STDCALL ImageProc(int32_t command, ImageRequest* request, ImageRecord* record);
#endif

#ifdef __cplusplus
}
#endif

#endif /* TESSALY_PLUGIN_H */
