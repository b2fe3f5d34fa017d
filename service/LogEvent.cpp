#include "service/LogEvent.h"
#include "platform/bounded.h"

#include <cstdarg>

void LogEvent(const char* text, WORD type) {
    HANDLE source = RegisterEventSourceA(nullptr, PELLION_EVENT_SOURCE);
    if (source == nullptr)
        return;
    LPCSTR strings[1] = {text};
    ReportEventA(source, type, 0, PELLION_EVENT_ID, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

void LogMessage(UINT id, DWORD type, ...) {
    char format[MESSAGE_TEXT_SIZE];
    if (LoadStringA(GetModuleHandleA(nullptr), id, format, sizeof(format)) <= 0)
        return;
    char text[MESSAGE_FORMAT_SIZE];
    va_list args;
    va_start(args, type);
    BoundedFormatV(text, sizeof(text), format, args);
    va_end(args);
    LogEvent(text, static_cast<WORD>(type));
}
