package com.merivast.dumps;

import java.util.concurrent.CountDownLatch;

/** The dump tests' application through the service contract. */
public final class ServiceApp {
    private static final CountDownLatch STOP = new CountDownLatch(1);

    private ServiceApp() {}

    public static void serviceMain(String installDir) throws InterruptedException {
        Scene.start();
        STOP.await();
    }

    public static void serviceStop() {
        STOP.countDown();
    }
}
