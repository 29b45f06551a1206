// Winsock's start-up and clean-up, owned by one object: the receiver starts
// it once and ends it once, at its own teardown, whatever failed before.
// The clean-up also releases every socket still open.
#pragma once

#include "platform/Platform.h"

class WinsockSession {
public:
    WinsockSession()
    {
        OutputDebugStringW(L"Socket Init called\n");
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        OutputDebugStringW(L"WsaStartup initialized.\n");
    }
    ~WinsockSession()
    {
        if (started_) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;

private:
    bool started_;
};
