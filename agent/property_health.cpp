// The health check's keys of conf\service.properties: health.url or
// health.method (never both), and start.ready=health only with one of them.
#include "agent/property_keys.h"

#include <strsafe.h>

#include "agent/health_http.h"

namespace {

// One check is asked: two would have to agree on what a failure is.
bool RefuseBothChecks(const KeyLine& line, const wchar_t* key, const wchar_t* other,
                      unsigned otherLine) {
    wchar_t what[192];
    StringCchPrintfW(what, ARRAYSIZE(what),
                     L"%ls cannot be used with %ls (line %u): the service asks one health "
                     L"check. Keep one of the two.",
                     key, other, otherLine);
    SetLineProblem(line.problem, line.file, what);
    return false;
}

}  // namespace

bool ApplyHealthUrl(const PropertyKey& key, const KeyLine& line) {
    if (line.read->healthMethodLine != 0) {
        return RefuseBothChecks(line, key.name, L"health.method", line.read->healthMethodLine);
    }
    HealthUrl url;
    if (line.value.length >= kHealthUrlUnits ||
        !ParseHealthUrl(line.value.text, line.value.length, &url)) {
        return RefuseValue(line, key.name,
                           L"is not a URL the health check can ask: http:// or https://, a host, "
                           L"an optional port from 1 to 65535 and a path, at most 511 characters, "
                           L"for example http://localhost:8080/actuator/health.");
    }
    StringCchCopyNW(line.read->healthUrl, kHealthUrlUnits, line.value.text, line.value.length);
    line.read->healthUrlLine = line.file.lineNumber;
    return true;
}

bool ApplyHealthMethod(const PropertyKey& key, const KeyLine& line) {
    if (line.read->healthUrlLine != 0) {
        return RefuseBothChecks(line, key.name, L"health.url", line.read->healthUrlLine);
    }
    if (!ReadMethodName(key, line, L"org.example.App.healthy", line.read->healthClass,
                        line.read->healthMethod)) {
        return false;
    }
    line.read->healthMethodLine = line.file.lineNumber;
    return true;
}

bool CheckReadiness(const ServiceProperties& read, ConfigProblem* problem) {
    if (read.startReady != kReadyWhenHealthy || HasHealthCheck(read)) {
        return true;
    }
    ConfigFile startReadyLine;
    startReadyLine.name = L"service.properties";
    startReadyLine.lineNumber = read.startReadyLine;
    SetLineProblem(problem, startReadyLine,
                   L"start.ready=health needs a health check: set health.url or health.method.");
    return false;
}
