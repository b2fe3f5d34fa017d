// Anonymous file mappings and the runtime's low-level file calls.
#ifndef VANTRY_PLATFORM_POSIX_FILEMAP_H
#define VANTRY_PLATFORM_POSIX_FILEMAP_H

#include "platform/posix/types.h"

#endif
