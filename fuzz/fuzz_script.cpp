// Scenario scripts and action lines of random bytes through boxsim's parser:
// the whole text as a script file (expectations included), and each line as
// the body of an HTTP action request. Parsing only: nothing is run.
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
    fuzzbox::next_input();
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::string err;
    auto script = boxsim::parse_script(text, "fuzz.txt", err);
    if (script) {
        int64_t last = 0;
        for (const auto &step : script->steps) {
            FUZZ_CHECK(step.at_ms >= last);
            if (step.expect >= 0) {
                FUZZ_CHECK(static_cast<size_t>(step.expect) < script->expectations.size());
                const auto &e = script->expectations[static_cast<size_t>(step.expect)];
                FUZZ_CHECK(e.line == step.line && e.at_ms == step.at_ms && !e.name.empty());
                FUZZ_CHECK(e.kind != boxsim::Expectation::Kind::Picture || e.golden.ends_with(".png"));
            } else {
                FUZZ_CHECK(step.action.run != nullptr);
            }
            last = step.at_ms;
        }
        script->snapshots();
        // A state a value may be looked up in, by whatever path was given.
        static const boxsim::json state = boxsim::json::parse(
            R"({"status":{"ip":"10.0.0.2","volume":5},"devices":{"tuners":[{"locked":true}],"leds":[1,0]}})");
        for (const auto &e : script->expectations)
            if (e.kind == boxsim::Expectation::Kind::State)
                if (auto v = boxsim::state_value(state, e.path))
                    boxsim::state_holds(e, *v);
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
