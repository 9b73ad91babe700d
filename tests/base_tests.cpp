// The base layer's own pieces: the worker thread under the background
// threads, movable owners, the system's error text and conf\'s numbers.
#include <gtest/gtest.h>

#include <utility>

#include "base/config_file.h"
#include "base/event_log.h"
#include "base/scoped.h"
#include "base/worker_thread.h"

namespace {

// The work of the tests' worker: counts its calls, and holds each call until
// the test lets exactly that one go (a semaphore, so that a call that starts
// at once after another is held too); each returns the next of `pauses`.
struct HeldWork {
    static DWORD Work(void* self) {
        HeldWork* work = static_cast<HeldWork*>(self);
        const LONG call = InterlockedIncrement(&work->calls);
        SetEvent(work->entered.Get());
        WaitForSingleObject(work->release.Get(), INFINITE);
        work->sawStopping = work->worker.IsStopping();
        return work->pauses[call < 3 ? call - 1 : 2];
    }
    bool WaitForCall(LONG call) {
        while (calls < call) {
            if (WaitForSingleObject(entered.Get(), 5000) != WAIT_OBJECT_0) return false;
        }
        return calls == call;
    }

    DWORD pauses[3] = {INFINITE, INFINITE, INFINITE};
    volatile LONG calls = 0;
    bool sawStopping = false;
    ScopedHandle entered{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    ScopedHandle release{CreateSemaphoreW(nullptr, 0, 16, nullptr)};
    void LetOneCallGo() { ReleaseSemaphore(release.Get(), 1, nullptr); }
    WorkerThread worker;
};

// The work's own pause brings the next call; wakes that come while it works
// are one wake; nothing more runs once it is stopped.
TEST(WorkerThread, PausesTheWorkChoosesAndWakesDuringACallAreOne) {
    HeldWork work;
    work.pauses[0] = 0;
    ASSERT_TRUE(work.worker.Start(HeldWork::Work, &work, INFINITE));
    EXPECT_FALSE(work.worker.Start(HeldWork::Work, &work, 0)) << "one thread only";
    work.worker.Wake();
    ASSERT_TRUE(work.WaitForCall(1));
    work.LetOneCallGo();
    ASSERT_TRUE(work.WaitForCall(2)) << "its pause of 0 brings the next call, without a wake";
    for (int i = 0; i < 3; ++i) work.worker.Wake();
    work.LetOneCallGo();
    ASSERT_TRUE(work.WaitForCall(3)) << "three wakes during the call, one more call";
    work.LetOneCallGo();
    EXPECT_TRUE(work.worker.Stop(5000));
    EXPECT_EQ(3, work.calls);
}

TEST(WorkerThread, StopIsBoundedWhileTheWorkRunsAndNothingStartsAfterIt) {
    HeldWork work;
    ASSERT_TRUE(work.worker.Start(HeldWork::Work, &work, 0));
    ASSERT_TRUE(work.WaitForCall(1));
    EXPECT_FALSE(work.worker.Stop(50)) << "the work is still under way";
    work.LetOneCallGo();
    EXPECT_TRUE(work.worker.Stop(5000));
    EXPECT_TRUE(work.sawStopping) << "the work sees the stop";
    EXPECT_EQ(1, work.calls);
    HeldWork late;
    EXPECT_TRUE(late.worker.Stop(0)) << "never started: nothing to wait for";
    EXPECT_FALSE(late.worker.Start(HeldWork::Work, &late, 0)) << "stopped before it started";
    EXPECT_FALSE(late.worker.IsStarted());
}

TEST(Scoped, AMovedOwnerLeavesItsSourceEmptyAndClosesWhatItHeld) {
    ScopedHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE event = first.Get();
    ScopedHandle second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(event, second.Get());
    ScopedHandle third(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE replaced = third.Get();
    third = std::move(second);
    EXPECT_FALSE(second.IsValid());
    EXPECT_EQ(event, third.Get());
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(event, &flags));
    EXPECT_FALSE(GetHandleInformation(replaced, &flags)) << "the one it held is closed";
    ScopedFile none(std::move(ScopedFile()));
    EXPECT_EQ(INVALID_HANDLE_VALUE, none.Get()) << "a file's own none";
}

TEST(SystemText, IsASentencesInsideWithoutItsEnd) {
    wchar_t text[kSystemTextUnits];
    const size_t length = SystemErrorText(ERROR_ACCESS_DENIED, text);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length, static_cast<size_t>(lstrlenW(text)));
    for (wchar_t end : {L'\r', L'\n', L' ', L'.'}) EXPECT_NE(end, text[length - 1]);
    EXPECT_EQ(0u, SystemErrorText(0x0FFFFFFF, text)) << "no such error";
    EXPECT_STREQ(L"", text);
}

// Numbers as conf\ and the install actions read them.
TEST(ConfigNumbers, DigitsOnlyAndNoneAboveTheMost) {
    const struct {
        const wchar_t* text;
        DWORD most;
        bool read;
    } cases[] = {{L"0", 10, true},
                 {L"00012", 12, true},
                 {L"13", 12, false},
                 {L"", 10, false},
                 {L"1a", 10, false},
                 {L"-1", 10, false},
                 {L"4294967295", MAXDWORD, true},
                 {L"4294967296", MAXDWORD, false},
                 // 429496729 * 10 + 9 wraps round below the most when checked after it grows.
                 {L"4294967299", MAXDWORD / 10, false}};
    for (const auto& c : cases) {
        DWORD value = 7;
        EXPECT_EQ(c.read, ParseNumber(c.text, lstrlenW(c.text), c.most, &value)) << c.text;
        const DWORD expected = c.read ? wcstoul(c.text, nullptr, 10) : 7u;
        EXPECT_EQ(expected, value) << "a refused number leaves it as it was: " << c.text;
    }
}

}  // namespace
