// Windows Sockets 1.1, the subset the system uses, over BSD sockets.
#ifndef VANTRY_PLATFORM_POSIX_WINSOCK_H
#define VANTRY_PLATFORM_POSIX_WINSOCK_H

#include "platform/posix/types.h"

#endif
