#include "service/MailProxyServiceClass.h"

// The version values of the product key are read here at start-up and before
// every version reply; the version replies are not served yet, so there is
// nothing to read.
void MailProxyServiceClass::ReadVersionInfo() {}
