package com.merivast.dumps;

import java.util.concurrent.CountDownLatch;

/**
 * What the dump tests look for in a running application, set by system properties (javaopts in
 * bridge.properties): a thread "lock-holder" that holds the monitor of a LockedThing while it
 * sleeps, always; -Dmerivast.test.deadlock=1: threads "deadlock-a" and "deadlock-b" deadlocked on
 * two monitors; -Dmerivast.test.deadlockRing=N: threads "ring-0" … "ring-<N-1>" deadlocked in a
 * ring, each holding its own monitor and waiting for the next one's; -Dmerivast.test.threads=N: N
 * more idle threads; -Dmerivast.test.stuck=1: a non-daemon thread "stuck-worker" that never ends,
 * so the VM's end waits for it.
 */
final class Scene {
    /** The monitor the lock holder holds; its class name shows in the thread dump. */
    static final class LockedThing {}

    private static final Object A = new Object();
    private static final Object B = new Object();

    private Scene() {}

    static void start() throws InterruptedException {
        daemon("lock-holder", () -> {
            synchronized (new LockedThing()) {
                sleepForever();
            }
        });
        if (Boolean.getBoolean("merivast.test.deadlock")) {
            CountDownLatch bothHoldOne = new CountDownLatch(2);
            daemon("deadlock-a", () -> lockBoth(A, B, bothHoldOne));
            daemon("deadlock-b", () -> lockBoth(B, A, bothHoldOne));
        }
        int ring = Integer.getInteger("merivast.test.deadlockRing", 0);
        CountDownLatch allHoldOne = new CountDownLatch(ring);
        Object[] monitors = new Object[ring];
        for (int i = 0; i < ring; ++i) {
            monitors[i] = new Object();
        }
        for (int i = 0; i < ring; ++i) {
            Object own = monitors[i];
            Object next = monitors[(i + 1) % ring];
            daemon("ring-" + i, () -> lockBoth(own, next, allHoldOne));
        }
        for (int i = 0; i < Integer.getInteger("merivast.test.threads", 0); ++i) {
            daemon("idle-" + i, Scene::sleepForever);
        }
        if (Boolean.getBoolean("merivast.test.stuck")) {
            new Thread(Scene::sleepForever, "stuck-worker").start();
        }
        System.out.println("Scene: started");
    }

    private static void lockBoth(Object first, Object second, CountDownLatch bothHoldOne) {
        synchronized (first) {
            bothHoldOne.countDown();
            try {
                bothHoldOne.await();
            } catch (InterruptedException e) {
                return;
            }
            synchronized (second) {
                System.out.println("Scene: no deadlock after all");
            }
        }
    }

    private static void daemon(String name, Runnable body) {
        Thread thread = new Thread(body, name);
        thread.setDaemon(true);
        thread.start();
    }

    private static void sleepForever() {
        try {
            Thread.sleep(Long.MAX_VALUE);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
