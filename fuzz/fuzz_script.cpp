// Scenario scripts and action lines of random bytes through boxsim's parser:
// the whole text as a script file, and each line as the body of an HTTP
// action request. Parsing only: nothing is run.
#include "fuzz_box.h"

#include "boxsim/script.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzbox::box();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::string err;
    auto script = boxsim::parse_script(text, "fuzz.txt", err);
    if (script) {
        int64_t last = 0;
        for (const auto &step : script->steps) {
            FUZZ_CHECK(step.at_ms >= last);
            FUZZ_CHECK(step.action.run != nullptr);
            last = step.at_ms;
        }
        script->snapshots();
    } else {
        FUZZ_CHECK(err.rfind("fuzz.txt:", 0) == 0);
    }

    // The body of a request is taken as one line, line ends and all.
    err.clear();
    auto action = boxsim::parse_action(text, err);
    FUZZ_CHECK(action ? action->run != nullptr : !err.empty());
    size_t start = 0;
    while (start <= size) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = size;
        std::string_view line = text.substr(start, end - start);
        err.clear();
        if (auto a = boxsim::parse_action(line, err))
            FUZZ_CHECK(a->run != nullptr);
        boxsim::parse_time_ms(line);
        start = end + 1;
    }
    return 0;
}
