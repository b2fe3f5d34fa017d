#include "service/KnownNames.h"
#include "platform/bounded.h"

#include <cstring>

KnownNames::KnownNames(const NameLimits& limits) : m_limits(limits) {
    if (m_limits.capacity < 1)
        m_limits.capacity = 1;
}

KnownNames::Entry* KnownNames::FindEntry(const unsigned char address[4]) {
    for (Entry& entry : m_names)
        if (memcmp(entry.address, address, 4) == 0)
            return &entry;
    return nullptr;
}

// The oldest entry without a lookup under way makes room, one of an address
// never admitted before an administrator's.
void KnownNames::MakeRoom() {
    if (static_cast<int>(m_names.size()) < m_limits.capacity)
        return;
    for (int pass = 0; pass < 2; ++pass) {
        for (auto entry = m_names.begin(); entry != m_names.end(); ++entry) {
            if (!entry->looking && (pass == 1 || !entry->admitted)) {
                m_names.erase(entry);
                return;
            }
        }
    }
}

NameAction KnownNames::Find(const unsigned char address[4], DWORD now, char* name, size_t size) {
    Entry* entry = FindEntry(address);
    if (entry == nullptr) {
        MakeRoom();
        Entry added;
        memcpy(added.address, address, 4);
        added.looking = true;
        added.found = false;
        added.admitted = false;
        added.foundAt = 0;
        added.name[0] = '\0';
        m_names.push_back(added);
        return NAME_LOOK_UP;
    }
    if (entry->found) {
        const DWORD age = now - entry->foundAt; // wraps with the tick count
        const bool named = entry->name[0] != '\0';
        const DWORD keep = static_cast<DWORD>(named ? m_limits.keepMs : m_limits.noNameKeepMs);
        if (age < keep) {
            BoundedCopy(name, size, entry->name);
            if (entry->admitted && named && !entry->looking &&
                age >= static_cast<DWORD>(m_limits.refreshAfterMs)) {
                entry->looking = true;
                return NAME_USE_AND_REFRESH;
            }
            return NAME_USE;
        }
    }
    if (entry->looking)
        return NAME_WAIT;
    entry->looking = true;
    return entry->admitted ? NAME_LOOK_UP_FIRST : NAME_LOOK_UP;
}

void KnownNames::Found(const unsigned char address[4], const char* name, DWORD now) {
    Entry* entry = FindEntry(address);
    if (entry == nullptr)
        return;
    // Another name is another client: it earns its own admission.
    if (!entry->found || strcmp(entry->name, name) != 0)
        entry->admitted = false;
    entry->looking = false;
    entry->found = true;
    entry->foundAt = now;
    BoundedCopy(entry->name, sizeof(entry->name), name);
}

void KnownNames::Dropped(const unsigned char address[4]) {
    Entry* entry = FindEntry(address);
    if (entry == nullptr)
        return;
    if (!entry->found)
        m_names.erase(m_names.begin() + (entry - m_names.data()));
    else
        entry->looking = false;
}

void KnownNames::Admitted(const unsigned char address[4]) {
    Entry* entry = FindEntry(address);
    if (entry != nullptr && entry->found && entry->name[0] != '\0')
        entry->admitted = true;
}
