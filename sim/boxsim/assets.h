// The web front panel's files (sim/boxsim/web/: the page, its style sheet
// and its script), embedded into the boxsim binary when it is built and
// served byte for byte as they stand in that folder.
#pragma once

#include <cstddef>
#include <string_view>

namespace boxsim::tool {

struct WebAsset {
    const char *path;          // where it is served: "/" for index.html, else "/NAME"
    const char *name;          // the file's name in the web folder
    const char *content_type;
    const unsigned char *data;
    size_t size;
    std::string_view bytes() const { return {reinterpret_cast<const char *>(data), size}; }
};

extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

} // namespace boxsim::tool
