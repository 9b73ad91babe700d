package com.merivast.exiting;

/*
 * Classes run as java runs a class, named by main.class: ThreadMain says whether its static
 * initialiser ran on the thread that runs main (with an argument, a thread of its own then runs
 * until the end, and its stop(String[]) throws); FailingInit's static initialiser fails, as one
 * that needs a library that is not there; NewerMain's class file is given class file version 65
 * (Java 21) by the build, so that this machine's Java 17 refuses to load it.
 */

final class ThreadMain {
    private static final Thread INITIALISED_ON = Thread.currentThread();

    private ThreadMain() {}

    public static void main(String[] args) {
        System.out.println("ThreadMain: initialised on the thread that runs main: "
                + (INITIALISED_ON == Thread.currentThread()) + ", named "
                + INITIALISED_ON.getName() + ", alive " + INITIALISED_ON.isAlive());
        if (args.length > 0) {
            new Thread(() -> {
                try {
                    Thread.sleep(Long.MAX_VALUE);
                } catch (InterruptedException e) {
                    // The runtime's end ends it.
                }
            }).start();
        }
    }

    public static void stop(String[] args) {
        throw new IllegalStateException("stop fails on purpose");
    }
}

final class FailingInit {
    static {
        if (FailingInit.class != null) {
            throw new IllegalStateException("no logging library on the class path");
        }
    }

    private FailingInit() {}

    public static void main(String[] args) {}
}

final class NewerMain {
    private NewerMain() {}

    public static void main(String[] args) {}
}
