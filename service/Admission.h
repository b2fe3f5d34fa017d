// Who may configure this machine. Admission is three steps, each its own
// function: find the client's short host name (a reverse lookup that is
// confirmed forward), read the Allowed_Clients list, and decide.
//
// The forward confirmation is what makes the name worth anything: the
// reverse zone of an address belongs to whoever owns the address, so a
// stranger can make his address's reverse name "localhost.attacker.example".
// A reverse name counts only when looking that name up again (the hosts file
// of the machine first, then the resolver) gives back the peer's address.
#ifndef VANTRY_SERVICE_ADMISSION_H
#define VANTRY_SERVICE_ADMISSION_H

#include "platform/win32.h"

#include <cstddef>

enum AdmissionResult {
    ADMISSION_GRANTED,
    ADMISSION_REFUSED,
    // The service key could not be opened: nobody is admitted. The client is
    // refused ("ACCESS_DENIED") at once, without a warning of its own; the
    // cause is logged (message 9) once when it begins, not per connection.
    ADMISSION_UNKNOWN,
};

// The decision, a pure function. shortName is the client's short host name
// ("" when it has none); allowedClients the list, free text; localHostName
// this machine's host name. Admitted when shortName is not empty and occurs
// anywhere in allowedClients, letter case aside (also inside a longer name),
// or when it equals the beginning of localHostName exactly (same case).
bool IsClientAdmitted(const char* shortName, const char* allowedClients, const char* localHostName);

// True when address (4 bytes, network order) is one of the host entry's
// addresses: the forward half of the name check.
bool HostHasAddress(const struct hostent* host, const unsigned char address[4]);

// True when name is nothing but digits and dots: a numeric address written
// as a name. Such a "name" says nothing about who the client is (it confirms
// itself), so it is no name.
bool IsNumericName(const char* name);

// Finds the short name of the peer at address (4 bytes, network order): its
// reverse name, confirmed forward, cut at its first '.'. Empty when there is
// no reverse name, when the name is longer than size - 1 characters (a cut
// name would be another name), when it is numeric, or when it does not
// resolve back to the address.
void FindPeerShortName(const unsigned char address[4], char* shortName, size_t size);

// Reads Allowed_Clients from the service key into list (size bytes): "localhost"
// when the value is missing or unreadable, the value cut to size - 1
// characters when it is longer (reported once, see NoteOverlongAllowedClients
// in Settings.h). False when the key cannot be opened; message 9 is logged for
// the first such failure after a read that succeeded (or the first of all).
bool ReadAllowedClients(char* list, size_t size);

// The list as it stands now (read from the registry) and the decision for a
// short name already found.
AdmissionResult DecideAdmission(const char* shortName, const char* localHostName);

// The whole check for a peer address; shortName receives the short name
// (size bytes) for the messages that name the client. Logs nothing about the
// outcome: the caller logs a refusal.
AdmissionResult AdmitPeer(const unsigned char address[4], const char* localHostName,
                          char* shortName, size_t size);

#endif
