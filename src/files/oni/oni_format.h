// Layout of OpenNI recording files (.oni, "NI10"): a 24-byte file header,
// then records, each a 28-byte record header, its fields and a payload.
// Every value is little-endian.
#pragma once

#include <cstdint>

namespace pylox::oni {

constexpr uint32_t k_file_header_size = 24;
constexpr uint32_t k_record_header_size = 28;
// Timestamp (u64) and frame number (u32) of a new-data record.
constexpr uint32_t k_new_data_fields_size = 12;
// Seek-table entry: u64 timestamp, u32 configuration id, u64 file position.
constexpr uint32_t k_seek_entry_size = 20;
// General property "xnCropping": u32 enabled, u16 x, y offset, u16 width, height.
constexpr uint32_t k_cropping_size = 12;
// A record starts with the bytes "NIR" and 0.
constexpr uint32_t k_record_magic = 0x0052494Eu;
// Codec of every stream: the bytes "NONE".
constexpr uint32_t k_codec_none = 0x454E4F4Eu;
// Longest string a string field holds (its length field counts one more).
constexpr uint32_t k_string_max = 255;

enum record_type : uint32_t {
    REC_INT_PROPERTY = 3,
    REC_REAL_PROPERTY = 4,
    REC_GENERAL_PROPERTY = 6,
    REC_NODE_REMOVED = 7,
    REC_NODE_DATA_BEGIN = 8,
    REC_NODE_STATE_READY = 9,
    REC_NEW_DATA = 10,
    REC_END = 11,
    REC_NODE_ADDED = 13,
    REC_SEEK_TABLE = 14,
};

} // namespace pylox::oni
