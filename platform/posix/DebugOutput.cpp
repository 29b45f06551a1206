// OutputDebugStringW: the debugger channel is syslog at LOG_DEBUG, ident
// "pelorin". Never standard output or standard error, which belong to the
// user and to scripts.
#include "DebugOutputSink.h"
#include "PlatformApi.h"

#include <syslog.h>

#include <atomic>
#include <mutex>
#include <string>

namespace pelorin_win {

namespace {
std::atomic<DebugOutputSink> g_sink{nullptr};
std::once_flag g_openLog;
}  // namespace

void SetDebugOutputSink(DebugOutputSink sink) { g_sink.store(sink, std::memory_order_release); }

void OutputDebugStringW(LPCWSTR text)
{
    if (text == nullptr) return;
    if (DebugOutputSink sink = g_sink.load(std::memory_order_acquire)) {
        sink(text);
        return;
    }
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return;
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    std::call_once(g_openLog, [] { openlog("pelorin", LOG_PID, LOG_USER); });
    syslog(LOG_DEBUG, "%s", narrow.c_str());
}

}  // namespace pelorin_win
