// The names the accept loop has found for source addresses, kept for the
// next connections from them, and the order of the lookups.
//
// A name is looked up once at a time per address, however many connections
// the address holds, and kept for a while, so that an address seen recently
// is decided at once while every lookup thread waits on a stalling zone.
// An address that was admitted before is an administrator's: its name is
// refreshed in the background before it expires, as long as the address
// keeps connecting, and when it has expired after all its lookup goes ahead
// of the lookups of unknown addresses (the lookup threads keep one of
// themselves for those), so that a known administrator never waits behind
// strangers' lookups.
//
// A pure table: times are given in, the loop runs the lookups.
#ifndef VANTRY_SERVICE_KNOWNNAMES_H
#define VANTRY_SERVICE_KNOWNNAMES_H

#include "platform/win32.h"
#include "service/ClientConnection.h"

#include <cstddef>
#include <vector>

struct NameLimits {
    // How long a confirmed name is used for the next connections without a
    // new lookup, and how long no name is (a lookup that failed may succeed
    // soon).
    int keepMs = 300000;
    int noNameKeepMs = 30000;
    // From this age on, a connection from an address that was admitted with
    // its name starts a refresh in the background; the kept name decides it.
    int refreshAfterMs = 150000;
    // Addresses whose names are kept at once.
    int capacity = 1024;
};

enum NameAction {
    NAME_USE,             // decide with the name given
    NAME_USE_AND_REFRESH, // the same, and look the name up again, first
    NAME_WAIT,            // a lookup under way decides this connection too
    NAME_LOOK_UP,         // look the name up, behind the other lookups
    NAME_LOOK_UP_FIRST,   // look the name up ahead of unknown addresses
};

class KnownNames {
public:
    explicit KnownNames(const NameLimits& limits = NameLimits());

    // What a connection from address needs at now; for the two NAME_USE
    // actions, name receives the kept name (size bytes). A lookup asked for
    // counts as under way until Found.
    NameAction Find(const unsigned char address[4], DWORD now, char* name, size_t size);
    // The lookup for address came back at now with name ("" for none).
    void Found(const unsigned char address[4], const char* name, DWORD now);
    // The lookup asked for address will not be made after all.
    void Dropped(const unsigned char address[4]);
    // The address was admitted with the name kept for it.
    void Admitted(const unsigned char address[4]);
    size_t Size() const { return m_names.size(); }

private:
    struct Entry {
        unsigned char address[4];
        bool looking; // a lookup is queued or running
        bool found;   // name holds a result
        bool admitted;
        DWORD foundAt;
        char name[HOST_NAME_SIZE];
    };
    Entry* FindEntry(const unsigned char address[4]);
    void MakeRoom();

    NameLimits m_limits;
    std::vector<Entry> m_names; // oldest first
};

#endif
