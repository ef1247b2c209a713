// The shared status record: everything the monitors observe and the front
// ends show. It has no lock: each number is one whole 32-bit word with its own
// writers and readers, so every number field is a lock-free atomic word. Text
// and byte fields may be read while rewritten; readers then see a mixture for
// one pass, which the screens accept (copied with relaxed byte accesses where
// it matters, see status_copy_text).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

typedef struct BKNI_EventObj *BKNI_EventHandle;

typedef int32_t ModelKind;
using status_int = std::atomic<int32_t>;
static_assert(status_int::is_always_lock_free, "status words must be lock-free");

struct StatusRecord {
    status_int eth_link;
    status_int eth_speed;
    status_int dhcp_done;
    status_int usb[4];
    status_int sata[2];
    status_int hdmi;
    status_int mac_request;
    char mac_text[256];
    char operstate_text[256];
    char speed_text[256];
    unsigned char mac_entry[8];
    unsigned char mac_confirm[8];
    unsigned char ip[4];
    status_int sci_present[2];
    status_int sci_card[2];
    status_int sci_atr[2];
    status_int ci_present[2];
    status_int ci_module[2];
    status_int buttons_seen;
    status_int sat_channel_select;
    status_int volume;
    status_int mute;
    status_int quit;
    status_int tsfile_playing;
    status_int model_kind;
    char channel_text[132];
    BKNI_EventHandle gui_event;
    BKNI_EventHandle tuner_event;
};

extern StatusRecord g_status;

// Sets every byte of the record to zero (start-up step 1).
void status_clear();

// Copies a text field that another task may be rewriting, byte by byte with
// relaxed atomic loads, always NUL-terminated within `size`.
void status_copy_text(char *dst, size_t size, const char *src, size_t src_size);
// Stores a text field byte by byte with relaxed atomic stores, cut to fit.
void status_store_text(char *dst, size_t dst_size, const char *src);
// Relaxed byte access to the byte fields (ip, mac_entry, mac_confirm).
unsigned char status_load_byte(const unsigned char *p);
void status_store_byte(unsigned char *p, unsigned char v);
