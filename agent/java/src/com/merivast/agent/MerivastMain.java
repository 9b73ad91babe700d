package com.merivast.agent;

import java.util.concurrent.CountDownLatch;
import org.apache.commons.logging.Log;
import org.apache.commons.logging.LogFactory;

/**
 * The Java application that MerivastService hosts, and the template for your own.
 *
 * <p>The host calls {@link #serviceMain} once, on the thread that created the VM, and the
 * service is reported running for as long as it runs. When the service is asked to stop,
 * the host calls {@link #serviceStop} from another thread; serviceStop must return soon and
 * must lead serviceMain to return. The stop may arrive before serviceMain is entered.
 */
public final class MerivastMain {
    /** Released once by serviceStop; serviceMain waits on it, also when it came first. */
    private static final CountDownLatch STOP_REQUESTED = new CountDownLatch(1);

    private MerivastMain() {}

    /** Runs the application for the whole life of the service. */
    public static void serviceMain(String installDir) {
        // conf/log4j.properties writes below ${merivast.home}; set it before the first logger.
        System.setProperty("merivast.home", installDir);
        Log log = LogFactory.getLog(MerivastMain.class);
        log.info("serviceMain started in " + installDir);
        // The console output is kept too: the host points it at logs\stdout.log.
        System.out.println("MerivastMain: serviceMain started in " + installDir);
        log.info("log4j.configuration=" + System.getProperty("log4j.configuration"));
        log.info("org.apache.commons.logging.Log=" + System.getProperty("org.apache.commons.logging.Log"));
        // Shows an operator's heap option (conf\jvm.options) taking effect.
        log.info("maximum heap " + Runtime.getRuntime().maxMemory() / (1024 * 1024) + " MiB");

        awaitStop();

        log.info("serviceMain returns");
    }

    /** Asks serviceMain to return; returns at once. */
    public static void serviceStop() {
        if (System.getProperty("merivast.home") != null) {
            LogFactory.getLog(MerivastMain.class).info("serviceStop called");
        }
        STOP_REQUESTED.countDown();
    }

    private static void awaitStop() {
        boolean interrupted = false;
        while (true) {
            try {
                STOP_REQUESTED.await();
                break;
            } catch (InterruptedException e) {
                // Only serviceStop ends the service; keep the interrupt for the caller.
                interrupted = true;
            }
        }
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }
}
