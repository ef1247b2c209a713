// Value files and the model file of random content through every reader and
// model detection; the readers' outputs are checked against their results.
#include "fuzz_box.h"

#include "app/model.h"
#include "app/status.h"
#include "app/values.h"

#include <cstring>
#include <string>

namespace {

constexpr const char *kValue = "/proc/stb/fp/fuzz_value";
constexpr const char *kModel = "/proc/stb/info/cvmodel";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzbox::box();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzbox::next_input();
    boxsim::Box &box = fuzzbox::box();
    std::string content(reinterpret_cast<const char *>(data), size);
    box.add_file(kValue, content);

    int i = 1;
    int r = parseIntHex(&i, kValue);
    FUZZ_CHECK(r == 0 || (r == -2 && i == 0));
    r = parseInt(&i, kValue);
    FUZZ_CHECK(r == 0 || (r == -2 && i == 0));
    float f = 1.0f;
    r = parseFloat(&f, kValue);
    FUZZ_CHECK(r == 0 || (r == -2 && f == 0.0f));

    // Word buffers from one byte (room for the terminator only) upwards; a
    // canary after each shows a write past its end.
    for (size_t cap : {size_t{1}, size_t{2}, size_t{16}, size_t{256}}) {
        std::string buf(cap + 8, '\x5a');
        r = parseString(buf.data(), cap, kValue);
        FUZZ_CHECK(r == 0 || r == -2);
        FUZZ_CHECK(memchr(buf.data(), '\0', cap) != nullptr);
        FUZZ_CHECK(buf.compare(cap, 8, std::string(8, '\x5a')) == 0);
        if (r == -2)
            FUZZ_CHECK(buf[0] == '\0');
    }

    // Whatever was read is written back and read again the same.
    parseInt(&i, kValue);
    FUZZ_CHECK(writeInt(kValue, i) > 0);
    int again = 0;
    FUZZ_CHECK(parseInt(&again, kValue) == 0 && again == i);
    FUZZ_CHECK(writeIntHex(kValue, i) > 0);
    FUZZ_CHECK(parseIntHex(&again, kValue) == 0 && again == i);

    box.add_file(kModel, content);
    g_status.model_kind = 0;
    r = read_proc_stb_info();
    int kind = g_status.model_kind;
    FUZZ_CHECK(r == 0 ? (kind >= 2 && kind <= 8) : (r == -1 && kind == 0));
    return 0;
}
