// What the Java runtime tells about its own threads and heap, through the
// JDK's management interfaces: the diagnostic command behind
// `jcmd Thread.print`, the thread bean's deadlock search, and the HotSpot
// bean's heap dump. Each question is asked from a thread of the host's own,
// attached as a daemon thread for that question only, so that it never holds
// up the VM's end; it knows no application.
#pragma once

#include "base/wide_text.h"
#include "jvmhost/runtime_host.h"

// Where a thread dump's text came from.
enum class ThreadDumpSource {
    kDiagnosticCommand,  // Thread.print -l: every frame, the locks held and waited for, deadlocks
    kThreadBean          // ThreadMXBean.dumpAllThreads: at most 8 frames a thread
};

// How a question to the runtime ended.
enum class RuntimeAnswer {
    kAnswered,
    kNoVm,    // no VM to ask: none was created, or it has ended
    kFailed,  // the runtime's words say why
};

// The text `jcmd <pid> Thread.print -l` prints, into `text`; where the runtime
// lacks the diagnostic command, the thread bean's text of every thread. On
// kFailed, `text` holds the runtime's words (the exception it threw).
RuntimeAnswer PrintJavaThreads(const RuntimeHost& host, WideText* text, ThreadDumpSource* source);

// Writes the live objects of the heap to `path` (which must end in .hprof and
// must not exist), as `jcmd GC.heap_dump` does. On kFailed, `words` holds the
// runtime's words.
RuntimeAnswer DumpJavaHeap(const RuntimeHost& host, const wchar_t* path, WideText* words);

// The Java threads deadlocked on monitors or ownable synchronizers: how many
// (0 when none, or when the runtime could not be asked), their ids in `ids`
// (the first `most`) and their names, each in double quotes, joined by ", ",
// in `names`.
size_t FindDeadlockedJavaThreads(const RuntimeHost& host, jlong* ids, size_t most, WideText* names);
