// A reader of OpenNI recording files written for the tests, independent of
// the writer: it walks the records from the file header (or from any offset),
// decodes their fields and checks the links between them the way a player
// follows them (undo positions, seek tables, node records).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pylox_test {

struct oni_record {
    uint64_t pos = 0; // file position of the record header
    uint32_t type = 0;
    uint32_t node_id = 0;
    uint32_t fields_size = 0;
    uint32_t payload_size = 0;
    uint64_t undo = 0;
    std::string fields;  // bytes after the 28-byte header, fields_size - 28 of them
    std::string payload; // payload_size bytes
    uint64_t end() const { return pos + fields_size + payload_size; }
};

struct oni_seek_row {
    uint64_t timestamp = 0;
    uint32_t config_id = 0;
    uint64_t pos = 0;
};

struct oni_node_added {
    std::string name;
    uint32_t node_type = 0, codec = 0, frames = 0;
    uint64_t min_ts = 0, max_ts = 0, seek_pos = 0;
};

struct oni_property {
    std::string name;
    std::string data; // the value bytes
    uint64_t as_u64() const;
    double as_double() const;
    uint32_t u32_at(size_t off) const;
    uint16_t u16_at(size_t off) const;
};

struct oni_new_data {
    uint64_t timestamp = 0;
    uint32_t frame = 0;
};

struct oni_file {
    std::string error; // empty when the walk reached the end of the file cleanly
    std::string magic;
    uint8_t major = 0, minor = 0;
    uint16_t maintenance = 0;
    uint32_t build = 0;
    uint64_t max_timestamp = 0;
    uint32_t max_node_id = 0;
    uint64_t size = 0;
    std::vector<oni_record> records;

    std::vector<const oni_record *> of_type(uint32_t type, uint32_t node_id = 0) const;
    const oni_record *at(uint64_t pos) const; // record starting at pos, or null
};

// Reads the file at path. Records are walked from offset first (24: right
// after the file header); a gap before first is not read.
oni_file read_oni(const std::string &path, uint64_t first = 24);

uint64_t le_u64(const std::string &s, size_t off);
uint32_t le_u32(const std::string &s, size_t off);

oni_node_added decode_node_added(const oni_record &r);
oni_property decode_property(const oni_record &r);
oni_new_data decode_new_data(const oni_record &r);
std::vector<oni_seek_row> decode_seek_table(const oni_record &r);

// Checks every link a player relies on and returns the faults found (empty
// when sound), for the nodes added in the file:
// - each node's new-data records carry frame numbers 1, 2, ... and each one's
//   undo position is the start of the same node's previous new-data record
//   (0 for the first);
// - property records chain to the previous record of the same property of
//   the node (0 for the first);
// - the node-removed record points at the node-added record;
// - the final node-added record gives the frame count, the last timestamp and
//   the position of the node's seek table;
// - seek-table entry i >= 1 is the position where the node's frame i record
//   starts, with its timestamp; entry 0 is zero, or with several nodes in the
//   file the start of the node's first frame record.
std::vector<std::string> check_links(const oni_file &f);

} // namespace pylox_test
