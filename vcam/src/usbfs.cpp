// The camera as a Linux usbfs device: sysfs entry and device node in a
// umockdev test bed, and the usbfs ioctls that libusb issues on the node.
#include "impl.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace vcam {

namespace {

std::mutex g_bus_mu;
UMockdevTestbed *g_testbed = nullptr;
bool g_testbed_gone = false;
// Next device address per bus (a function-local static: cameras may be made
// from other libraries' constructors, before this file's statics exist).
std::map<int, int> &next_addr()
{
    static std::map<int, int> m;
    return m;
}

std::string hex(const std::vector<uint8_t> &b)
{
    static const char *d = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

gboolean ioctl_cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    auto *p = static_cast<Plug *>(user);
    return p->cam->on_ioctl(p, client);
}

void vanished_cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    auto *p = static_cast<Plug *>(user);
    p->cam->on_vanished(p, client);
}

// Lets go of a URB and what it holds of the host.
void free_urb(Urb *u)
{
    if (u->buf)
        g_object_unref(u->buf);
    if (u->arg)
        g_object_unref(u->arg);
    if (u->client)
        g_object_unref(u->client);
    delete u;
}

} // namespace

// The test bed lives until the process ends; its folder is removed then.
static void release_testbed()
{
    std::lock_guard<std::mutex> lk(g_bus_mu);
    if (g_testbed)
        g_object_unref(g_testbed);
    g_testbed = nullptr;
    g_testbed_gone = true;
}

UMockdevTestbed *testbed()
{
    std::lock_guard<std::mutex> lk(g_bus_mu);
    if (!g_testbed && !g_testbed_gone) {
        g_testbed = umockdev_testbed_new();
        atexit(release_testbed);
    }
    return g_testbed;
}

std::string testbed_root()
{
    std::lock_guard<std::mutex> lk(g_bus_mu);
    if (!g_testbed)
        return {};
    gchar *r = umockdev_testbed_get_root_dir(g_testbed);
    std::string s = r ? r : "";
    g_free(r);
    return s;
}

// Descriptors as the sysfs "descriptors" file holds them: the device
// descriptor followed by the configuration with its interface and endpoints.
static std::vector<uint8_t> descriptors(const CameraConfig &c)
{
    uint16_t mps = c.full_speed ? 64 : 512;
    std::vector<uint8_t> d = {
        18,
        1,
        0x00,
        0x02,
        0x00,
        0x00,
        0x00,
        64,
        static_cast<uint8_t>(c.vid & 0xFF),
        static_cast<uint8_t>(c.vid >> 8),
        static_cast<uint8_t>(c.pid & 0xFF),
        static_cast<uint8_t>(c.pid >> 8),
        0x00,
        0x01,
        1,
        2,
        3,
        1,
        // configuration 1: one interface, two bulk endpoints
        9,
        2,
        32,
        0,
        1,
        1,
        0,
        0x80,
        250,
        9,
        4,
        0,
        0,
        2,
        0xFF,
        0x00,
        0x00,
        0,
        7,
        5,
        0x81,
        0x02,
        static_cast<uint8_t>(mps & 0xFF),
        static_cast<uint8_t>(mps >> 8),
        0,
        7,
        5,
        0x01,
        0x02,
        static_cast<uint8_t>(mps & 0xFF),
        static_cast<uint8_t>(mps >> 8),
        0,
    };
    return d;
}

std::vector<uint8_t> device_descriptors(const CameraConfig &c)
{
    return descriptors(c);
}

