#pragma once

#include <csignal>
#include <fcntl.h>
#include <juce_core/juce_core.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace TestUtilities
{
/** A program run as a child process whose id, wait status and standard
    output the test sees: juce::ChildProcess gives no id, and reports a child
    that a signal ended as having exited with 0. Killed if it still runs when
    the test ends. */
class Process final
{
public:
    explicit Process (const juce::StringArray& command)
    {
        int fds[2];

        if (::pipe2 (fds, O_CLOEXEC) != 0)
            return;

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_adddup2 (&actions, fds[1], STDOUT_FILENO);

        std::vector<char*> arguments;

        for (auto& argument : command)
            arguments.push_back (const_cast<char*> (argument.toRawUTF8()));

        arguments.push_back (nullptr);

        // The child starts with the default handling of every signal, however the tests were started (nohup, &).
        posix_spawnattr_t attributes;
        posix_spawnattr_init (&attributes);
        sigset_t all;
        sigfillset (&all);
        posix_spawnattr_setsigdefault (&attributes, &all);
        posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETSIGDEF);

        if (::posix_spawnp (&pid, arguments[0], &actions, &attributes, arguments.data(), environ) != 0)
            pid = 0;

        posix_spawnattr_destroy (&attributes);
        posix_spawn_file_actions_destroy (&actions);
        ::close (fds[1]);
        output = fds[0];
        ::fcntl (output, F_SETFL, O_NONBLOCK);
    }

    ~Process()
    {
        if (! hasEnded())
        {
            ::kill (pid, SIGKILL);
            ::waitpid (pid, &status, 0);
        }

        ::close (output);
    }

    bool hasEnded()
    {
        ended = ended || pid <= 0 || ::waitpid (pid, &status, WNOHANG) == pid;
        return ended;
    }

    /** Whether it ended by returning or calling exit with that status (not by a signal). */
    bool exitedWith (int code) { return hasEnded() && WIFEXITED (status) && WEXITSTATUS (status) == code; }

    /** All it has written so far. */
    juce::String getOutput()
    {
        char buffer[256];

        for (ssize_t length; (length = ::read (output, buffer, sizeof (buffer))) > 0;)
            written += juce::String::fromUTF8 (buffer, (int) length);

        return written;
    }

    pid_t pid = 0;
    int status = 0;

private:
    int output = -1;
    bool ended = false;
    juce::String written;
};
}
