#include "support/oni_reader.h"

#include <cstring>
#include <fstream>
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

uint64_t oni_property::as_u64() const
{
    return le_u64(data, 0);
}

double oni_property::as_double() const
{
    const uint64_t bits = le_u64(data, 0);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

uint32_t oni_property::u32_at(size_t off) const
{
    return le_u32(data, off);
}

uint16_t oni_property::u16_at(size_t off) const
{
    return static_cast<uint16_t>(static_cast<uint8_t>(data.at(off)) |
                                 static_cast<uint8_t>(data.at(off + 1)) << 8);
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

oni_file read_oni(const std::string &path, uint64_t first)
{
    oni_file f;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        f.error = "cannot open " + path;
        return f;
    }
    in.seekg(0, std::ios::end);
    f.size = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    std::string hdr(24, '\0');
    if (!in.read(hdr.data(), 24)) {
        f.error = "short file header";
        return f;
    }
    f.magic = hdr.substr(0, 4);
    f.major = static_cast<uint8_t>(hdr[4]);
    f.minor = static_cast<uint8_t>(hdr[5]);
    f.maintenance = static_cast<uint16_t>(le_u32(hdr, 6) & 0xFFFF);
    f.build = le_u32(hdr, 8);
    f.max_timestamp = le_u64(hdr, 12);
    f.max_node_id = le_u32(hdr, 20);

    uint64_t pos = first;
    while (pos < f.size) {
        in.seekg(static_cast<std::streamoff>(pos));
        std::string h(28, '\0');
        if (!in.read(h.data(), 28)) {
            f.error = "short record header at " + std::to_string(pos);
            return f;
        }
        if (h.compare(0, 4, std::string("NIR\0", 4)) != 0) {
            f.error = "no record magic at " + std::to_string(pos);
            return f;
        }
        oni_record r;
        r.pos = pos;
        r.type = le_u32(h, 4);
        r.node_id = le_u32(h, 8);
        r.fields_size = le_u32(h, 12);
        r.payload_size = le_u32(h, 16);
        r.undo = le_u64(h, 20);
        if (r.fields_size < 28 || r.end() > f.size) {
            f.error = "record at " + std::to_string(pos) + " overruns the file";
            return f;
        }
        r.fields.resize(r.fields_size - 28);
        r.payload.resize(r.payload_size);
        in.read(r.fields.data(), static_cast<std::streamsize>(r.fields.size()));
        in.read(r.payload.data(), static_cast<std::streamsize>(r.payload.size()));
        pos = r.end();
        f.records.push_back(std::move(r));
        if (f.records.back().type == 11 && pos != f.size)
            f.error = "bytes after the end record";
    }
    if (f.records.empty() || f.records.back().type != 11)
        f.error = "no end record";
    return f;
}

namespace {

std::string read_string(const std::string &fields, size_t &off)
{
    const uint32_t len = le_u32(fields, off);
    off += 4;
    if (len == 0 || fields.at(off + len - 1) != '\0')
        return "<unterminated>";
    std::string s = fields.substr(off, len - 1);
    off += len;
    return s;
}

} // namespace

oni_node_added decode_node_added(const oni_record &r)
{
    oni_node_added n;
    size_t off = 0;
    n.name = read_string(r.fields, off);
    n.node_type = le_u32(r.fields, off);
    n.codec = le_u32(r.fields, off + 4);
    n.frames = le_u32(r.fields, off + 8);
    n.min_ts = le_u64(r.fields, off + 12);
    n.max_ts = le_u64(r.fields, off + 20);
    n.seek_pos = le_u64(r.fields, off + 28);
    return n;
}

oni_property decode_property(const oni_record &r)
{
    oni_property p;
    size_t off = 0;
    p.name = read_string(r.fields, off);
    const uint32_t len = le_u32(r.fields, off);
    p.data = r.fields.substr(off + 4, len);
    if (off + 4 + len != r.fields.size())
        p.name += "<bad length>";
    return p;
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
    auto fail = [&](uint32_t node, const std::string &what) {
        bad.push_back("node " + std::to_string(node) + ": " + what);
    };
    std::set<uint32_t> nodes;
    for (const auto &r : f.records)
        if (r.type == 13)
            nodes.insert(r.node_id);
    const bool several = nodes.size() > 1;

    // A node id may be used again after its node was removed: each node-added
    // record starts a node of its own, which ends with its seek table.
    std::vector<std::vector<const oni_record *>> lives;
    std::map<uint32_t, size_t> current;
    for (const auto &r : f.records) {
        if (r.type == 11)
            continue;
        if (r.type == 13) {
            current[r.node_id] = lives.size();
            lives.emplace_back();
        }
        if (!current.count(r.node_id)) {
            fail(r.node_id, "record of type " + std::to_string(r.type) + " before its node");
            continue;
        }
        lives[current[r.node_id]].push_back(&r);
        if (r.type == 14)
            current.erase(r.node_id);
    }

    for (const auto &life : lives) {
        const uint32_t node = life.front()->node_id;
        const oni_record *added = nullptr;
        uint64_t prev_data = 0;
        uint32_t frames = 0;
        uint64_t last_ts = 0;
        std::vector<const oni_record *> data;
        std::map<std::string, uint64_t> last_prop;
        for (const oni_record *rp : life) {
            const oni_record &r = *rp;
            switch (r.type) {
            case 13:
                added = &r;
                break;
            case 3:
            case 4:
            case 6: {
                const auto p = decode_property(r);
                const uint64_t want = last_prop.count(p.name) ? last_prop[p.name] : 0;
                if (r.undo != want)
                    fail(node, p.name + " undo " + std::to_string(r.undo) + ", expected " +
                                   std::to_string(want));
                last_prop[p.name] = r.pos;
                break;
            }
            case 10: {
                const auto d = decode_new_data(r);
                if (d.frame != frames + 1)
                    fail(node, "frame number " + std::to_string(d.frame) + " after " +
                                   std::to_string(frames));
                if (r.undo != prev_data)
                    fail(node, "frame " + std::to_string(d.frame) + " undo " +
                                   std::to_string(r.undo) + ", expected " +
                                   std::to_string(prev_data));
                prev_data = r.pos;
                frames = d.frame;
                last_ts = d.timestamp;
                data.push_back(&r);
                break;
            }
            case 7:
                if (!added || r.undo != added->pos)
                    fail(node, "node removed does not point at the node record");
                break;
            default:
                break;
            }
        }
        if (!added) {
            fail(node, "no node record");
            continue;
        }
        const auto n = decode_node_added(*added);
        if (n.frames != frames)
            fail(node, "node record says " + std::to_string(n.frames) + " frames, file has " +
                           std::to_string(frames));
        if (n.max_ts != last_ts)
            fail(node, "node record max timestamp " + std::to_string(n.max_ts));
        const oni_record *table = f.at(n.seek_pos);
        if (!table || table->type != 14 || table->node_id != node) {
            fail(node, "node record does not point at its seek table");
            continue;
        }
        const auto rows = decode_seek_table(*table);
        if (rows.size() != frames + 1u) {
            fail(node, "seek table has " + std::to_string(rows.size()) + " entries");
            continue;
        }
        const uint64_t entry0 = several && !data.empty() ? data.front()->pos : 0;
        if (rows[0].timestamp != 0 || rows[0].config_id != 0 || rows[0].pos != entry0)
            fail(node, "seek entry 0 points at " + std::to_string(rows[0].pos) + ", expected " +
                           std::to_string(entry0));
        for (size_t i = 1; i < rows.size(); ++i) {
            const oni_record *r = f.at(rows[i].pos);
            if (!r || r->type != 10 || r->node_id != node || decode_new_data(*r).frame != i ||
                decode_new_data(*r).timestamp != rows[i].timestamp || rows[i].config_id != 0)
                fail(node, "seek entry " + std::to_string(i) + " is not frame " +
                               std::to_string(i) + "'s record");
        }
    }
    return bad;
}

} // namespace pylox_test