void Camera::Impl::plug_in()
{
    UMockdevTestbed *tb = testbed();
    if (!tb)
        return;
    int addr;
    {
        std::lock_guard<std::mutex> lk(g_bus_mu);
        int &next = next_addr()[cfg.bus];
        if (next < 2)
            next = 2;
        addr = next;
        next = next >= 127 ? 2 : next + 1;
    }
    auto p = std::make_unique<Plug>();
    p->cam = this;
    p->address = addr;
    char node[64], sys[128];
    snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", cfg.bus, addr);
    snprintf(sys, sizeof sys, "/sys/devices/vcam/usb%d/%d-%d", cfg.bus, cfg.bus, cfg.port);
    p->devnode = node;
    p->syspath = sys;

    char rec[2048];
    snprintf(rec, sizeof rec,
             "P: /devices/vcam/usb%d/%d-%d\n"
             "N: bus/usb/%03d/%03d\n"
             "E: DEVNAME=/dev/bus/usb/%03d/%03d\n"
             "E: DEVTYPE=usb_device\n"
             "E: DRIVER=usb\n"
             "E: PRODUCT=%x/%x/100\n"
             "E: BUSNUM=%03d\n"
             "E: DEVNUM=%03d\n"
             "E: MAJOR=189\n"
             "E: MINOR=%d\n"
             "E: SUBSYSTEM=usb\n"
             "A: busnum=%d\\n\n"
             "A: devnum=%d\\n\n"
             "A: speed=%s\\n\n"
             "A: bConfigurationValue=1\\n\n"
             "A: bNumConfigurations=1\\n\n"
             "A: idVendor=%04x\\n\n"
             "A: idProduct=%04x\\n\n"
             "A: dev=189:%d\\n\n"
             "A: devpath=%d\\n\n"
             "H: descriptors=%s\n",
             cfg.bus, cfg.bus, cfg.port, cfg.bus, addr, cfg.bus, addr, cfg.vid, cfg.pid, cfg.bus,
             addr, (cfg.bus - 1) * 128 + addr - 1, cfg.bus, addr, cfg.full_speed ? "12" : "480",
             cfg.vid, cfg.pid, (cfg.bus - 1) * 128 + addr - 1, cfg.port,
             hex(descriptors(cfg)).c_str());
    // The ioctl handler is in place before the camera shows on the bus: an
    // open that finds the node while it is being added (a library reopening
    // after a reset polls for it) must not meet a node without its handler,
    // which umockdev cannot serve.
    p->handler = umockdev_ioctl_base_new();
    p->sig_ioctl = g_signal_connect(p->handler, "handle-ioctl", G_CALLBACK(ioctl_cb), p.get());
    p->sig_vanished =
        g_signal_connect(p->handler, "client-vanished", G_CALLBACK(vanished_cb), p.get());
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, p->devnode.c_str(), p->handler, &err)) {
        fprintf(stderr, "vcam: cannot attach ioctl handler: %s\n", err ? err->message : "?");
        g_clear_error(&err);
    }
    if (!umockdev_testbed_add_from_string(tb, rec, &err)) {
        fprintf(stderr, "vcam: cannot add device: %s\n", err ? err->message : "?");
        g_clear_error(&err);
        std::lock_guard<std::mutex> lk(mu);
        plugs.push_back(std::move(p)); // detached with the others at the end
        return;
    }
    // The node is a FIFO whose readiness follows "a URB is ready to reap": libusb
    // polls it for writing, so a full FIFO keeps its event thread asleep.
    std::string root = testbed_root();
    p->fifo_path = root + p->devnode;
    unlink(p->fifo_path.c_str());
    if (mkfifo(p->fifo_path.c_str(), 0666) != 0) {
        fprintf(stderr, "vcam: mkfifo %s: %s\n", p->fifo_path.c_str(), strerror(errno));
    }
    const int fifo = open(p->fifo_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo >= 0)
        fcntl(fifo, F_SETPIPE_SZ, 4096);
    {
        std::lock_guard<std::mutex> lk(mu);
        p->fifo = fifo;
        update_ready(p.get());
    }
    umockdev_testbed_uevent(tb, p->syspath.c_str(), "add");
    std::lock_guard<std::mutex> lk(mu);
    cur = p.get();
    plugs.push_back(std::move(p));
}

