// The video plane: what the video decoders decode (a test picture naming the
// service, with a running clock), the still picture while /usr/bin/showiframe
// shows one, and video decoder 1 as a picture in a corner.
#pragma once

#include "core/image.h"

#include <optional>

namespace boxsim {

class Box;

constexpr int kVideoWidth = 1280;
constexpr int kVideoHeight = 720;

// The plane as the video output shows it, kVideoWidth x kVideoHeight, or
// nullopt while it shows nothing (the framebuffer alone is then the picture).
std::optional<Image> video_plane_picture(Box &box);
// A stamp of what the plane shows: 0 while it shows nothing, and the same
// number while it shows the same picture (the decoders' services, stream
// types and clocks by the second, the still picture).
std::optional<uint64_t> video_plane_stamp(Box &box);

} // namespace boxsim
