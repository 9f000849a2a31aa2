/*
 * quorixsdk: the on-disk layout of the library's media container (the files QUORIX_OpenFile
 * plays, QUORIX_StartLocalRecord and QUORIX_FilmEditing write), for programs that write or
 * inspect such files without the library. Plain C11, usable from C and C++; nothing here calls
 * the library.
 *
 *   offset 0            file header, QUORIX_FILE_HEADER_SIZE bytes, magic "ZEBM"
 *   offset 64           extension records "MEXT" (only when the data offset is above 64)
 *   data offset         frame records: a QUORIX_RECORD_SIZE-byte header, then the payload
 *   index offset        key-frame index: QUORIX_INDEX_ENTRY_SIZE-byte entries to the end of file
 *
 * Every multi-byte field is little-endian whatever the host; the QUORIX_*_<FIELD> numbers are
 * byte offsets inside their structure. The readers and writers below (quorix_load_le32 and
 * friends) take and give host values. Records pushed with QUORIX_InputStreamData have the same
 * layout as the frame records of a file.
 */
#ifndef QUORIXSDK_CONTAINER_H
#define QUORIXSDK_CONTAINER_H

#include <stdint.h>
#include <string.h>

#include "quorixsdk_codes.h"

/* ---- File header, at offset 0 ---- */
#define QUORIX_FILE_HEADER_SIZE 64u
#define QUORIX_FILE_MAGIC "ZEBM"               /* 4 bytes, no terminator in the file */
#define QUORIX_FILE_HEADER_MAGIC 0u            /* char[4] */
#define QUORIX_FILE_HEADER_RESERVED 4u         /* 16 bytes, zero when written, kept unchanged */
#define QUORIX_FILE_HEADER_CREATE_TICK 20u     /* u32, ms since boot at creation */
#define QUORIX_FILE_HEADER_START_TIME 24u      /* f64, local days since 1899-12-30 */
#define QUORIX_FILE_HEADER_DATA_OFFSET 32u     /* u32, first frame record */
#define QUORIX_FILE_HEADER_INDEX_OFFSET 36u    /* u32, key-frame index, 0 when there is none */
#define QUORIX_FILE_HEADER_FIRST_TIMESTAMP 40u /* u32, ms of the first video frame */
#define QUORIX_FILE_HEADER_LAST_TIMESTAMP 44u  /* u32, ms of the last video frame */
#define QUORIX_FILE_HEADER_FIRST_SEQUENCE 48u  /* u32, sequence number of the first video frame */
#define QUORIX_FILE_HEADER_FRAME_COUNT 52u     /* u32, video frames */
#define QUORIX_FILE_HEADER_INDEX_COUNT 56u     /* u32, index entries */
#define QUORIX_FILE_HEADER_FORMAT_TAG 60u      /* u8, QUORIX_FILE_FORMAT_TAG when written */
#define QUORIX_FILE_HEADER_RENDER_MODEL 61u    /* i8, QUORIX_MODEL_* */
#define QUORIX_FILE_HEADER_TAIL 62u            /* 2 bytes, zero */
#define QUORIX_FILE_FORMAT_TAG 2u

/* ---- Extension record header, followed by `length` payload bytes ---- */
#define QUORIX_EXT_HEADER_SIZE 12u
#define QUORIX_EXT_MAGIC "MEXT"
#define QUORIX_EXT_HEADER_MAGIC 0u    /* char[4] */
#define QUORIX_EXT_HEADER_TYPE 4u     /* u8, QUORIX_EXT_* */
#define QUORIX_EXT_HEADER_RESERVED 5u /* 3 bytes, zero */
#define QUORIX_EXT_HEADER_LENGTH 8u   /* u32, payload bytes */
#define QUORIX_EXT_OPEN_INFO 1u       /* the file-open information block, opaque */
#define QUORIX_EXT_RENDER_PARAM 2u    /* the renderer parameter block */
/* The library loads extension payloads up to this size; a larger one ends the extensions. */
#define QUORIX_EXT_MAX_PAYLOAD (16u * 1024u * 1024u)

