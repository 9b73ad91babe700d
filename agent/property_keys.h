// The keys of conf\service.properties as their reader takes them: a line's
// parts, where a value goes, and the ways to refuse one. Only the reader's own
// sources include it.
#pragma once

#include "agent/service_properties.h"

// A part of the current line.
struct Piece {
    const wchar_t* text;  // weak: inside the file's line buffer
    size_t length;
};

// The line being read, and where its value goes.
struct KeyLine {
    const Piece& value;
    const wchar_t* installDir;  // weak
    ServiceProperties* read;    // weak
    const ConfigFile& file;
    ConfigProblem* problem;  // weak
};

// A key of the file: its name, and what makes its value a setting.
struct PropertyKey {
    const wchar_t* name;
    // Stores the value in `line.read`; false with `line.problem` filled when
    // it cannot be used.
    bool (*apply)(const PropertyKey& key, const KeyLine& line);
    DWORD ServiceProperties::*number;  // a whole number's field, and its unit and most
    const wchar_t* unit;
    DWORD most;
};

// "<key> "<value>" <after>" as the line's problem; false.
bool RefuseValue(const KeyLine& line, const wchar_t* key, const wchar_t* after);
// "<key> cannot be used with <other> (line N): ..."; false.
bool RefuseBesideOther(const KeyLine& line, const wchar_t* key, const wchar_t* other,
                       unsigned otherLine);

// A static method's full name, "org.example.App.stop", as its class and its
// name; refused, with `example` as the example, when it is none.
bool ReadMethodName(const PropertyKey& key, const KeyLine& line, const wchar_t* example,
                    wchar_t (&className)[kMainClassUnits], wchar_t (&method)[kMainClassUnits]);

// The health check's keys (property_health.cpp).
bool ApplyHealthUrl(const PropertyKey& key, const KeyLine& line);
bool ApplyHealthMethod(const PropertyKey& key, const KeyLine& line);
// Once the whole file is read: start.ready=health needs a health check;
// false with `problem` naming start.ready's line when there is none.
bool CheckReadiness(const ServiceProperties& read, ConfigProblem* problem);

// The keys whose values are paths (property_paths.cpp).
// The runtime's folder as a full path, relative to `installDir` unless
// absolute; false when it does not fit `out`.
bool ResolveJavaHome(const wchar_t* installDir, const wchar_t* value, size_t length,
                     wchar_t (&out)[kJavaHomeUnits]);
bool ApplyJavaHome(const PropertyKey& key, const KeyLine& line);
bool ApplyMainJar(const PropertyKey& key, const KeyLine& line);
