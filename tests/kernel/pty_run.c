/*
 * pty_run PIDFILE PROGRAM [ARGS...]
 *
 * Runs PROGRAM with its standard output on a pseudo-terminal, as the box's
 * console is a terminal (so its C library writes each line at once), copies
 * what it prints to this program's standard output, and writes PROGRAM's
 * process id to PIDFILE. Standard input is /dev/null; standard error is left
 * as it is. Ends when PROGRAM has ended, with its status.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: pty_run PIDFILE PROGRAM [ARGS...]\n");
        return 2;
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("pty_run: posix_openpt");
        return 1;
    }
    const char *slave_name = ptsname(master);
    pid_t pid = fork();
    if (pid < 0) {
        perror("pty_run: fork");
        return 1;
    }
    if (pid == 0) {
        setsid();
        int slave = open(slave_name, O_RDWR);
        if (slave < 0) {
            perror("pty_run: open pty");
            _exit(127);
        }
        struct termios t;
        if (tcgetattr(slave, &t) == 0) {
            t.c_oflag &= ~(tcflag_t)ONLCR; /* lines as the program writes them */
            t.c_lflag &= ~(tcflag_t)ECHO;
            tcsetattr(slave, TCSANOW, &t);
        }
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(slave, 1);
        close(null);
        close(slave);
        close(master);
        execvp(argv[2], argv + 2);
        perror("pty_run: exec");
        _exit(127);
    }
    FILE *pf = fopen(argv[1], "w");
    if (pf) {
        fprintf(pf, "%d\n", (int)pid);
        fclose(pf);
    }
    /* Copies output until PROGRAM has ended (it is reaped at once, so it
       never lingers as a zombie) and what it printed is read; a child of
       PROGRAM that still holds the terminal does not keep this one. */
    char buf[4096];
    int status = 0, ended = 0;
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        int ready = poll(&p, 1, ended ? 0 : 100);
        ssize_t n = ready > 0 ? read(master, buf, sizeof buf) : 0;
        if (n > 0) {
            ssize_t at = 0;
            while (at < n) {
                ssize_t w = write(1, buf + at, (size_t)(n - at));
                if (w <= 0 && errno != EINTR)
                    break;
                if (w > 0)
                    at += w;
            }
            continue;
        }
        if (ended)
            break;
        if (n < 0 && errno != EINTR)
            usleep(100000); /* nobody holds the terminal now: no busy wait */
        if (waitpid(pid, &status, WNOHANG) == pid)
            ended = 1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
