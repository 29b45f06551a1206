// The process entry: narrow arguments become wide ones for the program's
// wmain, whose exit code becomes the process's, or the process ends by the
// signal that stopped the recording.
#include "ConsoleControl.h"
#include "PathText.h"
#include "PlatformApi.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A supervisor may start us with descriptor 0, 1 or 2 closed. The output
// file would then become one of them, and a time line printed to "standard
// output" would land inside the recording.
void OpenMissingStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    OpenMissingStandardDescriptors();
    // Only the character type follows the user's locale (for the arguments
    // and path names); time formatting stays in the "C" locale.
    std::setlocale(LC_CTYPE, "");
    // As on Windows, writing to a pipe whose reader has gone is a failed
    // write that the program reports, not a signal that ends it silently.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::wstring> storage;
    storage.reserve(static_cast<std::size_t>(argc));
    std::vector<wchar_t*> wideArgv;
    for (int i = 0; i < argc; ++i) {
        storage.push_back(pelorin_win::detail::WidenText(argv[i]));
        wideArgv.push_back(storage.back().data());
    }
    wideArgv.push_back(nullptr);
    const int result = wmain(argc, wideArgv.data());

    // A recording stopped by SIGINT, SIGTERM or SIGHUP has finished its work;
    // the process now ends by that signal, so that a shell sees 130, 143 or
    // 129, a script's loop stops on Ctrl-C, and systemd counts a clean stop.
    if (const int signal = pelorin_win::detail::ConsoleControlSignal()) {
        std::fflush(nullptr);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return 128 + signal;
    }
    return result;
}
