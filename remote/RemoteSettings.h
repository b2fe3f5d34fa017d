// The scanner settings of the configuration protocol, in the order of the
// get_config reply: the keys a client may read and write with set_config,
// and whether each value is a number or a text.
#ifndef VANTRY_REMOTE_REMOTESETTINGS_H
#define VANTRY_REMOTE_REMOTESETTINGS_H

#include <cstddef>

enum RemoteSettingKind {
    REMOTE_NUMBER, // a 32-bit number
    REMOTE_PORT,   // a port, 0..65535
    REMOTE_TEXT,   // a text (the lists too)
};

struct RemoteSetting {
    const char* key;
    RemoteSettingKind kind;
};

// Every setting, in reply order; the rules (Filter_Rule_<slot>) stand right
// after No_of_Filter_Rules. SMTP_SCAN_ATTACHMENTS_AVAILABLE is not among
// them: it is the service's own list, and a set_config line of that name
// would set SMTP_SCAN_ATTACHMENTS.
extern const RemoteSetting kRemoteSettings[];
extern const size_t kRemoteSettingCount;

// The prefix of a rule's key and the most rules a gateway keeps.
extern const char* const REMOTE_RULE_PREFIX;
const int REMOTE_RULE_SLOTS = 256;

// The setting named key, compared without regard to case; null when none.
const RemoteSetting* RemoteFindSetting(const char* key);
// Its place in reply order (0 for the first); rules sort after the count.
size_t RemoteSettingOrder(const RemoteSetting* setting);
// The slot of a rule key Filter_Rule_<n> (n in 0..255), or -1.
int RemoteRuleSlot(const char* key);

#endif
