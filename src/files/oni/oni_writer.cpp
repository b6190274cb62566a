// OpenNI recording writer. Every record is built in the recorder's buffer and
// written with one write, except that a frame follows its fields straight
// from the caller's memory. A stream's node record is written when it opens
// and again in place when it closes, with the frame count, the last
// timestamp and where its seek table went; the file header is patched the
// same way at the end with the largest node id. File positions are 64-bit
// throughout, so recordings past 2 GiB keep valid links.
#include "files/oni/oni_format.h"

#include "core/clock.h"
#include "core/log.h"

#include <pylox/tq_oni.h>

#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

using namespace pylox::oni;

struct oni_seek_entry {
    uint64_t timestamp;
    uint32_t config_id;
    int64_t pos;
};

struct oni_stream {
    oni_recorder_t *rec = nullptr;
    oni_stream_info_t info{};
    uint32_t node_id = 0;
    uint32_t codec = k_codec_none;
    int64_t node_added_pos = 0;
    // Start of this stream's last new-data record: the undo position of the
    // next one (0 before the first frame).
    int64_t undo_pos = 0;
    int64_t first_data_pos = 0;
    // Property name -> position of the last record written for it.
    std::unordered_map<std::string, int64_t> prop_pos;
    uint32_t frame_count = 0;
    uint64_t last_timestamp = 0;
    std::vector<oni_seek_entry> seek; // in saving order
};

