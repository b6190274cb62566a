#include "support/oni_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <map>
#include <set>

namespace pylox_test {

uint64_t le_u64(const std::string &s, size_t off)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(s.at(off + static_cast<size_t>(i)));
    return v;
}

uint32_t le_u32(const std::string &s, size_t off)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(s.at(off + static_cast<size_t>(i)));
    return v;
}

std::vector<const oni_record *> oni_file::of_type(uint32_t type, uint32_t node_id) const
{
    std::vector<const oni_record *> out;
    for (const auto &r : records)
        if (r.type == type && (node_id == 0 || r.node_id == node_id))
            out.push_back(&r);
    return out;
}

const oni_record *oni_file::at(uint64_t pos) const
{
    for (const auto &r : records)
        if (r.pos == pos)
            return &r;
    return nullptr;
}

oni_file read_oni(const std::string &path, uint64_t first, bool frames)
{
    // The file mapped and walked in memory: a seek and a buffer refill a
    // record, and copying frames the caller does not look at, made the
    // fuzzer's writer target spend most of its time in the kernel.
    oni_file f;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat sb {};
    if (fd >= 0 && fstat(fd, &sb) == 0 && sb.st_size >= 24)
        f.size = static_cast<uint64_t>(sb.st_size);
    void *map = f.size ? mmap(nullptr, f.size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    if (fd >= 0)
        ::close(fd);
    if (map == MAP_FAILED) {
        f.error = "no file header";
        return f;
    }
    const std::unique_ptr<void, std::function<void(void *)>> unmap(
        map, [n = f.size](void *m) { munmap(m, n); });
    const char *all = static_cast<const char *>(map);
    f.header.assign(all, 24);
    for (uint64_t pos = first; pos < f.size && f.error.empty();) {
        if (f.size - pos < 28 || std::memcmp(all + pos, "NIR\0", 4) != 0) {
            f.error = "no record header at " + std::to_string(pos);
            break;
        }
        const std::string h(all + pos, 28);
        oni_record r;
        r.pos = pos;
        r.type = le_u32(h, 4);
        r.node_id = le_u32(h, 8);
        r.fields_size = le_u32(h, 12);
        r.payload_size = le_u32(h, 16);
        r.undo = le_u64(h, 20);
        pos += uint64_t{r.fields_size} + r.payload_size;
        if (r.fields_size < 28 || pos > f.size) {
            f.error = "record at " + std::to_string(r.pos) + " overruns the file";
            break;
        }
        const char *at = all + r.pos + 28;
        r.fields.assign(at, r.fields_size - 28);
        if (frames || r.type != 10)
            r.payload.assign(at + r.fields.size(), r.payload_size);
        if (r.type == 11 && pos != f.size)
            f.error = "bytes after the end record";
        f.records.push_back(std::move(r));
    }
    if (f.error.empty() && (f.records.empty() || f.records.back().type != 11))
        f.error = "no end record";
    return f;
}

namespace {

// A string field: length (characters + 1), the characters, a 0.
std::string read_string(const std::string &fields, size_t &off)
{
    const uint32_t len = le_u32(fields, off);
    if (len == 0 || fields.at(off + 4 + len - 1) != '\0')
        return "<unterminated>";
    off += 4 + len;
    return fields.substr(off - len, len - 1);
}

} // namespace

oni_property decode_property(const oni_record &r)
{
    size_t off = 0;
    oni_property p;
    p.name = read_string(r.fields, off);
    const uint32_t len = le_u32(r.fields, off);
    p.data = r.fields.substr(off + 4, len);
    if (off + 4 + len != r.fields.size())
        p.name += "<bad length>";
    return p;
}

oni_node_added decode_node_added(const oni_record &r)
{
    size_t off = 0;
    oni_node_added n;
    n.name = read_string(r.fields, off);
    n.node_type = le_u32(r.fields, off);
    n.codec = le_u32(r.fields, off + 4);
    n.frames = le_u32(r.fields, off + 8);
    n.min_ts = le_u64(r.fields, off + 12);
    n.max_ts = le_u64(r.fields, off + 20);
    n.seek_pos = le_u64(r.fields, off + 28);
    return n;
}

oni_new_data decode_new_data(const oni_record &r)
{
    return {le_u64(r.fields, 0), le_u32(r.fields, 8)};
}

std::vector<oni_seek_row> decode_seek_table(const oni_record &r)
{
    std::vector<oni_seek_row> rows;
    for (size_t off = 0; off + 20 <= r.payload.size(); off += 20)
        rows.push_back(
            {le_u64(r.payload, off), le_u32(r.payload, off + 8), le_u64(r.payload, off + 12)});
    return rows;
}

std::vector<std::string> check_links(const oni_file &f)
{
    std::vector<std::string> bad;
    std::set<uint32_t> ids;
    std::vector<std::vector<const oni_record *>> nodes;
    std::map<uint32_t, size_t> open; // node id -> its entry in nodes
    for (const auto &r : f.records) {
        if (r.type == 13) {
            ids.insert(r.node_id);
            open[r.node_id] = nodes.size();
            nodes.emplace_back();
        }
        if (r.type == 11)
            continue;
        if (!open.count(r.node_id)) {
            bad.push_back("record at " + std::to_string(r.pos) + " outside its node");
            continue;
        }
        nodes[open[r.node_id]].push_back(&r);
        if (r.type == 14)
            open.erase(r.node_id);
    }
    for (const auto &node : nodes) {
        const oni_record &added = *node.front();
        const std::string tag = "node " + std::to_string(added.node_id) + ": ";
        std::vector<const oni_record *> data;
        std::map<std::string, uint64_t> last_prop;
        for (const oni_record *r : node) {
            if (r->type == 3 || r->type == 4 || r->type == 6) {
                const std::string name = decode_property(*r).name;
                if (r->undo != (last_prop.count(name) ? last_prop[name] : 0))
                    bad.push_back(tag + name + " undo " + std::to_string(r->undo));
                last_prop[name] = r->pos;
            } else if (r->type == 10) {
                if (decode_new_data(*r).frame != data.size() + 1)
                    bad.push_back(tag + "frame " + std::to_string(decode_new_data(*r).frame) +
                                  " out of order");
                if (r->undo != (data.empty() ? 0 : data.back()->pos))
                    bad.push_back(tag + "frame " + std::to_string(data.size() + 1) + " undo " +
                                  std::to_string(r->undo));
                data.push_back(r);
            } else if (r->type == 7 && r->undo != added.pos) {
                bad.push_back(tag + "node removed does not point at the node record");
            }
        }
        const oni_node_added n = decode_node_added(added);
        if (n.frames != data.size() ||
            n.max_ts != (data.empty() ? 0 : decode_new_data(*data.back()).timestamp))
            bad.push_back(tag + "node record not patched to its frames");
        const oni_record *table = f.at(n.seek_pos);
        if (!table || table->type != 14 || table->node_id != added.node_id ||
            table->payload_size != 20 * (data.size() + 1)) {
            bad.push_back(tag + "no seek table of its frames where the node record says");
            continue;
        }
        const auto rows = decode_seek_table(*table);
        const uint64_t entry0 = ids.size() > 1 && !data.empty() ? data.front()->pos : 0;
        if (rows[0].timestamp != 0 || rows[0].config_id != 0 || rows[0].pos != entry0)
            bad.push_back(tag + "seek entry 0 points at " + std::to_string(rows[0].pos));
        for (size_t i = 1; i < rows.size(); ++i)
            if (rows[i].pos != data[i - 1]->pos || rows[i].config_id != 0 ||
                rows[i].timestamp != decode_new_data(*data[i - 1]).timestamp)
                bad.push_back(tag + "seek entry " + std::to_string(i) + " is not frame " +
                              std::to_string(i) + "'s record");
    }
    return bad;
}

} // namespace pylox_test
