/* Kolv Camera companion library, C interface: publishes pictures to the camera through
 * shared-memory surfaces and the two hand-off files in the app group's container.
 * docs/companion.md describes the protocol. Link with `pkg-config --libs kolv-companion`.
 * A kolv_companion is used from one thread at a time; it runs a thread of its own that keeps
 * the last picture live (a new timestamp after each read by the camera) until the next
 * picture, the hold time or kolv_companion_close. */
#ifndef KOLV_COMPANION_H
#define KOLV_COMPANION_H

#include <stddef.h>
#include <stdint.h>

#include "kolv/pixel_formats.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kolv_companion kolv_companion;

/* Results: 0 for success, 1 for "try again later", negative for errors. */
enum {
  KOLV_COMPANION_OK = 0,
  KOLV_COMPANION_BUSY = 1,        /* no surface is free to draw into yet */
  KOLV_COMPANION_TIMED_OUT = 2,   /* kolv_companion_wait_for_cue: the timeout came first */
  KOLV_COMPANION_NOT_WATCHED = 3, /* kolv_companion_wait_for_cue: paced by the frame rate alone */
  KOLV_COMPANION_NO_FRAME = -1,
  KOLV_COMPANION_INVALID_ARGUMENT = -2,
  KOLV_COMPANION_INVALID_INFO_PLIST = -3,
  KOLV_COMPANION_INVALID_APP_GROUP = -4,
  KOLV_COMPANION_NO_RUNTIME_DIRECTORY = -5,
  KOLV_COMPANION_CONTAINER_UNAVAILABLE = -6,
  KOLV_COMPANION_GROUP_IN_USE = -7,
  KOLV_COMPANION_SURFACE_UNAVAILABLE = -8,
  KOLV_COMPANION_WRITE_FAILED = -9,
  KOLV_COMPANION_OUT_OF_MEMORY = -10
};

/* Where to draw: 'BGRA' pixels (bytes blue, green, red, alpha), rows bytes_per_row apart.
 * For a publisher of another pixel format, pixels and bytes_per_row are its first plane's;
 * kolv_companion_begin_frame_planes describes every plane. */
typedef struct kolv_companion_frame {
  uint8_t* pixels;
  uint32_t width;
  uint32_t height;
  uint32_t bytes_per_row;
  uint32_t surface_id;
} kolv_companion_frame;

/* Opens a publisher. app_group: the group to use, or NULL to take it from info_plist
 * (the camera's Info.plist), or NULL for both to use "group.kolv.vcamera". width and
 * height 0 mean 1280x720. NULL on failure, with the reason in *status when status is not
 * NULL. Creates the group's container (mode 0700) if missing. */
kolv_companion* kolv_companion_open(const char* app_group, const char* info_plist, uint32_t width, uint32_t height,
                                    int* status);
/* The same for pictures in pixel_format, one of the KOLV_PIXEL_FORMAT_* codes of
 * kolv/pixel_formats.h ('BGRA', 'RGBA', 'ARGB', 'ABGR', 'NV12', 'I420', 'YUY2', 'UYVY'); 0 means
 * 'BGRA'. The camera converts the others to 'BGRA' as it sends them. Another code gives
 * KOLV_COMPANION_INVALID_ARGUMENT. */
kolv_companion* kolv_companion_open_format(const char* app_group, const char* info_plist, uint32_t width,
                                           uint32_t height, uint32_t pixel_format, int* status);
/* Releases the surfaces (the camera falls back to grey) and frees the publisher. NULL is ignored. */
void kolv_companion_close(kolv_companion* companion);

/* The surface to draw the next picture into. KOLV_COMPANION_BUSY while every surface was
 * handed over too recently (try again after the next tick); KOLV_COMPANION_SURFACE_UNAVAILABLE
 * when a new surface cannot be made at all (kolv_companion_last_error says why). */
int kolv_companion_begin_frame(kolv_companion* companion, kolv_companion_frame* frame);
/* The most planes a picture has ('I420': Y, U, V). */
#define KOLV_COMPANION_MAX_PLANES 3
/* One plane: rows rows, bytes_per_row apart, row 0 first; the first row_bytes bytes of each row
 * are the picture's, the rest padding. */
typedef struct kolv_companion_plane {
  uint8_t* data; /* the plane's row 0 */
  size_t offset; /* of data from the first plane's row 0 */
  uint32_t bytes_per_row;
  uint32_t rows;
  uint32_t row_bytes;
} kolv_companion_plane;
/* Where to draw, plane by plane: Y, then interleaved U, V for 'NV12'; Y, U, V for 'I420' (chroma
 * rows half as long as the Y rows, rounded up); one plane for the packed formats. pixels is the
 * first plane's row 0 and size the bytes from there to the end of the last plane. */
