// Which checker the simulator is built with, for the few loops that read
// large buffers and choose how they are checked: BOXSIM_TSAN under the race
// detector, BOXSIM_ASAN under the address checker.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define BOXSIM_TSAN 1
#elif defined(__SANITIZE_ADDRESS__)
#define BOXSIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BOXSIM_TSAN 1
#elif __has_feature(address_sanitizer)
#define BOXSIM_ASAN 1
#endif
#endif

// A loop over pixels of pictures that only the calling thread holds (a
// picture just made, read from a file or being written to one) need not
// have each access checked by the race detector: it cost more than
// everything else in a script's run under it. Pictures that threads share
// are copied out with memcpy, which the detector still checks.
#ifdef BOXSIM_TSAN
#define BOXSIM_PRIVATE_PIXELS __attribute__((no_sanitize("thread")))
#else
#define BOXSIM_PRIVATE_PIXELS
#endif
