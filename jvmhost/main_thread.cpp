// The thread of the java launcher's shape that runs main, and the VM's end.
#include "jvmhost/runtime_host.h"

namespace {

// What ContinueInNewThread hands its thread, and what it gets back.
struct MainThreadStart {
    RuntimeHost* host;           // weak
    const MainThreadWork* work;  // weak
    Outcome outcome;
};

}  // namespace

DWORD WINAPI RuntimeHost::MainThreadEntry(void* start) {
    MainThreadStart* main = static_cast<MainThreadStart*>(start);
    main->outcome = main->host->RunAsMainThread(*main->work);
    return 0;
}

// The main thread: takes no lock of the host's; waits inside the application
// and in DestroyJavaVM for as long as they take (the stop deadline bounds the
// service, not this thread).
Outcome RuntimeHost::RunAsMainThread(const MainThreadWork& work) {
    Outcome ended = Outcome::kApplicationNotStarted;
    {
        // As the launcher does: the thread ends with its exception pending,
        // which the VM hands to the thread's uncaught-exception handler, and a
        // thread that joins it finds it ended.
        const JavaThread attached(javaVm, kJavaThreadPlain, "main");
        if (attached.Env() != nullptr) {
            ended = work.run(attached.Env(), work.self);
        }
    }
    DestroyVm();
    return ended;
}

Outcome RuntimeHost::ContinueInNewThread(size_t stackBytes, const MainThreadWork& work) {
    // The creating thread holds no Java frame, so it may leave; the VM lives on.
    EndCreatingThreadUse();
    javaVm->DetachCurrentThread();
    MainThreadStart start = {this, &work, Outcome::kApplicationNotStarted};
    const ScopedHandle thread(CreateThread(nullptr, stackBytes, MainThreadEntry, &start,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread.IsValid()) {
        return RunAsMainThread(work);
    }
    WaitForSingleObject(thread.Get(), INFINITE);
    return start.outcome;
}

bool RuntimeHost::WaitForVmEnd(DWORD waitMs) const {
    return vmEnded.IsValid() && WaitForSingleObject(vmEnded.Get(), waitMs) == WAIT_OBJECT_0;
}

bool RuntimeHost::EndCreatingThreadUse() {
    const bool pending = creatingEnv != nullptr && creatingEnv->ExceptionCheck();
    if (pending) {
        creatingEnv->ExceptionClear();
    }
    creatingEnv = nullptr;
    return pending;
}

void RuntimeHost::DestroyVm() {
    EndCreatingThreadUse();
    if (javaVm != nullptr && !vmDestroyed) {
        javaVm->DestroyJavaVM();
    }
    // javaVm stays: a stop that raced the application's own end may still
    // attach through it, and a runtime answers that with JNI_ERR.
    vmDestroyed = true;
    if (vmEnded.IsValid()) {
        SetEvent(vmEnded.Get());
    }
}