typedef struct kolv_companion_planes {
  uint8_t* pixels;
  size_t size;
  uint32_t width;
  uint32_t height;
  uint32_t pixel_format;
  uint32_t surface_id;
  uint32_t plane_count;
  kolv_companion_plane planes[KOLV_COMPANION_MAX_PLANES];
} kolv_companion_planes;
/* kolv_companion_begin_frame with every plane of the canvas; the same results. */
int kolv_companion_begin_frame_planes(kolv_companion* companion, kolv_companion_planes* frame);
/* Hands the picture drawn since kolv_companion_begin_frame over to the camera. */
int kolv_companion_publish(kolv_companion* companion);
/* Copies a whole picture (height rows of width*4 bytes, bytes_per_row apart, size bytes in
 * all) into a free surface and publishes it. 'BGRA' publishers only: the others draw through
 * kolv_companion_begin_frame_planes (KOLV_COMPANION_INVALID_ARGUMENT). */
int kolv_companion_publish_bgra(kolv_companion* companion, const void* pixels, size_t size, size_t bytes_per_row);
/* Hands the last picture over again with a new timestamp, and starts its hold time again. */
int kolv_companion_republish(kolv_companion* companion);
/* The longest hold time kolv_companion_set_hold_time takes is just below this (about 285
 * years, what 64-bit nanoseconds hold). */
#define KOLV_COMPANION_MAX_HOLD_SECONDS 9e9
/* How long the last picture stays live without a new one (publish or republish); after
 * that the camera sends grey. 0 (the default) holds it until the next picture or
 * kolv_companion_close. KOLV_COMPANION_INVALID_ARGUMENT, with the limits in
 * kolv_companion_last_error, for a negative value, NaN, or one of
 * KOLV_COMPANION_MAX_HOLD_SECONDS or more (infinity included); use 0 for "for ever". */
int kolv_companion_set_hold_time(kolv_companion* companion, double seconds);
/* 1 while the camera streams the picture (it read the frame file in the last 200 ms),
 * else 0. Always 0 before the first picture: the camera reads the file only while one is
 * named. A companion may stop drawing while nobody watches. */
int kolv_companion_watched(const kolv_companion* companion);

/* The pixel format the publisher's pictures are drawn in (a KOLV_PIXEL_FORMAT_* code). */
uint32_t kolv_companion_pixel_format(const kolv_companion* companion);
/* Sleeps until it is time to start drawing the next picture: draw_seconds before a point
 * 3 ms ahead of the camera's next read of the frame file, as predicted from its reads seen so far
 * (their period and phase), so that the picture is published just before the camera takes
 * it. Returns KOLV_COMPANION_OK then. While the camera does not read (before the first picture,
 * or nobody streams), paces at the frame rate instead and returns KOLV_COMPANION_NOT_WATCHED.
 * When the cue is more than timeout_seconds away, sleeps timeout_seconds and returns
 * KOLV_COMPANION_TIMED_OUT, the cue left for the next call. Each cue is a later read than the
 * last, 1/frame rate later at least; a drawing that overran gets the next read that it can
 * still make. KOLV_COMPANION_INVALID_ARGUMENT for a negative or non-finite value, or one of
 * an hour or more. Loop: wait, begin_frame, draw, publish. */
int kolv_companion_wait_for_cue(kolv_companion* companion, double draw_seconds, double timeout_seconds);
/* Pictures a second the producer means to draw (default 30, above 0 and at most 1000): the pace
 * of kolv_companion_wait_for_cue while the camera does not read, and below the camera's 30, how
 * many of its reads a cue skips. */
int kolv_companion_set_frame_rate(kolv_companion* companion, double frames_per_second);

/* The last timestamp written (seconds since the epoch), 0 before any. */
double kolv_companion_last_timestamp(const kolv_companion* companion);
/* The app group and its container folder; valid until kolv_companion_close. */
const char* kolv_companion_app_group(const kolv_companion* companion);
const char* kolv_companion_container(const kolv_companion* companion);
/* A short English description of a result code. */
const char* kolv_companion_status_string(int status);
/* The last failure of this publisher, with details (a path, the system's reason); "" if none. */
const char* kolv_companion_last_error(const kolv_companion* companion);

#ifdef __cplusplus
}
#endif

#endif /* KOLV_COMPANION_H */
