#include "wine_trace.h"

#include <cstdlib>
#include <map>
#include <sstream>

#include "paths.h"

namespace mvt {

namespace {

// "ts:pid:tid:class:channel:function rest", pid and tid in hex.
struct TraceLine {
    unsigned long long timeMs = 0;
    DWORD pid = 0;
    DWORD tid = 0;
    std::string channel;
    std::string function;
    std::string rest;
};

bool ParseLine(const std::string& line, TraceLine* out) {
    size_t pos[5];
    size_t from = 0;
    for (int i = 0; i < 5; ++i) {
        pos[i] = line.find(':', from);
        if (pos[i] == std::string::npos) return false;
        from = pos[i] + 1;
    }
    // "2359.425": seconds and milliseconds
    out->timeMs = static_cast<unsigned long long>(
        std::strtod(line.substr(0, pos[0]).c_str(), nullptr) * 1000.0 + 0.5);
    out->pid = std::strtoul(line.substr(pos[0] + 1, pos[1] - pos[0] - 1).c_str(), nullptr, 16);
    out->tid = std::strtoul(line.substr(pos[1] + 1, pos[2] - pos[1] - 1).c_str(), nullptr, 16);
    out->channel = line.substr(pos[3] + 1, pos[4] - pos[3] - 1);
    size_t space = line.find(' ', pos[4]);
    out->function = line.substr(
        pos[4] + 1, space == std::string::npos ? std::string::npos : space - pos[4] - 1);
    out->rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    return true;
}

// The body of the first L"..." literal in `text`.
std::string LiteralBody(const std::string& text) {
    size_t start = text.find("L\"");
    if (start == std::string::npos) return std::string();
    start += 2;
    size_t end = start;
    while (end < text.size() && text[end] != '"') {
        end += text[end] == '\\' ? 2 : 1;
    }
    return text.substr(start, end - start);
}

std::vector<unsigned> Numbers(const std::string& text, char separator) {
    std::vector<unsigned> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, separator)) {
        values.push_back(static_cast<unsigned>(std::strtoul(item.c_str(), nullptr, 16)));
    }
    return values;
}

}  // namespace

std::wstring DecodeWineString(const std::string& body) {
    std::wstring out;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c != '\\' || i + 1 >= body.size()) {
            out += static_cast<wchar_t>(static_cast<unsigned char>(c));
            continue;
        }
        char next = body[++i];
        switch (next) {
            case 'n':
                out += L'\n';
                break;
            case 'r':
                out += L'\r';
                break;
            case 't':
                out += L'\t';
                break;
            case '\\':
                out += L'\\';
                break;
            case '"':
                out += L'"';
                break;
            default:
                // \xxxx: one UTF-16 unit in hex
                out += static_cast<wchar_t>(std::strtoul(body.substr(i, 4).c_str(), nullptr, 16));
                i += 3;
                break;
        }
    }
    return out;
}

std::wstring TraceFilePath() {
    const char* path = std::getenv("MERIVAST_EVENT_TRACE");
    return path != nullptr ? LinuxToWindowsPath(path) : std::wstring();
}

std::vector<std::wstring> ProcessTrace::Texts() const {
    std::vector<std::wstring> texts;
    for (const auto& e : events) texts.push_back(e.strings.empty() ? L"" : e.strings[0]);
    return texts;
}

std::vector<unsigned> ProcessTrace::States() const {
    std::vector<unsigned> states;
    for (const auto& r : reports) states.push_back(r.state);
    return states;
}

std::vector<unsigned> ProcessTrace::StateChanges() const {
    std::vector<unsigned> states;
    for (const auto& r : reports) {
        if (states.empty() || states.back() != r.state) states.push_back(r.state);
    }
    return states;
}

unsigned long long TraceEnd() {
    return FileSize(TraceFilePath());
}

ProcessTrace ReadProcessTrace(DWORD pid, unsigned long long fromOffset) {
    std::map<DWORD, ProcessTrace> all = ReadAllProcessTraces(fromOffset);
    return all[pid];
}

std::map<DWORD, ProcessTrace> ReadAllProcessTraces(unsigned long long fromOffset) {
    std::map<DWORD, ProcessTrace> traces;
    // Keyed by process and thread: Wine reuses thread ids over a session.
    std::map<unsigned long long, std::wstring> sourceOfThread;
    std::map<unsigned long long, size_t> eventOfThread;
    std::stringstream lines(ReadFileBytes(TraceFilePath(), fromOffset));
    std::string line;
    while (std::getline(lines, line)) {
        TraceLine t;
        if (!ParseLine(line, &t)) continue;
        ProcessTrace& trace = traces[t.pid];
        const unsigned long long thread = (static_cast<unsigned long long>(t.pid) << 32) | t.tid;
        if (t.channel == "advapi" && t.function == "RegisterEventSourceW") {
            // ((null),L"MerivastService"): stub
            sourceOfThread[thread] = DecodeWineString(LiteralBody(t.rest));
        } else if (t.channel == "advapi" && t.function == "ReportEventW") {
            // (handle,type,category,id,sid,count,datasize,strings,data): stub
            size_t open = t.rest.find('(');
            size_t close = t.rest.find(')');
            std::vector<unsigned> fields = Numbers(t.rest.substr(open + 1, close - open - 1), ',');
            TracedEvent event;
            event.source = sourceOfThread[thread];
            if (fields.size() >= 6) {
                event.type = fields[1];
                event.category = fields[2];
                event.id = fields[3];
                event.stringCount = fields[5];
            }
            event.thread = t.tid;
            eventOfThread[thread] = trace.events.size();
            trace.events.push_back(event);
        } else if (t.channel == "eventlog" && t.function == "ReportEventW") {
            auto found = eventOfThread.find(thread);
            if (found != eventOfThread.end()) {
                trace.events[found->second].strings.push_back(
                    DecodeWineString(LiteralBody(t.rest)));
            }
        } else if (t.channel == "service" && t.function == "SetServiceStatus") {
            // handle type state accepted win32 specific checkpoint hint
            std::stringstream fields(t.rest);
            std::string handle, type;
            unsigned long v[6] = {};
            std::string item;
            fields >> handle >> type;
            for (auto& value : v) {
                fields >> item;
                value = std::strtoul(item.c_str(), nullptr, 0);
            }
            TracedStatus status;
            status.state = static_cast<unsigned>(v[0]);
            status.accepted = static_cast<unsigned>(v[1]);
            status.win32ExitCode = static_cast<unsigned>(v[2]);
            status.specificExitCode = static_cast<unsigned>(v[3]);
            status.checkPoint = static_cast<unsigned>(v[4]);
            status.waitHint = static_cast<unsigned>(v[5]);
            status.timeMs = t.timeMs;
            trace.reports.push_back(status);
        } else if (t.channel == "service" && t.function == "service_handle_control") {
            size_t at = t.rest.find(" control ");
            if (at != std::string::npos) {
                trace.controls.push_back(
                    static_cast<unsigned>(std::strtoul(t.rest.c_str() + at + 9, nullptr, 10)));
            }
        }
    }
    return traces;
}

}  // namespace mvt
