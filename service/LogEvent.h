// Pellion's one event-log routine, and the message table behind it.
#ifndef VANTRY_SERVICE_LOGEVENT_H
#define VANTRY_SERVICE_LOGEVENT_H

#include "platform/win32.h"
#include "service/resource.h"

// Every event Pellion logs carries this ID, category 0 and one text.
const DWORD PELLION_EVENT_ID = 0xC0000004;
const char* const PELLION_EVENT_SOURCE = "Pellion";

// A message text is loaded into this many characters.
const int MESSAGE_TEXT_SIZE = 200;
// A formatted text (message plus its argument: a host name, a file name, a key
// path) is cut at this size; longer arguments lose their end, never more.
const int MESSAGE_FORMAT_SIZE = 1024;

void LogEvent(const char* text, WORD type);

// Loads message id from the string table, formats it with the arguments the
// text asks for (one %s or %d at most) and logs it. The type is taken as a
// DWORD so that it is the last named parameter without being promoted.
void LogMessage(UINT id, DWORD type, ...);

#endif
