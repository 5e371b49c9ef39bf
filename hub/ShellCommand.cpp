#include "hub/ShellCommand.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "trace/Trace.h"

extern char **environ;

int ShellCommand::run(const std::string &command)
{
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return -1;
    }
    // Everything from 3 up: whatever a library opened without
    // close-on-exec goes too.
    int result = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t child = -1;
    if (result == 0) {
        char shell[] = "sh";
        char dashC[] = "-c";
        char *const argv[] = {shell, dashC, const_cast<char *>(command.c_str()), nullptr};
        result = posix_spawn(&child, "/bin/sh", &actions, nullptr, argv, environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        tm_printf(TRACE_ERROR, "run", __LINE__, "cannot start the shell: %s\n", strerror(result));
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