void Camera::Impl::pull_out()
{
    Plug *p;
    {
        std::lock_guard<std::mutex> lk(mu);
        p = cur;
        if (!p)
            return;
        cur = nullptr;
        p->alive = false;
        streaming = false;
        ++stream_gen;
        cur_valid = false;
        pending_packets.clear();
        in_halted = out_halted = false;
        // The kernel gives back every URB of a vanished device with -ESHUTDOWN.
        fail_all_urbs(-ESHUTDOWN);
        cv.notify_all();
    }
    UMockdevTestbed *tb = testbed();
    if (!tb)
        return;
    umockdev_testbed_uevent(tb, p->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(tb, p->syspath.c_str());
    unlink(p->fifo_path.c_str());
}

void Camera::Impl::fail_all_urbs(int status)
{
    while (!in_q.empty()) {
        Urb *u = in_q.front();
        in_q.pop_front();
        finish(u, status);
    }
    for (Urb *u : hung)
        finish(u, status);
    hung.clear();
}

void Camera::Impl::destroy_plugs()
{
    UMockdevTestbed *tb = testbed();
    for (auto &p : plugs) {
        if (p->handler && tb) {
            GError *err = nullptr;
            umockdev_testbed_detach_ioctl(tb, p->devnode.c_str(), &err);
            if (err)
                g_error_free(err);
            g_signal_handler_disconnect(p->handler, p->sig_ioctl);
            g_signal_handler_disconnect(p->handler, p->sig_vanished);
            g_object_unref(p->handler);
            p->handler = nullptr;
        }
        if (p->fifo >= 0)
            close(p->fifo);
        p->fifo = -1;
    }
    std::lock_guard<std::mutex> lk(mu);
    for (Urb *u : in_q)
        free_urb(u);
    in_q.clear();
    for (Urb *u : hung)
        free_urb(u);
    hung.clear();
    for (auto &c : conns) {
        for (Urb *u : c.second->done)
            free_urb(u);
        g_object_unref(c.second->client);
    }
    conns.clear();
}

Conn *Camera::Impl::conn_of(Plug *p, UMockdevIoctlClient *c)
{
    auto it = conns.find(c);
    if (it != conns.end())
        return it->second.get();
    auto n = std::make_unique<Conn>();
    n->client = static_cast<UMockdevIoctlClient *>(g_object_ref(c));
    n->plug = p;
    Conn *r = n.get();
    conns[c] = std::move(n);
    return r;
}

void Camera::Impl::finish(Urb *u, int status)
{
    u->status = status;
    auto it = conns.find(u->client);
    if (it == conns.end()) {
        free_urb(u); // the file descriptor is gone: nobody can reap it
        return;
    }
    it->second->done.push_back(u);
    update_ready(it->second->plug);
}

void Camera::Impl::update_ready(Plug *p)
{
    if (!p || p->fifo < 0)
        return;
    bool ready = false;
    for (auto &c : conns)
        if (c.second->plug == p && !c.second->done.empty()) {
            ready = true;
            break;
        }
    if (ready && p->fifo_full) {
        char b[4096];
        while (read(p->fifo, b, sizeof b) > 0) {
        }
        p->fifo_full = false;
    } else if (!ready && !p->fifo_full) {
        static const char z[4096] = {};
        while (write(p->fifo, z, sizeof z) > 0) {
        }
        p->fifo_full = true;
    }
}

void Camera::Impl::on_vanished(Plug *, UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> lk(mu);
    auto it = conns.find(client);
    if (it == conns.end())
        return;
    // URBs still queued at the camera for this descriptor are dropped too.
    for (auto q = in_q.begin(); q != in_q.end();) {
        if ((*q)->client == client) {
            free_urb(*q);
            q = in_q.erase(q);
        } else {
            ++q;
        }
    }
    for (auto q = hung.begin(); q != hung.end();) {
        if ((*q)->client == client) {
            free_urb(*q);
            q = hung.erase(q);
        } else {
            ++q;
        }
    }
    for (Urb *u : it->second->done)
        free_urb(u);
    Plug *p = it->second->plug;
    g_object_unref(it->second->client);
    conns.erase(it);
    update_ready(p);
    cv.notify_all();
}

namespace {

// Fetches size bytes at offset of what d points to in the host process.
UMockdevIoctlData *resolve(UMockdevIoctlData *d, gsize offset, gsize size)
{
    GError *err = nullptr;
    UMockdevIoctlData *r = umockdev_ioctl_data_resolve(d, offset, size, &err);
    if (err)
        g_error_free(err);
    return r;
}

// One ioctl call on a node: the request, the client to answer, and the
// argument holding the ioctl's pointer; what it points to (of the size the
// request code gives) is fetched from the host process on demand.
struct IoctlCall {
    Plug *p;
    UMockdevIoctlClient *client;
    unsigned long req;
    UMockdevIoctlData *arg;
    unsigned long argval;
    uint32_t u32 = 0; // the small argument of the requests that take one

    IoctlCall(Plug *plug, UMockdevIoctlClient *c)
        : p(plug), client(c), req(umockdev_ioctl_client_get_request(c)),
          arg(umockdev_ioctl_client_get_arg(c)),
          argval(arg && arg->data_len >= 8 ? *reinterpret_cast<unsigned long *>(arg->data) : 0)
    {
    }
    UMockdevIoctlData *fetch(size_t size) const
    {
        return arg && argval && size ? resolve(arg, 0, size) : nullptr;
    }
    uint32_t fetch_u32(uint32_t def) const
    {
        UMockdevIoctlData *d = fetch(4);
        uint32_t v = def;
        if (d) {
            memcpy(&v, d->data, 4);
            g_object_unref(d);
        }
        return v;
    }
    gboolean complete(long rc, int e) const
    {
        umockdev_ioctl_client_complete(client, rc, e);
        return TRUE;
    }
    // The host is answered outside the camera's lock.
    gboolean complete(std::unique_lock<std::mutex> &lk, long rc, int e) const
    {
        lk.unlock();
        return complete(rc, e);
    }
};

using Lock = std::unique_lock<std::mutex>;

bool takes_u32(unsigned long req)
{
    return req == USBDEVFS_SETCONFIGURATION || req == USBDEVFS_CLAIMINTERFACE ||
           req == USBDEVFS_RELEASEINTERFACE || req == USBDEVFS_DISCONNECT_CLAIM ||
           req == USBDEVFS_CLEAR_HALT || req == USBDEVFS_RESETEP;
}

// Writes a completed URB back into the host's memory.
void write_back(Urb *u)
{
    if (u->buf && !u->staging.empty()) {
        size_t n = std::min(u->staging.size(), static_cast<size_t>(u->length) - u->data_offset);
        umockdev_ioctl_data_update(u->buf, u->data_offset, u->staging.data(), static_cast<gint>(n));
    }
    int32_t st = u->status, act = u->actual;
    umockdev_ioctl_data_update(u->arg, offsetof(struct usbdevfs_urb, status),
                               reinterpret_cast<guint8 *>(&st), 4);
    umockdev_ioctl_data_update(u->arg, offsetof(struct usbdevfs_urb, actual_length),
                               reinterpret_cast<guint8 *>(&act), 4);
}

gboolean reap_urb(Camera::Impl &cam, const IoctlCall &c, Conn &conn, Lock &lk)
{
    if (conn.done.empty()) {
        cam.update_ready(c.p);
        return c.complete(lk, -1, c.p->alive ? EAGAIN : ENODEV);
    }
    Urb *u = conn.done.front();
    conn.done.pop_front();
    cam.update_ready(c.p);
    if (conn.done.empty())
        cam.cv.notify_all();
    lk.unlock();
    write_back(u);
    UMockdevIoctlData *slot = c.fetch(sizeof(void *));
    if (slot) {
        umockdev_ioctl_data_set_ptr(slot, 0, u->arg);
        c.complete(0, 0);
        g_object_unref(slot);
    } else {
        c.complete(-1, EFAULT);
    }
    free_urb(u);
    return TRUE;
}

template <class Q> typename Q::iterator find_urb(Q &q, const IoctlCall &c)
{
    return std::find_if(q.begin(), q.end(),
                        [&](const Urb *u) { return u->client == c.client && u->addr == c.argval; });
}

gboolean discard_urb(Camera::Impl &cam, const IoctlCall &c, Lock &lk)
{
    Urb *found = nullptr;
    if (auto q = find_urb(cam.in_q, c); q != cam.in_q.end()) {
        found = *q;
        cam.in_q.erase(q);
    } else if (auto h = find_urb(cam.hung, c); h != cam.hung.end()) {
        // With f_hold_discarded the discard is taken, but the URB stays with the
        // camera: its completion comes only with release_hung() or the node's close.
        if (cam.f_hold_discarded)
            return c.complete(lk, 0, 0);
        found = *h;
        cam.hung.erase(h);
    }
    if (!found)
        return c.complete(lk, -1, EINVAL);
    // A URB the camera had started filling keeps the bytes it got.
    cam.finish(found, -ENOENT);
    cam.cv.notify_all();
    return c.complete(lk, 0, 0);
}

gboolean get_capabilities(const IoctlCall &c, Lock &lk)
{
    // One URB per transfer, whatever its length (libusb splits otherwise).
    uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                    USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    lk.unlock();
    UMockdevIoctlData *d = c.fetch(4);
    if (!d)
        return c.complete(-1, EFAULT);
    umockdev_ioctl_data_update(d, 0, reinterpret_cast<guint8 *>(&caps), 4);
    c.complete(0, 0);
    g_object_unref(d);
    return TRUE;
}

gboolean set_configuration(Camera::Impl &cam, const IoctlCall &c, Lock &lk)
{
    const int v = static_cast<int>(c.u32);
    if (v != 1 && v != 0 && v != -1)
        return c.complete(lk, -1, EINVAL);
    cam.configuration = v == 1 ? 1 : 0;
    return c.complete(lk, 0, 0);
}

// Only interface 0 exists; the kernel answers ENOENT, or EINVAL for the
// disconnect-and-claim form.
gboolean claim_interface(const IoctlCall &c, Lock &lk)
{
    lk.unlock();
    if (c.u32 == 0)
        return c.complete(0, 0);
    return c.complete(-1, c.req == USBDEVFS_DISCONNECT_CLAIM ? EINVAL : ENOENT);
}

gboolean set_interface_or_reset(Camera::Impl &cam, const IoctlCall &c, Lock &lk)
{
    if (c.req == USBDEVFS_RESET)
        cam.in_halted = cam.out_halted = false;
    return c.complete(lk, 0, 0);
}

gboolean clear_halt(Camera::Impl &cam, const IoctlCall &c, Lock &lk)
{
    const unsigned ep = c.u32;
    int rc = 0, e = 0;
    if (ep == 0x81) {
        cam.in_halted = false;
    } else if (ep == 0x01) {
        cam.out_halted = false;
    } else if (ep != 0 && ep != 0x80) {
        rc = -1, e = ENOENT;
    }
    if (c.req == USBDEVFS_CLEAR_HALT && rc == 0)
        ++cam.clear_halts;
    cam.cv.notify_all();
    return c.complete(lk, rc, e);
}

// The synchronous control transfer: setup from the host's record, the data
// stage read or written in the host's buffer.
gboolean control_transfer(Camera::Impl &cam, const IoctlCall &c, Lock &lk)
{
    lk.unlock();
    UMockdevIoctlData *cd = c.fetch(sizeof(struct usbdevfs_ctrltransfer));
    if (!cd)
        return c.complete(-1, EFAULT);
    struct usbdevfs_ctrltransfer ct;
    memcpy(&ct, cd->data, sizeof ct);
    const uint8_t setup[8] = {ct.bRequestType,
                              ct.bRequest,
                              static_cast<uint8_t>(ct.wValue & 0xFF),
                              static_cast<uint8_t>(ct.wValue >> 8),
                              static_cast<uint8_t>(ct.wIndex & 0xFF),
                              static_cast<uint8_t>(ct.wIndex >> 8),
                              static_cast<uint8_t>(ct.wLength & 0xFF),
                              static_cast<uint8_t>(ct.wLength >> 8)};
    UMockdevIoctlData *d =
        ct.wLength ? resolve(cd, offsetof(struct usbdevfs_ctrltransfer, data), ct.wLength)
                   : nullptr;
    std::vector<uint8_t> in;
    lk.lock();
    int r = cam.control(setup, d ? d->data : nullptr, in);
    lk.unlock();
    if (r == 1)
        r = -ETIMEDOUT; // a hanging request times out in the synchronous form
    long res = ct.wLength;
    if (r >= 0 && (ct.bRequestType & 0x80)) {
        res = static_cast<long>(std::min<size_t>(in.size(), ct.wLength));
        if (d && res)
            umockdev_ioctl_data_update(d, 0, in.data(), static_cast<gint>(res));
    }
    if (r >= 0)
        c.complete(res, 0); // answered before the data is let go, as it was written
    if (d)
        g_object_unref(d);
    g_object_unref(cd);
    if (r < 0)
        c.complete(-1, -r);
    return TRUE;
}

gboolean reject_urb(const IoctlCall &c, Urb *u, int e)
{
    free_urb(u);
    return c.complete(-1, e);
}

// A control URB on endpoint 0 is answered at once, or left hanging.
gboolean submit_control(Camera::Impl &cam, const IoctlCall &c, Urb *u, Lock &lk)
{
    // As the kernel: the buffer must hold the setup packet and the data stage.
    if (u->length < 8 || !u->buf || u->length < 8 + (u->buf->data[6] | (u->buf->data[7] << 8))) {
        lk.unlock();
        return reject_urb(c, u, EINVAL);
    }
    const uint8_t *setup = u->buf->data;
    std::vector<uint8_t> in;
    const int r = cam.control(setup, u->buf->data + 8, in);
    if (r == 1) { // left hanging: the host has to cancel it
        cam.hung.push_back(u);
        return c.complete(lk, 0, 0);
    }
    u->data_offset = 8;
    if (r == 0) {
        const uint16_t wlen = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
        if (setup[0] & 0x80) {
            u->staging = std::move(in);
            if (u->staging.size() > wlen)
                u->staging.resize(wlen);
            u->actual = static_cast<int>(u->staging.size());
        } else {
            u->actual = wlen;
        }
    }
    cam.finish(u, r);
    return c.complete(lk, 0, 0);
}

// Bulk-out URBs complete at once: the camera takes their bytes, or the halted
// endpoint stalls them.
gboolean submit_bulk_out(Camera::Impl &cam, const IoctlCall &c, Urb *u, Lock &lk)
{
    if (cam.out_halted || !cam.bulk_out_data(u->buf ? u->buf->data : nullptr,
                                             u->buf ? static_cast<size_t>(u->length) : 0)) {
        cam.finish(u, -EPIPE);
    } else {
        u->actual = u->length;
        cam.finish(u, 0);
    }
    return c.complete(lk, 0, 0);
}

// Takes the host's URB record and buffer, then queues the URB where its
// endpoint goes: bulk-in URBs wait for the stream.
gboolean submit_urb(Camera::Impl &cam, const IoctlCall &c, Lock &lk)
{
    lk.unlock();
    UMockdevIoctlData *ud = c.fetch(sizeof(struct usbdevfs_urb));
    if (!ud)
        return c.complete(-1, EFAULT);
    struct usbdevfs_urb urb;
    memcpy(&urb, ud->data, sizeof urb);
    auto *u = new Urb();
    u->client = static_cast<UMockdevIoctlClient *>(g_object_ref(c.client));
    u->arg = ud;
    u->addr = c.argval;
    u->type = urb.type;
    u->ep = urb.endpoint;
    u->length = urb.buffer_length;
    if (urb.buffer_length > 0 && urb.buffer)
        u->buf = resolve(ud, offsetof(struct usbdevfs_urb, buffer),
                         static_cast<gsize>(urb.buffer_length));
    if (urb.buffer_length < 0)
        return reject_urb(c, u, EINVAL);
    if (urb.buffer_length > 0 && !u->buf)
        return reject_urb(c, u, EFAULT);
    lk.lock();
    if (!c.p->alive) {
        lk.unlock();
        return reject_urb(c, u, ENODEV);
    }
    if (u->type == USBDEVFS_URB_TYPE_CONTROL && (u->ep & 0x7F) == 0)
        return submit_control(cam, c, u, lk);
    if (u->type == USBDEVFS_URB_TYPE_BULK && u->ep == 0x81) {
        cam.in_q.push_back(u);
        cam.cv.notify_all();
        return c.complete(lk, 0, 0);
    }
    if (u->type == USBDEVFS_URB_TYPE_BULK && u->ep == 0x01)
        return submit_bulk_out(cam, c, u, lk);
    lk.unlock();
    return reject_urb(c, u, ENOENT);
}

} // namespace

// Each request has its handler; every handler answers the host with the lock
// released.
gboolean Camera::Impl::on_ioctl(Plug *p, UMockdevIoctlClient *client)
{
    ioctl_calls.fetch_add(1, std::memory_order_relaxed);
    IoctlCall c(p, client);
    // Small arguments are fetched before the lock is taken.
    if (takes_u32(c.req))
        c.u32 = c.fetch_u32(0xFFFFFFFFu);
    Lock lk(mu);
    Conn *conn = conn_of(p, client);
    // Reaping and discarding work on an unplugged camera too.
    if (c.req == USBDEVFS_REAPURBNDELAY || c.req == USBDEVFS_REAPURB)
        return reap_urb(*this, c, *conn, lk);
    if (c.req == USBDEVFS_DISCARDURB)
        return discard_urb(*this, c, lk);
    if (!p->alive)
        return c.complete(lk, -1, ENODEV);
    switch (c.req) {
    case USBDEVFS_GET_CAPABILITIES:
        return get_capabilities(c, lk);
    case USBDEVFS_GET_SPEED:
        return c.complete(lk, cfg.full_speed ? 2 : 3, 0);
    case USBDEVFS_SETCONFIGURATION:
        return set_configuration(*this, c, lk);
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
        return claim_interface(c, lk);
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        return c.complete(lk, -1, ENODATA);
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET:
        return set_interface_or_reset(*this, c, lk);
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        return clear_halt(*this, c, lk);
    case USBDEVFS_CONTROL:
        return control_transfer(*this, c, lk);
    case USBDEVFS_SUBMITURB:
        return submit_urb(*this, c, lk);
    default:
        return c.complete(lk, -1, ENOTTY);
    }
}

} // namespace vcam
