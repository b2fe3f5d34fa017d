// Pellion's service object: lives exactly as long as ServiceMain runs.
#ifndef VANTRY_PELLION_MAILPROXYSERVICECLASS_H
#define VANTRY_PELLION_MAILPROXYSERVICECLASS_H

#include "service/ServerSocket.h"
#include "update/AutoUpdateScheduler.h"

class MailProxyServiceClass {
public:
    MailProxyServiceClass();

    // Creates, binds and listens on the configuration socket; non-zero when
    // listening.
    virtual int InitSocket();
    // The start-up order, then the wait for the stop; the arguments are those
    // given to ServiceMain.
    virtual void Run(DWORD argc, LPSTR* argv);

    void ReadSettings();
    void ReadVersionInfo();
    void ReadAutoUpdateSettings(AutoUpdateSchedule& schedule);

    SOCKADDR_IN m_address;
    ServerSocket m_socket;
};

#endif
