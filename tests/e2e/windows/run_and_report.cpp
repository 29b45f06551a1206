// Runs one program under Windows (here: Wine) and reports its exit code as the
// full 32-bit value. Wine hands a Unix parent only the low 8 bits, which
// cannot tell E_FAIL (0x80004005) from other codes.
//
//   run_and_report.exe PROGRAM [ARGUMENT...]
//
// The child shares this process's standard handles. After it has ended, one
// line "exit-code: 0xXXXXXXXX" goes to standard error.
//
// With RUN_AND_REPORT_STDOUT=PATH in the environment, the child's standard
// output is instead PATH, created empty and opened here as cmd.exe's "> PATH"
// would: a Windows file handle, which Wine gives an inherited Unix descriptor
// only in part (GetFileInformationByHandle fails on that one).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Quotes one argument so the child's C runtime splits it back unchanged
// (backslashes are literal except in front of a double quote).
std::wstring Quote(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') quoted.append(2 * backslashes + 1, L'\\');
        else quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    quoted += L'"';
    return quoted;
}

}  // namespace

extern "C" int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fputs("usage: run_and_report.exe PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    std::wstring commandLine = Quote(argv[1]);
    for (int i = 2; i < argc; ++i) commandLine += L' ' + Quote(argv[i]);

    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (const wchar_t* path = _wgetenv(L"RUN_AND_REPORT_STDOUT")) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        output = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "run_and_report: cannot create the standard output file (error %lu)\n", GetLastError());
            return 3;
        }
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    // Wine's process start now and then fails with ERROR_INTERNAL_ERROR on a
    // busy machine, before the child has run a line of its own: the program
    // under test never started, so starting it again hides nothing of it.
    DWORD startError = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
            startError = ERROR_SUCCESS;
            break;
        }
        startError = GetLastError();
        if (startError != ERROR_INTERNAL_ERROR) break;
        Sleep(200);
    }
    if (startError != ERROR_SUCCESS) {
        std::fprintf(stderr, "run_and_report: cannot start the program (error %lu)\n", startError);
        return 3;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.hProcess, &code)) {
        std::fprintf(stderr, "run_and_report: no exit code (error %lu)\n", GetLastError());
        return 3;
    }
    CloseHandle(process.hProcess);
    std::fprintf(stderr, "exit-code: 0x%08lX\n", code);
    std::fflush(stderr);
    return static_cast<int>(code);
}
