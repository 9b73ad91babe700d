package org.example.launched;

import java.lang.reflect.Field;
import java.util.Arrays;
import java.util.concurrent.CountDownLatch;
import org.apache.commons.logging.Log;
import org.apache.commons.logging.LogFactory;

/**
 * A program as "java -jar" runs it (tests/bridge): its manifest names it, a jar of its Class-Path,
 * a launcher agent and an opened package; it logs through commons-logging without log4j, recurses
 * deeper than the default stack holds, and ends by itself once its stop method has been called.
 */
public final class LaunchedMain {
    private static final CountDownLatch STOPPED = new CountDownLatch(1);

    private LaunchedMain() {}

    public static void main(String[] args) throws Exception {
        Log log = LogFactory.getLog(LaunchedMain.class);
        log.info("LaunchedMain: first log line");
        say("arguments " + Arrays.toString(args));
        say("sun.java.command=" + System.getProperty("sun.java.command"));
        say("launcher agent " + System.getProperty("launched.agent", "not run"));
        say("class path gives " + LaunchedDep.name());
        say("add-opens " + (opened() ? "in effect" : "not in effect"));
        say("recursion depth " + depth(30000, 1, 2));
        Thread worker = new Thread(() -> {
            try {
                STOPPED.await();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            say("worker ends");
        }, "launched-worker");
        worker.start();
        say("main returns");
    }

    /** The application's own stop call (stop.method), with conf\stop.args. */
    public static void stop(String[] args) {
        say("stop called with " + Arrays.toString(args));
        STOPPED.countDown();
    }

    private static boolean opened() {
        try {
            Field value = String.class.getDeclaredField("value");
            value.setAccessible(true);
            return true;
        } catch (RuntimeException | NoSuchFieldException e) {
            return false;
        }
    }

    private static int depth(int n, long a, long b) {
        return n == 0 ? 0 : 1 + depth(n - 1, a + 1, b ^ a);
    }

    private static void say(String line) {
        System.out.println("LaunchedMain: " + line);
    }
}
