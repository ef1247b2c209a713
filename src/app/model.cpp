#include "app/model.h"

#include "app/values.h"

#include <cstdio>
#include <cstring>

namespace {

struct ModelRow {
    const char *name;
    ModelKind kind;
};

// Tested in this order: "tetraplus" also contains "tetra" and must win.
constexpr ModelRow kModelTable[] = {
    {"rcplus", 3}, {"scplus", 3}, {"tetraplus", 4}, {"tetra", 2}, {"netbox", 5},
    {"maxrc", 6},  {"maxsc", 6},  {"z1", 7},        {"z3", 8},
};

} // namespace

ModelKind model_kind_of(const char *word)
{
    for (const auto &row : kModelTable)
        if (strstr(word, row.name) != nullptr)
            return row.kind;
    return 0;
}

int read_proc_stb_info()
{
    char word[kModelWordSize];
    parseString(word, sizeof word, "/proc/stb/info/cvmodel");
    ModelKind kind = model_kind_of(word);
    if (kind == 0) {
        printf("unknown model..");
        return -1;
    }
    g_status.model_kind = kind;
    return 0;
}
