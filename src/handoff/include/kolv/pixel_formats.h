/* The pixel formats the camera shows, as the four-character codes a surface's header carries
 * (first letter in the most significant byte: 'BGRA' is 0x42475241). Installed with the
 * companion library's headers; the hand-off library defines its surface formats from these.
 * Plain C, header-only and without dependencies. docs/surface-format.md lays out each format. */
#ifndef KOLV_PIXEL_FORMATS_H
#define KOLV_PIXEL_FORMATS_H

/* Packed, 4 bytes a pixel, in memory order. */
#define KOLV_PIXEL_FORMAT_BGRA 0x42475241u /* 'BGRA': B, G, R, A (the camera's own) */
#define KOLV_PIXEL_FORMAT_RGBA 0x52474241u /* 'RGBA': R, G, B, A */
#define KOLV_PIXEL_FORMAT_ARGB 0x41524742u /* 'ARGB': A, R, G, B */
#define KOLV_PIXEL_FORMAT_ABGR 0x41424752u /* 'ABGR': A, B, G, R */
/* YUV, BT.601 limited range. 4:2:0 planar: a Y plane, then the chroma. */
#define KOLV_PIXEL_FORMAT_NV12 0x4e563132u /* 'NV12': Y, then interleaved U, V pairs */
#define KOLV_PIXEL_FORMAT_I420 0x49343230u /* 'I420': Y, then U, then V */
/* 4:2:2 packed: two pixels in 4 bytes. */
#define KOLV_PIXEL_FORMAT_YUY2 0x59555932u /* 'YUY2': Y0, U, Y1, V */
#define KOLV_PIXEL_FORMAT_UYVY 0x55595659u /* 'UYVY': U, Y0, V, Y1 */

#endif /* KOLV_PIXEL_FORMATS_H */