namespace {

// --- building records in the buffer ---------------------------------------

void put_u16(oni_recorder_t *rec, uint16_t v)
{
    for (int i = 0; i < 2; ++i)
        *rec->cur++ = static_cast<uint8_t>(v >> (8 * i));
}

void put_u32(oni_recorder_t *rec, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        *rec->cur++ = static_cast<uint8_t>(v >> (8 * i));
}

void put_u64(oni_recorder_t *rec, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        *rec->cur++ = static_cast<uint8_t>(v >> (8 * i));
}

void put_bytes(oni_recorder_t *rec, const void *data, size_t n)
{
    if (n)
        std::memcpy(rec->cur, data, n);
    rec->cur += n;
}

// Length (characters + 1), then the characters and a 0; cut to 255 characters.
void put_string(oni_recorder_t *rec, const char *s)
{
    const size_t n = strnlen(s, k_string_max);
    put_u32(rec, static_cast<uint32_t>(n + 1));
    put_bytes(rec, s, n);
    *rec->cur++ = 0;
}

// Starts a record: the fields go right after the header's place.
void begin_record(oni_recorder_t *rec)
{
    rec->cur = rec->buf + k_record_header_size;
}

// Fills the header of the record whose fields end at cur. Returns the fields
// size (header included).
uint32_t end_fields(oni_recorder_t *rec, uint32_t type, uint32_t node_id, uint64_t undo,
                    uint32_t payload_size)
{
    const uint32_t fields_size = static_cast<uint32_t>(rec->cur - rec->buf);
    uint8_t *const end = rec->cur;
    rec->cur = rec->buf;
    put_u32(rec, k_record_magic);
    put_u32(rec, type);
    put_u32(rec, node_id);
    put_u32(rec, fields_size);
    put_u32(rec, payload_size);
    put_u64(rec, undo);
    rec->cur = end;
    return fields_size;
}

// General property record; integer and real properties are the same record
// with 8 data bytes and their own type.
void build_property(oni_recorder_t *rec, uint32_t type, uint32_t node_id, uint64_t undo,
                    const char *name, const void *data, uint32_t len)
{
    begin_record(rec);
    put_string(rec, name);
    put_u32(rec, len);
    put_bytes(rec, data, len);
    end_fields(rec, type, node_id, undo, 0);
}

void build_node_added(oni_recorder_t *rec, const oni_stream *s, uint32_t frames, uint64_t min_ts,
                      uint64_t max_ts, int64_t seek_pos)
{
    begin_record(rec);
    put_string(rec, AsString(s->info.node_type));
    put_u32(rec, s->info.node_type);
    put_u32(rec, s->codec);
    put_u32(rec, frames);
    put_u64(rec, min_ts);
    put_u64(rec, max_ts);
    put_u64(rec, static_cast<uint64_t>(seek_pos));
    end_fields(rec, REC_NODE_ADDED, s->node_id, 0, 0);
}

// --- the file ---------------------------------------------------------------

int64_t tell(const oni_recorder_t *rec)
{
    return static_cast<int64_t>(ftello(rec->file));
}

bool seek_to(const oni_recorder_t *rec, int64_t pos)
{
    if (fseeko(rec->file, static_cast<off_t>(pos), SEEK_SET) == 0)
        return true;
    LOG_ERR("[%s] cannot seek to %lld\n", (long long)pos);
    return false;
}

bool write_out(oni_recorder_t *rec, const void *data, size_t n)
{
    if (fwrite(data, 1, n, rec->file) == n)
        return true;
    LOG_ERR("[%s] write of %zu bytes failed\n", n);
    return false;
}

// Writes the record built in the buffer (fields, then payload_size bytes).
void write_record(oni_recorder_t *rec, uint32_t payload_size)
{
    uint32_t fields_size = 0;
    std::memcpy(&fields_size, rec->buf + 12, 4);
    write_out(rec, rec->buf, size_t{fields_size} + payload_size);
}

void write_simple(oni_recorder_t *rec, uint32_t type, uint32_t node_id, uint64_t undo)
{
    begin_record(rec);
    end_fields(rec, type, node_id, undo, 0);
    write_record(rec, 0);
}

void write_file_header(oni_recorder_t *rec, uint32_t max_node_id)
{
    uint8_t hdr[k_file_header_size];
    uint8_t *const saved = rec->cur;
    rec->cur = hdr;
    put_bytes(rec, "NI10", 4);
    *rec->cur++ = 1; // version major
    *rec->cur++ = 0; // minor
    put_u16(rec, 1); // maintenance
    put_u32(rec, 0); // build
    put_u64(rec, UINT64_MAX);
    put_u32(rec, max_node_id);
    rec->cur = saved;
    write_out(rec, hdr, sizeof hdr);
}

// Writes one property record of the stream, chained to the last record of the
// same property.
void write_property(oni_stream *s, uint32_t type, const char *name, const void *data, uint32_t len)
{
    oni_recorder_t *rec = s->rec;
    const int64_t pos = tell(rec);
    auto it = s->prop_pos.find(name);
    const int64_t undo = it == s->prop_pos.end() ? 0 : it->second;
    build_property(rec, type, s->node_id, static_cast<uint64_t>(undo), name, data, len);
    write_record(rec, 0);
    s->prop_pos[name] = pos;
}

void write_int_property(oni_stream *s, const char *name, uint64_t value)
{
    uint8_t v[8];
    for (int i = 0; i < 8; ++i)
        v[i] = static_cast<uint8_t>(value >> (8 * i));
    write_property(s, REC_INT_PROPERTY, name, v, sizeof v);
}

void le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t supported_pixel_formats(uint32_t fmt)
{
    switch (fmt) {
    case 100:
    case 101:
    case 102:
    case 103:
    case 203:
        return 8;
    case 200:
        return 1;
    case 201:
        return 2;
    case 202:
        return 4;
    case 204:
        return 16;
    default:
        return 0;
    }
}

uint32_t xn_pixel_format(uint32_t fmt)
{
    switch (fmt) {
    case 100:
    case 101:
    case 102:
    case 103:
    case 203:
        return 4;
    case 200:
        return 1;
    case 201:
        return 2;
    case 202:
        return 3;
    case 204:
        return 5;
    default:
        return 0;
    }
}

void write_stream_properties(oni_stream *s)
{
    const oni_stream_info_t &in = s->info;
    write_int_property(s, "oniRequiredFrameSize",
                       uint64_t{in.x_res} * in.y_res * in.bytes_per_pixel);
    write_int_property(s, "xnIsGenerating", 1);
    if (in.pixel_format == 100 || in.pixel_format == 101)
        write_int_property(s, "xnDeviceMaxDepth", in.max_depth);
    write_int_property(s, "xnSupportedMapOutputModesCount", 1);
    uint8_t mode[12];
    le32(mode, in.x_res);
    le32(mode + 4, in.y_res);
    le32(mode + 8, in.fps);
    write_property(s, REC_GENERAL_PROPERTY, "xnSupportedMapOutputModes", mode, sizeof mode);
    write_property(s, REC_GENERAL_PROPERTY, "xnMapOutputMode", mode, sizeof mode);
    if (in.pixel_format != 0) {
        uint8_t formats[4];
        le32(formats, supported_pixel_formats(in.pixel_format));
        write_property(s, REC_GENERAL_PROPERTY, "xnSupportedPixelFormats", formats, sizeof formats);
        write_int_property(s, "xnPixelFormat", xn_pixel_format(in.pixel_format));
    }
    write_int_property(s, "oniPixelFormat", in.pixel_format);
    // OpenNI's file player drops every frame of a stream without a cropping
    // property: cropping off, over the whole image.
    uint8_t crop[k_cropping_size] = {};
    le16(crop + 8, static_cast<uint16_t>(in.x_res));
    le16(crop + 10, static_cast<uint16_t>(in.y_res));
    write_property(s, REC_GENERAL_PROPERTY, "xnCropping", crop, sizeof crop);
}

// Marks a node ready and starts its data (first frame of the recorder).
void write_data_begin(const oni_stream *s)
{
    oni_recorder_t *rec = s->rec;
    write_simple(rec, REC_NODE_STATE_READY, s->node_id, 0);
    begin_record(rec);
    put_u32(rec, UINT32_MAX);
    put_u64(rec, UINT64_MAX);
    end_fields(rec, REC_NODE_DATA_BEGIN, s->node_id, 0, 0);
    write_record(rec, 0);
}

bool recorder_ready(const oni_recorder_t *rec)
{
    return rec && rec->file && rec->buf && rec->buf_size >= k_record_header_size;
}

[[noreturn]] void out_of_memory(const char *fn)
{
    PYLOX_LOG_AS(TQ_LOG_ERR, fn, "[%s] malloc failed\n");
    std::exit(-3);
}

} // namespace

