// The events that say the application's entry was not found: which class and
// methods were looked for, and in which jars.
#include "base/wide_text.h"
#include "jvmhost/class_lookup.h"
#include "jvmhost/launch_options.h"
#include "jvmhost/runtime_host.h"

namespace {

// An event holds about 32,000 characters; a lib folder with more jars than fit
// is shown by its first ones.
constexpr size_t kShownJarNamesUnits = 16000;

// The words with which the runtime says that the class, or the method, is not there.
bool SaysMissing(const WideText& words, ClassStep step) {
    return words.BeginsWith(step == ClassStep::kLoad ? L"java.lang.ClassNotFoundException"
                                                     : L"java.lang.NoSuchMethodError");
}

}  // namespace

void RuntimeHost::DescribeEntrySearch(bool classFound, const EntryMethodsText& methods) const {
    if (settings.errors == nullptr) {
        return;
    }
    // Nothing is reported when memory ran out.
    WideText jars;
    WideText message;
    if (!AppendJarNames(settings.layout->libDir, &jars)) {
        return;
    }
    if (jars.length > kShownJarNamesUnits) {
        jars.Cut(kShownJarNamesUnits);
        if (!jars.Append(L", ...")) {
            return;
        }
    }
    const wchar_t* const head[] = {L"Looked for the class ", MainClassName(), L", with its ",
                                   methods.lookedFor};
    const wchar_t* const noJar[] = {L", but ", InstallDir(),
                                    L"\\lib holds no jar: put the application's jar there."};
    const wchar_t* const inJars[] = {
        L", in the jars of ",
        InstallDir(),
        L"\\lib: ",
        jars.Chars(),
        L". ",
        classFound ? methods.advice
                   : L"The class is in none of them: put the application's jar in lib.",
        L" The runtime's description is in logs\\stderr.log."};
    if (message.Append(head) &&
        (jars.length == 0 ? message.Append(noJar) : message.Append(inJars))) {
        settings.errors(0, message.Chars());
    }
}

void RuntimeHost::ReportEntryMissing(JNIEnv* env, bool classFound,
                                     const EntryMethodsText& methods) const {
    // Described while it is pending: the detach or the tear-down would drop it unseen.
    env->ExceptionDescribe();
    Report(0, L"Can not find entry point:\n");
    DescribeEntrySearch(classFound, methods);
}

void RuntimeHost::ReportClassFailure(JNIEnv* env, const wchar_t* className, ClassStep step,
                                     const EntryMethodsText& methods) const {
    WideText words;
    TakePendingWords(env, PendingWords::kDescribed, &words);
    if (SaysMissing(words, step)) {
        ReportEntryMissing(env, step == ClassStep::kLookup, methods);
    } else {
        ReportClassNotUsable(env, className, step, words.Chars());
    }
}

void RuntimeHost::ReportClassNotUsable(JNIEnv* env, const wchar_t* className, ClassStep step,
                                       const wchar_t* words) const {
    wchar_t jar[MAX_PATH];
    const bool inJar = FindHoldingJar(env, className, jar);
    const wchar_t* const pieces[] = {
        L"The class ",
        className,
        inJar ? L" in the jar " : L"",
        inJar ? jar : L"",
        step == ClassStep::kLoad ? L" could not be loaded: " : L" could not be initialised: ",
        words};
    WideText message;
    if (message.Append(pieces)) {
        Report(0, message.Chars());
    }
}