/* ---- Frame record header, followed by `payload length` bytes ---- */
#define QUORIX_RECORD_SIZE 28u
#define QUORIX_RECORD_MAGIC_PLAIN 0x7468u /* u16 of the bytes "ht" */
#define QUORIX_RECORD_MAGIC_SUB 0x5448u   /* "HT": a sub-frame inside a composite packet */
#define QUORIX_RECORD_MAGIC 0u            /* u16 */
#define QUORIX_RECORD_TYPE 2u             /* u8: kind in bits 0-6, composite in bit 7 */
#define QUORIX_RECORD_STREAM 3u           /* u8, stream id */
#define QUORIX_RECORD_SEQUENCE 4u         /* u32, video frames of a stream count up by one */
#define QUORIX_RECORD_TIMESTAMP 8u        /* u32, ms */
#define QUORIX_RECORD_CLOCK 12u           /* u32, seconds since 1970-01-01 UTC */
#define QUORIX_RECORD_CODEC 16u           /* u8, QUORIX_CODEC_* */
#define QUORIX_RECORD_FLAGS 17u           /* u8, not interpreted */
#define QUORIX_RECORD_MEDIA 18u           /* 6 bytes: one of the two sets below */
#define QUORIX_RECORD_VIDEO_WIDTH 18u     /* u16 (bytes 22-23 not interpreted) */
#define QUORIX_RECORD_VIDEO_HEIGHT 20u    /* u16 */
#define QUORIX_RECORD_AUDIO_CHANNELS 18u  /* u8 */
#define QUORIX_RECORD_AUDIO_BITS 19u      /* u8, bits per sample */
#define QUORIX_RECORD_AUDIO_RATE 20u      /* u32, samples per second */
#define QUORIX_RECORD_PAYLOAD_LENGTH 24u  /* u32, at most QUORIX_MAX_INPUT_PAYLOAD */
#define QUORIX_RECORD_KIND_MASK 0x7Fu     /* of the type byte */
#define QUORIX_RECORD_COMPOSITE 0x80u     /* of the type byte */
#define QUORIX_KIND_AUDIO 0u
#define QUORIX_KIND_KEY 1u     /* video key frame: decoding can start here; the only indexed kind */
#define QUORIX_KIND_DELTA 3u   /* video frame depending on earlier frames */
#define QUORIX_KIND_UNTIMED 4u /* video frame whose timestamp is not trusted */

/* Codec numbers of the codec byte. */
#define QUORIX_CODEC_NONE 0u
#define QUORIX_CODEC_H264 1u
#define QUORIX_CODEC_MJPEG 2u
#define QUORIX_CODEC_G711A 3u
#define QUORIX_CODEC_G711U 4u
#define QUORIX_CODEC_PCM 5u
#define QUORIX_CODEC_H265 6u
#define QUORIX_CODEC_AAC 7u

/* ---- Key-frame index entry ---- */
#define QUORIX_INDEX_ENTRY_SIZE 12u
#define QUORIX_INDEX_ENTRY_TIMESTAMP 0u    /* u32, of the key frame */
#define QUORIX_INDEX_ENTRY_OFFSET 4u       /* u32, file offset of its frame record */
#define QUORIX_INDEX_ENTRY_FRAME_NUMBER 8u /* u32, 1-based count of video frames up to it */

/* ---- Little-endian fields ---- */
static inline uint16_t quorix_load_le16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}
static inline uint32_t quorix_load_le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline uint64_t quorix_load_le64(const uint8_t* p) {
    return (uint64_t)quorix_load_le32(p) | ((uint64_t)quorix_load_le32(p + 4) << 32);
}
static inline double quorix_load_f64(const uint8_t* p) {
    const uint64_t bits = quorix_load_le64(p);
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}
static inline void quorix_store_le16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
static inline void quorix_store_le32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
static inline void quorix_store_le64(uint8_t* p, uint64_t v) {
    quorix_store_le32(p, (uint32_t)v);
    quorix_store_le32(p + 4, (uint32_t)(v >> 32));
}
static inline void quorix_store_f64(uint8_t* p, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    quorix_store_le64(p, bits);
}

#endif /* QUORIXSDK_CONTAINER_H */