extern "C" {

PYLOX_API const char *AsString(uint32_t node_type)
{
    switch (node_type) {
    case TQ_ONI_NODE_DEVICE:
        return "Device";
    case TQ_ONI_NODE_DEPTH:
        return "Depth";
    case TQ_ONI_NODE_IMAGE:
        return "Image";
    case TQ_ONI_NODE_IR:
        return "IR";
    default:
        return "Invalid";
    }
}

PYLOX_API int emit_RECORD_REAL_PROPERTY(oni_recorder_t *rec, uint32_t node_id, uint32_t undo_lo,
                                        uint32_t undo_hi, const char *name, double value)
{
    if (!rec || !rec->buf || rec->buf_size == 0) {
        LOG_ERR("[%s] recorder has no buffer\n");
        return 1;
    }
    if (!name) {
        LOG_ERR("[%s] no property name\n");
        return 1;
    }
    uint64_t bits = 0;
    static_assert(sizeof bits == sizeof value);
    std::memcpy(&bits, &value, sizeof bits);
    uint8_t v[8];
    for (int i = 0; i < 8; ++i)
        v[i] = static_cast<uint8_t>(bits >> (8 * i));
    build_property(rec, REC_REAL_PROPERTY, node_id, (uint64_t{undo_hi} << 32) | undo_lo, name, v,
                   sizeof v);
    return 0;
}

PYLOX_API int oni_open(oni_recorder_t *rec, const char *path)
{
    if (!rec || !path) {
        LOG_ERR("[%s] null recorder or path\n");
        return 0;
    }
    rec->file = nullptr;
    rec->max_node_id = 0;
    for (auto &s : rec->streams)
        s = nullptr;
    rec->config_id = 0;
    rec->started = 0;
    rec->buf = static_cast<uint8_t *>(std::malloc(TQ_ONI_RECORD_BUF_SIZE));
    rec->cur = rec->buf;
    if (!rec->buf) {
        rec->buf_size = 0;
        LOG_ERR("[%s] malloc failed\n");
        return 0;
    }
    rec->buf_size = TQ_ONI_RECORD_BUF_SIZE;
    rec->file = std::fopen(path, "wb+");
    // Unbuffered: records are built whole in the buffer and written by one
    // call each, and a buffered stream open for update read a 4 KB block back
    // after each position query and seek (a seek and a read a record).
    if (rec->file)
        std::setvbuf(rec->file, nullptr, _IONBF, 0);
    if (!rec->file) {
        LOG_ERR("[%s] cannot create %s\n", path);
        std::free(rec->buf);
        rec->buf = rec->cur = nullptr;
        rec->buf_size = 0;
        return 0;
    }
    write_file_header(rec, 0);
    if (tell(rec) == k_file_header_size)
        return 1;
    LOG_ERR("[%s] cannot write the header of %s\n", path);
    std::fclose(rec->file);
    rec->file = nullptr;
    std::free(rec->buf);
    rec->buf = rec->cur = nullptr;
    rec->buf_size = 0;
    return 0;
}

PYLOX_API oni_stream_t *oni_stream_open(oni_recorder_t *rec, const oni_stream_info_t *info)
{
    if (!recorder_ready(rec) || !info) {
        LOG_ERR("[%s] no open recorder or no stream info\n");
        return nullptr;
    }
    int slot = TQ_ONI_MAX_STREAMS - 1;
    for (int k = 0; k < TQ_ONI_MAX_STREAMS - 1; ++k) {
        if (!rec->streams[k]) {
            slot = k;
            break;
        }
    }
    if (rec->streams[slot])
        LOG_WRN("[%s] all %d streams open: node %d is taken over\n", TQ_ONI_MAX_STREAMS, slot + 1);
    auto *s = new (std::nothrow) oni_stream;
    rec->streams[slot] = s;
    if (!s) {
        LOG_ERR("[%s] malloc failed\n");
        return nullptr;
    }
    try {
        s->rec = rec;
        s->info = *info;
        s->node_id = static_cast<uint32_t>(slot + 1);
        s->node_added_pos = tell(rec);
        build_node_added(rec, s, UINT32_MAX, 0, UINT64_MAX, 0);
        write_record(rec, 0);
        if (s->node_id > rec->max_node_id)
            rec->max_node_id = static_cast<uint16_t>(s->node_id);
        write_stream_properties(s);
        if (rec->started)
            LOG_WRN("[%s] node %u opened after the first frame: OpenNI players will not offer "
                    "it\n",
                    s->node_id);
    } catch (const std::bad_alloc &) {
        out_of_memory(__func__);
    }
    return s;
}

PYLOX_API void oni_stream_save_frame(oni_stream_t *s, const void *data, uint32_t size,
                                     uint64_t timestamp)
{
    if (!s || !data || !s->rec) {
        LOG_ERR("[%s] null stream or data\n");
        return;
    }
    oni_recorder_t *rec = s->rec;
    if (!recorder_ready(rec)) {
        LOG_ERR("[%s] recorder is closed\n");
        return;
    }
    if (!rec->started) {
        rec->started = 1;
        for (oni_stream_t *o : rec->streams) {
            if (o)
                write_data_begin(o);
        }
    }
    if (timestamp == 0) {
        const pylox::wall_time now = pylox::clock_now();
        timestamp = static_cast<uint64_t>(now.sec) * 1000000u + static_cast<uint64_t>(now.usec);
    }
    const uint32_t frame_no = ++s->frame_count;
    s->last_timestamp = timestamp;

    const int64_t pos = tell(rec);
    begin_record(rec);
    put_u64(rec, timestamp);
    put_u32(rec, frame_no);
    uint32_t payload = size;
    if (uint64_t{k_record_header_size} + k_new_data_fields_size + size > rec->buf_size) {
        LOG_ERR("[%s] frame %u of %u bytes does not fit the record buffer: saved without data\n",
                frame_no, size);
        payload = 0;
    }
    const uint32_t fields_size =
        end_fields(rec, REC_NEW_DATA, s->node_id, static_cast<uint64_t>(s->undo_pos), payload);
    // The frame goes from the caller's memory straight after the fields: the
    // same bytes as a record built whole, without copying the frame.
    if (write_out(rec, rec->buf, fields_size) && payload)
        write_out(rec, data, payload);

    // Both the next frame's undo position and the seek table point at where
    // this record starts.
    s->undo_pos = pos;
    if (frame_no == 1)
        s->first_data_pos = pos;
    try {
        s->seek.push_back({timestamp, rec->config_id, pos});
    } catch (const std::bad_alloc &) {
        out_of_memory(__func__);
    }
}

PYLOX_API void oni_stream_save_property(void) {}

PYLOX_API void oni_stream_close(oni_stream_t *s)
{
    if (!s)
        return;
    oni_recorder_t *rec = s->rec;
    if (recorder_ready(rec)) {
        write_simple(rec, REC_NODE_REMOVED, s->node_id, static_cast<uint64_t>(s->node_added_pos));

        // Seek table: entry 0, then one entry per frame. With several streams
        // in the file, OpenNI's player seeks the other streams through entry 0
        // too, so it points at this stream's first frame instead of the file
        // header.
        const int64_t table_pos = tell(rec);
        const uint64_t entries = uint64_t{s->frame_count} + 1;
        uint64_t payload = entries * k_seek_entry_size;
        if (k_record_header_size + payload > rec->buf_size) {
            LOG_ERR("[%s] seek table of %llu frames does not fit the record buffer: saved "
                    "empty\n",
                    (unsigned long long)s->frame_count);
            payload = 0;
        }
        begin_record(rec);
        end_fields(rec, REC_SEEK_TABLE, s->node_id, 0, static_cast<uint32_t>(payload));
        if (payload) {
            put_u64(rec, 0);
            put_u32(rec, 0);
            put_u64(rec, rec->max_node_id > 1 ? static_cast<uint64_t>(s->first_data_pos) : 0);
            for (const oni_seek_entry &e : s->seek) {
                put_u64(rec, e.timestamp);
                put_u32(rec, e.config_id);
                put_u64(rec, static_cast<uint64_t>(e.pos));
            }
        }
        write_record(rec, static_cast<uint32_t>(payload));

        const int64_t end = tell(rec);
        if (seek_to(rec, s->node_added_pos)) {
            build_node_added(rec, s, s->frame_count, 0, s->frame_count ? s->last_timestamp : 0,
                             table_pos);
            write_record(rec, 0);
            if (s->node_id > rec->max_node_id)
                rec->max_node_id = static_cast<uint16_t>(s->node_id);
            seek_to(rec, end);
        }
    }
    // A stream replaced by a fifth one no longer owns its slot.
    if (rec && s->node_id >= 1 && s->node_id <= TQ_ONI_MAX_STREAMS &&
        rec->streams[s->node_id - 1] == s)
        rec->streams[s->node_id - 1] = nullptr;
    delete s;
}

PYLOX_API void oni_close(oni_recorder_t *rec)
{
    if (!rec)
        return;
    for (oni_stream_t *&s : rec->streams) {
        if (s)
            oni_stream_close(s);
        s = nullptr;
    }
    if (rec->file) {
        if (rec->buf) {
            write_simple(rec, REC_END, 0, 0);
        }
        if (seek_to(rec, 0))
            write_file_header(rec, rec->max_node_id);
        if (std::fclose(rec->file) != 0)
            LOG_ERR("[%s] closing the file failed\n");
        rec->file = nullptr;
    }
    std::free(rec->buf);
    rec->buf = rec->cur = nullptr;
    rec->buf_size = 0;
}

} // extern "C"
