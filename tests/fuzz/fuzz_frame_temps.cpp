// libFuzzer target of the temperature companion file of raw recordings
// ("<recording>.temps"), which the replay device reads. Input: the file.
//
// An accepted file starts with its head line and gives every frame up to the
// last one it names; what it says must survive being written out in the
// canonical form and read again.
#include "files/frame_temps.h"
#include "fuzz_util.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::quiet();
    static fuzz::mem_file mf("fuzz_temps");
    mf.set(data, size);
    std::vector<pylox::frame_temps> t(3);
    const pylox::temps_status s = pylox::load_temps(mf.path(), "fuzz", t);
    if (s != pylox::temps_status::ok) {
        FUZZ_CHECK(s == pylox::temps_status::bad);
        FUZZ_CHECK(t.empty());
        return 0;
    }
    const std::string head = "TQ_TEMPS,CB,IB";
    FUZZ_CHECK(size >= head.size() && std::string(data, data + head.size()) == head);
    FUZZ_CHECK(size == head.size() || data[head.size()] == '\n');
    FUZZ_CHECK(!std::memchr(data, 0, size)); // no line hides a rest behind a NUL
    FUZZ_CHECK(t.size() <= 10000000);        // the highest frame number a file may name

    // The round trip for files of a sensible length (a line such as
    // "9999999,1,1" names ten million frames).
    if (t.size() > 100000)
        return 0;
    std::string text = head + "\n";
    for (size_t k = 0; k < t.size(); ++k)
        text += std::to_string(k) + "," + std::to_string(t[k].cb) + "," + std::to_string(t[k].ib) +
                "\n";
    static fuzz::mem_file again("fuzz_temps_again");
    again.set(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    std::vector<pylox::frame_temps> back;
    FUZZ_CHECK(pylox::load_temps(again.path(), "fuzz", back) == pylox::temps_status::ok);
    FUZZ_CHECK(back.size() == t.size());
    for (size_t k = 0; k < t.size(); ++k)
        FUZZ_CHECK(back[k].cb == t[k].cb && back[k].ib == t[k].ib);
    return 0;
}
