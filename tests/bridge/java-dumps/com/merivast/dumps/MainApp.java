package com.merivast.dumps;

/** The dump tests' application as an ordinary program: main returns, its threads run on. */
public final class MainApp {
    private MainApp() {}

    public static void main(String[] args) throws InterruptedException {
        Scene.start();
        // A non-daemon thread keeps the program, as a server's would.
        new Thread(() -> {
            try {
                Thread.sleep(Long.MAX_VALUE);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "main-worker").start();
    }
}
