#include "pellion/MailProxyServiceClass.h"
#include "service/Settings.h"
#include "store/VersionInfo.h"
#include "update/AutoUpdateScheduler.h"

// The service object's readers hand over to the subsystems that own each set
// of values; the run sequence and the dispatcher call them through the object.
void MailProxyServiceClass::ReadSettings() {
    ReadServiceSettings();
}

void MailProxyServiceClass::ReadAutoUpdateSettings(AutoUpdateSchedule& schedule) {
    ::ReadAutoUpdateSettings(schedule);
}

// The version values of the product key, at start-up and before every
// version reply.
void MailProxyServiceClass::ReadVersionInfo() {
    ::ReadVersionInfo();
}
