// conf\service.properties: the service's own settings, "key=value" lines.
// Its one key today is stop.timeout.
#pragma once

#include "service/config_file.h"

// How long a stop may take, from the first stop request to the end of the
// tear-down, before the service ends the Java application; 0: no deadline.
constexpr DWORD kDefaultStopTimeoutSeconds = 30;
// A day: anything longer is a typo, and would overflow the millisecond waits.
constexpr DWORD kMaxStopTimeoutSeconds = 86400;

struct ServiceProperties {
    DWORD stopTimeoutSeconds = kDefaultStopTimeoutSeconds;
};

// Reads "<installDir>\conf\service.properties" into `properties`. A missing
// file leaves the defaults and is no problem. False, with `problem` naming the
// file, the line and what is wrong, for a file that cannot be read, a line
// that is not "key=value", an unknown key, a value out of range or a key set
// twice; `properties` then keeps the defaults, nothing of the file is used.
bool ReadServiceProperties(const wchar_t* installDir, ServiceProperties* properties,
                           ConfigProblem* problem);
