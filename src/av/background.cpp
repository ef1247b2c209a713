#include "av/background.h"

#include "kni/bkni.h"
#include "platform/os.h"

#include <unistd.h>

namespace {

struct Still {
    const char *path;
    const char *command;
};

// In order of preference: the box's own pictures before the shipped ones.
constexpr Still kStills[] = {
    {"/etc/enigma2/bootlogo.mvi", "/usr/bin/showiframe /etc/enigma2/bootlogo.mvi"},
    {"/etc/enigma2/backdrop.mvi", "/usr/bin/showiframe /etc/enigma2/backdrop.mvi"},
    {"/usr/share/bootlogo.mvi", "/usr/bin/showiframe /usr/share/bootlogo.mvi"},
    {"/usr/share/backdrop.mvi", "/usr/bin/showiframe /usr/share/backdrop.mvi"},
};

} // namespace

int loadBackgroundImage()
{
    for (const Still &s : kStills) {
        if (os::access(s.path, R_OK) != 0)
            continue;
        int status = os::system(s.command);
        BKNI_Sleep(500);
        return status == 0 ? 1 : 0;
    }
    return 0;
}
