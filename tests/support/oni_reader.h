// A reader of OpenNI recording files for the tests, independent of the
// writer: it walks the records, decodes their fields and checks the links a
// player follows (undo positions, seek tables, node records).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pylox_test {

uint64_t le_u64(const std::string &s, size_t off);
uint32_t le_u32(const std::string &s, size_t off);

struct oni_record {
    uint64_t pos = 0; // file position of the record header
    uint32_t type = 0, node_id = 0, fields_size = 0, payload_size = 0;
    uint64_t undo = 0;
    std::string fields, payload; // the bytes after the 28-byte header
};

struct oni_file {
    std::string error;  // empty when the walk reached the end record and the end of the file
    std::string header; // the 24 bytes at offset 0
    uint64_t size = 0;
    std::vector<oni_record> records;

    std::vector<const oni_record *> of_type(uint32_t type, uint32_t node_id = 0) const;
    const oni_record *at(uint64_t pos) const; // the record starting at pos, or null
};

// Walks the records from offset first (24: right after the file header);
// without frames the data records' payloads stay empty (their sizes are kept).
oni_file read_oni(const std::string &path, uint64_t first = 24, bool frames = true);

// Property records (3, 4, 6): name and value bytes.
struct oni_property {
    std::string name, data;
};
oni_property decode_property(const oni_record &r);

struct oni_node_added {
    std::string name;
    uint32_t node_type = 0, codec = 0, frames = 0;
    uint64_t min_ts = 0, max_ts = 0, seek_pos = 0;
};
oni_node_added decode_node_added(const oni_record &r);

struct oni_new_data {
    uint64_t timestamp = 0;
    uint32_t frame = 0;
};
oni_new_data decode_new_data(const oni_record &r);

struct oni_seek_row {
    uint64_t timestamp = 0;
    uint32_t config_id = 0;
    uint64_t pos = 0;
};
std::vector<oni_seek_row> decode_seek_table(const oni_record &r);

// The links of every node in the file, each node from its node-added record
// to its seek table (a node id may come back after its node was removed).
// Returns the faults found:
// - frame numbers run 1, 2, ...; each new-data record's undo position is the
//   start of the same node's previous one (0 for the first);
// - each property record's undo position is the previous record of the same
//   property of the node (0 for the first);
// - node removed points at the node-added record, which gives the frame
//   count, the last timestamp and the position of the node's seek table;
// - seek entry i >= 1 is where the node's frame i record starts, with its
//   timestamp; entry 0 is zero, or with several node ids in the file the
//   start of the node's first frame record.
std::vector<std::string> check_links(const oni_file &f);

} // namespace pylox_test
