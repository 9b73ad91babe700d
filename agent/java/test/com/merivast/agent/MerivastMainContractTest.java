package com.merivast.agent;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * The contract the host relies on, checked on this machine's JVM. Each check runs
 * in a fresh JVM (the stop latch is process-wide): java ... MerivastMainContractTest <check> <dir>
 */
public final class MerivastMainContractTest {
    public static void main(String[] args) throws Exception {
        String check = args[0];
        File installDir = new File(args[1]);
        if (check.equals("stop-ends-main")) {
            stopEndsMain(installDir);
        } else if (check.equals("stop-before-main")) {
            stopBeforeMain(installDir);
        } else {
            throw new IllegalArgumentException(check);
        }
        System.out.println("PASS " + check);
    }

    private static void stopEndsMain(File installDir) throws Exception {
        AtomicBoolean returned = new AtomicBoolean();
        Thread main = new Thread(() -> {
            MerivastMain.serviceMain(installDir.getPath());
            returned.set(true);
        });
        main.start();
        main.join(1000);
        check(main.isAlive() && !returned.get(), "serviceMain returned without a stop");
        MerivastMain.serviceStop();
        main.join(TimeUnit.SECONDS.toMillis(10));
        check(returned.get(), "serviceStop did not end serviceMain");

        File log = new File(installDir, "logs/agent.log");
        String text = new String(Files.readAllBytes(log.toPath()), StandardCharsets.UTF_8);
        check(text.contains("serviceMain started in " + installDir.getPath()), "no start line in " + log);
        check(text.contains("serviceMain returns"), "no end line in " + log);
    }

    private static void stopBeforeMain(File installDir) throws Exception {
        MerivastMain.serviceStop();
        Thread main = new Thread(() -> MerivastMain.serviceMain(installDir.getPath()));
        main.start();
        main.join(TimeUnit.SECONDS.toMillis(10));
        check(!main.isAlive(), "serviceMain ignored a stop that came first");
    }

    private static void check(boolean condition, String failure) {
        if (!condition) {
            throw new AssertionError(failure);
        }
    }
}
