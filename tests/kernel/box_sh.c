/*
 * The guest's /bin/sh while the box's DHCP client is stood in for.
 *
 * Debian's busybox shell runs its own applets before anything on PATH, so a
 * command line "udhcpc" always starts busybox's client. The box's shell
 * starts the box's client, which here is the stand-in /lane/udhcpc-box.sh:
 * this runs it for a command line that names the client, and hands every
 * other command line to busybox's shell unchanged.
 */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "-c") == 0) {
        const char *cmd = argv[2];
        size_t n = strlen("udhcpc");
        if (strncmp(cmd, "udhcpc", n) == 0 && (cmd[n] == '\0' || cmd[n] == ' ')) {
            char *const args[] = {(char *)"udhcpc", NULL};
            execv("/lane/udhcpc-box.sh", args);
            perror("box_sh: exec");
            return 127;
        }
    }
    argv[0] = (char *)"sh";
    execv("/bin/busybox", argv);
    perror("box_sh: exec");
    return 127;
}
