// A file of the kind the facade check must refuse: it closes a descriptor
// through the C library instead of os::close.
#include <unistd.h>

int stray_close(int fd) { return ::close(fd); }
